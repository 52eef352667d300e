"""zindle: exact, fast playback of tracker music modules.

    import zindle
    song = zindle.Song(open("song.mod", "rb").read())
    pcm = song.render(44100)   # one second: int16 stereo, native order

Every frame is the very frame that zindle-render writes. The engine is one
per process; several Song objects each behave as if they were alone (see
the package's README).
"""
import array as _array
import os as _os
from collections import namedtuple as _namedtuple

from . import _zindle
from ._zindle import Error, Song, __version__, probe

SAMPLE_RATE = _zindle.SAMPLE_RATE

Position = _namedtuple("Position", "frame order pattern row tick speed passes")
Cell = _namedtuple("Cell", "period note sample effect param pan")
Channel = _namedtuple("Channel", "sample volume period pan muted")
_zindle._set_types(Position, Cell, Channel, _array.array)
if hasattr(_os, "register_at_fork"):
    _os.register_at_fork(before=_zindle._lock_for_fork, after_in_parent=_zindle._unlock_after_fork,
                         after_in_child=_zindle._unlock_after_fork)

__all__ = ["Song", "Error", "probe", "render_file", "Position", "Cell", "Channel", "SAMPLE_RATE", "__version__"]

# Frames rendered per call when a whole song is rendered: one second.
_CHUNK = SAMPLE_RATE


def render_file(path, passes=1):
    """The module at `path` rendered for `passes` passes (1 or more) as int16
    stereo frames in native order; raises Error for a file that does not look
    like a module, OSError when it cannot be read."""
    if isinstance(passes, bool) or not isinstance(passes, int):
        raise TypeError("passes must be an int")
    if passes < 1:
        raise ValueError("passes must be 1 or more")
    with open(path, "rb") as f:
        song = Song(f.read())
    song.set_repeat(passes - 1)
    parts = []
    while True:
        part = song.render(_CHUNK)
        parts.append(part)
        if len(part) < 4 * _CHUNK:
            return b"".join(parts)
