// ZindlePlayer from the installed npm package in a real headless Chromium:
// the tarball installed with npm into a scratch site, a page in another
// folder of it importing 'zindle' through an import map, served on
// 127.0.0.1. At 44100 Hz the worklet's capture equals zindle-render's
// frames bit for bit; at 48000 Hz (the caller's context, into the caller's
// node) it is the same music, resampled; the controls and events work.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { closeBrowser, fromPage, launch, requireBrowser, startServer } from './chromium.mjs';
import { FRAMES_PER_BUFFER, nativeRender, scratchDir } from './harness.mjs';

const tarball = process.env.ZINDLE_NPM_TARBALL;
const writeSongs = process.env.ZINDLE_WRITE_SONGS;
await requireBrowser([
  ['build/npm/zindle-<version>.tgz (make npm)', tarball && existsSync(tarball)],
  ['npm', spawnSync('npm', ['--version']).status === 0],
  ['zindle-write-songs', writeSongs && existsSync(writeSongs)],
]);

const dir = scratchDir();
const site = join(dir, 'site');
mkdirSync(join(site, 'app', 'songs'), { recursive: true });
writeFileSync(join(site, 'package.json'), JSON.stringify({ name: 'site', private: true, type: 'module' }));
const installed = spawnSync('npm', ['install', '--offline', '--no-audit', '--no-fund', tarball], { cwd: site, encoding: 'utf8' });
assert.equal(installed.status, 0, installed.stderr);
assert.equal(spawnSync(writeSongs, [join(site, 'app', 'songs')]).status, 0);
writeFileSync(join(site, 'app', 'index.html'), `<!doctype html>
<meta charset="utf-8">
<script type="importmap">{ "imports": { "zindle": "/node_modules/zindle/index.js" } }</script>
<script type="module">
import { Song, ZindlePlayer } from 'zindle';
window.zindle = { Song, ZindlePlayer };
</script>
<button id="play">Play</button>
`);

const song = join(site, 'app', 'songs', 'busy-8ch-ext.mod');
const CAPTURE_FRAMES = 24 * FRAMES_PER_BUFFER;

// A page with a player: `rate` null lets the player make its context;
// otherwise the page makes one at that rate and a gain node to play into.
// The Play button plays the song, so play() runs in a click's gesture.
async function openPlayer(browser, port, rate) {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(`http://127.0.0.1:${port}/app/`, { waitUntil: 'load' });
  await page.waitForFunction(() => window.zindle !== undefined);
  await page.evaluate(async (rate, capture) => {
    const { ZindlePlayer } = window.zindle;
    let player;
    if (rate === null) {
      player = new ZindlePlayer(null, { capture });
    } else {
      const context = new AudioContext({ sampleRate: rate });
      const gain = context.createGain();
      gain.connect(context.destination);
      player = new ZindlePlayer(context, { destination: gain, capture });
    }
    window.player = player;
    window.events = [];
    for (const type of ['row', 'end', 'error', 'jump', 'position'])
      player.addEventListener(type, (e) => window.events.push({ type, frame: e.frame, order: e.order, row: e.row,
        pattern: e.pattern, message: e.message }));
    player.addEventListener('capture', (e) => { window.captured = e.samples; });
    window.bytes = await (await fetch('songs/busy-8ch-ext.mod')).arrayBuffer();
    document.getElementById('play').onclick = () => {
      window.played = player.play(window.bytes).then(() => 'playing', (e) => e.message);
    };
  }, rate, CAPTURE_FRAMES);
  await page.click('#play');
  assert.equal(await page.evaluate(() => window.played), 'playing');
  return { page, errors };
}

async function capture(page) {
  await page.waitForFunction(() => window.captured !== undefined, { timeout: 60000 });
  const raw = await fromPage(page, () => new Uint8Array(window.captured.buffer));
  return new Float32Array(raw.buffer, raw.byteOffset, raw.length / 4);
}

const events = (page, type) => page.evaluate((type) => window.events.filter((e) => e.type === type), type);
const lastFrame = async (page) => (await events(page, 'position')).at(-1)?.frame ?? -1;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

