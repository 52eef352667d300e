// What the WebAssembly tests share: where things are, the native renderer
// as the reference, and the module driven exactly as the page drives it.
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const env = {
  web: process.env.ZINDLE_WEB_DIR,
  render: process.env.ZINDLE_RENDER,
  source: process.env.ZINDLE_SOURCE_DIR,
  corpus: process.env.ZINDLE_CORPUS_DIR,
  version: process.env.ZINDLE_VERSION,
};

// Outside CI a missing part skips the test (CTest's code 77); in CI it fails.
export function requireParts(parts) {
  const missing = parts.filter(([, ok]) => !ok).map(([name]) => name);
  if (missing.length === 0) return;
  const text = `missing: ${missing.join(', ')}`;
  if (process.env.CI === 'true') {
    console.error(`${text} (required in CI)`);
    process.exit(1);
  }
  console.log(`skipped, ${text}`);
  process.exit(77);
}

// A scratch folder, removed when the test ends.
export function scratchDir() {
  const dir = mkdtempSync(join(tmpdir(), 'zindle-web-'));
  process.on('exit', () => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

export const FRAMES_PER_BUFFER = 2048;

// zindle-render's frames and report for a song: `buffers` buffers, or one
// pass of the song when null. --force: cut files and the corpus file that
// does not look like a module are rendered as the module loads them.
export function nativeRender(song, buffers, dir) {
  const out = join(dir, 'native.raw');
  const args = ['--force', ...(buffers === null ? [] : ['--buffers', String(buffers)]), song, out];
  const run = spawnSync(env.render, args, { encoding: 'latin1' });
  if (run.error) throw run.error;
  return {
    status: run.status,
    report: run.stderr,
    frames: existsSync(out) ? readFileSync(out) : Buffer.alloc(0),
  };
}

let compiled = null;

// One instance of zindle.wasm, with no imports, as the worklet makes it.
export class WasmPlayer {
  constructor() {
    compiled ??= new WebAssembly.Module(readFileSync(join(env.web, 'zindle.wasm')));
    this.z = new WebAssembly.Instance(compiled, {}).exports;
  }

  text(at) {
    const memory = new Uint8Array(this.z.memory.buffer);
    let end = at;
    while (memory[end] !== 0) end++;
    return Buffer.from(memory.subarray(at, end)).toString('latin1');
  }

  // The song's bytes go through the scratch area, as on the page.
  load(bytes) {
    const at = this.z.zindle_scratch(bytes.length);
    new Uint8Array(this.z.memory.buffer, at, bytes.length).set(bytes);
    return this.z.zindle_load(at, bytes.length);
  }

  report() {
    return this.text(this.z.zindle_report());
  }

  // `frames` frames as little-endian bytes, asked for in calls of the
  // sizes in `chunks`, taken in turn.
  render(frames, chunks = [FRAMES_PER_BUFFER]) {
    const out = Buffer.alloc(4 * frames);
    let done = 0;
    for (let k = 0; done < frames; k++) {
      const n = Math.min(chunks[k % chunks.length], frames - done);
      const at = this.z.zindle_scratch(4 * n);
      const got = this.z.zindle_render(at, n);
      if (got !== n) throw new Error(`zindle_render gave ${got} frames for ${n}`);
      out.set(new Uint8Array(this.z.memory.buffer, at, 4 * n), 4 * done);
      done += n;
    }
    return out;
  }
}

// Equal bytes, or a failure naming the first frame that differs.
export function sameFrames(actual, expected, label) {
  if (actual.length === expected.length && actual.equals(expected)) return;
  const n = Math.min(actual.length, expected.length);
  let i = 0;
  while (i < n && actual[i] === expected[i]) i++;
  throw new Error(`${label}: ${actual.length / 4} frames against ${expected.length / 4}, ` +
    `first difference in frame ${Math.floor(i / 4)}`);
}
