// The page in a real headless Chromium, served from build/web by a local
// server on 127.0.0.1: the demo played by the AudioWorklet must give the
// native renderer's frames bit for bit; Z moves the position, Escape stops
// the music, a bad file gets a message. A screenshot of the playing page
// is saved beside the test's other files.
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { closeBrowser, drop, expectCapture as expectFrames, launch, pagePart, requireBrowser, startServer, text } from './chromium.mjs';
import { env, FRAMES_PER_BUFFER, nativeRender, scratchDir } from './harness.mjs';

await requireBrowser([pagePart]);

const work = process.env.ZINDLE_TEST_WORK_DIR ?? scratchDir();
mkdirSync(work, { recursive: true });
const dir = scratchDir();
const CAPTURE_BUFFERS = 64; // about 3 s of the demo
const CUT_BYTES = 9000; // into the demo's samples
const demo = join(env.source, 'examples', 'demo.mod');

const CAPTURE_FRAMES = CAPTURE_BUFFERS * FRAMES_PER_BUFFER;
const expectCapture = (page, native) => expectFrames(page, native.frames, CAPTURE_FRAMES);

test('the page plays the demo exactly, moves on Z, stops on Escape, reports a bad file and plays a dropped one', async () => {
  const native = nativeRender(demo, CAPTURE_BUFFERS, dir);
  assert.equal(native.status, 0);
  const server = await startServer();
  let browser = null;
  try {
    browser = await launch(dir);
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

    // A module whose song length is 0, played anyway: the report, and a
    // message instead of silence.
    const bytes = readFileSync(demo);
    bytes[950] = 0;
    const hollow = join(dir, 'hollow.mod');
    writeFileSync(hollow, bytes);
    const input = await page.$('#file');
    await input.uploadFile(hollow);
    await page.waitForFunction(() => !document.getElementById('error').hidden);
    if (!(await page.$eval('#force', (b) => b.hidden))) await page.click('#force');
    await page.waitForFunction(() => /song length of 0/.test(document.getElementById('error').textContent));
    assert.match(await text(page, '#error'), /hollow\.mod has a song length of 0: there is nothing to play/);
    assert.match(await text(page, '#console'), /^channels: /);
    assert.equal(await text(page, '#status'), 'Nothing is playing.');

    // A file dropped in the window's margin, outside the page's column,
    // plays; the demo cut short plays as the renderer renders it, the
    // missing bytes read as 0.
    const cut = join(dir, 'cut.mod');
    writeFileSync(cut, readFileSync(demo).subarray(0, CUT_BYTES));
    const nativeCut = nativeRender(cut, CAPTURE_BUFFERS, dir);
    assert.equal(nativeCut.status, 0);
    await page.setViewport({ width: 1600, height: 640 });
    const margin = await page.$eval('main', (m) => m.getBoundingClientRect().left);
    assert.ok(margin > 20, 'the window has a margin');
    await drop(page, [['cut.mod', readFileSync(cut)]], 10, 300);
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
