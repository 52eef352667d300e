"""python3 -m zindle MODULE [OUTPUT]: one pass of MODULE as a WAV file
(OUTPUT, by default the module's name with .wav in the current folder)."""
import os
import struct
import sys
import tempfile

import zindle

USAGE = "usage: python3 -m zindle MODULE [OUTPUT]\n"
CHUNK = zindle.SAMPLE_RATE


def wav_header(data_bytes):
    return (b"RIFF" + struct.pack("<I", data_bytes + 36) + b"WAVE"
            + b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, zindle.SAMPLE_RATE, zindle.SAMPLE_RATE * 4, 4, 16)
            + b"data" + struct.pack("<I", data_bytes))


def default_output(module):
    name = os.path.basename(module)
    stem, dot, _ = name.rpartition(".")
    if not dot or not stem:
        stem = name
    return (stem or "out") + ".wav"


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def convert(module, output):
    with open(module, "rb") as f:
        song = zindle.Song(f.read())
    song.set_repeat(0)
    frames = song.pass_frames
    folder = os.path.dirname(os.path.abspath(output))
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(output) + ".", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(wav_header(4 * frames))
            written = 0
            while True:
                part = song.render(CHUNK)
                if sys.byteorder == "big":
                    part = _swap16(part)  # WAV samples are little-endian
                out.write(part)
                written += len(part) // 4
                if len(part) < 4 * CHUNK:
                    break
            if written != frames:
                raise zindle.Error("the pass gave %d frames, not %d" % (written, frames))
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, output)
    except BaseException:
        os.unlink(temporary)
        raise


def _swap16(data):
    import array
    samples = array.array("h", data)
    samples.byteswap()
    return samples.tobytes()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def main(argv):
    if len(argv) not in (1, 2) or argv[0].startswith("-"):
        sys.stderr.write(USAGE)
        return 2
    module = argv[0]
    output = argv[1] if len(argv) == 2 else default_output(module)
    if same_file(module, output):
        sys.stderr.write("zindle: %s is the module itself; not writing over it\n" % output)
        return 1
    try:
        convert(module, output)
    except (OSError, zindle.Error) as e:
        sys.stderr.write("zindle: %s: %s\n" % (module, e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
