/// <reference lib="dom" />
// Types of the zindle package: Song (node and browsers) and ZindlePlayer
// (browsers, through an AudioWorklet).

/** What a Song's bytes may be given as. */
export type SongBytes = ArrayBuffer | ArrayBufferView;

export interface LoadOptions {
  /** Loads bytes that do not look like a module too (the probe is skipped). */
  force?: boolean;
}

/** The error Song.load and ZindlePlayer.play reject with. */
export interface ZindleError extends Error {
  /** The library's negative error code; 0 when the probe rejected the bytes. */
  code: number;
  /** The loader's text, when the library got as far as loading. */
  report?: string;
}

export interface SongInfo {
  /** Up to 20 bytes as stored, read as Latin-1. */
  readonly title: string;
  /** 4 to 32. */
  readonly channels: number;
  /** 15 or 31. */
  readonly samples: number;
  /** The names of samples 1 to `samples`, as stored, read as Latin-1. */
  readonly sampleNames: readonly string[];
  /** Order entries used, 1 to 255. */
  readonly songLength: number;
  /** The pattern numbers of the order list's first `songLength` entries (at most 128). */
  readonly orders: readonly number[];
  /** Frames (at 44100 a second) in the first pass through the song. */
  readonly passFrames: number;
  /** Where the song comes back to after the first pass; -1 when it does not. */
  readonly returnOrder: number;
  readonly returnRow: number;
  /** True with the instrument extension. */
  readonly extended: boolean;
}

export interface SongPosition {
  /** Frames since the load. */
  frame: number;
  order: number;
  pattern: number;
  row: number;
  tick: number;
  speed: number;
  /** Passes through the song completed. */
  passes: number;
}

export interface Cell {
  /** 0 to 4095: 0 none, 1 key-off, 2 the vibrato goes on, 29 and up a note. */
  period: number;
  /** Semitones from C-0 (period 1712), nearest; -1 below period 29. */
  note: number;
  /** 0 to 31, 0 none. */
  sample: number;
  /** 0 to 15. */
  effect: number;
  /** 0 to 255. */
  param: number;
  /** The pan bits: 0, 0x40, 0x80 or 0xC0. */
  pan: number;
}

export interface ChannelState {
  /** The sample playing, 1 to 31; 0 none or silent. */
  sample: number;
  /** 0 to 64, as heard. */
  volume: number;
  /** 0 when silent. */
  period: number;
  /** 0 (left) to 255 (right). */
  pan: number;
  muted: boolean;
}

/** One module in its own WebAssembly instance; any number play at once. */
export class Song {
  private constructor();
  /** Rejects with a ZindleError: the library's text, or the probe's. */
  static load(bytes: SongBytes, options?: LoadOptions): Promise<Song>;
  /** Up to `frames` frames of interleaved 16-bit stereo, 44100 a second; fewer at the song's end. */
  render(frames: number): Int16Array;
  /** The frames render would give, each sample as value / 32768. */
  renderFloat(frames: number): Float32Array;
  /** Rendering goes on exactly as if `frame` frames had been rendered since the load. */
  seek(frame: number): void;
  /** The next order entry plays from the next row; returns its pattern number. */
  jump(): number;
  /** Order entry `order` plays from `row` at the next row; returns its pattern number. */
  jumpTo(order: number, row: number): number;
  /** A muted channel adds nothing to the output; returns whether it was muted. */
  mute(channel: number, muted: boolean): boolean;
  /** -1 never ends (the default), 0 plays the song once, n plays it n more times. */
  setRepeat(count: number): void;
  cell(pattern: number, row: number, channel: number): Cell;
  /** The channel as heard at the last frame rendered. */
  channel(channel: number): ChannelState;
  readonly info: SongInfo;
  readonly position: SongPosition;
  /** The loader's text, as the player writes it to its console. */
  readonly report: string;
  /** The library's version. */
  readonly version: string;
  /** Lets the instance go; the Song cannot be used afterwards. */
  free(): void;
}

export interface PlayOptions extends LoadOptions {
  /** Channels (from 0) muted from the first frame on. */
  muted?: number[];
}

export interface ZindlePlayerOptions {
  /** Where the song's node is connected; the context's destination by default. */
  destination?: AudioNode;
  /** For tests: the first `capture` frames handed to the graph (from the start or the last seek) come in a "capture" event. */
  capture?: number;
}

/** A row has started: its first frame (44100 a second) and the context time it is heard at. */
export interface ZindleRowEvent extends Event {
  readonly frame: number;
  readonly order: number;
  readonly pattern: number;
  readonly row: number;
  readonly time: number;
}

/** The position the audio thread has reached, about 40 times a second. */
export interface ZindlePositionEvent extends Event {
  readonly frame: number;
  readonly order: number;
  readonly pattern: number;
  readonly row: number;
  /** Each channel's volume (0 to 64) while it sounds, 0 when silent. */
  readonly levels: number[];
}

export interface ZindleJumpEvent extends Event {
  /** The pattern number of the entry jumped to. */
  readonly pattern: number;
}

export interface ZindleErrorEvent extends Event {
  readonly error: Error;
  readonly message: string;
}

export interface ZindleCaptureEvent extends Event {
  /** Left and right interleaved, as handed to the audio graph. */
  readonly samples: Float32Array;
}

export interface ZindlePlayerEventMap {
  row: ZindleRowEvent;
  position: ZindlePositionEvent;
  jump: ZindleJumpEvent;
  end: Event;
  error: ZindleErrorEvent;
  capture: ZindleCaptureEvent;
}

/** Plays songs through an AudioWorklet in an AudioContext. */
export class ZindlePlayer extends EventTarget {
  /** Without a context, one is made at 44100 Hz; at any other rate the worklet resamples. */
  constructor(audioContext?: BaseAudioContext | null, options?: ZindlePlayerOptions);
  readonly context: BaseAudioContext;
  /** The last position event's fields; null before the first. */
  readonly position: { frame: number; order: number; pattern: number; row: number; levels: number[] } | null;
  /** Call it in the user's gesture: it resumes the context. Rejects as Song.load does. */
  play(bytes: SongBytes, options?: PlayOptions): Promise<void>;
  pause(): void;
  /** Call it in the user's gesture too. */
  resume(): void;
  stop(): void;
  /** To `seconds` from the song's start, exactly (rounded to a frame). */
  seek(seconds: number): void;
  jump(): void;
  jumpTo(order: number, row: number): void;
  mute(channel: number, muted: boolean): void;
  /** As Song.setRepeat; kept for the songs played later. */
  setRepeat(count: number): void;
  addEventListener<K extends keyof ZindlePlayerEventMap>(
    type: K,
    listener: (this: ZindlePlayer, event: ZindlePlayerEventMap[K]) => void,
    options?: boolean | AddEventListenerOptions,
  ): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null, options?: boolean | AddEventListenerOptions): void;
  removeEventListener<K extends keyof ZindlePlayerEventMap>(
    type: K,
    listener: (this: ZindlePlayer, event: ZindlePlayerEventMap[K]) => void,
    options?: boolean | EventListenerOptions,
  ): void;
  removeEventListener(type: string, listener: EventListenerOrEventListenerObject | null, options?: boolean | EventListenerOptions): void;
}
