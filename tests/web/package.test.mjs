// The npm package as its users get it: build/npm/zindle-<version>.tgz
// installed with `npm install ./zindle-<version>.tgz` into a scratch
// project (no registry), imported by name, and checked against the native
// zindle-render: generated songs of 4 to 32 channels in both modes, songs
// rendered interleaved, float output, errors, the worklet's processor run
// in node at 44100 and 48000 Hz, and a TypeScript program type-checked
// against the package's index.d.ts.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, readdirSync, readFileSync, statSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';
import vm from 'node:vm';

import { env, FRAMES_PER_BUFFER, nativeRender, requireParts, sameFrames, scratchDir } from './harness.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const tarball = process.env.ZINDLE_NPM_TARBALL;
const writeSongs = process.env.ZINDLE_WRITE_SONGS;
const npm = spawnSync('npm', ['--version'], { encoding: 'utf8' });
let tsc = null;
try {
  tsc = createRequire(join(here, 'package.json')).resolve('typescript/bin/tsc');
} catch {
  // reported below
}
requireParts([
  ['build/npm/zindle-<version>.tgz (make npm)', tarball && existsSync(tarball)],
  ['npm', npm.status === 0],
  ['zindle-render', env.render && existsSync(env.render)],
  ['zindle-write-songs', writeSongs && existsSync(writeSongs)],
  ['typescript (npm ci in tests/web)', tsc !== null],
]);

const dir = scratchDir();
const project = join(dir, 'project');
const songs = join(dir, 'songs');
for (const [folder, manifest] of [[project, { name: 'scratch', private: true, type: 'module' }], [songs, null]]) {
  spawnSync('mkdir', ['-p', folder]);
  if (manifest) writeFileSync(join(folder, 'package.json'), JSON.stringify(manifest));
}
const installed = spawnSync('npm', ['install', '--offline', '--no-audit', '--no-fund', tarball],
  { cwd: project, encoding: 'utf8' });
assert.equal(installed.status, 0, installed.stderr);
// Imported by its name from inside the project, through the exports map.
writeFileSync(join(project, 'entry.mjs'), "export * from 'zindle';\n");
const { Song, ZindlePlayer } = await import(pathToFileURL(join(project, 'entry.mjs')));
const packageDir = join(project, 'node_modules', 'zindle');
// The library's rate and image size, as the package has them from zindle.h.
const constants = await import(pathToFileURL(join(packageDir, 'constants.js')));

const written = spawnSync(writeSongs, [songs]);
assert.equal(written.status, 0, String(written.stderr));
const busy = readdirSync(songs).filter((f) => f.startsWith('busy-')).sort();
const demo = join(env.source, 'examples', 'demo.mod');
const demoExtended = join(env.source, 'examples', 'demo-extended.mod');

const bytesOf = (samples) => Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);

// Up to `frames` frames of a song, asked for in calls of the sizes in
// `chunks`, until a call gives fewer than asked.
function renderIn(song, frames, chunks) {
  const out = new Int16Array(2 * frames);
  for (let done = 0, k = 0; done < frames; k++) {
    const ask = Math.min(chunks[k % chunks.length], frames - done);
    const part = song.render(ask);
    out.set(part, 2 * done);
    done += part.length / 2;
    if (part.length < 2 * ask) return out.slice(0, 2 * done);
  }
  return out;
}

