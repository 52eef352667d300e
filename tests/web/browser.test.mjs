// The page in a real headless Chromium, served from build/web by a local
// server on 127.0.0.1: the demo played by the AudioWorklet must give the
// native renderer's frames bit for bit; Z moves the position, Escape stops
// the music, a bad file gets a message. A screenshot of the playing page
// is saved beside the test's other files.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { env, FRAMES_PER_BUFFER, nativeRender, requireParts, scratchDir } from './harness.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const chromium = process.env.ZINDLE_CHROMIUM ?? '/usr/bin/chromium';
const require = createRequire(join(here, 'package.json'));
let puppeteerPath = null;
try {
  puppeteerPath = require.resolve('puppeteer-core');
} catch {
  // reported below
}
const python = ['/usr/bin/python3', '/usr/local/bin/python3'].find((p) => existsSync(p));
requireParts([
  [`${env.web}/index.html (make web, or configure ZINDLE_WEB_DIR)`, env.web && existsSync(join(env.web, 'index.html'))],
  ['zindle-render', env.render && existsSync(env.render)],
  [`chromium (${chromium})`, existsSync(chromium)],
  ['puppeteer-core (npm ci in tests/web)', puppeteerPath !== null],
  ['python3', python !== undefined],
]);
const { default: puppeteer } = await import(puppeteerPath);

const work = process.env.ZINDLE_TEST_WORK_DIR ?? scratchDir();
mkdirSync(work, { recursive: true });
const dir = scratchDir();
const CAPTURE_BUFFERS = 64; // about 3 s of the demo
const CUT_BYTES = 9000; // into the demo's samples
const demo = join(env.source, 'examples', 'demo.mod');

// `python3 -m http.server`, the one command the README gives, on a port
// the system picks; stopped by its PID.
async function startServer() {
  const server = spawn(python, ['-u', '-m', 'http.server', '--bind', '127.0.0.1', '--directory', env.web, '0'],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  const port = await new Promise((resolve, reject) => {
    let seen = '';
    server.stdout.on('data', (data) => {
      seen += data;
      const match = /port (\d+)/.exec(seen);
      if (match) resolve(Number(match[1]));
    });
    server.on('exit', (code) => reject(new Error(`the server ended with ${code}`)));
    setTimeout(() => reject(new Error('the server did not start')), 10000);
  });
  server.stderr.resume();
  return { port, stop: () => process.kill(server.pid, 'SIGTERM') };
}

async function launch() {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    pipe: true,
    userDataDir: join(dir, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
  });
}

const text = (page, selector) => page.$eval(selector, (e) => e.textContent);
const CAPTURE_FRAMES = CAPTURE_BUFFERS * FRAMES_PER_BUFFER;

// The first frames the worklet gave the audio graph, as floats through the
// test hook, must be the renderer's samples / 32768 exactly.
async function expectCapture(page, native) {
  await page.waitForFunction(() => window.zindleCapture !== undefined, { timeout: 60000 });
  const base64 = await page.evaluate(() => {
    const bytes = new Uint8Array(window.zindleCapture.buffer);
    window.zindleCapture = undefined;
    let s = '';
    for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(s);
  });
  const raw = Buffer.from(base64, 'base64');
  const floats = new Float32Array(raw.buffer, raw.byteOffset, raw.length / 4);
  assert.equal(floats.length, 2 * CAPTURE_FRAMES);
  const expected = new Int16Array(native.frames.buffer, native.frames.byteOffset, 2 * CAPTURE_FRAMES);
  for (let i = 0; i < floats.length; i++) {
    const value = floats[i] * 32768;
    if (value !== expected[i])
      assert.fail(`frame ${i >> 1} ${i & 1 ? 'right' : 'left'}: ${value} played, ${expected[i]} rendered`);
  }
}

test('the page plays the demo exactly, moves on Z, stops on Escape, reports a bad file and plays a dropped one', async () => {
  const native = nativeRender(demo, CAPTURE_BUFFERS, dir);
  assert.equal(native.status, 0);
  const server = await startServer();
  let browser = null;
  try {
    browser = await launch();
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.setViewport({ width: 900, height: 640 });
    await page.goto(`http://127.0.0.1:${server.port}/?capture=${CAPTURE_FRAMES}`, { waitUntil: 'load' });

    // One click plays the demo.
    await page.click('#play-demo');
    await expectCapture(page, native);
    assert.equal(await text(page, '#console'), native.report);
    assert.match(await text(page, '#status'), /Playing demo\.mod/);

    // The shown position follows the song; Z moves it to the next entry
    // and writes that entry's pattern number as the player does.
    await page.waitForFunction(() => document.getElementById('time').textContent !== '0:00.0');
    const before = Number(await text(page, '#order'));
    await page.screenshot({ path: join(work, 'web-player.png') });
    await page.keyboard.press('z');
    await page.waitForFunction((o) => Number(document.getElementById('order').textContent) !== o, {}, before);
    const line = /\r\n([0-9A-F]{8}) \r\n$/.exec(await text(page, '#console'));
    assert.ok(line, 'Z writes the pattern number');
    await page.waitForFunction((p) => Number(document.getElementById('pattern').textContent) === p, {},
      parseInt(line[1], 16));

    // Escape stops: the time stands still and the buttons are off.
    await page.keyboard.press('Escape');
    await page.waitForFunction(() => document.getElementById('status').textContent === 'Stopped.');
    const stoppedAt = await text(page, '#time');
    await new Promise((resolve) => setTimeout(resolve, 600));
    assert.equal(await text(page, '#time'), stoppedAt);
    assert.equal(await page.$eval('#stop', (b) => b.disabled), true);

    // An empty file: the report, and a message instead of silence.
    const empty = join(dir, 'empty.mod');
    writeFileSync(empty, '');
    const input = await page.$('#file');
    await input.uploadFile(empty);
    await page.waitForFunction(() => !document.getElementById('error').hidden);
    assert.match(await text(page, '#error'), /empty\.mod has a song length of 0: there is nothing to play/);
    assert.match(await text(page, '#console'), /^channels: /);
    assert.equal(await text(page, '#status'), 'Nothing is playing.');

    // A file dropped on the page plays; the demo cut short plays as the
    // renderer renders it, the missing bytes read as 0.
    const cut = join(dir, 'cut.mod');
    writeFileSync(cut, readFileSync(demo).subarray(0, CUT_BYTES));
    const nativeCut = nativeRender(cut, CAPTURE_BUFFERS, dir);
    assert.equal(nativeCut.status, 0);
    await page.evaluate(async (size) => {
      const bytes = (await (await fetch('demo.mod')).arrayBuffer()).slice(0, size);
      const data = new DataTransfer();
      data.items.add(new File([bytes], 'cut.mod'));
      const drop = new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true });
      document.getElementById('drop-zone').dispatchEvent(drop);
    }, CUT_BYTES);
    await expectCapture(page, nativeCut);
    assert.match(await text(page, '#status'), /Playing cut\.mod/);
    assert.equal(await text(page, '#console'), nativeCut.report);
    assert.equal(await page.$eval('#error', (e) => e.hidden), true);
    assert.deepEqual(errors, []);
  } finally {
    if (browser) await browser.close().catch(() => process.kill(browser.process().pid, 'SIGKILL'));
    server.stop();
  }
});
