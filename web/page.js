// The page, built on the zindle package: opens modules (file picker, drop
// or the bundled demo), plays them with one ZindlePlayer in an AudioContext
// at 44100 Hz and shows what it reports. No audio is made on this thread.
import { Song, ZindlePlayer } from './index.js';

const SAMPLE_RATE = 44100;

const $ = (id) => document.getElementById(id);
const view = {
  status: $('status'),
  error: $('error'),
  song: $('song'),
  order: $('order'),
  pattern: $('pattern'),
  row: $('row'),
  time: $('time'),
  console: $('console'),
  jump: $('jump'),
  stop: $('stop'),
};

// Test hook: ?capture=N keeps the first N frames the worklet hands to the
// audio graph and puts them on window.zindleCapture.
const capture = Number(new URLSearchParams(location.search).get('capture')) || 0;

let player = null;
let playing = null; // the name of the song playing

// One player and its context at the engine's rate for the page, made on
// the first song. Browsers start a context only in a user gesture; a
// dropped file may come without one, so the next click or key press
// starts it then.
function getPlayer() {
  if (player) return player;
  player = new ZindlePlayer(new AudioContext({ sampleRate: SAMPLE_RATE }), { capture });
  player.addEventListener('position', (event) => {
    view.order.textContent = event.order;
    view.pattern.textContent = event.pattern;
    view.row.textContent = event.row;
    view.time.textContent = formatTime(event.frame);
    if (player.context.state === 'running' && view.status.textContent.endsWith('start the sound.'))
      view.status.textContent = `Playing ${playing}.`;
  });
  player.addEventListener('jump', (event) => {
    view.console.textContent += hexLine(event.pattern);
  });
  player.addEventListener('capture', (event) => {
    window.zindleCapture = event.samples;
  });
  player.addEventListener('error', (event) => {
    stop('Stopped.');
    showError(`Playback failed: ${event.message}`);
  });
  return player;
}

function startOnGesture(context) {
  if (context.state === 'running') return;
  const start = () => context.resume();
  addEventListener('pointerdown', start, { once: true });
  addEventListener('keydown', start, { once: true });
}

function showError(text) {
  view.error.textContent = text;
  view.error.hidden = false;
}

function clearError() {
  view.error.textContent = '';
  view.error.hidden = true;
}

function formatTime(frames) {
  const tenths = Math.floor(frames / (SAMPLE_RATE / 10));
  const minutes = Math.floor(tenths / 600);
  const seconds = Math.floor(tenths / 10) % 60;
  return `${minutes}:${String(seconds).padStart(2, '0')}.${tenths % 10}`;
}

function hexLine(value) {
  return `${(value >>> 0).toString(16).toUpperCase().padStart(8, '0')} \r\n`;
}

function setPlaying(name) {
  playing = name;
  view.jump.disabled = name === null;
  view.stop.disabled = name === null;
}

function stop(message) {
  if (playing === null) return;
  player.stop();
  setPlaying(null);
  view.status.textContent = message;
}

function jump() {
  if (playing !== null) player.jump();
}

// Plays the bytes of one file; `name` is for the messages. Both load it
// as the player does, whatever the bytes look like: the Song for what the
// page shows, the player in the audio thread.
async function play(bytes, name) {
  clearError();
  stop('Stopped.');
  let p;
  try {
    p = getPlayer();
  } catch (e) {
    showError(`This browser cannot play audio here: ${e.message}`);
    return;
  }
  const started = p.play(bytes, { force: true });
  let song;
  try {
    [song] = await Promise.all([Song.load(bytes, { force: true }), started]);
  } catch (e) {
    if (e.name === 'AbortError') return; // another song came first
    p.stop();
    view.status.textContent = 'Nothing is playing.';
    if (e.report === undefined) {
      showError(e.message);
      return;
    }
    // As the native programs do: the report, then nothing to play.
    view.console.textContent = e.report;
    showError(`${name} has a song length of 0: there is nothing to play.`);
    return;
  }
  $('version').textContent = song.version;
  view.console.textContent = song.report;
  const title = song.info.title.trim();
  song.free();
  view.song.textContent = title ? `${title} (${name})` : name;
  setPlaying(name);
  view.status.textContent = p.context.state === 'running'
    ? `Playing ${name}.`
    : `${name} is loaded: click or press a key to start the sound.`;
  startOnGesture(p.context);
}

async function playFile(file) {
  let bytes;
  try {
    bytes = await file.arrayBuffer();
  } catch (e) {
    showError(`${file.name} could not be read: ${e.message}`);
    return;
  }
  await play(bytes, file.name);
}

async function playDemo() {
  try {
    const response = await fetch('demo.mod');
    if (!response.ok) throw new Error(`status ${response.status}`);
    await play(await response.arrayBuffer(), 'demo.mod');
  } catch (e) {
    showError(`The demo could not be loaded: ${e.message}`);
  }
}

$('play-demo').addEventListener('click', playDemo);
$('file').addEventListener('change', (event) => {
  const [file] = event.target.files;
  if (file) playFile(file);
  event.target.value = '';
});
view.jump.addEventListener('click', jump);
view.stop.addEventListener('click', () => stop('Stopped.'));

addEventListener('keydown', (event) => {
  if (event.ctrlKey || event.altKey || event.metaKey) return;
  if (event.key === 'Escape') {
    stop('Stopped.');
  } else if (event.key === 'z' || event.key === 'Z') {
    jump();
  }
});

const zone = $('drop-zone');
zone.addEventListener('dragover', (event) => {
  event.preventDefault();
  zone.classList.add('dragging');
});
zone.addEventListener('dragleave', () => zone.classList.remove('dragging'));
zone.addEventListener('drop', (event) => {
  event.preventDefault();
  zone.classList.remove('dragging');
  const [file] = event.dataTransfer.files;
  if (file) playFile(file);
  else showError('Only files can be dropped here.');
});

