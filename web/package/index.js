// zindle for browsers and bundlers: zindle.wasm is fetched from beside
// this script, wherever the package is served from.
import { setWasmSource } from './song.js';

const url = new URL('./zindle.wasm', import.meta.url);

setWasmSource(async () => {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url} could not be fetched (${response.status})`);
  return response.arrayBuffer();
});

export { Song } from './song.js';
export { ZindlePlayer } from './player.js';
