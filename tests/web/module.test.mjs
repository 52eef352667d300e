// zindle.wasm in node, with no imports, against the native zindle-render:
// the demos, generated busy songs of 4 to 32 channels in both modes and
// the real corpus, in whole buffers, in 128-frame quanta as an AudioWorklet
// asks, in odd chunks and after seeks. Every byte must be the same.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { existsSync, readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { env, FRAMES_PER_BUFFER, nativeRender, requireParts, sameFrames, scratchDir, WasmPlayer } from './harness.mjs';

const writeSongs = process.env.ZINDLE_WRITE_SONGS;
requireParts([
  [`${env.web}/zindle.wasm (make web, or configure ZINDLE_WEB_DIR)`, env.web && existsSync(join(env.web, 'zindle.wasm'))],
  ['zindle-render', env.render && existsSync(env.render)],
  ['zindle-write-songs', writeSongs && existsSync(writeSongs)],
]);

const dir = scratchDir();
const QUANTUM = [128];
const ODD = [1, 7, 1000, 4099, 333, 2048];
const demos = ['demo.mod', 'demo-extended.mod'].map((name) => join(env.source, 'examples', name));

// One pass (or `buffers` buffers) of a song, rendered by the module in
// each way of cutting it into calls, against the renderer.
function checkSong(song, { buffers = null, ways = [[FRAMES_PER_BUFFER], QUANTUM, ODD] } = {}) {
  const native = nativeRender(song, buffers, dir);
  assert.equal(native.status, 0, `zindle-render ${song}: ${native.report}`);
  const frames = native.frames.length / 4;
  assert.ok(frames > 0);
  for (const chunks of ways) {
    const player = new WasmPlayer();
    assert.equal(player.load(readFileSync(song)), 0, song);
    assert.equal(player.report(), native.report, `${song}: report`);
    sameFrames(player.render(frames, chunks), native.frames, `${song} in calls of ${chunks.join(', ')}`);
  }
}

