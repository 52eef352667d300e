// zindle._zindle: libzindle as a Python extension, built from the same
// sources as the library itself.
//
// The engine is one static record per process. Each Song keeps what makes
// its state (its bytes, the last seek, the calls made since) and the Song
// that last used the engine owns it; another Song's next call reloads its
// own bytes and replays its state exactly, so every Song behaves as if it
// were alone. One lock guards the engine; the GIL is released while the
// engine renders, seeks or reloads.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <cstdint>
#include <cstring>

#include "zindle.h"

namespace {

constexpr std::uint64_t BLOCK = ZINDLE_BLOCK_FRAMES;
// Frames rendered between two visits of the row callbacks: rows start at
// least 432 frames apart, so a chunk starts at most 20 rows.
constexpr std::uint64_t CALLBACK_CHUNK = 8192;
constexpr int ROWS_PER_CHUNK = 64;

PyObject* error_type;        // zindle.Error
PyObject* position_type;     // the named tuples, made in zindle/__init__.py
PyObject* cell_type;
PyObject* channel_type;
PyObject* float_array;       // array.array
PyThread_type_lock engine_lock;
std::uint64_t engine_owner;  // the id of the Song the engine holds, 0 for none
std::uint64_t last_song_id;

// The engine, for one thread at a time; waits with the GIL released.
void lock_engine() {
    if (PyThread_acquire_lock(engine_lock, NOWAIT_LOCK)) return;
    Py_BEGIN_ALLOW_THREADS
    PyThread_acquire_lock(engine_lock, WAIT_LOCK);
    Py_END_ALLOW_THREADS
}

void unlock_engine() { PyThread_release_lock(engine_lock); }

// The named tuples and array.array come from zindle/__init__.py.
bool types_ready() {
    if (position_type != nullptr && cell_type != nullptr && channel_type != nullptr && float_array != nullptr)
        return true;
    PyErr_SetString(PyExc_RuntimeError, "zindle._zindle is used through the zindle package");
    return false;
}

PyObject* raise_code(int code) {
    PyErr_SetString(error_type, zindle_strerror(code));
    return nullptr;
}

// A call that changes the song, kept to be replayed at the frame it was
// made when the song comes back into the engine.
enum class OpKind { jump, jump_to, mute, repeat };
struct Op {
    std::uint64_t frame;
    OpKind kind;
    int a, b;
};

struct PositionRecord {
    std::uint64_t frame;
    int order, pattern, row, tick, speed, passes;
};

struct SongObject {
    PyObject_HEAD
    std::uint64_t id;
    PyObject* data;   // bytes: the module as loaded (at most ZINDLE_IMAGE_BYTES)
    PyObject* on_row; // callable or None
    // The song's state: its frame, repeat count and muted channels now;
    // the last seek (or the load) and the calls made since.
    std::uint64_t frame;
    int repeat;
    std::uint32_t muted;
    std::uint64_t anchor_frame;
    int anchor_repeat;
    std::uint32_t anchor_muted;
    Op* ops;
    Py_ssize_t op_count, op_capacity;
    PositionRecord position;  // written with the GIL held, read with it
    // What the load found, kept.
    PyObject* title;
    PyObject* sample_names;  // tuple of str
    PyObject* report;
    int channels, samples, song_length, return_order, return_row, extended;
    std::uint64_t pass_frames;
};

// ---- Bringing a song into the engine ----------------------------------

// Renders into nothing up to `frame` (or the song's end).
void render_to(std::uint64_t frame) {
    static std::int16_t scratch[2 * BLOCK];
    std::uint64_t now = zindle_frame();
    while (now < frame) {
        const std::uint64_t want = frame - now < BLOCK ? frame - now : BLOCK;
        if (zindle_render(scratch, static_cast<size_t>(want)) == 0) break;
        now = zindle_frame();
    }
}

// Moves from the engine's frame to `frame` as the song's own renders did.
// Before any jump is replayed a seek to the block that holds the frame
// gives the same state as rendering there (no block of it made yet).
void advance(std::uint64_t frame, bool jumped) {
    if (!jumped) {
        std::uint64_t block_start = frame - frame % BLOCK;
        if (block_start > ZINDLE_SEEK_MAX_FRAMES) block_start = ZINDLE_SEEK_MAX_FRAMES - ZINDLE_SEEK_MAX_FRAMES % BLOCK;
        if (block_start > zindle_frame()) zindle_seek(block_start);
    }
    render_to(frame);
}

void apply(const Op& op) {
    switch (op.kind) {
    case OpKind::jump: zindle_jump(); break;
    case OpKind::jump_to: zindle_jump_to(op.a, op.b); break;
    case OpKind::mute: zindle_mute(op.a, op.b); break;
    case OpKind::repeat: zindle_set_repeat(op.a); break;
    }
}

void set_mutes(std::uint32_t muted, int channels) {
    for (int c = 0; c < channels; ++c)
        if ((muted >> c) & 1u) zindle_mute(c, 1);
}

// With the engine locked; needs no GIL. The song loaded before, so it
// loads again.
void claim(SongObject* s) {
    if (engine_owner == s->id) return;
    zindle_set_row_callback(nullptr, nullptr);
    zindle_set_repeat(s->anchor_repeat);
    zindle_load(PyBytes_AS_STRING(s->data), static_cast<size_t>(PyBytes_GET_SIZE(s->data)));
    set_mutes(s->anchor_muted, s->channels);
    zindle_seek(s->anchor_frame);
    bool jumped = false;
    for (Py_ssize_t i = 0; i < s->op_count; ++i) {
        advance(s->ops[i].frame, jumped);
        apply(s->ops[i]);
        jumped = jumped || s->ops[i].kind == OpKind::jump || s->ops[i].kind == OpKind::jump_to;
    }
    advance(s->frame, jumped);
    engine_owner = s->id;
}

PositionRecord read_position() {
    zindle_position p{};
    zindle_get_position(&p);
    return PositionRecord{p.frame, p.order, p.pattern, p.row, p.tick, p.speed, p.passes};
}

bool record(SongObject* s, OpKind kind, int a, int b) {
    if (s->op_count == s->op_capacity) {
        const Py_ssize_t capacity = s->op_capacity == 0 ? 8 : 2 * s->op_capacity;
        auto* grown = static_cast<Op*>(PyMem_Realloc(s->ops, static_cast<size_t>(capacity) * sizeof(Op)));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        s->ops = grown;
        s->op_capacity = capacity;
    }
    s->ops[s->op_count++] = Op{s->frame, kind, a, b};
    return true;
}

// Claims the engine for a short call, with the GIL held only when the song
// is already there (a reload takes milliseconds).
void claim_quickly(SongObject* s) {
    if (engine_owner == s->id) return;
    Py_BEGIN_ALLOW_THREADS
    claim(s);
    Py_END_ALLOW_THREADS
}

// ---- Song ---------------------------------------------------------------

PyObject* as_str(const char* text) {
    return PyUnicode_DecodeLatin1(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr);
}

int song_init(SongObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "force", nullptr};
    Py_buffer view;
    int force = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|p:Song", const_cast<char**>(keywords), &view, &force))
        return -1;
    if (self->data != nullptr) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_TypeError, "a Song is made once");
        return -1;
    }
    const Py_ssize_t used = view.len < static_cast<Py_ssize_t>(ZINDLE_IMAGE_BYTES) ? view.len : ZINDLE_IMAGE_BYTES;
    self->data = PyBytes_FromStringAndSize(static_cast<const char*>(view.buf), used);
    if (self->data == nullptr) {
        PyBuffer_Release(&view);
        return -1;
    }
    lock_engine();
    int probed = 1;
    int loaded = 0;
    Py_BEGIN_ALLOW_THREADS
    if (!force) probed = zindle_probe(view.buf, static_cast<size_t>(view.len));
    if (probed == 1) {
        zindle_set_row_callback(nullptr, nullptr);
        zindle_set_repeat(-1);
        loaded = zindle_load(PyBytes_AS_STRING(self->data), static_cast<size_t>(used));
        engine_owner = 0;
    }
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&view);
    if (probed != 1) {
        unlock_engine();
        PyErr_SetString(error_type, "the data does not look like a module (Song(data, force=True) loads it anyway)");
        return -1;
    }
    if (loaded != 0) {
        unlock_engine();
        PyErr_Format(error_type, "%s", zindle_strerror(loaded));
        return -1;
    }
    self->id = ++last_song_id;
    engine_owner = self->id;
    self->repeat = self->anchor_repeat = -1;
    self->channels = zindle_channel_count();
    self->samples = zindle_sample_count();
    self->song_length = zindle_song_length();
    self->return_order = zindle_return_order();
    self->return_row = zindle_return_row();
    self->extended = zindle_extended_mode();
    self->pass_frames = zindle_pass_frames();
    self->position = read_position();
    self->title = as_str(zindle_title());
    self->report = as_str(zindle_report());
    self->sample_names = PyTuple_New(self->samples);
    for (int i = 0; self->sample_names != nullptr && i < self->samples; ++i) {
        PyObject* name = as_str(zindle_sample_name(i + 1));
        if (name == nullptr) break;
        PyTuple_SET_ITEM(self->sample_names, i, name);
    }
    unlock_engine();
    if (self->title == nullptr || self->report == nullptr || self->sample_names == nullptr || PyErr_Occurred())
        return -1;
    Py_INCREF(Py_None);
    self->on_row = Py_None;
    return 0;
}

