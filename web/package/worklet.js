// The audio side of ZindlePlayer: one AudioWorkletProcessor per song, with
// its own instance of zindle.wasm. Self-contained on purpose: some
// browsers refuse `import` in a worklet's script, so the library's rate and
// image size come with the processor's options.
//
// At 44100 Hz every render quantum asks the engine for exactly that many
// frames and turns each 16-bit sample into a float exactly (value / 32768),
// so the audio graph gets the very frames zindle-render writes. At any
// other rate the frames go through a windowed-sinc resampler.

const POSITION_EVERY = 8; // quanta between position messages (about 23 ms)
const PULL = 128; // engine frames the resampler asks for at a time

// 48 taps (24 each side) of a Blackman-windowed sinc, 256 phases between
// two input frames with linear interpolation between phases; each phase
// sums to 1, so silence stays silence and DC passes unchanged.
const HALF = 24;
const TAPS = 2 * HALF;
const PHASES = 256;

class Resampler {
  constructor(inRate, outRate) {
    this.step = inRate / outRate;
    // Below the lower of the two Nyquist frequencies, with room for the
    // window's transition band.
    const cutoff = Math.min(1, outRate / inRate) * 0.9;
    this.table = new Float32Array((PHASES + 1) * TAPS);
    for (let p = 0; p <= PHASES; p++) {
      let sum = 0;
      for (let k = 0; k < TAPS; k++) {
        const d = k - (HALF - 1) - p / PHASES;
        const x = Math.PI * cutoff * d;
        const sinc = d === 0 ? 1 : Math.sin(x) / x;
        const w = Math.abs(d) >= HALF ? 0
          : 0.42 + 0.5 * Math.cos((Math.PI * d) / HALF) + 0.08 * Math.cos((2 * Math.PI * d) / HALF);
        this.table[p * TAPS + k] = sinc * w;
        sum += sinc * w;
      }
      for (let k = 0; k < TAPS; k++) this.table[p * TAPS + k] /= sum;
    }
    this.left = new Float32Array(4096);
    this.right = new Float32Array(4096);
    this.reset();
  }

  // Starts again from silence: the next output frame is the next engine frame.
  reset() {
    this.left.fill(0);
    this.right.fill(0);
    this.length = HALF - 1;
    this.pos = HALF - 1;
    this.inputEnd = Infinity; // buffer index where the engine's frames ended
  }

  // Engine frames from the buffer's index `pos` on: how far the output has got.
  get delay() {
    return this.length - this.pos;
  }

  // Fills the output; `pull(left, right, at, n)` writes up to n engine
  // frames at index `at` and returns how many. Returns false once the
  // output is past the engine's last frame.
  process(outLeft, outRight, pull) {
    const { table, left, right } = this;
    for (let j = 0; j < outLeft.length; j++) {
      let i = Math.floor(this.pos);
      while (i + HALF >= this.length) {
        if (this.length + PULL > left.length) {
          const drop = i - (HALF - 1);
          left.copyWithin(0, drop, this.length);
          right.copyWithin(0, drop, this.length);
          this.length -= drop;
          this.pos -= drop;
          this.inputEnd -= drop;
          i -= drop;
        }
        const got = this.inputEnd === Infinity ? pull(left, right, this.length, PULL) : 0;
        left.fill(0, this.length + got, this.length + PULL);
        right.fill(0, this.length + got, this.length + PULL);
        if (got < PULL && this.inputEnd === Infinity) this.inputEnd = this.length + got;
        this.length += PULL;
      }
      const phase = (this.pos - i) * PHASES;
      const p = Math.floor(phase);
      const t = phase - p;
      const a = p * TAPS;
      const b = a + TAPS;
      const base = i - (HALF - 1);
      let l = 0;
      let r = 0;
      for (let k = 0; k < TAPS; k++) {
        const c = table[a + k] + (table[b + k] - table[a + k]) * t;
        l += left[base + k] * c;
        r += right[base + k] * c;
      }
      outLeft[j] = l;
      outRight[j] = r;
      this.pos += this.step;
    }
    return this.pos < this.inputEnd + HALF;
  }
}

function text(z, at) {
  const memory = new Uint8Array(z.memory.buffer);
  let end = at;
  while (memory[end] !== 0) end++;
  let s = '';
  for (let i = at; i < end; i += 0x2000) s += String.fromCharCode(...memory.subarray(i, Math.min(end, i + 0x2000)));
  return s;
}

class ZindleProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    this.quanta = 0;
    this.stopped = false;
    this.paused = false;
    this.ended = false;
    this.loaded = false;
    this.rate = options.processorOptions.rate;
    this.resampler = sampleRate === this.rate ? null : new Resampler(this.rate, sampleRate);
    this.port.onmessage = (event) => this.command(event.data);
    const { capture = 0 } = options.processorOptions;
    // Test hook: the first `capture` frames exactly as handed to the audio
    // graph, left and right interleaved.
    this.captureFrames = capture;
    this.capture = capture > 0 ? new Float32Array(2 * capture) : null;
    this.captured = 0;
    try {
      this.load(options.processorOptions);
    } catch (e) {
      this.port.postMessage({ type: 'loaded', error: `zindle.wasm failed: ${e.message}`, code: 0 });
      this.stopped = true;
    }
  }

  // The song goes into the module's scratch area and is loaded from there;
  // the same area then takes the rendered frames.
  load({ wasm, song, force, repeat, imageBytes, muted = [] }) {
    const z = new WebAssembly.Instance(new WebAssembly.Module(wasm), {}).exports;
    this.z = z;
    const bytes = new Uint8Array(song);
    const size = Math.min(bytes.length, imageBytes);
    const at = z.zindle_scratch(size);
    new Uint8Array(z.memory.buffer, at, size).set(bytes.subarray(0, size));
    if (!force && z.zindle_probe(at, size) !== 1) {
      this.port.postMessage({ type: 'loaded', error: 'probe', code: 0 });
      this.stopped = true;
      return;
    }
    const result = z.zindle_load(at, size);
    const report = text(z, z.zindle_report());
    if (result < 0) {
      this.port.postMessage({ type: 'loaded', error: text(z, z.zindle_strerror(result)), code: result, report });
      this.stopped = true;
      return;
    }
    if (repeat !== -1) z.zindle_set_repeat(repeat);
    // Before the first frame, so that a muted channel is never heard.
    for (const c of muted) z.zindle_mute(c, 1);
    this.rows = z.zindle_row_log(1);
    this.heard = 0; // the engine frame the next quantum starts at
    this.loaded = true;
    this.port.postMessage({ type: 'loaded', report, title: text(z, z.zindle_title()), version: text(z, z.zindle_version()) });
    this.postPosition();
  }

  command(message) {
    const z = this.z;
    if (message.type === 'stop') {
      this.stopped = true;
      return;
    }
    if (!this.loaded || this.stopped) return;
    let result = 0;
    switch (message.type) {
      case 'pause':
        this.paused = true;
        this.postPosition();
        return;
      case 'resume':
        this.paused = false;
        return;
      case 'seek':
        result = z.zindle_seek(BigInt(message.frame));
        if (result === 0) {
          this.heard = message.frame;
          this.ended = false;
          if (this.resampler) this.resampler.reset();
          // The test hook takes the frames from the place sought.
          if (this.captureFrames > 0) {
            this.capture = new Float32Array(2 * this.captureFrames);
            this.captured = 0;
          }
          this.postPosition();
        }
        break;
      case 'jump':
        result = z.zindle_jump();
        if (result >= 0) this.port.postMessage({ type: 'jumped', pattern: result });
        break;
      case 'jumpTo':
        result = z.zindle_jump_to(message.order, message.row);
        if (result >= 0) this.port.postMessage({ type: 'jumped', pattern: result });
        break;
      case 'mute':
        result = z.zindle_mute(message.channel, message.muted ? 1 : 0);
        break;
      case 'repeat':
        result = z.zindle_set_repeat(message.count);
        if (result === 0) this.ended = false;
        break;
    }
    if (result < 0) this.port.postMessage({ type: 'failed', command: message.type, error: text(z, z.zindle_strerror(result)) });
  }

  // With each channel's level: its volume (0 to 64) while it sounds.
  postPosition() {
    const z = this.z;
    const at = z.zindle_scratch(20);
    const state = new Int32Array(z.memory.buffer, at, 5);
    const levels = [];
    for (let c = 0; c < z.zindle_channel_count(); c++) {
      z.zindle_channel(c, at);
      levels.push(state[0] && state[2] ? state[1] : 0);
    }
    this.port.postMessage({
      levels,
      type: 'position',
      frame: Number(z.zindle_frame()),
      order: z.zindle_order(),
      pattern: z.zindle_pattern(),
      row: z.zindle_row(),
    });
  }

  // Up to n engine frames into left and right from index `at`; the rows
  // that started in them go to the main thread with the time they are heard.
  pull(left, right, at, n, quantumStart) {
    const z = this.z;
    const out = z.zindle_scratch(4 * n);
    const got = z.zindle_render(out, n);
    const samples = new Int16Array(z.memory.buffer, out, 2 * got);
    for (let i = 0; i < got; i++) {
      left[at + i] = samples[2 * i] / 32768;
      right[at + i] = samples[2 * i + 1] / 32768;
    }
    const log = new DataView(z.memory.buffer, this.rows);
    const rows = log.getUint32(0, true);
    for (let k = 0; k < rows; k++) {
      const frame = Number(log.getBigUint64(8 + 24 * k, true));
      this.port.postMessage({
        type: 'row',
        frame,
        order: log.getInt32(16 + 24 * k, true),
        pattern: log.getInt32(20 + 24 * k, true),
        row: log.getInt32(24 + 24 * k, true),
        time: quantumStart + (frame - this.heard) / this.rate,
      });
    }
    log.setUint32(0, 0, true);
    return got;
  }

  process(inputs, outputs) {
    if (this.stopped) return false;
    const [left, right] = outputs[0];
    if (!this.loaded || this.paused || this.ended) return true; // silence
    const frames = left.length;
    let more;
    if (this.resampler) {
      const rs = this.resampler;
      // The engine frame at this quantum's first output frame.
      this.heard = Number(this.z.zindle_frame()) - rs.delay;
      more = rs.process(left, right, (l, r, at, n) => this.pull(l, r, at, n, currentTime));
    } else {
      const got = this.pull(left, right, 0, frames, currentTime);
      left.fill(0, got);
      right.fill(0, got);
      more = got === frames;
      this.heard += got;
    }
    if (this.capture) this.record(left, right);
    if (!more) {
      this.ended = true;
      this.port.postMessage({ type: 'end' });
    }
    if (++this.quanta % POSITION_EVERY === 0) this.postPosition();
    return true;
  }

  record(left, right) {
    const room = this.capture.length / 2 - this.captured;
    const n = Math.min(room, left.length);
    for (let i = 0; i < n; i++) {
      this.capture[2 * (this.captured + i)] = left[i];
      this.capture[2 * (this.captured + i) + 1] = right[i];
    }
    this.captured += n;
    if (this.captured * 2 === this.capture.length) {
      this.port.postMessage({ type: 'captured', samples: this.capture }, [this.capture.buffer]);
      this.capture = null;
    }
  }
}

registerProcessor('zindle', ZindleProcessor);