test('the module imports nothing and exports the API by name', () => {
  const module = new WebAssembly.Module(readFileSync(join(env.web, 'zindle.wasm')));
  assert.deepEqual(WebAssembly.Module.imports(module), []);
  const exports = new Map(WebAssembly.Module.exports(module).map((e) => [e.name, e.kind]));
  assert.equal(exports.get('memory'), 'memory');
  // Every function the header declares, and the scratch area.
  const header = readFileSync(join(env.source, 'include', 'zindle.h'), 'latin1');
  const declared = [...header.matchAll(/ZINDLE_API [^(]*?(zindle_[a-z_]+)\(/g)].map((m) => m[1]);
  assert.ok(declared.length >= 35, `${declared.length} declarations`);
  for (const name of [...declared, 'zindle_scratch']) assert.equal(exports.get(name), 'function', name);
  const player = new WasmPlayer();
  assert.equal(player.text(player.z.zindle_version()), env.version);
  // Nothing loaded yet: nothing to render or seek.
  assert.equal(player.z.zindle_render(player.z.zindle_scratch(64), 16), 0);
  assert.ok(player.z.zindle_seek(0n) < 0);
});

test('the scratch area holds a whole module image and no more', () => {
  const { z } = new WasmPlayer();
  const at = z.zindle_scratch(0x180000);
  assert.ok(at > 0);
  assert.ok(at + 0x180000 <= z.memory.buffer.byteLength);
  assert.equal(z.zindle_scratch(0), at);
  assert.equal(z.zindle_scratch(0x180001), 0);
  assert.equal(z.zindle_scratch(0xFFFFFFFF), 0);
});

test('a seek past the bound is refused at once, a negative time included', () => {
  const player = new WasmPlayer();
  assert.equal(player.load(readFileSync(demos[0])), 0);
  assert.equal(player.z.zindle_seek(1000n), 0);
  const ARGUMENT = -4;
  for (const frame of [-1n, (1n << 30n) + 1n, 1n << 32n, 4410000000n]) {
    const started = process.hrtime.bigint();
    assert.equal(player.z.zindle_seek(BigInt.asUintN(64, frame)), ARGUMENT, String(frame));
    assert.ok(process.hrtime.bigint() - started < 1_000_000_000n, 'refused at once');
    assert.equal(Number(player.z.zindle_frame()), 1000);
  }
});

test('a render over the library\'s own memory gives nothing; the scratch area and grown memory take frames', () => {
  const song = readFileSync(demos[0]);
  const player = new WasmPlayer();
  const { z } = player;
  assert.equal(player.load(song), 0);
  const expected = new WasmPlayer();
  assert.equal(expected.load(song), 0);
  const straight = expected.render(8192, [2048]);
  const scratch = z.zindle_scratch(0);
  // Past the scratch area's end, below it (the library's state), and
  // the whole address space: nothing written, nothing moved.
  const before = Buffer.from(new Uint8Array(z.memory.buffer)).toString('base64');
  for (const [at, frames] of [[scratch, 0x7fffffff], [scratch, 0x60001], [scratch + 4, 0x60000], [scratch - 4, 16],
    [16, 2048], [0, 0xffffffff]]) {
    assert.equal(z.zindle_render(at, frames), 0, `${at} ${frames}`);
  }
  assert.equal(Buffer.from(new Uint8Array(z.memory.buffer)).toString('base64'), before, 'memory unchanged');
  assert.equal(Number(z.zindle_frame()), 0);
  // The whole scratch area, then memory the caller grew, go on exactly.
  assert.equal(z.zindle_render(scratch, 4096), 4096);
  const first = Buffer.from(new Uint8Array(z.memory.buffer, scratch, 4 * 4096));
  const grown = z.memory.grow(1) * 65536;
  assert.equal(z.zindle_render(grown, 4096), 4096);
  const second = Buffer.from(new Uint8Array(z.memory.buffer, grown, 4 * 4096));
  assert.ok(Buffer.concat([first, second]).equals(straight));
  // Past the end of memory traps, as any WebAssembly store does.
  assert.throws(() => z.zindle_render(z.memory.buffer.byteLength - 64, 2048), WebAssembly.RuntimeError);
});

test('the 0.3 controls: probe, repeat, mute, float and the position, as in C', () => {
  const demo = readFileSync(demos[0]);
  const player = new WasmPlayer();
  const { z } = player;
  const at = z.zindle_scratch(demo.length);
  new Uint8Array(z.memory.buffer, at, demo.length).set(demo);
  assert.equal(z.zindle_probe(at, demo.length), 1);
  assert.equal(z.zindle_probe(at, 1000), 0, 'a cut header with no tag');
  new Uint8Array(z.memory.buffer, at, 4000).fill(0x41);
  assert.equal(z.zindle_probe(at, 4000), 0, 'text');
  assert.equal(player.load(demo), 0);
  const passFrames = Number(z.zindle_pass_frames());
  const whole = player.render(passFrames, [4096]);
  // Played once: the render stops at the pass's end.
  assert.equal(z.zindle_set_repeat(0), 0);
  assert.equal(player.load(demo), 0);
  const out = z.zindle_scratch(4 * 8192);
  let total = 0;
  for (let got = 8192; got === 8192; total += got) got = z.zindle_render(out, 8192);
  assert.equal(total, passFrames);
  assert.equal(z.zindle_set_repeat(-1), 0);
  // Floats are the 16-bit values over 32768.
  assert.equal(player.load(demo), 0);
  assert.equal(z.zindle_render_float(out, 4096), 4096);
  const floats = new Float32Array(z.memory.buffer, out, 8192);
  const ints = new Int16Array(whole.buffer, whole.byteOffset, 8192);
  for (let i = 0; i < 8192; i++) assert.equal(floats[i], ints[i] / 32768, `sample ${i}`);
  // The position snapshot, written to the caller's memory.
  const position = z.zindle_scratch(64);
  assert.equal(z.zindle_get_position(position), 0);
  assert.equal(new DataView(z.memory.buffer).getBigUint64(position, true), 4096n);
  assert.equal(new DataView(z.memory.buffer).getInt32(position + 16, true), z.zindle_row());
  // Everything muted is silence.
  for (let c = 0; c < z.zindle_channel_count(); c++) assert.equal(z.zindle_mute(c, 1), 0);
  assert.ok(player.render(8192, [128]).equals(Buffer.alloc(4 * 8192)));
});

test('the demos: one pass each, whole buffers, 128-frame quanta and odd calls', () => {
  for (const song of demos) checkSong(song);
});

const written = spawnSync(writeSongs, [dir]);

test('busy generated songs of 4 to 32 channels, normal and extended', () => {
  assert.equal(written.status, 0, String(written.stderr));
  const songs = readdirSync(dir).filter((f) => f.startsWith('busy-')).sort();
  assert.equal(songs.length, 14);
  for (const name of songs) checkSong(join(dir, name), { buffers: 48, ways: [QUANTUM, ODD] });
});

test('seeking continues exactly where a straight render is, Z jumps forgotten', () => {
  const song = demos[1];
  const native = nativeRender(song, 200, dir);
  const total = native.frames.length / 4;
  const player = new WasmPlayer();
  assert.equal(player.load(readFileSync(song)), 0);
  player.render(5000, [1000]);
  player.z.zindle_jump();
  for (const frame of [0, 1, 880, 881, 882, 44100 * 3 + 7, 123457, total - 128]) {
    assert.equal(player.z.zindle_seek(BigInt(frame)), 0);
    assert.equal(Number(player.z.zindle_frame()), frame);
    const n = Math.min(20000, total - frame);
    sameFrames(player.render(n, QUANTUM), native.frames.subarray(4 * frame, 4 * (frame + n)), `after seek to ${frame}`);
  }
});

test('an empty file and truncated files behave as in the native renderer', () => {
  const demo = readFileSync(demos[0]);
  // Empty: the report, a song length of 0, nothing to play.
  const empty = join(dir, 'empty.mod');
  writeFileSync(empty, '');
  const native = nativeRender(empty, null, dir);
  assert.notEqual(native.status, 0);
  const player = new WasmPlayer();
  assert.ok(player.load(Buffer.alloc(0)) < 0);
  assert.ok(player.report().length > 0);
  assert.ok(native.report.startsWith(player.report()), `${JSON.stringify(player.report())} begins the renderer's`);
  assert.equal(player.z.zindle_render(player.z.zindle_scratch(64), 16), 0);
  // Truncated inside the header, the patterns and the samples.
  for (const size of [1, 600, 1084, 1500, demo.length >> 1, demo.length - 1]) {
    const cut = join(dir, `cut-${size}.mod`);
    writeFileSync(cut, demo.subarray(0, size));
    const expected = nativeRender(cut, 20, dir);
    const wasm = new WasmPlayer();
    const result = wasm.load(demo.subarray(0, size));
    assert.equal(wasm.report(), expected.report.slice(0, wasm.report().length), `cut at ${size}: report`);
    if (expected.status !== 0) {
      assert.ok(result < 0, `cut at ${size}`);
      continue;
    }
    assert.equal(result, 0, `cut at ${size}`);
    sameFrames(wasm.render(expected.frames.length / 4, QUANTUM), expected.frames, `cut at ${size}`);
  }
});

const corpus = env.corpus && existsSync(env.corpus)
  ? readdirSync(env.corpus).filter((f) => /\.mod$/i.test(f)).sort() : [];

test('every corpus file, its first 70 seconds in 128-frame quanta', { skip: corpus.length === 0 && 'no corpus' }, () => {
  for (const name of corpus) checkSong(join(env.corpus, name), { buffers: 1500, ways: [QUANTUM] });
});

// The committed SHA-256 digests that every native build is checked
// against: the demos, busy songs and corpus files, a minute each.
test('the golden set renders to the committed digests', () => {
  assert.equal(written.status, 0, String(written.stderr));
  const committed = new Map(readFileSync(join(env.source, 'tests', 'golden', 'digests.txt'), 'latin1')
    .split('\n').filter((line) => line && !line.startsWith('#'))
    .map((line) => line.split('  ').reverse()));
  const songs = readFileSync(join(dir, 'golden.txt'), 'latin1').split('\n').filter(Boolean)
    .map((line) => line.split('\t'));
  assert.ok(songs.length >= 10);
  for (const [name, buffers, path] of songs) {
    assert.ok(committed.has(name), `${name} has a committed digest`);
    const player = new WasmPlayer();
    assert.equal(player.load(readFileSync(path).subarray(0, 0x180000)), 0, name);
    const digest = createHash('sha256').update(player.render(Number(buffers) * FRAMES_PER_BUFFER, QUANTUM)).digest('hex');
    assert.equal(digest, committed.get(name), name);
  }
});