// on_row often holds the song itself (a bound method, a closure).
int song_traverse(SongObject* self, visitproc visit, void* arg) {
    Py_VISIT(self->on_row);
    return 0;
}

int song_clear(SongObject* self) {
    Py_CLEAR(self->on_row);
    return 0;
}

void song_dealloc(SongObject* self) {
    PyObject_GC_UnTrack(self);
    Py_XDECREF(self->data);
    Py_XDECREF(self->on_row);
    Py_XDECREF(self->title);
    Py_XDECREF(self->sample_names);
    Py_XDECREF(self->report);
    PyMem_Free(self->ops);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

bool ready(SongObject* self) {
    if (self->data != nullptr && self->id != 0) return true;
    PyErr_SetString(error_type, "the Song was not loaded");
    return false;
}

// Rows that start in a chunk, gathered without the GIL and handed to
// on_row once the chunk is done.
struct RowRecord {
    std::uint64_t frame;
    int order, pattern, row;
};
struct RowGathering {
    RowRecord rows[ROWS_PER_CHUNK];
    int count;
};

void gather_row(void* user, std::uint64_t frame, int order, int pattern, int row) {
    auto* g = static_cast<RowGathering*>(user);
    if (g->count < ROWS_PER_CHUNK) g->rows[g->count++] = RowRecord{frame, order, pattern, row};
}

// Renders `frames` frames into `out` (int16 frames, or floats when
// as_float) and returns how many the song gave: fewer at its end, or -1
// with an exception from on_row. Callbacks run with the engine unlocked,
// so they may use any Song.
Py_ssize_t render_frames(SongObject* self, char* out, Py_ssize_t frames, bool as_float) {
    const Py_ssize_t frame_bytes = as_float ? 2 * static_cast<Py_ssize_t>(sizeof(float)) : 4;
    // Rows are gathered when a callback is set as the render starts; each
    // goes to the callback set when it is handed over.
    const bool calling = self->on_row != nullptr && self->on_row != Py_None;
    Py_ssize_t done = 0;
    while (done < frames) {
        Py_ssize_t want = frames - done;
        if (calling && want > static_cast<Py_ssize_t>(CALLBACK_CHUNK)) want = CALLBACK_CHUNK;
        RowGathering gathered{};
        size_t got = 0;
        PositionRecord position{};
        lock_engine();
        Py_BEGIN_ALLOW_THREADS
        claim(self);
        if (calling) zindle_set_row_callback(gather_row, &gathered);
        char* to = out + done * frame_bytes;
        got = as_float ? zindle_render_float(reinterpret_cast<float*>(to), static_cast<size_t>(want))
                       : zindle_render(reinterpret_cast<std::int16_t*>(to), static_cast<size_t>(want));
        zindle_set_row_callback(nullptr, nullptr);
        position = read_position();
        self->frame = position.frame;
        Py_END_ALLOW_THREADS
        unlock_engine();
        self->position = position;
        done += static_cast<Py_ssize_t>(got);
        for (int i = 0; i < gathered.count && self->on_row != nullptr && self->on_row != Py_None; ++i) {
            const RowRecord& r = gathered.rows[i];
            PyObject* callback = self->on_row;
            Py_INCREF(callback);  // the callback may set on_row
            PyObject* result = PyObject_CallFunction(callback, "Kiii", static_cast<unsigned long long>(r.frame),
                                                     r.order, r.pattern, r.row);
            Py_DECREF(callback);
            if (result == nullptr) return -1;
            Py_DECREF(result);
        }
        if (got < static_cast<size_t>(want)) break;
    }
    return done;
}

bool frame_count(PyObject* arg, Py_ssize_t limit, Py_ssize_t& frames) {
    frames = PyLong_AsSsize_t(arg);
    if (frames == -1 && PyErr_Occurred()) return false;
    if (frames < 0) {
        PyErr_SetString(PyExc_ValueError, "frames must be 0 or more");
        return false;
    }
    if (frames > limit) {
        PyErr_SetString(PyExc_OverflowError, "too many frames for one call");
        return false;
    }
    return true;
}

PyObject* song_render(SongObject* self, PyObject* arg) {
    Py_ssize_t frames;
    if (!ready(self) || !frame_count(arg, PY_SSIZE_T_MAX / 4, frames)) return nullptr;
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, frames * 4);
    if (bytes == nullptr) return nullptr;
    const Py_ssize_t got = render_frames(self, PyBytes_AS_STRING(bytes), frames, false);
    if (got < 0) {
        Py_DECREF(bytes);
        return nullptr;
    }
    if (got < frames && _PyBytes_Resize(&bytes, got * 4) != 0) return nullptr;
    return bytes;
}

