// The page: opens modules (file picker, drop or the bundled demo), starts
// one AudioWorklet node per song and shows what it reports. No audio is
// made on this thread.

const SAMPLE_RATE = 44100;
const IMAGE_BYTES = 0x180000; // the engine looks at no more of a file

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
const captureFrames = Number(new URLSearchParams(location.search).get('capture')) || 0;

let wasmBytes = null;
let context = null;
let node = null;

async function wasm() {
  if (!wasmBytes) {
    let response;
    try {
      response = await fetch('zindle.wasm');
    } catch (e) {
      throw new Error(`zindle.wasm could not be fetched: ${e.message}`);
    }
    if (!response.ok) throw new Error(`zindle.wasm could not be fetched (${response.status})`);
    wasmBytes = await response.arrayBuffer();
  }
  return wasmBytes;
}

// One AudioContext for the page, made on the first gesture. Browsers
// start it only on a user gesture; a dropped file may come without one,
// so the next click or key press starts it then.
async function audio() {
  if (!context) {
    context = new AudioContext({ sampleRate: SAMPLE_RATE });
    await context.audioWorklet.addModule('worklet.js');
  }
  if (context.state !== 'running') {
    context.resume();
    if (context.state !== 'running') {
      const start = () => context.resume();
      addEventListener('pointerdown', start, { once: true });
      addEventListener('keydown', start, { once: true });
    }
  }
  return context;
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

function setPlaying(playing) {
  view.jump.disabled = !playing;
  view.stop.disabled = !playing;
}

function stop(message) {
  if (!node) return;
  node.port.postMessage({ type: 'stop' });
  node.disconnect();
  node = null;
  setPlaying(false);
  view.status.textContent = message;
}

function jump() {
  if (node) node.port.postMessage({ type: 'jump' });
}

// Plays the bytes of one file; `name` is for the messages.
async function play(bytes, name) {
  clearError();
  stop('Stopped.');
  if (bytes.byteLength > IMAGE_BYTES) bytes = bytes.slice(0, IMAGE_BYTES);
  let ctx;
  let module;
  try {
    module = await wasm();
  } catch (e) {
    showError(e.message);
    return;
  }
  try {
    ctx = await audio();
  } catch (e) {
    showError(`This browser cannot play audio here: ${e.message}`);
    return;
  }
  const song = new AudioWorkletNode(ctx, 'zindle', {
    numberOfInputs: 0,
    outputChannelCount: [2],
    processorOptions: { wasm: module, song: bytes, capture: captureFrames },
  });
  node = song;
  song.port.onmessage = (event) => receive(song, name, event.data);
  song.onprocessorerror = () => {
    if (node === song) stop('Stopped.');
    showError(`Playback of ${name} failed in the audio thread.`);
  };
}

function receive(song, name, message) {
  if (song !== node && message.type !== 'captured') {
    // A song replaced before it had loaded ends at once.
    if (message.type === 'loaded') song.port.postMessage({ type: 'stop' });
    return;
  }
  switch (message.type) {
    case 'loaded':
      $('version').textContent = message.version;
      view.console.textContent = message.report;
      if (message.result !== 0) {
        // As the native programs do: the report, then nothing to play.
        song.port.postMessage({ type: 'stop' });
        node = null;
        view.status.textContent = 'Nothing is playing.';
        showError(`${name} has a song length of 0: there is nothing to play.`);
        return;
      }
      view.song.textContent = message.title.trim() ? `${message.title.trim()} (${name})` : name;
      song.connect(context.destination);
      setPlaying(true);
      view.status.textContent = context.state === 'running'
        ? `Playing ${name}.`
        : `${name} is loaded: click or press a key to start the sound.`;
      break;
    case 'position':
      view.order.textContent = message.order;
      view.pattern.textContent = message.pattern;
      view.row.textContent = message.row;
      view.time.textContent = formatTime(message.frame);
      if (context.state === 'running' && view.status.textContent.endsWith('start the sound.'))
        view.status.textContent = `Playing ${name}.`;
      break;
    case 'jumped':
      view.console.textContent += hexLine(message.pattern);
      break;
    case 'captured':
      window.zindleCapture = message.samples;
      break;
  }
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

wasm().catch((e) => showError(e.message));