test('the installed package: its files, its manifest, no dependencies', () => {
  const files = readdirSync(packageDir).sort();
  const unpacked = files.reduce((sum, f) => sum + statSync(join(packageDir, f)).size, 0);
  console.log(`package: tarball ${statSync(tarball).size} bytes, unpacked ${unpacked} bytes in ${files.length} files, ` +
    `zindle.wasm ${statSync(join(packageDir, 'zindle.wasm')).size} bytes`);
  assert.deepEqual(files, ['LICENSE', 'README.md', 'constants.js', 'index.d.ts', 'index.js', 'node.js', 'package.json', 'player.js',
    'song.js', 'worklet.js', 'zindle.wasm']);
  const manifest = JSON.parse(readFileSync(join(packageDir, 'package.json'), 'utf8'));
  assert.equal(manifest.version, env.version);
  assert.equal(manifest.type, 'module');
  assert.equal(manifest.license, 'MIT');
  assert.equal(manifest.types, './index.d.ts');
  assert.equal(manifest.exports['.'].types, './index.d.ts');
  assert.equal(manifest.dependencies, undefined);
  const lock = JSON.parse(readFileSync(join(project, 'package-lock.json'), 'utf8'));
  assert.deepEqual(Object.keys(lock.packages).sort(), ['', 'node_modules/zindle']);
  // The worklet's script must stand alone: no import or export inside.
  const worklet = readFileSync(join(packageDir, 'worklet.js'), 'utf8');
  assert.doesNotMatch(worklet, /^\s*(import|export)\b|\bimport\s*\(/m);
  assert.equal(typeof ZindlePlayer, 'function');
});

test('generated songs of 4 to 32 channels in both modes render as zindle-render does', async () => {
  assert.equal(busy.length, 14);
  for (const name of busy) {
    const native = nativeRender(join(songs, name), 40, dir);
    assert.equal(native.status, 0, native.report);
    const song = await Song.load(readFileSync(join(songs, name)));
    assert.equal(song.report, native.report, `${name}: report`);
    const channels = Number(/(\d+)ch/.exec(name)[1]);
    assert.equal(song.info.channels, channels, name);
    assert.equal(song.info.extended, name.endsWith('-ext.mod'), name);
    sameFrames(bytesOf(renderIn(song, native.frames.length / 4, [128, 4099, 1])), native.frames, name);
    song.free();
  }
});

test('a long render in one call, past the scratch area, and seeks give the renderer\'s frames', async () => {
  const native = nativeRender(demoExtended, 260, dir);
  const song = await Song.load(readFileSync(demoExtended));
  const total = native.frames.length / 4;
  sameFrames(bytesOf(song.render(total)), native.frames, 'one call');
  for (const frame of [0, 881, 400000, total - 100]) {
    song.seek(frame);
    assert.equal(song.position.frame, frame);
    sameFrames(bytesOf(song.render(Math.min(5000, total - frame))),
      native.frames.subarray(4 * frame, 4 * Math.min(frame + 5000, total)), `after seek to ${frame}`);
  }
});

test('two songs rendered interleaved give what each gives alone', async () => {
  const pair = [join(songs, 'busy-32ch-ext.mod'), demo, join(songs, 'busy-4ch.mod')];
  const frames = 30 * FRAMES_PER_BUFFER;
  const alone = [];
  for (const path of pair) {
    const song = await Song.load(readFileSync(path));
    alone.push(song.render(frames));
    song.free();
  }
  const together = await Promise.all(pair.map((path) => Song.load(readFileSync(path))));
  const outs = pair.map(() => new Int16Array(2 * frames));
  const sizes = [777, 128, 1313];
  for (let done = 0, k = 0; done < frames; k++) {
    const n = Math.min(sizes[k % 3], frames - done);
    together.forEach((song, i) => outs[i].set(song.render(n), 2 * done));
    if (k === 7) together[1].jump(); // a control on one leaves the others alone
    done += n;
  }
  for (const i of [0, 2]) sameFrames(bytesOf(outs[i]), bytesOf(alone[i]), `${pair[i]} interleaved`);
  assert.notDeepEqual(outs[1], alone[1]);
});

test('renderFloat gives render\'s samples / 32768, also mixed in one song', async () => {
  const a = await Song.load(readFileSync(demo));
  const b = await Song.load(readFileSync(demo));
  for (const n of [1, 128, 5000, 44100]) {
    const ints = a.render(n);
    const floats = n % 2 ? b.renderFloat(n) : Float32Array.from(b.render(n), (v) => v / 32768);
    const again = b.renderFloat(0);
    assert.equal(again.length, 0);
    assert.equal(floats.length, ints.length);
    for (let i = 0; i < ints.length; i++) if (floats[i] !== ints[i] / 32768) assert.fail(`sample ${i} of ${n}`);
  }
});

test('info, position and report agree with zindle-render --info', async () => {
  const info = spawnSync(env.render, ['--info', demo], { encoding: 'latin1' }).stdout;
  const song = await Song.load(new Uint8Array(readFileSync(demo)));
  assert.equal(song.info.title, /^title: (.*)$/m.exec(info)[1]);
  assert.equal(song.info.samples, 31);
  assert.equal(song.info.sampleNames[0], /^sample {2}1: (.*)$/m.exec(info)[1]);
  assert.equal(song.info.songLength, Number(/^song length: (\d+)/m.exec(info)[1]));
  // The demo keeps its order list at byte 952, as every 31-sample module does.
  assert.deepEqual(song.info.orders, [...readFileSync(demo).subarray(952, 952 + song.info.songLength)]);
  assert.equal(song.info.passFrames, Number(/one pass: .* \((\d+) frames\)/.exec(info)[1]));
  const [, order, row] = /comes back to: order (\d+), row (\d+)/.exec(info);
  assert.deepEqual([song.info.returnOrder, song.info.returnRow], [Number(order), Number(row)]);
  assert.equal(song.version, env.version);
  assert.deepEqual(song.position, { frame: 0, order: 0, pattern: song.position.pattern, row: 0, tick: 0,
    speed: song.position.speed, passes: 0 });
  song.seek(song.info.passFrames + 10);
  assert.equal(song.position.passes, 1);
  assert.equal(song.position.order, song.info.returnOrder);
});

test('bad input: the library\'s text, typed errors, a freed song', async () => {
  await assert.rejects(Song.load(new ArrayBuffer(0), { force: true }),
    (e) => e.message === 'the song length is 0: nothing to play' && e.code === -2 && e.report.startsWith('channels: '));
  await assert.rejects(Song.load('not bytes'), TypeError);
  const song = await Song.load(readFileSync(demo));
  assert.throws(() => song.render(-1), RangeError);
  assert.throws(() => song.render(1.5), RangeError);
  assert.throws(() => song.seek(Number.NaN), RangeError);
  song.free();
  assert.throws(() => song.render(1), /freed/);
  assert.throws(() => song.info, /freed/);
  assert.throws(() => new Song(), TypeError);
});

// The worklet's processor in a context of its own, as an AudioWorklet
// global scope has it: the processor class, its port, sampleRate and
// currentTime.
function workletAt(rate, processorOptions) {
  const messages = [];
  let Processor = null;
  const scope = {
    sampleRate: rate,
    currentTime: 0,
    WebAssembly,
    registerProcessor: (name, type) => {
      Processor = type;
    },
    AudioWorkletProcessor: class {
      constructor() {
        this.port = { postMessage: (message) => messages.push(message), onmessage: null };
      }
    },
  };
  vm.runInNewContext(readFileSync(join(packageDir, 'worklet.js'), 'utf8'), scope);
  const wasm = readFileSync(join(packageDir, 'zindle.wasm'));
  const processor = new Processor({ processorOptions: { wasm: wasm.buffer.slice(wasm.byteOffset), force: false, repeat: -1,
    rate: constants.SAMPLE_RATE, imageBytes: constants.IMAGE_BYTES,
    ...processorOptions } });
  return {
    messages,
    send: (message) => processor.port.onmessage({ data: message }),
    // `quanta` render quanta of 128 frames, left and right interleaved.
    run(quanta) {
      const out = new Float32Array(256 * quanta);
      const left = new Float32Array(128);
      const right = new Float32Array(128);
      for (let q = 0; q < quanta; q++) {
        left.fill(0);
        right.fill(0);
        assert.equal(processor.process([], [[left, right]]), true);
        for (let i = 0; i < 128; i++) {
          out[256 * q + 2 * i] = left[i];
          out[256 * q + 2 * i + 1] = right[i];
        }
        scope.currentTime += 128 / rate;
      }
      return out;
    },
  };
}

test('the worklet at 44100 Hz hands the graph the renderer\'s frames exactly, rows with their first frames', async () => {
  const bytes = readFileSync(demo);
  const native = nativeRender(demo, 50, dir);
  const w = workletAt(44100, { song: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length) });
  assert.equal(w.messages[0].type, 'loaded');
  assert.equal(w.messages[0].report, native.report);
  // Paused half way: silence, then the song goes on from its place.
  const half = (25 * FRAMES_PER_BUFFER) / 128;
  const first = w.run(half);
  w.send({ type: 'pause' });
  assert.ok(w.run(10).every((v) => v === 0));
  w.send({ type: 'resume' });
  const out = new Float32Array(2 * 50 * FRAMES_PER_BUFFER);
  out.set(first);
  out.set(w.run(half), first.length);
  const expected = new Int16Array(native.frames.buffer, native.frames.byteOffset, native.frames.length / 2);
  for (let i = 0; i < out.length; i++) if (out[i] * 32768 !== expected[i]) assert.fail(`sample ${i}`);
  // Each row's frame is where a song sought there is on that row; the
  // frame before it still on the previous one.
  const rows = w.messages.filter((m) => m.type === 'row');
  assert.ok(rows.length > 10);
  assert.deepEqual([rows[0].order, rows[0].row], [0, 0]);
  const song = await Song.load(bytes);
  for (const [k, r] of rows.entries()) {
    song.seek(r.frame + 1);
    assert.deepEqual([song.position.order, song.position.pattern, song.position.row], [r.order, r.pattern, r.row]);
    assert.ok(Math.abs(r.time - (r.frame + (r.frame >= half * 128 ? 1280 : 0)) / 44100) < 1e-9, `time of row ${k}`);
    if (k > 0) {
      song.seek(r.frame);
      assert.notEqual(song.position.row, r.row, `row ${k} begins at ${r.frame}`);
    }
  }
  w.send({ type: 'stop' });
});