PyObject* song_render_float(SongObject* self, PyObject* arg) {
    if (!types_ready()) return nullptr;
    Py_ssize_t frames;
    if (!ready(self) || !frame_count(arg, PY_SSIZE_T_MAX / 8, frames)) return nullptr;
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, frames * 8);
    if (bytes == nullptr) return nullptr;
    const Py_ssize_t got = render_frames(self, PyBytes_AS_STRING(bytes), frames, true);
    if (got < 0 || (got < frames && _PyBytes_Resize(&bytes, got * 8) != 0)) {
        Py_XDECREF(bytes);
        return nullptr;
    }
    PyObject* array = PyObject_CallFunction(float_array, "sO", "f", bytes);
    Py_DECREF(bytes);
    return array;
}

PyObject* song_seek(SongObject* self, PyObject* arg) {
    if (!ready(self)) return nullptr;
    const unsigned long long frame = PyLong_AsUnsignedLongLong(arg);
    if (frame == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return raise_code(ZINDLE_ERROR_ARGUMENT);
        }
        return nullptr;
    }
    if (frame > ZINDLE_SEEK_MAX_FRAMES) return raise_code(ZINDLE_ERROR_ARGUMENT);
    PositionRecord position{};
    lock_engine();
    // The seek is the song's new starting point: what came before it is
    // its repeat count and its mutes.
    self->anchor_frame = frame;
    self->anchor_repeat = self->repeat;
    self->anchor_muted = self->muted;
    self->op_count = 0;
    Py_BEGIN_ALLOW_THREADS
    if (engine_owner == self->id) {
        zindle_seek(frame);
    } else {
        self->frame = frame;
        claim(self);
    }
    position = read_position();
    self->frame = position.frame;
    Py_END_ALLOW_THREADS
    unlock_engine();
    self->position = position;
    Py_RETURN_NONE;
}

