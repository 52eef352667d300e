// The page, built on the zindle package: one ZindlePlayer in an
// AudioContext at 44100 Hz plays; a Song on this thread gives what the
// panels show (patterns, samples, order list); save.js renders files in a
// worker. The pattern view follows the `row` events at the time each row
// is heard, not a timer's guess.
import { SAMPLE_RATE } from './constants.js';
import { Song, ZindlePlayer } from './index.js';

const $ = (id) => document.getElementById(id);
const el = (tag, text, cls) => Object.assign(document.createElement(tag), { textContent: text, className: cls ?? '' });
const hex = (v, n) => v.toString(16).toUpperCase().padStart(n, '0');
const NOTES = ['C-', 'C#', 'D-', 'D#', 'E-', 'F-', 'F#', 'G-', 'G#', 'A-', 'A#', 'B-'];
const smooth = matchMedia('(prefers-reduced-motion: reduce)');

// Test hook: ?capture=N keeps the first N frames the worklet hands to the
// graph (from the start or a seek) on window.zindleCapture.
const capture = Number(new URLSearchParams(location.search).get('capture')) || 0;

let player = null;
let gain = null;
let song = null; // the Song the panels show
let current = null; // { bytes, name, force }
let state = 'stopped'; // or 'playing', 'paused'
let muted = new Set();
let rows = []; // row events not heard yet
let shown = null; // { order, pattern, row } in the view
let dragging = false;
let list = []; // the playlist's files
let at = -1; // the entry playing
let next = null; // the next entry, read and loaded ahead

function getPlayer() {
  if (player) return player;
  // At the engine's rate the frames reach the graph unchanged; a browser
  // that refuses it gets its own rate, and the worklet resamples.
  let context;
  try {
    context = new AudioContext({ sampleRate: SAMPLE_RATE });
  } catch {
    context = new AudioContext();
  }
  gain = new GainNode(context, { gain: volume() });
  gain.connect(context.destination);
  player = new ZindlePlayer(context, { capture, destination: gain });
  player.addEventListener('row', (e) => rows.push(e));
  player.addEventListener('position', (e) => {
    $('order').textContent = e.order;
    $('pattern').textContent = e.pattern;
    $('row').textContent = e.row;
    if (!dragging) {
      $('seek').value = e.frame;
      $('time').textContent = time(e.frame);
    }
    e.levels.forEach((l, c) => $('meters').children[c]?.style.setProperty('--l', l / 64));
    // Just started or sought: the view starts there, rows follow.
    if (!shown) show(e);
    if (state === 'playing' && player.context.state === 'running' && $('status').textContent.endsWith('sound.'))
      status(`Playing ${current.name}.`);
  });
  player.addEventListener('jump', (e) => {
    $('console').textContent += `${hex(e.pattern >>> 0, 8)} \r\n`;
  });
  player.addEventListener('capture', (e) => {
    window.zindleCapture = e.samples;
  });
  player.addEventListener('end', () => {
    if (at + 1 < list.length) playEntry(at + 1);
    else {
      setState('stopped');
      status(`${current.name} has ended.`);
    }
  });
  player.addEventListener('error', (e) => {
    stop();
    showError(`Playback failed: ${e.message}`);
  });
  requestAnimationFrame(follow);
  return player;
}

// Each frame drawn: the rows whose time has come go to the view; paused,
// the view goes to the last row rendered, where resume goes on from.
function follow() {
  requestAnimationFrame(follow);
  const now = player.context.currentTime;
  let row = null;
  while (rows.length && (state === 'paused' || rows[0].time <= now)) row = rows.shift();
  if (row) show(row);
}

const volume = () => ($('volume').value / 100) ** 2;
const time = (frames) => {
  const tenths = Math.floor(frames / (SAMPLE_RATE / 10));
  return `${Math.floor(tenths / 600)}:${String(Math.floor(tenths / 10) % 60).padStart(2, '0')}.${tenths % 10}`;
};
const status = (text) => ($('status').textContent = text);

