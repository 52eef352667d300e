// What the Chromium tests share: the parts they need, a static server on
// 127.0.0.1 over a folder (the built page unless told), a headless
// Chromium, and the worklet's capture compared with the native renderer's
// frames.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

import { env, requireParts } from './harness.mjs';

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
let puppeteer = null;

// The built page, for the tests that play it.
export const pagePart = [`${env.web}/index.html (make web, or configure ZINDLE_WEB_DIR)`,
  env.web && existsSync(join(env.web, 'index.html'))];

// Skips the test (fails it in CI) unless Chromium, its driver, python3,
// zindle-render and the test's own `parts` are there.
export async function requireBrowser(parts = []) {
  requireParts([
    ...parts,
    ['zindle-render', env.render && existsSync(env.render)],
    [`chromium (${chromium})`, existsSync(chromium)],
    ['puppeteer-core (npm ci in tests/web)', puppeteerPath !== null],
    ['python3', python !== undefined],
  ]);
  puppeteer = (await import(puppeteerPath)).default;
}

// `python3 -m http.server`, the one command the README gives, on a port
// the system picks; stopped by its PID.
export async function startServer(folder = env.web) {
  const server = spawn(python, ['-u', '-m', 'http.server', '--bind', '127.0.0.1', '--directory', folder, '0'],
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

export async function launch(dir) {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    pipe: true,
    userDataDir: join(dir, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
  });
}

export async function closeBrowser(browser) {
  if (browser) await browser.close().catch(() => process.kill(browser.process().pid, 'SIGKILL'));
}

export const text = (page, selector) => page.$eval(selector, (e) => e.textContent);

// Bytes made in the page (a typed array or a blob URL's), to node.
export async function fromPage(page, fn, ...args) {
  const base64 = await page.evaluate(async (source, args) => {
    const bytes = await (0, eval)(source)(...args);
    let s = '';
    for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(s);
  }, fn.toString(), args);
  return Buffer.from(base64, 'base64');
}

// The frames the worklet gave the audio graph, as floats through the test
// hook, must be the renderer's samples / 32768 exactly.
export async function expectCapture(page, native, frames) {
  await page.waitForFunction(() => window.zindleCapture !== undefined, { timeout: 60000 });
  const raw = await fromPage(page, () => {
    const bytes = new Uint8Array(window.zindleCapture.buffer);
    window.zindleCapture = undefined;
    return bytes;
  });
  const floats = new Float32Array(raw.buffer, raw.byteOffset, raw.length / 4);
  assert.equal(floats.length, 2 * frames);
  const expected = new Int16Array(native.buffer, native.byteOffset, 2 * frames);
  for (let i = 0; i < floats.length; i++) {
    const value = floats[i] * 32768;
    if (value !== expected[i])
      assert.fail(`frame ${i >> 1} ${i & 1 ? 'right' : 'left'}: ${value} played, ${expected[i]} rendered`);
  }
}

// A file dropped on the page at (x, y), through a real drop event there.
export async function drop(page, files, x, y) {
  await page.evaluate(async (files, x, y) => {
    const data = new DataTransfer();
    for (const [name, base64] of files) data.items.add(new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], name));
    const target = document.elementFromPoint(x, y);
    for (const type of ['dragenter', 'dragover', 'drop'])
      target.dispatchEvent(new DragEvent(type, { dataTransfer: data, bubbles: true, cancelable: true, clientX: x, clientY: y }));
  }, files.map(([name, bytes]) => [name, Buffer.from(bytes).toString('base64')]), x, y);
}