// The calls that change what is heard from where the song is: made on the
// engine, then kept for a later reload.
PyObject* change(SongObject* self, OpKind kind, int a, int b) {
    if (!ready(self)) return nullptr;
    lock_engine();
    claim_quickly(self);
    int result = 0;
    switch (kind) {
    case OpKind::jump: result = zindle_jump(); break;
    case OpKind::jump_to: result = zindle_jump_to(a, b); break;
    case OpKind::mute: result = zindle_mute(a, b); break;
    case OpKind::repeat: result = zindle_set_repeat(a); break;
    }
    if (result < 0) {
        unlock_engine();
        return raise_code(result);
    }
    if (!record(self, kind, a, b)) {
        // The engine went on without a record of the call: reload next time.
        engine_owner = 0;
        unlock_engine();
        return nullptr;
    }
    if (kind == OpKind::mute) self->muted = b ? self->muted | (1u << a) : self->muted & ~(1u << a);
    if (kind == OpKind::repeat) self->repeat = a;
    self->position = read_position();
    unlock_engine();
    if (kind == OpKind::mute) return PyBool_FromLong(result);
    if (kind == OpKind::repeat) Py_RETURN_NONE;
    return PyLong_FromLong(result);
}

PyObject* song_jump(SongObject* self, PyObject*) { return change(self, OpKind::jump, 0, 0); }

