// The player page as a listener uses it, in a headless Chromium: the
// pattern view against the position the audio thread reports, a channel
// muted through its meter and the bar's seek against zindle-render's
// frames, save as WAV and the stems against its files, files that are
// not modules, a playlist, and screenshots at two widths in light and
// dark. Prints the page's size.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdirSync, readdirSync, readFileSync, statSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { closeBrowser, drop, expectCapture, fromPage, launch, pagePart, requireBrowser, startServer, text } from './chromium.mjs';
import { env, FRAMES_PER_BUFFER, scratchDir } from './harness.mjs';

await requireBrowser([pagePart]);

const work = process.env.ZINDLE_TEST_WORK_DIR ?? scratchDir();
mkdirSync(work, { recursive: true });
const dir = scratchDir();
const demo = join(env.source, 'examples', 'demo.mod');
const BUFFERS = 32;
const FRAMES = BUFFERS * FRAMES_PER_BUFFER;

const songs = join(dir, 'songs');
mkdirSync(songs);
const written = spawnSync(process.env.ZINDLE_WRITE_SONGS, [songs], { encoding: 'utf8' });
assert.equal(written.status, 0, written.stderr);

// zindle-render's output file for `args`.
function render(args, name = 'out.raw') {
  const out = join(dir, name);
  const run = spawnSync(env.render, [...args, out], { encoding: 'latin1' });
  assert.equal(run.status, 0, run.stderr);
  return readFileSync(out);
}

// The entries of a zip of stored files, by name.
function unzip(bytes) {
  const files = {};
  let at = 0;
  while (bytes.readUInt32LE(at) === 0x04034b50) {
    assert.equal(bytes.readUInt16LE(at + 8), 0, 'stored');
    const size = bytes.readUInt32LE(at + 18);
    const name = bytes.toString('latin1', at + 30, at + 30 + bytes.readUInt16LE(at + 26));
    const start = at + 30 + name.length + bytes.readUInt16LE(at + 28);
    files[name] = bytes.subarray(start, start + size);
    at = start + size;
  }
  return files;
}

const waitText = (page, id, pattern) =>
  page.waitForFunction((id, source) => new RegExp(source).test(document.getElementById(id).textContent), { timeout: 30000 },
    id, pattern.source);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function upload(page, ...paths) {
  await (await page.$('#file')).uploadFile(...paths);
}

// Panels as after a failed load: nothing of the song before is left.
async function expectCleared(page) {
  assert.deepEqual(await page.evaluate(() => ['song', 'pattern', 'row', 'order', 'view', 'meters', 'samples', 'orders']
    .map((id) => document.getElementById(id).textContent)), ['–', '–', '–', '–', '', '', '', '']);
  assert.equal(await page.$eval('#play', (b) => b.disabled), true);
  assert.equal(await text(page, '#status'), 'Nothing is playing.');
}