test('the worklet at 48000 Hz plays the song at its speed through the resampler', async () => {
  const bytes = readFileSync(demo);
  const native = nativeRender(demo, 40, dir);
  const expected = new Int16Array(native.frames.buffer, native.frames.byteOffset, native.frames.length / 2);
  const w = workletAt(48000, { song: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length) });
  const quanta = Math.floor(((40 * FRAMES_PER_BUFFER - 200) * 48000) / 44100 / 128);
  const out = w.run(quanta);
  // Compared with the native frames read at each output frame's time
  // (linear interpolation): the same music within a small error, at the
  // same place in the song all along.
  let signal = 0;
  let error = 0;
  for (let j = 0; j < out.length / 2; j++) {
    const x = (j * 44100) / 48000;
    const i = Math.floor(x);
    for (const c of [0, 1]) {
      const want = (expected[2 * i + c] + (expected[2 * i + 2 + c] - expected[2 * i + c]) * (x - i)) / 32768;
      signal += want * want;
      error += (out[2 * j + c] - want) ** 2;
    }
  }
  assert.ok(signal > 0);
  const snr = 10 * Math.log10(signal / error);
  console.log(`48000 Hz against the renderer's frames: ${snr.toFixed(1)} dB`);
  assert.ok(snr > 20, `${snr} dB`);
  // The rows heard at the times their frames are at 44100 a second.
  const rows = w.messages.filter((m) => m.type === 'row');
  assert.ok(rows.length > 10);
  for (const r of rows) assert.ok(Math.abs(r.time - r.frame / 44100) < 1 / 48000, `${r.frame}: ${r.time}`);
});

