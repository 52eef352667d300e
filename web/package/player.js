// ZindlePlayer: plays a song through an AudioWorklet (worklet.js) in the
// caller's AudioContext. The audio thread has its own instance of
// zindle.wasm; this side only sends commands and turns its messages into
// events.
import { IMAGE_BYTES } from './constants.js';
import { asBytes, NOT_A_MODULE, SAMPLE_RATE, wasmBytes } from './song.js';

const workletUrl = new URL('./worklet.js', import.meta.url);
const registered = new WeakMap(); // AudioContext -> its addModule promise

function register(context) {
  let done = registered.get(context);
  if (!done) {
    done = context.audioWorklet.addModule(workletUrl);
    done.catch(() => registered.delete(context));
    registered.set(context, done);
  }
  return done;
}

function event(type, fields) {
  return Object.assign(new Event(type), fields);
}

function int(value, name) {
  if (!Number.isInteger(value) || value < -0x80000000 || value > 0x7fffffff)
    throw new RangeError(`${name} must be a whole number`);
  return value;
}

export class ZindlePlayer extends EventTarget {
  #node = null;
  #destination;
  #capture;
  #repeat = -1;
  #play = 0; // counts play() and stop() calls: an older play() gives way

  constructor(audioContext, options = {}) {
    super();
    // Only without a context of the caller's is one made: at the engine's
    // own rate, where the frames reach the graph unchanged.
    this.context = audioContext ?? new AudioContext({ sampleRate: SAMPLE_RATE });
    this.#destination = options.destination ?? this.context.destination;
    this.#capture = options.capture ?? 0;
    this.position = null;
  }

  // Must run inside the user's gesture (the iOS rule): called first thing,
  // before anything is awaited.
  #wake() {
    if (this.context.state !== 'running') this.context.resume().catch(() => {});
  }

  async play(bytes, { force = false, muted = [] } = {}) {
    this.#wake();
    const song = asBytes(bytes).slice(0, IMAGE_BYTES);
    this.stop();
    const play = this.#play;
    const [wasm] = await Promise.all([wasmBytes(), register(this.context)]);
    if (play !== this.#play)
      throw Object.assign(new Error('a later play() or stop() came first'), { name: 'AbortError' });
    const node = new AudioWorkletNode(this.context, 'zindle', {
      numberOfInputs: 0,
      outputChannelCount: [2],
      processorOptions: { rate: SAMPLE_RATE, imageBytes: IMAGE_BYTES, wasm, song: song.buffer, force, muted: muted.map((c) => int(c, 'channel')), repeat: this.#repeat, capture: this.#capture },
    });
    this.#node = node;
    this.position = null;
    return new Promise((resolve, reject) => {
      node.port.onmessage = ({ data }) => {
        if (data.type === 'loaded') {
          if (data.error === undefined) {
            if (node === this.#node) node.connect(this.#destination);
            resolve();
            return;
          }
          if (node === this.#node) this.#node = null;
          const message = data.error === 'probe' ? NOT_A_MODULE : data.error;
          reject(Object.assign(new Error(message), { code: data.code, report: data.report ?? '' }));
        } else if (node === this.#node || data.type === 'captured') {
          this.#receive(data);
        }
      };
      node.onprocessorerror = () => {
        if (node !== this.#node) return;
        this.stop();
        const error = new Error('the audio thread failed');
        reject(error);
        this.dispatchEvent(event('error', { error, message: error.message }));
      };
    });
  }

  #receive(data) {
    switch (data.type) {
      case 'row':
        this.dispatchEvent(event('row', { frame: data.frame, order: data.order, pattern: data.pattern, row: data.row, time: data.time }));
        break;
      case 'position':
        this.position = { frame: data.frame, order: data.order, pattern: data.pattern, row: data.row, levels: data.levels };
        this.dispatchEvent(event('position', this.position));
        break;
      case 'jumped':
        this.dispatchEvent(event('jump', { pattern: data.pattern }));
        break;
      case 'end':
        this.dispatchEvent(event('end'));
        break;
      case 'failed': {
        const error = new Error(`${data.command}: ${data.error}`);
        this.dispatchEvent(event('error', { error, message: error.message }));
        break;
      }
      case 'captured':
        this.dispatchEvent(event('capture', { samples: data.samples }));
        break;
    }
  }

  #send(message) {
    this.#node?.port.postMessage(message);
  }

  // Silence, keeping the place; resume() goes on from it.
  pause() {
    this.#send({ type: 'pause' });
  }

  resume() {
    this.#wake();
    this.#send({ type: 'resume' });
  }

  stop() {
    this.#play++;
    const node = this.#node;
    if (!node) return;
    this.#node = null;
    node.port.postMessage({ type: 'stop' });
    node.disconnect();
  }

  // To the frame at `seconds` from the song's start, exactly.
  seek(seconds) {
    if (!Number.isFinite(seconds) || seconds < 0) throw new RangeError('seconds must be 0 or more');
    this.#send({ type: 'seek', frame: Math.round(seconds * SAMPLE_RATE) });
  }

  jump() {
    this.#send({ type: 'jump' });
  }

  jumpTo(order, row) {
    this.#send({ type: 'jumpTo', order: int(order, 'order'), row: int(row, 'row') });
  }

  mute(channel, muted) {
    this.#send({ type: 'mute', channel: int(channel, 'channel'), muted: Boolean(muted) });
  }

  // Kept for the songs played later too, as the library keeps it.
  setRepeat(count) {
    if (int(count, 'count') < -1) throw new RangeError('count must be -1 (for ever) or more');
    this.#repeat = count;
    this.#send({ type: 'repeat', count });
  }
}