PyObject* song_jump_to(SongObject* self, PyObject* args) {
    int order, row;
    if (!PyArg_ParseTuple(args, "ii:jump_to", &order, &row)) return nullptr;
    return change(self, OpKind::jump_to, order, row);
}

PyObject* song_mute(SongObject* self, PyObject* args) {
    int channel, muted = 1;
    if (!PyArg_ParseTuple(args, "i|p:mute", &channel, &muted)) return nullptr;
    return change(self, OpKind::mute, channel, muted);
}

PyObject* song_set_repeat(SongObject* self, PyObject* arg) {
    const long count = PyLong_AsLong(arg);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    if (count < -1 || count > INT32_MAX) return raise_code(ZINDLE_ERROR_ARGUMENT);
    return change(self, OpKind::repeat, static_cast<int>(count), 0);
}

PyObject* song_cell(SongObject* self, PyObject* args) {
    int pattern, row, channel;
    if (!PyArg_ParseTuple(args, "iii:cell", &pattern, &row, &channel) || !ready(self) || !types_ready()) return nullptr;
    struct zindle_cell c {};
    lock_engine();
    claim_quickly(self);
    const int result = zindle_cell(pattern, row, channel, &c);
    unlock_engine();
    if (result < 0) return raise_code(result);
    return PyObject_CallFunction(cell_type, "iiiiii", c.period, c.note, c.sample, c.effect, c.param, c.pan);
}

PyObject* song_channel(SongObject* self, PyObject* arg) {
    const long channel = PyLong_AsLong(arg);
    if ((channel == -1 && PyErr_Occurred()) || !ready(self) || !types_ready()) return nullptr;
    if (channel < 0 || channel >= self->channels) return raise_code(ZINDLE_ERROR_ARGUMENT);
    struct zindle_channel c {};
    lock_engine();
    claim_quickly(self);
    const int result = zindle_channel(static_cast<int>(channel), &c);
    unlock_engine();
    if (result < 0) return raise_code(result);
    return PyObject_CallFunction(channel_type, "iiiiO", c.sample, c.volume, c.period, c.pan, c.muted ? Py_True : Py_False);
}

PyObject* get_position(SongObject* self, void*) {
    if (!types_ready()) return nullptr;
    if (!ready(self)) return nullptr;
    const PositionRecord& p = self->position;
    return PyObject_CallFunction(position_type, "Kiiiiii", static_cast<unsigned long long>(p.frame), p.order,
                                 p.pattern, p.row, p.tick, p.speed, p.passes);
}