// A small program against the installed index.d.ts, with tsc in strict
// mode: it must compile, and the same program with a wrong type must not.
test('a TypeScript program type-checks against index.d.ts, and a wrong one does not', () => {
  const program = `import { Song, ZindlePlayer, type SongInfo, type ZindleRowEvent } from 'zindle';

export async function main(bytes: Uint8Array, context: AudioContext): Promise<number> {
  const song: Song = await Song.load(bytes, { force: false });
  const info: SongInfo = song.info;
  const frames: Int16Array = song.render(info.passFrames);
  const floats: Float32Array = song.renderFloat(128);
  song.seek(44100);
  const pattern: number = song.jump() + song.jumpTo(0, 0);
  const wasMuted: boolean = song.mute(info.channels - 1, true);
  song.setRepeat(0);
  const { note, effect } = song.cell(0, 0, 0);
  const { volume, muted } = song.channel(0);
  const { frame, passes } = song.position;
  const names: readonly string[] = info.sampleNames;
  const text: string = song.report + names.join('') + info.title;
  song.free();
  const player = new ZindlePlayer(context, { destination: context.destination });
  player.addEventListener('row', (event: ZindleRowEvent) => console.log(event.order, event.pattern, event.row, event.frame));
  player.addEventListener('end', () => player.stop());
  player.addEventListener('error', (event) => console.log(event.message));
  await player.play(bytes);
  player.pause();
  player.resume();
  player.seek(1.5);
  player.jump();
  player.jumpTo(1, 16);
  player.mute(0, wasMuted);
  player.setRepeat(-1);
  return frames.length + floats.length + pattern + note + effect + volume + Number(muted) + frame + passes + text.length;
}
`;
  const tsconfig = {
    compilerOptions: { strict: true, noEmit: true, target: 'es2022', module: 'nodenext', moduleResolution: 'nodenext',
      lib: ['es2022', 'dom'], types: [] },
    files: ['main.ts'],
  };
  writeFileSync(join(project, 'tsconfig.json'), JSON.stringify(tsconfig));
  const check = (source) => {
    writeFileSync(join(project, 'main.ts'), source);
    return spawnSync(process.execPath, [tsc, '-p', project], { encoding: 'utf8' });
  };
  const good = check(program);
  assert.equal(good.status, 0, good.stdout + good.stderr);
  const bad = check(program.replace('song.render(info.passFrames)', "song.render('all')"));
  assert.notEqual(bad.status, 0);
  assert.match(bad.stdout, /main\.ts\(\d+,\d+\): error TS2345: Argument of type 'string' is not assignable/);
  const misnamed = check(program.replace('song.renderFloat(128)', 'song.render_float(128)'));
  assert.match(misnamed.stdout, /error TS2551: Property 'render_float' does not exist/);
});

