// zindle for node: zindle.wasm is read from beside this script.
import { readFile } from 'node:fs/promises';

import { setWasmSource } from './song.js';

setWasmSource(() => readFile(new URL('./zindle.wasm', import.meta.url)));

export { Song } from './song.js';
export { ZindlePlayer } from './player.js';