PyObject* get_on_row(SongObject* self, void*) {
    PyObject* callback = self->on_row != nullptr ? self->on_row : Py_None;
    Py_INCREF(callback);
    return callback;
}

int set_on_row(SongObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "on_row takes a callable or None");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(self->on_row, value);
    return 0;
}

PyObject* get_object(PyObject* value) {
    if (value == nullptr) {
        PyErr_SetString(error_type, "the Song was not loaded");
        return nullptr;
    }
    Py_INCREF(value);
    return value;
}

PyObject* get_title(SongObject* self, void*) { return get_object(self->title); }
PyObject* get_report(SongObject* self, void*) { return get_object(self->report); }
PyObject* get_sample_names(SongObject* self, void*) {
    return self->sample_names != nullptr ? PySequence_List(self->sample_names) : get_object(nullptr);
}

template <int SongObject::*field>
PyObject* get_int(SongObject* self, void*) {
    return ready(self) ? PyLong_FromLong(self->*field) : nullptr;
}

PyObject* get_extended(SongObject* self, void*) { return ready(self) ? PyBool_FromLong(self->extended) : nullptr; }
PyObject* get_pass_frames(SongObject* self, void*) {
    return ready(self) ? PyLong_FromUnsignedLongLong(self->pass_frames) : nullptr;
}