// The library's 0.3 controls through the package.
test('bytes that are no module are refused unless forced, with the probe\'s message', async () => {
  let seed = 7;
  const random = Uint8Array.from({ length: 4000 }, () => (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24);
  const wav = Buffer.concat([Buffer.from('RIFF\x24\x10\x00\x00WAVEfmt ', 'latin1'), Buffer.alloc(4100)]);
  const notModules = { text: Buffer.from('# zindle\n'.repeat(300)), wav, random, empty: new Uint8Array(0) };
  for (const [name, bytes] of Object.entries(notModules))
    await assert.rejects(Song.load(bytes), (e) => e.code === 0 && /does not look like a module/.test(e.message), name);
  // Forced, random bytes load as the player would load them (or fail with
  // the library's own text, never the probe's).
  await Song.load(random, { force: true }).then((song) => song.free(),
    (e) => assert.doesNotMatch(e.message, /does not look like a module/));
  for (const name of busy) (await Song.load(readFileSync(join(songs, name)))).free();
});

test('setRepeat ends the song exactly where zindle-render --passes does', async () => {
  for (const path of [demo, join(songs, 'busy-12ch.mod')]) {
    for (const passes of [1, 2]) {
      const out = join(dir, 'passes.raw');
      const run = spawnSync(env.render, ['--passes', String(passes), path, out]);
      assert.equal(run.status, 0, String(run.stderr));
      const native = readFileSync(out);
      const song = await Song.load(readFileSync(path));
      song.setRepeat(passes - 1);
      const frames = renderIn(song, native.length / 4 + 5000, [44100]);
      assert.equal(song.render(100).length, 0);
      assert.equal(song.renderFloat(100).length, 0);
      // The renderer may pad its last block; the song's end is exact.
      const padding = native.length / 4 - frames.length / 2;
      assert.ok(padding >= 0 && padding < FRAMES_PER_BUFFER, `${path}: ${padding} frames more rendered`);
      sameFrames(bytesOf(frames), native.subarray(0, 2 * frames.length), `${path}, ${passes} passes`);
      if (passes === 1) assert.equal(frames.length / 2, song.info.passFrames);
      song.free();
    }
  }
  const song = await Song.load(readFileSync(demo));
  assert.throws(() => song.setRepeat(-2), /argument out of range/);
});

test('renderFloat past the end and a partial render: shorter arrays of the same samples', async () => {
  const a = await Song.load(readFileSync(demo));
  const b = await Song.load(readFileSync(demo));
  for (const song of [a, b]) {
    song.setRepeat(0);
    song.seek(a.info.passFrames - 1000);
  }
  const ints = a.render(4096);
  const floats = b.renderFloat(4096);
  assert.equal(ints.length, 2000);
  assert.deepEqual(floats, Float32Array.from(ints, (v) => v / 32768));
});

test('jumpTo, mute, cell and channel', async () => {
  const path = join(songs, 'busy-8ch.mod');
  const file = readFileSync(path);
  const song = await Song.load(file);
  const { channels, songLength } = song.info;
  assert.equal(channels, 8);
  // Cells as stored: 1084 bytes of header, then 64 rows of 4 bytes per channel.
  const patterns = Math.max(...file.subarray(952, 952 + 128)) + 1;
  for (let pattern = 0; pattern < patterns; pattern++) {
    for (let row = 0; row < 64; row += 7) {
      for (let channel = 0; channel < channels; channel++) {
        const at = 1084 + 4 * (channels * (64 * pattern + row) + channel);
        const [b0, b1, b2, b3] = file.subarray(at, at + 4);
        const cell = song.cell(pattern, row, channel);
        assert.deepEqual([cell.period, cell.sample, cell.effect, cell.param, cell.pan],
          [(b0 & 0x0f) * 256 + b1, (b0 & 0x10) | (b2 >> 4), b2 & 0x0f, b3, b0 & 0xc0], `${pattern}/${row}/${channel}`);
      }
    }
  }
  assert.throws(() => song.cell(patterns + 300, 0, 0), /argument out of range/);
  assert.throws(() => song.cell(0, 64, 0), /argument out of range/);
  assert.throws(() => song.cell(0, 0, channels), /argument out of range/);
  // Every channel muted: silence, while the song goes on.
  for (let c = 0; c < channels; c++) assert.equal(song.mute(c, true), false);
  assert.equal(song.mute(0, true), true);
  assert.equal(song.channel(3).muted, true);
  assert.ok(song.render(20000).every((v) => v === 0));
  assert.equal(song.position.frame, 20000);
  assert.throws(() => song.mute(channels, true), /argument out of range/);
  for (let c = 0; c < channels; c++) song.mute(c, false);
  assert.ok(song.render(20000).some((v) => v !== 0));
  const state = song.channel(0);
  assert.ok(state.volume >= 0 && state.volume <= 64 && state.pan >= 0 && state.pan <= 255 && !state.muted);
  assert.throws(() => song.channel(channels), /argument out of range/);
  // jumpTo: the entry's pattern from the given row, at the next row.
  const entry = songLength - 1;
  const pattern = song.jumpTo(entry, 16);
  assert.equal(pattern, file[952 + entry]);
  song.render(30000);
  assert.equal(song.position.order, entry);
  assert.ok(song.position.row >= 16);
  assert.throws(() => song.jumpTo(songLength, 0), /argument out of range/);
  assert.throws(() => song.jumpTo(0, 64), /argument out of range/);
  assert.throws(() => song.jumpTo(0.5, 0), RangeError);
});
