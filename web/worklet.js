// The audio side of the page: one AudioWorkletProcessor per song, with its
// own instance of zindle.wasm. Every render quantum (128 frames) asks the
// engine for exactly that many frames and turns each 16-bit sample into a
// float exactly (value / 32768). The main thread only sends commands and
// receives the report and the position.

const POSITION_EVERY = 8; // quanta between position messages (about 23 ms)

class ZindleProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const { wasm, song, capture } = options.processorOptions;
    const instance = new WebAssembly.Instance(new WebAssembly.Module(wasm), {});
    this.zindle = instance.exports;
    this.quanta = 0;
    this.stopped = false;
    // Test hook: the first `capture` frames exactly as handed to the audio
    // graph, left and right interleaved.
    this.capture = capture > 0 ? new Float32Array(2 * capture) : null;
    this.captured = 0;
    this.port.onmessage = (event) => this.command(event.data);
    this.load(new Uint8Array(song));
  }

  // The song is written into the module's scratch area and loaded from
  // there; the same area then takes the rendered frames.
  load(bytes) {
    const z = this.zindle;
    const size = Math.min(bytes.length, 0x180000);
    const at = z.zindle_scratch(size);
    new Uint8Array(z.memory.buffer, at, size).set(bytes.subarray(0, size));
    const result = z.zindle_load(at, size);
    this.loaded = result === 0;
    this.port.postMessage({
      type: 'loaded',
      result,
      report: this.text(z.zindle_report()),
      title: this.loaded ? this.text(z.zindle_title()) : '',
      version: this.text(z.zindle_version()),
    });
    if (this.loaded) this.postPosition();
  }

  text(at) {
    const memory = new Uint8Array(this.zindle.memory.buffer);
    let end = at;
    while (memory[end] !== 0) end++;
    return String.fromCharCode(...memory.subarray(at, end));
  }

  command(message) {
    if (message.type === 'jump' && this.loaded && !this.stopped) {
      this.port.postMessage({ type: 'jumped', pattern: this.zindle.zindle_jump() });
    } else if (message.type === 'stop') {
      this.stopped = true;
      this.port.postMessage({ type: 'stopped' });
    }
  }

  postPosition() {
    const z = this.zindle;
    this.port.postMessage({
      type: 'position',
      frame: Number(z.zindle_frame()),
      order: z.zindle_order(),
      pattern: z.zindle_pattern(),
      row: z.zindle_row(),
    });
  }

  process(inputs, outputs) {
    if (this.stopped) return false;
    if (!this.loaded) return true;
    const [left, right] = outputs[0];
    const frames = left.length;
    const z = this.zindle;
    const at = z.zindle_scratch(4 * frames);
    z.zindle_render(at, frames);
    const samples = new Int16Array(z.memory.buffer, at, 2 * frames);
    for (let i = 0; i < frames; i++) {
      left[i] = samples[2 * i] / 32768;
      right[i] = samples[2 * i + 1] / 32768;
    }
    if (this.capture) this.record(left, right);
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