PyMethodDef song_methods[] = {
    {"render", reinterpret_cast<PyCFunction>(song_render), METH_O,
     "render(frames) -> bytes: int16 stereo frames, native order; fewer at the song's end"},
    {"render_float", reinterpret_cast<PyCFunction>(song_render_float), METH_O,
     "render_float(frames) -> array('f'): the same frames as render, each sample / 32768"},
    {"seek", reinterpret_cast<PyCFunction>(song_seek), METH_O, "seek(frame): exact, as if frame frames were rendered"},
    {"jump", reinterpret_cast<PyCFunction>(song_jump), METH_NOARGS, "jump() -> pattern: the next order entry"},
    {"jump_to", reinterpret_cast<PyCFunction>(song_jump_to), METH_VARARGS, "jump_to(order, row) -> pattern"},
    {"mute", reinterpret_cast<PyCFunction>(song_mute), METH_VARARGS,
     "mute(channel, muted=True) -> bool: the channel's previous state"},
    {"set_repeat", reinterpret_cast<PyCFunction>(song_set_repeat), METH_O,
     "set_repeat(count): -1 endless (the default), 0 one pass, n one pass and n more"},
    {"cell", reinterpret_cast<PyCFunction>(song_cell), METH_VARARGS, "cell(pattern, row, channel) -> Cell"},
    {"channel", reinterpret_cast<PyCFunction>(song_channel), METH_O,
     "channel(channel) -> Channel: as heard at the last frame given out"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef song_getset[] = {
    {"title", reinterpret_cast<getter>(get_title), nullptr, "the title, up to 20 characters", nullptr},
    {"channels", reinterpret_cast<getter>(get_int<&SongObject::channels>), nullptr, "4 to 32", nullptr},
    {"samples", reinterpret_cast<getter>(get_int<&SongObject::samples>), nullptr, "15 or 31", nullptr},
    {"sample_names", reinterpret_cast<getter>(get_sample_names), nullptr, "names of samples 1 to samples", nullptr},
    {"song_length", reinterpret_cast<getter>(get_int<&SongObject::song_length>), nullptr, "order entries used",
     nullptr},
    {"pass_frames", reinterpret_cast<getter>(get_pass_frames), nullptr, "frames in the first pass", nullptr},
    {"return_order", reinterpret_cast<getter>(get_int<&SongObject::return_order>), nullptr,
     "order entry the song comes back to, -1 for none", nullptr},
    {"return_row", reinterpret_cast<getter>(get_int<&SongObject::return_row>), nullptr,
     "row the song comes back to, -1 for none", nullptr},
    {"extended", reinterpret_cast<getter>(get_extended), nullptr, "True with the instrument extension", nullptr},
    {"report", reinterpret_cast<getter>(get_report), nullptr, "the loader's text", nullptr},
    {"position", reinterpret_cast<getter>(get_position), nullptr, "Position at the last frame given out", nullptr},
    {"on_row", reinterpret_cast<getter>(get_on_row), reinterpret_cast<setter>(set_on_row),
     "None, or called as on_row(frame, order, pattern, row) for every row that starts in a render", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject song_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// ---- The module ---------------------------------------------------------

PyObject* module_probe(PyObject*, PyObject* arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
    lock_engine();
    int result = 0;
    Py_BEGIN_ALLOW_THREADS
    result = zindle_probe(view.buf, static_cast<size_t>(view.len));
    Py_END_ALLOW_THREADS
    unlock_engine();
    PyBuffer_Release(&view);
    return PyBool_FromLong(result == 1);
}

// The named tuples and array.array, handed over by zindle/__init__.py.
PyObject* module_set_types(PyObject*, PyObject* args) {
    PyObject *position, *cell, *channel, *array;
    if (!PyArg_ParseTuple(args, "OOOO", &position, &cell, &channel, &array)) return nullptr;
    Py_INCREF(position);
    Py_INCREF(cell);
    Py_INCREF(channel);
    Py_INCREF(array);
    Py_XSETREF(position_type, position);
    Py_XSETREF(cell_type, cell);
    Py_XSETREF(channel_type, channel);
    Py_XSETREF(float_array, array);
    Py_RETURN_NONE;
}

// A fork while another thread renders would leave the child an engine
// lock that nobody there can release and an engine caught mid-block: the
// forking thread takes the lock first and each side releases its copy.
PyObject* module_lock_for_fork(PyObject*, PyObject*) {
    lock_engine();
    Py_RETURN_NONE;
}

PyObject* module_unlock_after_fork(PyObject*, PyObject*) {
    unlock_engine();
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"probe", module_probe, METH_O, "probe(data) -> bool: True when the bytes look like a module zindle plays"},
    {"_set_types", module_set_types, METH_VARARGS, nullptr},
    {"_lock_for_fork", module_lock_for_fork, METH_NOARGS, nullptr},
    {"_unlock_after_fork", module_unlock_after_fork, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zindle._zindle", "libzindle's engine and C API", -1,
                          module_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__zindle(void) {
    song_type.tp_name = "zindle.Song";
    song_type.tp_basicsize = sizeof(SongObject);
    song_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    song_type.tp_traverse = reinterpret_cast<traverseproc>(song_traverse);
    song_type.tp_clear = reinterpret_cast<inquiry>(song_clear);
    song_type.tp_doc = "Song(data, force=False): a module loaded from bytes";
    song_type.tp_new = PyType_GenericNew;
    song_type.tp_init = reinterpret_cast<initproc>(song_init);
    song_type.tp_dealloc = reinterpret_cast<destructor>(song_dealloc);
    song_type.tp_methods = song_methods;
    song_type.tp_getset = song_getset;
    if (PyType_Ready(&song_type) < 0) return nullptr;

    engine_lock = PyThread_allocate_lock();
    if (engine_lock == nullptr) return PyErr_NoMemory();
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    error_type = PyErr_NewExceptionWithDoc("zindle.Error", "What libzindle refused, with its text", PyExc_ValueError,
                                           nullptr);
    if (error_type == nullptr || PyModule_AddObject(module, "Error", error_type) < 0) return nullptr;
    Py_INCREF(error_type);
    Py_INCREF(&song_type);
    if (PyModule_AddObject(module, "Song", reinterpret_cast<PyObject*>(&song_type)) < 0) return nullptr;
    if (PyModule_AddStringConstant(module, "__version__", zindle_version()) < 0) return nullptr;
    if (PyModule_AddIntConstant(module, "SAMPLE_RATE", ZINDLE_SAMPLE_RATE) < 0) return nullptr;
    return module;
}
