// Song: one module loaded into its own instance of zindle.wasm. The
// engine behind the library is one static record per instance, so each
// Song gets a fresh instance and any number of songs play side by side.

import { IMAGE_BYTES, SAMPLE_RATE } from './constants.js';

export { SAMPLE_RATE };

let source = null;
let bytesPromise = null;
let modulePromise = null;

// Set once by the entry point: how this environment reads zindle.wasm.
export function setWasmSource(read) {
  source = read;
}

// The module's bytes (the player hands them to its worklet), read once.
export function wasmBytes() {
  bytesPromise ??= source().catch((e) => {
    bytesPromise = null; // a later call tries again
    throw e;
  });
  return bytesPromise;
}

function wasmModule() {
  modulePromise ??= wasmBytes().then((bytes) => WebAssembly.compile(bytes)).catch((e) => {
    modulePromise = null;
    throw e;
  });
  return modulePromise;
}

// ArrayBuffer, any typed array or DataView, as bytes without a copy.
export function asBytes(data) {
  if (data instanceof ArrayBuffer || (typeof SharedArrayBuffer !== 'undefined' && data instanceof SharedArrayBuffer))
    return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError('a song is an ArrayBuffer or a typed array');
}

function latin1(bytes) {
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x2000) text += String.fromCharCode(...bytes.subarray(i, i + 0x2000));
  return text;
}

function text(z, at) {
  if (!at) return '';
  const memory = new Uint8Array(z.memory.buffer);
  let end = at;
  while (memory[end] !== 0) end++;
  return latin1(memory.subarray(at, end));
}

function libraryError(z, code, extra = {}) {
  return Object.assign(new Error(text(z, z.zindle_strerror(code))), { code }, extra);
}

export const NOT_A_MODULE = 'the data does not look like a module (load it with { force: true } to play it anyway)';

function count(value, name) {
  if (!Number.isSafeInteger(value) || value < 0) throw new RangeError(`${name} must be a whole number from 0 up`);
  return value;
}

// A number for an int parameter; the library checks the range it allows.
function int(value, name) {
  if (!Number.isInteger(value) || value < -0x80000000 || value > 0x7fffffff)
    throw new RangeError(`${name} must be a whole number`);
  return value;
}

const freed = Symbol('freed');
const create = Symbol('create');

export class Song {
  #z;
  #info = null;

  constructor(token, z) {
    if (token !== create) throw new TypeError('use Song.load(bytes) to make a Song');
    this.#z = z;
  }

  // Probes (unless force), then loads; rejects with the library's text.
  static async load(bytes, { force = false } = {}) {
    const data = asBytes(bytes);
    const instance = await WebAssembly.instantiate(await wasmModule(), {});
    const z = instance.exports;
    const size = Math.min(data.length, IMAGE_BYTES);
    const at = z.zindle_scratch(size);
    new Uint8Array(z.memory.buffer, at, size).set(data.subarray(0, size));
    if (!force && z.zindle_probe(at, size) !== 1) throw Object.assign(new Error(NOT_A_MODULE), { code: 0 });
    const result = z.zindle_load(at, size);
    if (result < 0) throw libraryError(z, result, { report: text(z, z.zindle_report()) });
    return new Song(create, z);
  }

  get #live() {
    if (this.#z === freed) throw new Error('the song was freed');
    return this.#z;
  }

  #check(result) {
    if (result < 0) throw libraryError(this.#live, result);
    return result;
  }

  // Up to `frames` frames, interleaved stereo; fewer at the song's end.
  render(frames) {
    return this.#render(count(frames, 'frames'), Int16Array, 4, 'zindle_render');
  }

  // The same frames as render, each sample as value / 32768.
  renderFloat(frames) {
    return this.#render(count(frames, 'frames'), Float32Array, 8, 'zindle_render_float');
  }

