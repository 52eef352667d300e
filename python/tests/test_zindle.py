"""The installed zindle package against zindle-render.

Run by ctest (tests/python/run.sh), which installs the package into a fresh
virtual environment and sets ZINDLE_RENDER (the renderer), ZINDLE_SONGS (a
folder of generated songs, busy-<N>ch[-ext].mod), ZINDLE_SOURCE_DIR and
ZINDLE_VERSION.
"""
import array
import os
import random
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

import zindle

RENDER = os.environ["ZINDLE_RENDER"]
SONGS = Path(os.environ["ZINDLE_SONGS"])
SOURCE = Path(os.environ["ZINDLE_SOURCE_DIR"])
DEMOS = sorted((SOURCE / "examples").glob("*.mod"))
GENERATED = sorted(SONGS.glob("busy-*.mod"))

_references = {}


def native(data):
    """zindle-render's little-endian samples in the machine's order."""
    if sys.byteorder == "little":
        return data
    samples = array.array("h", data)
    samples.byteswap()
    return samples.tobytes()


def reference(path, passes=1):
    """zindle-render's frames for `passes` passes of the module."""
    key = (str(path), passes)
    if key not in _references:
        with tempfile.TemporaryDirectory() as work:
            out = os.path.join(work, "out.raw")
            subprocess.run([RENDER, "--passes", str(passes), str(path), out], check=True,
                           stderr=subprocess.DEVNULL)
            _references[key] = native(Path(out).read_bytes())
    return _references[key]


def song_of(path):
    return zindle.Song(Path(path).read_bytes())


def render_all(song, sizes):
    """Renders until the song ends, cut into calls of the given sizes in turn."""
    parts = []
    i = 0
    while True:
        want = sizes[i % len(sizes)]
        part = song.render(want)
        parts.append(part)
        i += 1
        if len(part) < 4 * want:
            return b"".join(parts)


