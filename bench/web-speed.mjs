// node bench/web-speed.mjs [--seconds S] [--runs N] [WEB_DIR [CORPUS_DIR]]
// How fast zindle.wasm renders in node, and how large the page is. Every
// 4-channel corpus module is rendered for S seconds of audio (default 60)
// in whole 2048-frame calls and in 128-frame calls, as the page's
// AudioWorklet asks; the figure is audio seconds per CPU second of the
// process (the best of N runs, default 5, the two call sizes taking turns
// on one instance so that the machine's load and the engine's warming
// weigh on both alike), averaged over the files.
// Defaults: build/web and ../shared/corpus beside the source tree.
import { readdirSync, readFileSync, statSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const source = join(dirname(fileURLToPath(import.meta.url)), '..');
const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  if (at < 0) return fallback;
  const [, value] = args.splice(at, 2);
  return Number(value);
};
const seconds = option('--seconds', 60);
const runs = option('--runs', 5);
const web = args[0] ?? join(source, 'build', 'web');
const corpus = args[1] ?? join(source, '..', 'shared', 'corpus');
const RATE = 44100;

const module = new WebAssembly.Module(readFileSync(join(web, 'zindle.wasm')));

function loaded(bytes) {
  const z = new WebAssembly.Instance(module, {}).exports;
  const at = z.zindle_scratch(bytes.length);
  new Uint8Array(z.memory.buffer, at, bytes.length).set(bytes);
  return z.zindle_load(at, bytes.length) === 0 ? z : null;
}

function channels(z) {
  const memory = new Uint8Array(z.memory.buffer);
  const at = z.zindle_report();
  const text = Buffer.from(memory.subarray(at, at + 20)).toString('latin1');
  return parseInt(/^channels: ([0-9A-F]{8})/.exec(text)[1], 16);
}

function cpuSeconds() {
  const { user, system } = process.cpuUsage();
  return (user + system) / 1e6;
}

// CPU seconds for `frames` frames from the start of the song.
function timeRender(z, out, frames, chunk) {
  z.zindle_seek(0n);
  const start = cpuSeconds();
  for (let done = 0; done < frames; done += chunk) z.zindle_render(out, Math.min(chunk, frames - done));
  return cpuSeconds() - start;
}

// The best CPU seconds of each call size over the runs, in turns.
function timeBoth(z, frames) {
  const out = z.zindle_scratch(4 * 2048);
  const best = { 2048: Infinity, 128: Infinity };
  for (let r = 0; r < runs; r++)
    for (const chunk of r % 2 ? [128, 2048] : [2048, 128])
      best[chunk] = Math.min(best[chunk], timeRender(z, out, frames, chunk));
  return best;
}

const files = readdirSync(corpus).filter((f) => /\.mod$/i.test(f)).sort();
const frames = Math.round(seconds * RATE);
const totals = { 2048: 0, 128: 0 };
let counted = 0;
// The first renders also warm up the engine's compiled code.
{
  const z = loaded(readFileSync(join(corpus, files[0])));
  if (z) timeRender(z, z.zindle_scratch(4 * 2048), frames, 2048);
}
for (const name of files) {
  const bytes = readFileSync(join(corpus, name)).subarray(0, 0x180000);
  const z = loaded(bytes);
  if (!z || channels(z) !== 4) continue;
  const best = timeBoth(z, frames);
  const whole = seconds / best[2048];
  const quanta = seconds / best[128];
  totals[2048] += whole;
  totals[128] += quanta;
  counted++;
  console.log(`${name.padEnd(36)} ${whole.toFixed(0).padStart(6)} x realtime  ` +
    `${quanta.toFixed(0).padStart(6)} x in 128-frame calls`);
}

const size = (file) => statSync(join(web, file)).size;
const page = ['index.html', 'style.css', 'page.js', 'save.js', 'index.js', 'constants.js', 'song.js', 'player.js', 'worklet.js', 'zindle.wasm'];
const pageBytes = page.reduce((sum, file) => sum + size(file), 0);
const kib = (bytes) => `${(bytes / 1024).toFixed(1)} KiB`;
console.log(`summary: corpus 4ch (${counted}) ${(totals[2048] / counted).toFixed(0)} x realtime, ` +
  `${(totals[128] / counted).toFixed(0)} x in 128-frame calls (target 6000), ` +
  `${((totals[2048] / totals[128] - 1) * 100).toFixed(1)} % more cost in 128-frame calls (target within 3 %); ` +
  `zindle.wasm ${kib(size('zindle.wasm'))} (limit 48 KiB); ` +
  `page ${kib(pageBytes)} (${page.join(', ')}; limit 96 KiB), with demo.mod ${kib(pageBytes + size('demo.mod'))}`);