function showError(text, force) {
  $('error-text').textContent = text;
  $('error').hidden = false;
  $('force').hidden = !force;
}

function setState(s) {
  state = s;
  const loaded = song !== null;
  $('play').disabled = !loaded;
  $('play').firstChild.textContent = s === 'playing' ? 'Pause ' : 'Play ';
  $('stop').disabled = s === 'stopped';
  $('jump').disabled = s === 'stopped';
  $('seek').disabled = s === 'stopped';
  $('save').disabled = $('stems').disabled = !loaded;
}

function stop() {
  player?.stop();
  rows = [];
  if (state !== 'stopped') status('Stopped.');
  setState('stopped');
}

// Empties the panels: nothing of an earlier song stays on show.
function clear() {
  stop();
  song?.free();
  song = null;
  shown = null;
  for (const id of ['meters', 'view', 'orders', 'samples', 'channels', 'saved']) $(id).textContent = '';
  for (const id of ['song', 'order', 'pattern', 'row']) $(id).textContent = '–';
  $('seek').max = 0;
  $('time').textContent = $('length').textContent = time(0);
  setState('stopped');
}

// Loads bytes for the panels, then plays them. False when they do not load.
async function open(bytes, name, force = false, loaded = null) {
  $('error').hidden = true;
  clear();
  current = { bytes, name, force };
  if (bytes.byteLength === 0) {
    status('Nothing is playing.');
    showError(`${name} is empty: there is nothing to play.`);
    return false;
  }
  try {
    song = loaded ?? (await Song.load(bytes, { force }));
  } catch (e) {
    status('Nothing is playing.');
    if (e.report === undefined) showError(`${name} does not look like a module.`, true);
    else {
      $('console').textContent = e.report;
      showError(`${name} has a song length of 0: there is nothing to play.`);
    }
    return false;
  }
  $('version').textContent = `Engine ${song.version}, `;
  $('console').textContent = song.report;
  muted = new Set();
  fill();
  await start();
  return true;
}

function fill() {
  const { title, channels, sampleNames, orders, passFrames } = song.info;
  const clean = (s) => s.replace(/[\0-\x1f\x7f-\x9f]/g, '.');
  $('song').textContent = title.trim() ? `${clean(title).trim()} (${current.name})` : current.name;
  $('channels').textContent = `${channels} channels, ${time(passFrames)} a pass`;
  $('length').textContent = time(passFrames);
  $('seek').max = passFrames;
  sampleNames.forEach((n, i) => $('samples').append(el('li', `${hex(i + 1, 2)} ${clean(n)}`)));
  orders.forEach((p) => $('orders').append(el('li', hex(p, 2))));
  for (let c = 0; c < channels; c++) {
    const b = el('button', String(c + 1).padStart(2, '0'));
    b.type = 'button';
    b.setAttribute('aria-label', `Mute channel ${c + 1}`);
    b.setAttribute('aria-pressed', 'false');
    b.append(el('i'));
    b.onclick = (e) => (e.shiftKey ? solo(c) : setMute([c], !muted.has(c)));
    b.onkeydown = (e) => {
      if (e.key.toLowerCase() === 's') solo(c);
    };
    $('meters').append(b);
  }
}

async function start() {
  const p = getPlayer();
  const mine = current;
  $('error').hidden = true;
  rows = [];
  shown = null;
  setState('playing');
  status(`Loading ${current.name}…`);
  try {
    await p.play(current.bytes, { force: true, muted: [...muted] });
  } catch (e) {
    if (e.name !== 'AbortError') {
      clear();
      showError(`${current.name} could not be played: ${e.message}`);
    }
    return;
  }
  // Another file was opened while this one was starting: that one is
  // what the page shows, and this one must not sound behind it.
  if (current !== mine) {
    if (state !== 'playing') p.stop();
    return;
  }
  status(p.context.state === 'running' ? `Playing ${current.name}.` : `${current.name} is loaded: click or press a key to start the sound.`);
  if (p.context.state !== 'running') {
    const wake = () => p.context.resume();
    addEventListener('pointerdown', wake, { once: true });
    addEventListener('keydown', wake, { once: true });
  }
  preload();
}