test('the player page', async (t) => {
  const sizes = readdirSync(env.web).filter((f) => f !== 'demo.mod').map((f) => statSync(join(env.web, f)).size);
  const total = sizes.reduce((a, b) => a + b, 0);
  const wasm = statSync(join(env.web, 'zindle.wasm')).size;
  console.log(`page without the demo: ${total} bytes (${(total / 1024).toFixed(1)} KiB), of which zindle.wasm ${wasm} bytes`);
  assert.ok(total <= 96 * 1024, 'the page with the wasm is at most 96 KiB');

  const server = await startServer();
  let browser = null;
  try {
    browser = await launch(dir);
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.setViewport({ width: 1200, height: 900 });
    await page.goto(`http://127.0.0.1:${server.port}/?capture=${FRAMES}`, { waitUntil: 'load' });
    assert.equal(await text(page, '#version'), '', 'no empty version before a load');
    // The picker takes any file (mod.NAME, no extension), several at once.
    assert.deepEqual(await page.$eval('#file', (f) => [f.accept, f.multiple]), ['', true]);

    await t.test('the highlighted row is the row the position reports, at 4 and 32 channels', async () => {
      for (const channels of [4, 32]) {
        await upload(page, join(songs, `busy-${channels}ch.mod`));
        await waitText(page, 'status', new RegExp(`Playing busy-${channels}ch`));
        assert.equal(await page.$$eval('#meters button', (b) => b.length), channels);
        for (let k = 0; k < 2; k++) {
          await sleep(700 + 300 * k);
          await page.click('#play'); // pause
          await sleep(250);
          await page.screenshot({ path: join(work, `pattern-${channels}ch-${k}.png`) });
          const seen = await page.evaluate(() => {
            const view = document.getElementById('view');
            return {
              now: [...view.children].findIndex((e) => e.classList.contains('now')),
              row: Number(view.dataset.row),
              pattern: Number(view.dataset.pattern),
              reported: ['row', 'pattern'].map((id) => Number(document.getElementById(id).textContent)),
            };
          });
          assert.equal(seen.now, seen.reported[0]);
          assert.deepEqual([seen.row, seen.pattern], seen.reported);
          assert.ok(seen.row > 0 || k === 0, 'the song moved on');
          await page.click('#play'); // resume
        }
        // A click on a row plays from there, in the same order entry.
        const entry = await text(page, '#order');
        await page.$eval('#view div:nth-child(49)', (e) => e.scrollIntoView({ block: 'center', behavior: 'instant' }));
        await page.click('#view div:nth-child(49)');
        await page.waitForFunction((entry) => document.getElementById('order').textContent === entry &&
          Number(document.getElementById('row').textContent) >= 48, { timeout: 3000 }, entry);
        assert.ok(Number(await text(page, '#row')) < 56, 'the song went to the row clicked, not past it');
        // Each line holds every channel's cell.
        const line = await page.$eval('#view div', (e) => e.textContent);
        assert.equal(line.split(' ').length, 1 + 3 * channels);
      }
      assert.ok(await page.$eval('#view', (v) => v.scrollWidth > v.clientWidth), '32 channels scroll sideways');
    });

    await t.test('a meter mutes its channel and the bar seeks, as zindle-render renders them', async () => {
      await page.evaluate(() => {
        window.zindleCapture = undefined; // the songs before
      });
      await page.click('#play-demo');
      await expectCapture(page, render(['--buffers', String(BUFFERS), demo]), FRAMES);
      await page.click('#meters button:nth-child(2)');
      assert.equal(await page.$eval('#meters button:nth-child(2)', (b) => b.getAttribute('aria-pressed')), 'true');
      // Stop and play again: the song from its start with channel 2 muted.
      await page.click('#stop');
      await page.click('#play');
      await expectCapture(page, render(['--buffers', String(BUFFERS), '--mute', '2', demo]), FRAMES);
      // Shift-click solos channel 3; clicking a muted meter lets it be heard.
      await page.keyboard.down('Shift');
      await page.click('#meters button:nth-child(3)');
      await page.keyboard.up('Shift');
      assert.deepEqual(await page.$$eval('#meters button', (b) => b.map((e) => e.getAttribute('aria-pressed'))),
        ['true', 'true', 'false', 'true', 'true', 'true']);
      await page.keyboard.down('Shift');
      await page.click('#meters button:nth-child(3)');
      await page.keyboard.up('Shift');

      // Drag the bar's thumb by the mouse; the frame it lands on plays as
      // zindle-render --start renders it.
      await page.$eval('#seek', (s) => s.addEventListener('change', () => (window.sought = s.value), { once: true }));
      const box = await (await page.$('#seek')).boundingBox();
      await page.mouse.move(box.x + 2, box.y + box.height / 2);
      await page.mouse.down();
      await page.mouse.move(box.x + box.width * 0.3, box.y + box.height / 2, { steps: 5 });
      await page.mouse.move(box.x + box.width * 0.37, box.y + box.height / 2, { steps: 5 });
      await page.mouse.up();
      const frame = Number(await page.evaluate(() => window.sought));
      assert.ok(frame > 0);
      const start = (frame / 44100).toFixed(6);
      await expectCapture(page, render(['--buffers', String(BUFFERS), '--start', start, demo]), FRAMES);
      // And to an exact time through the keyboard-free path: 2.5 s.
      await page.$eval('#seek', (s) => {
        s.value = 110250;
        s.dispatchEvent(new Event('input'));
        s.dispatchEvent(new Event('change'));
      });
      await expectCapture(page, render(['--buffers', String(BUFFERS), '--start', '2.5', demo]), FRAMES);
    });

    await t.test('save as WAV and the stems are zindle-render\'s files', async () => {
      const saved = () => fromPage(page, async () => {
        const a = document.querySelector('#saved a');
        return new Uint8Array(await (await fetch(a.href)).arrayBuffer());
      });
      await page.click('#save');
      await page.waitForSelector('#saved a', { timeout: 60000 });
      assert.equal(await text(page, '#saved a'), 'demo.wav');
      const wav = render([demo], 'demo.wav');
      assert.ok((await saved()).equals(wav), 'the WAV is zindle-render\'s one-pass file');

      await page.click('#stems');
      await page.waitForFunction(() => /stems\.zip/.test(document.getElementById('saved').textContent), { timeout: 120000 });
      const files = unzip(await saved());
      render(['--stems', demo], 'demo.wav');
      assert.deepEqual(Object.keys(files), ['demo.wav', ...[1, 2, 3, 4, 5, 6].map((c) => `demo-ch0${c}.wav`)]);
      for (const [name, bytes] of Object.entries(files))
        assert.ok(bytes.equals(readFileSync(join(dir, name))), `${name} is zindle-render's`);

      // One download per file instead; and two passes, as --passes 2.
      await page.select('#stems-as', 'files');
      await page.click('#stems');
      await page.waitForFunction(() => document.querySelectorAll('#saved a').length === 7, { timeout: 120000 });
      assert.deepEqual(await page.$$eval('#saved a', (a) => a.map((e) => e.download)), Object.keys(files));
      await page.$eval('#passes', (p) => (p.value = 2));
      await page.click('#save');
      await page.waitForFunction(() => document.querySelectorAll('#saved a').length === 1, { timeout: 120000 });
      assert.ok((await saved()).equals(render(['--passes', '2', demo], 'demo.wav')), 'two passes as zindle-render --passes 2');
    });

    await t.test('files that are not modules say so and clear the panels', async () => {
      let seed = 7;
      const noise = Buffer.alloc(5000, 0).map(() => (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24);
      const cases = [
        ['noise.bin', noise, /noise\.bin does not look like a module/, true],
        ['notes.txt', Buffer.from('Just some text, not music.\n'.repeat(50)), /notes\.txt does not look like a module/, true],
        ['empty.mod', Buffer.alloc(0), /empty\.mod is empty/, false],
      ];
      for (const [name, bytes, message, force] of cases) {
        await page.click('#play-demo');
        await waitText(page, 'status', /Playing demo\.mod/);
        writeFileSync(join(dir, name), bytes);
        await upload(page, join(dir, name));
        await waitText(page, 'error-text', message);
        assert.equal(await page.$eval('#force', (b) => !b.hidden), force, `${name}: play anyway`);
        await expectCleared(page);
      }
    });

    await t.test('several files dropped form a playlist played one after the other', async () => {
      await drop(page, [['busy-4ch.mod', readFileSync(join(songs, 'busy-4ch.mod'))],
        ['mod.demo', readFileSync(demo)]], 5, 5);
      await waitText(page, 'status', /Playing busy-4ch\.mod/);
      assert.equal(await page.$eval('#list', (l) => l.hidden), false);
      assert.equal(await page.$eval('#loop', (l) => l.checked), false, 'each song plays once');
      assert.deepEqual(await page.$$eval('#playlist li', (l) => l.map((e) => [e.textContent, e.hasAttribute('aria-current')])),
        [['busy-4ch.mod', true], ['mod.demo', false]]);
      // Near the end of the first: the second follows by itself.
      await page.$eval('#seek', (s) => {
        s.value = s.max - 4096;
        s.dispatchEvent(new Event('change'));
      });
      await waitText(page, 'status', /Playing mod\.demo/);
      assert.equal(await page.$eval('#playlist li:nth-child(2)', (e) => e.hasAttribute('aria-current')), true);
      assert.match(await text(page, '#version'), new RegExp(`Engine ${env.version.replace(/\./g, '\\.')}`));
    });

    await t.test('the keyboard reaches everything and shows where it is', async () => {
      await page.focus('#view');
      await page.keyboard.press('Space');
      await waitText(page, 'status', /^Paused mod\.demo/);
      await page.keyboard.press('Space');
      await waitText(page, 'status', /^Playing mod\.demo/);
      // Tab from the volume reaches the bar, a meter takes Enter and S.
      await page.focus('#volume');
      await page.keyboard.press('Tab');
      assert.equal(await page.evaluate(() => document.activeElement.id), 'seek');
      assert.equal(await page.$eval('#seek', (e) => getComputedStyle(e).outlineStyle), 'solid', 'a visible focus');
      await page.focus('#meters button:nth-child(4)');
      await page.keyboard.press('Enter');
      assert.equal(await page.$eval('#meters button:nth-child(4)', (b) => b.getAttribute('aria-pressed')), 'true');
      await page.keyboard.press('s');
      assert.deepEqual(await page.$$eval('#meters [aria-pressed=true]', (b) => b.length), 5);
      await page.keyboard.press('s');
      assert.deepEqual(await page.$$eval('#meters [aria-pressed=true]', (b) => b.length), 0);
      // Every control has a name.
      const unnamed = await page.$$eval('button, input, select', (all) => all.filter((e) =>
        !(e.labels?.length || e.getAttribute('aria-label') || e.textContent.trim())).map((e) => e.outerHTML));
      assert.deepEqual(unnamed, []);
    });

    await t.test('screenshots at 1200 and 390 px, light and dark', async () => {
      for (const [width, scheme] of [[1200, 'light'], [1200, 'dark'], [390, 'light'], [390, 'dark']]) {
        await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: scheme }]);
        await page.setViewport({ width, height: width > 400 ? 900 : 844 });
        await sleep(300);
        assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= innerWidth), `nothing wider than ${width} px`);
        await page.screenshot({ path: join(work, `web-player-${width}-${scheme}.png`) });
      }
    });
    assert.deepEqual(errors, []);
  } finally {
    await closeBrowser(browser);
    server.stop();
  }
});
