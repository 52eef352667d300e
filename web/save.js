// The page's renders to files, off the page's thread: a WAV of one pass
// or more, as zindle-render writes it, and the stems (each channel alone,
// of the mix's length) as one stored zip or as files.
import { SAMPLE_RATE } from './constants.js';
import { Song } from './index.js';

const CHUNK = 1 << 16;

function wav(chunks, frames) {
  const h = new DataView(new ArrayBuffer(44));
  const bytes = 4 * frames;
  [[0, 'RIFF'], [8, 'WAVE'], [12, 'fmt '], [36, 'data']].forEach(([at, tag]) => {
    for (let i = 0; i < 4; i++) h.setUint8(at + i, tag.charCodeAt(i));
  });
  [[4, bytes + 36], [16, 16], [24, SAMPLE_RATE], [28, 4 * SAMPLE_RATE], [40, bytes]].forEach(([at, v]) => h.setUint32(at, v, true));
  [[20, 1], [22, 2], [32, 4], [34, 16]].forEach(([at, v]) => h.setUint16(at, v, true));
  return new Blob([h, ...chunks], { type: 'audio/wav' });
}

// Up to `most` frames, fewer where the song ends.
function render(song, most) {
  const chunks = [];
  let frames = 0;
  while (frames < most) {
    const part = song.render(Math.min(CHUNK, most - frames));
    chunks.push(part);
    frames += part.length / 2;
    if (part.length < 2 * CHUNK) break;
  }
  return [chunks, frames];
}

let table;
function crc(bytes) {
  table ??= Array.from({ length: 256 }, (_, n) => {
    for (let k = 0; k < 8; k++) n = n & 1 ? 0xedb88320 ^ (n >>> 1) : n >>> 1;
    return n >>> 0;
  });
  let c = ~0;
  for (const b of bytes) c = table[(c ^ b) & 255] ^ (c >>> 8);
  return ~c >>> 0;
}

// A zip of stored (uncompressed) entries: WAV frames hardly compress.
async function zip(files) {
  const parts = [];
  const central = [];
  let at = 0;
  for (const { name, blob } of files) {
    const data = new Uint8Array(await blob.arrayBuffer());
    const title = new TextEncoder().encode(name);
    const head = (size, sign) => {
      const v = new DataView(new ArrayBuffer(size));
      v.setUint32(0, sign, true);
      return v;
    };
    const fields = (v, o) => {
      v.setUint16(o, 20, true); // version needed
      v.setUint16(o + 8, 0x21, true); // 1 January 1980
      v.setUint32(o + 10, crc(data), true);
      v.setUint32(o + 14, data.length, true);
      v.setUint32(o + 18, data.length, true);
      v.setUint16(o + 22, title.length, true);
    };
    const local = head(30, 0x04034b50);
    fields(local, 4);
    const entry = head(46, 0x02014b50);
    entry.setUint16(4, 20, true); // made by
    fields(entry, 6);
    entry.setUint32(42, at, true);
    parts.push(local, title, data);
    central.push(entry, title);
    at += 30 + title.length + data.length;
  }
  const size = central.reduce((n, p) => n + p.byteLength, 0);
  const end = new DataView(new ArrayBuffer(22));
  end.setUint32(0, 0x06054b50, true);
  end.setUint16(8, files.length, true);
  end.setUint16(10, files.length, true);
  end.setUint32(12, size, true);
  end.setUint32(16, at, true);
  return new Blob([...parts, ...central, end], { type: 'application/zip' });
}

onmessage = async ({ data: { bytes, name, passes, stems, asZip } }) => {
  try {
    const song = await Song.load(bytes, { force: true });
    const { channels } = song.info;
    song.setRepeat(passes - 1);
    // The repeat count ends the song where zindle-render ends it.
    const [chunks, frames] = render(song, Infinity);
    let files = [{ name: `${name}.wav`, blob: wav(chunks, frames) }];
    if (stems) {
      for (let c = 0; c < channels; c++) {
        for (let k = 0; k < channels; k++) song.mute(k, k !== c);
        song.seek(0);
        const stem = render(song, frames)[0];
        files.push({ name: `${name}-ch${String(c + 1).padStart(2, '0')}.wav`, blob: wav(stem, frames) });
      }
      if (asZip) files = [{ name: `${name}-stems.zip`, blob: await zip(files) }];
    }
    song.free();
    postMessage({ files });
  } catch (e) {
    postMessage({ error: e.message });
  }
};