  #render(frames, Type, frameBytes, name) {
    const z = this.#live;
    const out = new Type(2 * frames);
    const most = IMAGE_BYTES / frameBytes;
    let done = 0;
    while (done < frames) {
      const ask = Math.min(frames - done, most);
      const at = z.zindle_scratch(ask * frameBytes);
      const got = z[name](at, ask);
      out.set(new Type(z.memory.buffer, at, 2 * got), 2 * done);
      done += got;
      if (got < ask) return out.slice(0, 2 * done);
    }
    return out;
  }

  seek(frame) {
    this.#check(this.#live.zindle_seek(BigInt(count(frame, 'frame'))));
  }

  // The next order entry from the next row; returns its pattern number.
  jump() {
    return this.#check(this.#live.zindle_jump());
  }

  jumpTo(order, row) {
    return this.#check(this.#live.zindle_jump_to(int(order, 'order'), int(row, 'row')));
  }

  // Returns whether the channel was muted before.
  mute(channel, muted) {
    return this.#check(this.#live.zindle_mute(int(channel, 'channel'), muted ? 1 : 0)) === 1;
  }

  setRepeat(count) {
    this.#check(this.#live.zindle_set_repeat(int(count, 'count')));
  }

  #struct(ints, call) {
    const z = this.#live;
    const at = z.zindle_scratch(4 * ints);
    this.#check(call(z, at));
    return new Int32Array(z.memory.buffer, at, ints);
  }

  // The cell as stored in the file.
  cell(pattern, row, channel) {
    const [period, note, sample, effect, param, pan] =
      this.#struct(6, (z, at) => z.zindle_cell(int(pattern, 'pattern'), int(row, 'row'), int(channel, 'channel'), at));
    return { period, note, sample, effect, param, pan };
  }

  // The channel as heard at the last frame rendered.
  channel(channel) {
    const [sample, volume, period, pan, muted] = this.#struct(5, (z, at) => z.zindle_channel(int(channel, 'channel'), at));
    return { sample, volume, period, pan, muted: muted !== 0 };
  }

  get info() {
    if (this.#info) return this.#info;
    const z = this.#live;
    const samples = this.#check(z.zindle_sample_count());
    const sampleNames = [];
    for (let i = 1; i <= samples; i++) sampleNames.push(text(z, z.zindle_sample_name(i)));
    this.#info = Object.freeze({
      title: text(z, z.zindle_title()),
      channels: z.zindle_channel_count(),
      samples,
      sampleNames: Object.freeze(sampleNames),
      songLength: z.zindle_song_length(),
      orders: Object.freeze(Array.from({ length: Math.min(128, Math.max(0, z.zindle_song_length())) }, (_, i) => z.zindle_order_entry(i))),
      passFrames: Number(z.zindle_pass_frames()),
      returnOrder: z.zindle_return_order(),
      returnRow: z.zindle_return_row(),
      extended: z.zindle_extended_mode() === 1,
    });
    return this.#info;
  }

  // Where the song is at the last frame rendered (or the frame sought):
  // one snapshot, struct zindle_position.
  get position() {
    const z = this.#live;
    const at = z.zindle_scratch(40);
    this.#check(z.zindle_get_position(at));
    const view = new DataView(z.memory.buffer, at, 40);
    const field = (k) => view.getInt32(8 + 4 * k, true);
    return {
      frame: Number(view.getBigUint64(0, true)),
      order: field(0),
      pattern: field(1),
      row: field(2),
      tick: field(3),
      speed: field(4),
      passes: field(6),
    };
  }

  // The loader's text, as the player writes it to its console.
  get report() {
    return text(this.#live, this.#live.zindle_report());
  }

  // The library's version, "0.3.0" for instance.
  get version() {
    return text(this.#live, this.#live.zindle_version());
  }

  // Lets the instance and its memory go; the Song is unusable afterwards.
  free() {
    this.#z = freed;
    this.#info = null;
  }
}