test('ZindlePlayer from the installed package, served from another folder', async (t) => {
  const native = nativeRender(song, 24, dir);
  assert.equal(native.status, 0);
  const expected = new Int16Array(native.frames.buffer, native.frames.byteOffset, native.frames.length / 2);
  const server = await startServer(site);
  let browser = null;
  try {
    browser = await launch(dir);

    await t.test('at 44100 Hz: the renderer\'s frames exactly; rows, seek, jump, pause, resume, stop', async () => {
      const { page, errors } = await openPlayer(browser, server.port, null);
      assert.equal(await page.evaluate(() => window.player.context.sampleRate), 44100);
      const floats = await capture(page);
      assert.equal(floats.length, 2 * CAPTURE_FRAMES);
      for (let i = 0; i < floats.length; i++)
        if (floats[i] * 32768 !== expected[i]) assert.fail(`frame ${i >> 1}: ${floats[i] * 32768} played, ${expected[i]} rendered`);
      const rows = await events(page, 'row');
      assert.ok(rows.length > 8);
      for (let k = 1; k < rows.length; k++) {
        assert.ok(rows[k].frame > rows[k - 1].frame);
        assert.equal(rows[k].row, (rows[k - 1].row + 1) % 64);
      }
      // Seek to 10 s, then a jump to the next entry.
      await page.evaluate(() => window.player.seek(10));
      await page.waitForFunction(() => window.events.some((e) => e.type === 'position' && e.frame >= 441000));
      await page.evaluate(() => window.player.jump());
      await page.waitForFunction(() => window.events.some((e) => e.type === 'jump'));
      // Paused, the position stands still; resumed, it goes on.
      await page.evaluate(() => window.player.pause());
      await sleep(200);
      const paused = await lastFrame(page);
      await sleep(400);
      assert.equal(await lastFrame(page), paused);
      await page.evaluate(() => window.player.resume());
      await page.waitForFunction((f) => window.events.at(-1).frame > f, {}, paused);
      await page.evaluate(() => window.player.stop());
      await sleep(100);
      const stopped = await page.evaluate(() => window.events.length);
      await sleep(400);
      assert.equal(await page.evaluate(() => window.events.length), stopped);
      assert.deepEqual(errors, []);
      await page.close();
    });

    await t.test('at 48000 Hz into the caller\'s node: the same music resampled; the end after a seek', async () => {
      const { page, errors } = await openPlayer(browser, server.port, 48000);
      const floats = await capture(page);
      let signal = 0;
      let error = 0;
      for (let j = 0; j < floats.length / 2; j++) {
        const x = (j * 44100) / 48000;
        const i = Math.floor(x);
        if (i + 1 >= expected.length / 2) break;
        for (const c of [0, 1]) {
          const want = (expected[2 * i + c] + (expected[2 * i + 2 + c] - expected[2 * i + c]) * (x - i)) / 32768;
          signal += want * want;
          error += (floats[2 * j + c] - want) ** 2;
        }
      }
      const snr = 10 * Math.log10(signal / error);
      console.log(`48000 Hz in Chromium against the renderer's frames: ${snr.toFixed(1)} dB`);
      assert.ok(snr > 20, `${snr} dB`);
      const passFrames = await page.evaluate(async () => (await window.zindle.Song.load(window.bytes)).info.passFrames);
      await page.evaluate((s) => {
        window.player.setRepeat(0);
        window.player.seek(s);
      }, (passFrames - 4410) / 44100);
      await page.waitForFunction(() => window.events.some((e) => e.type === 'end'), { timeout: 20000 });
      // A command the library refuses comes back as an error event; bytes
      // that are no module are refused by play().
      await page.evaluate(() => window.player.jumpTo(999, 0));
      await page.waitForFunction(() => window.events.some((e) => e.type === 'error'));
      assert.match((await events(page, 'error'))[0].message, /^jumpTo: argument out of range$/);
      const refused = await page.evaluate(() => window.player.play(new TextEncoder().encode('hello\n'.repeat(400)))
        .then(() => 'played', (e) => e.message));
      assert.match(refused, /does not look like a module/);
      assert.deepEqual(errors, []);
      await page.close();
    });
  } finally {
    await closeBrowser(browser);
    server.stop();
  }
});