function setMute(channels, on) {
  for (const c of channels) {
    if (on) muted.add(c);
    else muted.delete(c);
    player?.mute(c, on);
    $('meters').children[c].setAttribute('aria-pressed', on);
  }
}

// Only this channel heard; soloing it again lets every channel be heard.
function solo(c) {
  const all = [...$('meters').children].map((_, k) => k);
  const alone = muted.size === all.length - 1 && !muted.has(c);
  setMute(all, false);
  if (!alone) setMute(all.filter((k) => k !== c), true);
}

// The pattern view: one line per row, the row heard held in the middle.
function show({ order, pattern, row }) {
  if (!song) return;
  const view = $('view');
  if (shown?.pattern !== pattern) {
    view.textContent = '';
    const { channels } = song.info;
    for (let r = 0; r < 64; r++) {
      let line = hex(r, 2);
      for (let c = 0; c < channels; c++) {
        // A pattern past those stored (an odd file played anyway) shows empty.
        let x = { period: 0, sample: 0, effect: 0, param: 0 };
        try {
          x = song.cell(pattern, r, c);
        } catch {}
        const note = x.period === 0 ? '---' : x.note < 0 ? '^^^' : NOTES[x.note % 12] + Math.floor(x.note / 12);
        line += ` ${note} ${x.sample ? hex(x.sample, 2) : '..'} ${x.effect || x.param ? hex(x.effect, 1) + hex(x.param, 2) : '...'}`;
      }
      view.append(el('div', line));
    }
  }
  view.querySelector('.now')?.classList.remove('now');
  const line = view.children[row];
  line?.classList.add('now');
  view.dataset.row = row;
  view.dataset.pattern = pattern;
  if (line) view.scrollTo({ top: line.offsetTop - (view.clientHeight - line.offsetHeight) / 2, behavior: smooth.matches ? 'instant' : 'smooth' });
  const items = $('orders').children;
  items[shown?.order]?.removeAttribute('aria-current');
  items[order]?.setAttribute('aria-current', 'true');
  shown = { order, pattern, row };
}

function jumpTo(row) {
  if (state === 'stopped' || !shown || row < 0 || row > 63) return;
  player.jumpTo(shown.order, row);
}

// The playlist: several files, one after the other, each once.
function setList(files) {
  list = files;
  next = null;
  $('list').hidden = files.length < 2;
  $('playlist').textContent = '';
  files.forEach((f, i) => {
    const b = el('button', f.name);
    b.type = 'button';
    b.onclick = () => playEntry(i);
    $('playlist').append(el('li'));
    $('playlist').lastChild.append(b);
  });
  if (files.length > 1) {
    $('loop').checked = false;
    getPlayer().setRepeat(0);
  }
  playEntry(0);
}

async function read(i) {
  const f = list[i];
  return { i, name: f.name, bytes: await f.arrayBuffer() };
}

// The entry after the one playing, read and loaded while this one plays.
async function preload() {
  next = null;
  if (at + 1 >= list.length) return;
  const entry = await read(at + 1).catch(() => null);
  entry && (entry.song = await Song.load(entry.bytes).catch(() => null));
  if (entry?.i === at + 1) next = entry;
}

async function playEntry(i) {
  at = i;
  [...$('playlist').children].forEach((li, k) => li.toggleAttribute('aria-current', k === i));
  const entry = next?.i === i && next.song ? next : await read(i).catch((e) => ({ error: e }));
  next = null;
  if (entry.error) return showError(`${list[i].name} could not be read: ${entry.error.message}`);
  if (!(await open(entry.bytes, entry.name, false, entry.song)) && i + 1 < list.length && at === i) playEntry(i + 1);
}