def assert_pass_equal(test, ours, theirs, name):
    test.assertEqual(len(ours), len(theirs), "%s: frames %d, zindle-render's %d" % (name, len(ours) // 4,
                                                                                   len(theirs) // 4))
    if ours != theirs:
        first = next(i for i in range(len(ours)) if ours[i] != theirs[i]) // 4
        test.fail("%s: frames differ from zindle-render's from frame %d" % (name, first))


class RenderTest(unittest.TestCase):
    def test_songs_give_the_renderers_bytes(self):
        self.assertGreaterEqual(len(GENERATED), 14)
        for path in DEMOS + GENERATED:
            with self.subTest(song=path.name):
                song = song_of(path)
                song.set_repeat(0)
                ours = render_all(song, [1, 4095, 2048, 777, 30000])
                self.assertEqual(len(ours), 4 * song.pass_frames)
                assert_pass_equal(self, ours, reference(path), path.name)
                self.assertEqual(song.render(100), b"")

    def test_corpus_songs(self):
        corpus = Path(os.environ.get("ZINDLE_CORPUS_DIR", "/nonexistent"))
        paths = sorted(corpus.glob("*.mod"))
        if not paths:
            self.skipTest("no real-module corpus at %s" % corpus)
        for path in paths:
            with self.subTest(song=path.name):
                # (The library's own tests judge the probe over the corpus.)
                with tempfile.TemporaryDirectory() as work:
                    out = os.path.join(work, "out.raw")
                    subprocess.run([RENDER, "--force", "--seconds", "8", str(path), out], check=True, stderr=subprocess.DEVNULL)
                    theirs = native(Path(out).read_bytes())
                song = zindle.Song(path.read_bytes(), force=True)
                self.assertEqual(song.render(len(theirs) // 4), theirs)

    def test_render_file_passes(self):
        for path in [DEMOS[0], GENERATED[0], GENERATED[-1]]:
            with self.subTest(song=path.name):
                for passes in (1, 2):
                    ours = zindle.render_file(str(path), passes=passes)
                    assert_pass_equal(self, ours, reference(path, passes), "%s x%d" % (path.name, passes))
                self.assertEqual(len(zindle.render_file(path)), 4 * song_of(path).pass_frames)

    def test_endless_by_default_and_repeat_counts(self):
        path = GENERATED[2]
        song = song_of(path)
        once = reference(path, 1)
        twice = song.render(len(reference(path, 2)) // 4 + 5000)
        self.assertEqual(len(twice), len(reference(path, 2)) + 4 * 5000)
        song = song_of(path)
        song.set_repeat(1)
        two = render_all(song, [9999])
        assert_pass_equal(self, two, reference(path, 2), "two passes")
        self.assertGreater(len(two), len(once))
        # It ends where the row that completes the second pass would start.
        self.assertEqual(song.position.passes, 1)

    def test_seeks(self):
        path = DEMOS[0]
        theirs = reference(path, 2)
        song = song_of(path)
        total = len(theirs) // 4
        for frame in [0, 1, 2047, 2048, 100000, 44100 * 30 + 17, 5000, total - 3000, 12]:
            with self.subTest(frame=frame):
                song.seek(frame)
                self.assertEqual(song.position.frame, frame)
                self.assertEqual(song.render(3000), theirs[4 * frame:4 * (frame + 3000)])

    def test_float_is_int16_over_32768(self):
        path = GENERATED[-1]
        a, b = song_of(path), song_of(path)
        for size in [1, 1000, 2048, 4097, 50000]:
            ints = array.array("h", a.render(size))
            floats = b.render_float(size)
            self.assertIsInstance(floats, array.array)
            self.assertEqual(floats.typecode, "f")
            self.assertEqual(list(floats), [v / 32768.0 for v in ints])
        # The two mix in one song.
        c = song_of(path)
        mixed = c.render(1000) + array.array("h", [round(v * 32768) for v in c.render_float(3000)]).tobytes()
        self.assertEqual(mixed, native(reference(path))[:4 * 4000])

    def test_rows_follow_the_renderers_trace(self):
        path = GENERATED[4]
        with tempfile.TemporaryDirectory() as work:
            trace = os.path.join(work, "trace.txt")
            subprocess.run([RENDER, "--passes", "1", "--trace", trace, str(path), os.path.join(work, "o.raw")],
                           check=True, stderr=subprocess.DEVNULL)
            expected = [tuple(int(x) for x in line.split()[:4]) for line in Path(trace).read_text().splitlines()]
        song = song_of(path)
        expected = [r for r in expected if r[0] < song.pass_frames]
        song.set_repeat(0)
        rows = []
        song.on_row = lambda frame, order, pattern, row: rows.append((frame, order, pattern, row))
        render_all(song, [300, 20000, 100000])
        self.assertEqual(rows, expected)
        last = song.position
        self.assertEqual((last.order, last.pattern, last.row), expected[-1][1:])
        song.on_row = None
        song.seek(0)
        song.render(10000)
        self.assertEqual(len(rows), len(expected))

    def test_a_raising_callback_stops_the_render(self):
        song = song_of(DEMOS[0])

        def stop(frame, order, pattern, row):
            if row == 3:
                raise KeyError("stop")
        song.on_row = stop
        with self.assertRaises(KeyError):
            song.render(44100 * 10)
        with self.assertRaises(TypeError):
            song.on_row = 5


class ControlTest(unittest.TestCase):
    def test_stems_sum_to_the_mix_where_it_does_not_clip(self):
        for path in [DEMOS[0]] + GENERATED:
            with self.subTest(song=path.name):
                frames = 30000
                mix = array.array("h", song_of(path).render(frames))
                channels = song_of(path).channels
                total = [0] * len(mix)
                for keep in range(channels):
                    song = song_of(path)
                    for c in range(channels):
                        if c != keep:
                            self.assertFalse(song.mute(c, True))
                    self.assertTrue(all(song.channel(c).muted == (c != keep) for c in range(channels)))
                    stem = array.array("h", song.render(frames))
                    total = [t + s for t, s in zip(total, stem)]
                # The mix is clipped to -30720..30719; a stem never clips.
                checked = 0
                for i, (m, t) in enumerate(zip(mix, total)):
                    if -30720 < m < 30719:
                        checked += 1
                        ok = m == t
                    else:
                        ok = t <= m if m < 0 else t >= m
                    if not ok:
                        self.fail("%s: sample %d: the stems sum to %d, the mix is %d" % (path.name, i, t, m))
                self.assertGreater(checked, len(mix) // 2)

    def test_mute_from_a_seek_and_unmute(self):
        path = GENERATED[0]
        song = song_of(path)
        self.assertFalse(song.mute(0))
        self.assertTrue(song.mute(0, False))
        for c in range(song.channels):
            song.mute(c, True)
        song.seek(10000)
        self.assertEqual(song.render(4000), bytes(16000))
        for c in range(song.channels):
            self.assertTrue(song.mute(c, False))
        song.seek(10000)
        self.assertEqual(song.render(4000), reference(path)[40000:56000])
        self.assertNotEqual(reference(path)[40000:56000], bytes(16000))

    def test_mutes_hold_from_a_forward_seek_inside_the_made_block(self):
        song = song_of(DEMOS[1])
        song.render(100)
        for c in range(song.channels):
            song.mute(c, True)
        song.seek(500)
        self.assertEqual(song.render(3000), bytes(12000))
        self.assertNotEqual(reference(DEMOS[1])[4 * 500:4 * 3500], bytes(12000))

    def test_jump_to_plays_the_entry_from_its_row(self):
        path = DEMOS[0]
        song = song_of(path)
        rows = []
        song.on_row = lambda *r: rows.append(r)
        song.render(10000)
        pattern = song.jump_to(2, 8)
        self.assertEqual(song.cell(pattern, 0, 0), song.cell(pattern, 0, 0))
        song.render(44100 * 5)
        # The frames the engine had made before the jump come first.
        after = [r for r in rows if r[0] > 10000]
        self.assertEqual(after[0][1:], (2, pattern, 8))
        self.assertEqual(after[1][1:], (2, pattern, 9))

    def test_cells_are_the_stored_bytes(self):
        for path in [p for p in GENERATED if not p.name.endswith("-ext.mod")] + DEMOS[:1]:
            data = path.read_bytes()
            song = zindle.Song(data)
            if song.extended:
                continue
            with self.subTest(song=path.name):
                channels = song.channels
                patterns = max(data[952:952 + 128]) + 1
                rng = random.Random(channels)
                for _ in range(300):
                    p, r, c = rng.randrange(patterns), rng.randrange(64), rng.randrange(channels)
                    at = 1084 + ((p * 64 + r) * channels + c) * 4
                    b0, b1, b2, b3 = data[at:at + 4]
                    period = (b0 & 0x0F) << 8 | b1
                    cell = song.cell(p, r, c)
                    self.assertEqual(cell, (period, cell.note, (b0 & 0x10) | b2 >> 4, b2 & 0x0F, b3, b0 & 0xC0))
                    if period >= 29:
                        self.assertEqual(cell.note, NOTE_OF.get(period, cell.note))
                    else:
                        self.assertEqual(cell.note, -1)

    def test_channel_state_of_a_generated_note(self):
        song = zindle.Song(one_note_module(period=428, sample=1, volume=40))
        song.render(4000)
        state = song.channel(0)
        self.assertEqual((state.sample, state.volume, state.period, state.muted), (1, 40, 428, False))
        self.assertEqual(song.channel(1).sample, 0)
        self.assertEqual(song.cell(0, 0, 0).note, 24)


# The notes of the period table's octaves named in the API: C-0 at 1712.
NOTE_OF = {1712: 0, 856: 12, 428: 24, 214: 36}


def one_note_module(period, sample, volume):
    """A 4-channel M.K. module: sample 1 a looped square wave, one pattern
    whose first row plays it on channel 0."""
    header = bytearray(b"one note".ljust(20, b"\0"))
    for s in range(1, 32):
        name = ("s%d" % s).encode().ljust(22, b"\0")
        if s == sample:
            header += name + struct.pack(">HBBHH", 16, 0, 64, 0, 16)
        else:
            header += name + struct.pack(">HBBHH", 0, 0, 0, 0, 1)
    header += bytes([1, 127]) + bytes(128) + b"M.K."
    pattern = bytearray(64 * 4 * 4)
    pattern[0:4] = bytes([(sample & 0x10) | (period >> 8), period & 0xFF, (sample & 0x0F) << 4 | 0x0C, volume])
    wave = bytes([0x40] * 16 + [0xC0] * 16)
    return bytes(header + pattern + wave)


class SeveralSongsTest(unittest.TestCase):
    """Several Songs share the engine; each must behave as if it were alone."""

    SCRIPT = [
        ("render", 1000), ("render_float", 3000), ("mute", 1, True), ("render", 5000), ("jump",),
        ("render", 777), ("channel", 1), ("seek", 100000), ("render", 2048), ("mute", 0, True), ("render", 100),
        ("jump_to", 1, 5), ("render", 9000), ("mute", 1, False), ("jump",), ("render", 4000), ("seek", 3),
        ("render", 50000), ("mute", 2, True), ("seek", 50500), ("render", 1000), ("mute", 2, False),
        ("set_repeat", 0), ("render", 44100 * 60), ("seek", 7000), ("render", 3000),
    ]

    def run_step(self, song, step, log):
        name, *args = step
        result = getattr(song, name)(*args)
        if isinstance(result, array.array):
            result = result.tobytes()
        log.append((name, result, tuple(song.position)))

    def make(self, paths):
        songs, logs = [], []
        for path in paths:
            song = song_of(path)
            log = []
            song.on_row = lambda *row, log=log: log.append(row)
            songs.append(song)
            logs.append(log)
        return songs, logs

    def test_interleaved_songs_equal_each_alone(self):
        paths = [DEMOS[0], GENERATED[5], DEMOS[-1]]
        alone = []
        for path in paths:
            (song,), (log,) = self.make([path])
            for step in self.SCRIPT:
                self.run_step(song, step, log)
            alone.append(log)
        songs, logs = self.make(paths)
        for i, step in enumerate(self.SCRIPT):
            for k in (range(len(songs)) if i % 2 == 0 else reversed(range(len(songs)))):
                self.run_step(songs[k], step, logs[k])
        for path, a, b in zip(paths, alone, logs):
            self.assertEqual(len(a), len(b), path.name)
            for x, y in zip(a, b):
                self.assertEqual(x, y, path.name)
        # The alone run itself renders as zindle-render does.
        first = next(entry for entry in alone[0] if entry[0] == "render")
        self.assertEqual(first[1], reference(paths[0])[:4000])

    def test_one_song_per_thread(self):
        paths = [DEMOS[0], GENERATED[3], GENERATED[-2]]
        results = [None] * len(paths)

        def play(k):
            song = song_of(paths[k])
            song.set_repeat(0)
            results[k] = render_all(song, [1000 + 333 * k])

        threads = [threading.Thread(target=play, args=(k,)) for k in range(len(paths))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for path, ours in zip(paths, results):
            assert_pass_equal(self, ours, reference(path), path.name)

    def test_the_gil_is_free_while_rendering(self):
        song = song_of(GENERATED[-1])
        started = threading.Event()

        def render():
            started.set()
            song.render(44100 * 120)

        worker = threading.Thread(target=render)
        worker.start()
        started.wait()
        spins = 0
        while worker.is_alive():
            # The position never waits for the engine: during the render it
            # is where the song was before it.
            spins += song.position.frame == 0
        worker.join()
        # Held, the GIL would let this thread run only between the calls.
        self.assertGreater(spins, 10000)
        self.assertEqual(song.position.frame, 44100 * 120)

    @unittest.skipUnless(hasattr(os, "fork"), "no fork here")
    def test_a_fork_while_another_thread_renders(self):
        busy = song_of(GENERATED[-1])
        expected = reference(DEMOS[0])
        stop = threading.Event()

        def render():
            while not stop.is_set():
                busy.render(44100 * 5)

        worker = threading.Thread(target=render)
        worker.start()
        try:
            # The worker holds the engine most of the time, so some forks
            # land in the middle of its renders.
            for attempt in range(3):
                child = os.fork()
                if child == 0:
                    song = song_of(DEMOS[0])
                    song.set_repeat(0)
                    os._exit(0 if render_all(song, [4096]) == expected else 1)
                for _ in range(600):
                    done, status = os.waitpid(child, os.WNOHANG)
                    if done:
                        break
                    stop.wait(0.05)
                else:
                    os.kill(child, 9)
                    os.waitpid(child, 0)
                    self.fail("the child of a fork waited for the engine for 30 s")
                self.assertEqual(os.waitstatus_to_exitcode(status), 0, "the child rendered the demo exactly")
        finally:
            stop.set()
            worker.join()


NON_MODULES = {
    "empty": b"",
    "text": b"This is a README.\n" * 200,
    "wav": b"RIFF" + struct.pack("<I", 4036) + b"WAVEfmt " + bytes(4030),
    "png": b"\x89PNG\r\n\x1a\n" + bytes(3000),
    "zeros": bytes(5000),
    "random": random.Random(7).randbytes(70000),
}


class ErrorTest(unittest.TestCase):
    def test_probe(self):
        for path in DEMOS + GENERATED:
            self.assertTrue(zindle.probe(path.read_bytes()), path.name)
            self.assertTrue(zindle.probe(bytearray(path.read_bytes())), path.name)
        for name, data in NON_MODULES.items():
            self.assertFalse(zindle.probe(data), name)
        self.assertFalse(zindle.probe(Path(sys.executable).read_bytes()[:200000]))

    def test_refused_songs(self):
        self.assertTrue(issubclass(zindle.Error, ValueError))
        for name, data in NON_MODULES.items():
            with self.assertRaises(zindle.Error, msg=name) as caught:
                zindle.Song(data)
            self.assertIn("does not look like a module", str(caught.exception))
        with self.assertRaises(zindle.Error) as caught:
            zindle.Song(b"", force=True)
        self.assertIn("song length is 0", str(caught.exception))
        # Forced, random bytes play as a 15-sample song.
        forced = zindle.Song(NON_MODULES["random"], force=True)
        self.assertEqual(len(forced.render(100)), 400)
        with self.assertRaises(TypeError):
            zindle.Song("text is not bytes")

    def test_arguments_out_of_range(self):
        song = song_of(DEMOS[0])
        for call in [lambda: song.jump_to(song.song_length, 0), lambda: song.jump_to(0, 64),
                     lambda: song.jump_to(-1, 0), lambda: song.mute(song.channels, True),
                     lambda: song.mute(-1, True), lambda: song.set_repeat(-2), lambda: song.cell(0, 64, 0),
                     lambda: song.cell(0, 0, song.channels), lambda: song.cell(255, 0, 0),
                     lambda: song.channel(song.channels), lambda: song.seek(2**31), lambda: song.seek(-1)]:
            with self.assertRaises(zindle.Error):
                call()
        with self.assertRaises(ValueError):
            song.render(-1)
        with self.assertRaises(OverflowError):
            song.render(2**62)
        # Nothing refused moved the song.
        self.assertEqual(song.render(1000), reference(DEMOS[0])[:4000])
        with self.assertRaises(OSError):
            zindle.render_file(str(SOURCE / "no-such.mod"))
        with self.assertRaises(zindle.Error):
            zindle.render_file(str(SOURCE / "README.md"))
        with self.assertRaises(ValueError):
            zindle.render_file(str(DEMOS[0]), passes=0)

    def test_song_information(self):
        song = song_of(DEMOS[0])
        with tempfile.TemporaryDirectory() as work:
            info = subprocess.run([RENDER, "--info", str(DEMOS[0])], check=True, capture_output=True, text=True)
        self.assertIn(str(song.pass_frames), info.stdout)
        self.assertEqual(song.samples, 31)
        self.assertEqual(len(song.sample_names), 31)
        self.assertTrue(all(isinstance(n, str) for n in song.sample_names))
        self.assertTrue(song.report.startswith("channels: 0000000%d" % song.channels))
        self.assertEqual(zindle.Song(b"\xe9t\xe9" + DEMOS[0].read_bytes()[3:]).title[:3], "\xe9t\xe9")
        self.assertEqual(zindle.__version__, os.environ["ZINDLE_VERSION"])


class ConverterTest(unittest.TestCase):
    def convert(self, *args, cwd=None):
        return subprocess.run([sys.executable, "-m", "zindle", *map(str, args)], cwd=cwd, capture_output=True)

    def test_one_pass_to_wav(self):
        with tempfile.TemporaryDirectory() as work:
            for path in [DEMOS[0], GENERATED[1]]:
                out = Path(work) / ("out-" + path.stem + ".wav")
                done = self.convert(path, out)
                self.assertEqual(done.returncode, 0, done.stderr)
                wav = out.read_bytes()
                frames = song_of(path).pass_frames
                self.assertEqual(wav[:4], b"RIFF")
                self.assertEqual(struct.unpack("<I", wav[4:8])[0], len(wav) - 8)
                self.assertEqual(wav[8:16], b"WAVEfmt ")
                self.assertEqual(struct.unpack("<IHHIIHH", wav[16:36]), (16, 1, 2, 44100, 176400, 4, 16))
                self.assertEqual(wav[36:40], b"data")
                self.assertEqual(struct.unpack("<I", wav[40:44])[0], 4 * frames)
                assert_pass_equal(self, native(wav[44:]), reference(path), path.name)
            # The default name, in the current folder.
            done = self.convert(DEMOS[0], cwd=work)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual((Path(work) / (DEMOS[0].stem + ".wav")).read_bytes(),
                             (Path(work) / ("out-" + DEMOS[0].stem + ".wav")).read_bytes())
            # Nothing else is left behind (no temporary file).
            self.assertEqual(sorted(p.name for p in Path(work).iterdir()),
                             sorted(["out-" + DEMOS[0].stem + ".wav", "out-" + GENERATED[1].stem + ".wav",
                                     DEMOS[0].stem + ".wav"]))

    def test_refusals_leave_no_file(self):
        with tempfile.TemporaryDirectory() as work:
            module = Path(work) / "song.mod"
            module.write_bytes(DEMOS[0].read_bytes())
            link = Path(work) / "link.wav"
            link.symlink_to(module)
            for args in [(module, module), (module, link)]:
                done = self.convert(*args)
                self.assertEqual(done.returncode, 1)
                self.assertIn(b"module itself", done.stderr)
            self.assertEqual(module.read_bytes(), DEMOS[0].read_bytes())
            text = Path(work) / "notes.txt"
            text.write_text("not a module\n" * 100)
            for args, code in [((text, Path(work) / "t.wav"), 1), ((Path(work) / "none.mod",), 1),
                               ((module, Path(work) / "missing-folder" / "x.wav"), 1), ((), 2), (("-x",), 2)]:
                done = self.convert(*args, cwd=work)
                self.assertEqual(done.returncode, code, args)
                self.assertTrue(done.stderr)
            self.assertEqual(sorted(p.name for p in Path(work).iterdir()), ["link.wav", "notes.txt", "song.mod"])


if __name__ == "__main__":
    unittest.main()