function files(fileList) {
  if (fileList.length) setList([...fileList]);
  return fileList.length > 0;
}

$('play-demo').onclick = async () => {
  getPlayer().context.resume();
  try {
    const r = await fetch('demo.mod');
    if (!r.ok) throw new Error(`status ${r.status}`);
    const bytes = await r.arrayBuffer();
    list = [];
    $('list').hidden = true;
    at = -1;
    open(bytes, 'demo.mod');
  } catch (e) {
    showError(`The demo could not be loaded: ${e.message}`);
  }
};
$('file').onchange = (e) => {
  files(e.target.files);
  e.target.value = '';
};
// Handlers return nothing: an on* handler's false would cancel the default.
$('force').onclick = () => {
  if (current) open(current.bytes, current.name, true);
};
$('play').onclick = () => {
  const p = getPlayer();
  if (state === 'playing') {
    p.pause();
    setState('paused');
    status(`Paused ${current.name}.`);
  } else if (state === 'paused') {
    p.resume();
    setState('playing');
    status(`Playing ${current.name}.`);
  } else if (song) start();
};
$('stop').onclick = stop;
$('jump').onclick = () => {
  if (state !== 'stopped') player.jump();
};
$('loop').onchange = (e) => getPlayer().setRepeat(e.target.checked ? -1 : 0);
$('volume').oninput = () => {
  if (gain) gain.gain.value = volume();
};
$('seek').oninput = (e) => {
  dragging = true;
  $('time').textContent = time(e.target.value);
};
$('seek').onchange = (e) => {
  dragging = false;
  rows = [];
  shown = null;
  player?.seek(e.target.value / SAMPLE_RATE);
};
$('view').onclick = (e) => jumpTo([...$('view').children].indexOf(e.target));
$('view').onkeydown = (e) => {
  const step = { ArrowUp: -1, ArrowDown: 1 }[e.key];
  if (step && shown) {
    e.preventDefault();
    jumpTo(shown.row + step);
  }
};

let saver = null;
function save(stems) {
  if (!song) return;
  saver ??= new Worker(new URL('./save.js', import.meta.url), { type: 'module' });
  const name = current.name.replace(/^mod\.(?=.)/i, '').replace(/\.[^.]*$/, '') || 'song';
  const passes = Math.max(1, Math.min(100, Math.floor($('passes').value) || 1));
  $('saved').textContent = 'Rendering…';
  saver.onmessage = ({ data }) => {
    $('saved').textContent = data.error ? `Saving failed: ${data.error}` : '';
    for (const { name: n, blob } of data.files ?? []) {
      const a = el('a', n);
      a.href = URL.createObjectURL(blob);
      a.download = n;
      $('saved').append(a, ' ');
      a.click();
    }
  };
  saver.postMessage({ bytes: current.bytes.slice(0), name, passes, stems, asZip: $('stems-as').value === 'zip' });
}
$('save').onclick = () => save(false);
$('stems').onclick = () => save(true);

addEventListener('keydown', (e) => {
  if (e.ctrlKey || e.altKey || e.metaKey) return;
  // Space keeps its meaning on a control; Z only where nothing is typed.
  const t = e.target.closest?.('button, input, select, summary, a');
  if (e.key === 'Escape') stop();
  else if (e.key === ' ' && !t) {
    e.preventDefault();
    $('play').click();
  } else if ((e.key === 'z' || e.key === 'Z') && !e.target.closest?.('input[type=number], select')) $('jump').click();
});

// Drops anywhere in the window.
addEventListener('dragover', (e) => {
  e.preventDefault();
  $('drop').hidden = false;
});
addEventListener('dragleave', (e) => e.relatedTarget === null && ($('drop').hidden = true));
addEventListener('drop', (e) => {
  e.preventDefault();
  $('drop').hidden = true;
  if (!files(e.dataTransfer.files)) showError('Only files can be dropped here.');
});
