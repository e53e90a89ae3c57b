// The stream functions of the module: text fed in pieces, tokens handed out once decided.
//
// A stream is not a lock: it carries an atomic busy flag, taken with an exchange when a call
// enters and released when it leaves, so that a second thread feeding, finishing or querying
// the same stream meanwhile fails at once with RuntimeError instead of corrupting it or
// waiting.  Feeding and finishing give up the interpreter lock for inputs of 4096 bytes or
// more; the chunk's bytes are read through the pointer taken before, and tokens are turned
// into Python objects only after the lock is back.
//
// The window keeps the last bytes fed, for showing an error's surroundings: after each feed
// it is trimmed to the bytes the stream still holds undecided plus the 8 before them, once it
// grows past twice that plus 16 (so trimming is rare and cheap).
#include <string>

#include "binding/busy.h"
#include "binding/capsule.h"
#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/gil.h"
#include "binding/ref.h"
#include "module/docstrings.h"
#include "module/exceptions.h"
#include "module/functions.h"
#include "module/handles.h"
#include "module/value_types.h"

namespace tessel::module {

namespace mb = morrow::binding;
using mb::ref;

namespace {

constexpr std::size_t window_slack = 16;
constexpr std::size_t window_context = 8;

constexpr const char* stream_busy = "a stream is being fed by another thread";

stream_holder* stream_of(PyObject* args, const char* format) {
    PyObject* capsule;
    if (!PyArg_ParseTuple(args, format, &capsule)) return nullptr;
    return static_cast<stream_holder*>(PyCapsule_GetPointer(capsule, stream_capsule));
}

const tessel::lexer& lexer_of_stream(const stream_holder& s) {
    return *lexer_of(s.handle.get());
}

// Turns a lex_error of the stream into LexError carrying the tokens decided before it.
PyObject* raise_stream_error(const stream_holder& s, const tessel::lex_error& e) {
    ref tokens(token_list(lexer_of_stream(s), e.tokens, s.chunk_type == 1));
    if (!tokens) return nullptr;
    return raise_lex_error(e, tokens.get());
}

PyObject* stream_start(PyObject*, PyObject* args) {
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O:stream_start", &handle)) return nullptr;
    auto* h = static_cast<lexer_handle*>(PyCapsule_GetPointer(handle, lexer_capsule));
    if (h == nullptr) return nullptr;
    auto holder = std::make_unique<stream_holder>();
    holder->handle = ref::borrow(handle);
    holder->stream = std::make_unique<tessel::token_stream>(h->lexer);
    return mb::make_capsule(std::move(holder), stream_capsule);
}

PyObject* stream_feed(PyObject*, PyObject* args) {
    PyObject *capsule, *chunk_obj;
    if (!PyArg_ParseTuple(args, "OO:stream_feed", &capsule, &chunk_obj)) return nullptr;
    auto* s = static_cast<stream_holder*>(PyCapsule_GetPointer(capsule, stream_capsule));
    if (s == nullptr) return nullptr;
    const auto chunk = mb::to_text(chunk_obj);
    if (!chunk) return nullptr;
    const int type = chunk->is_bytes ? 1 : 0;
    if (s->chunk_type >= 0 && s->chunk_type != type) {
        PyErr_SetString(PyExc_TypeError,
                        type == 0 ? "stream fed str after bytes" : "stream fed bytes after str");
        return nullptr;
    }
    mb::busy_guard busy(s->busy);
    if (!busy.taken(stream_busy)) return nullptr;
    // A feed the stream refuses (finished, failed, past its limit) must change nothing, so it
    // is refused before the chunk joins the window.
    s->stream->check_feed(chunk->bytes.size());
    s->chunk_type = type;
    s->window.append(chunk->bytes);
    std::vector<tessel::token> tokens;
    try {
        mb::gil_release unlocked(mb::should_release(chunk->bytes.size()));
        tokens = s->stream->feed(chunk->bytes);
    } catch (const tessel::lex_error& e) {
        return raise_stream_error(*s, e);
    }
    PyObject* list = token_list(lexer_of_stream(*s), tokens, type == 1);
    if (list == nullptr) return nullptr;
    const std::size_t held = s->stream->buffered();
    if (s->window.size() > 2 * held + window_slack) {
        const std::size_t drop = s->window.size() - (held + window_context);
        s->window.erase(0, drop);
        s->window_offset += drop;
    }
    return list;
}

PyObject* stream_finish(PyObject*, PyObject* args) {
    stream_holder* s = stream_of(args, "O:stream_finish");
    if (s == nullptr) return nullptr;
    mb::busy_guard busy(s->busy);
    if (!busy.taken(stream_busy)) return nullptr;
    std::vector<tessel::token> tokens;
    try {
        mb::gil_release unlocked(mb::should_release(s->stream->buffered()));
        tokens = s->stream->finish();
    } catch (const tessel::lex_error& e) {
        return raise_stream_error(*s, e);
    }
    return token_list(lexer_of_stream(*s), tokens, s->chunk_type == 1);
}

PyObject* stream_buffered(PyObject*, PyObject* args) {
    stream_holder* s = stream_of(args, "O:stream_buffered");
    if (s == nullptr) return nullptr;
    mb::busy_guard busy(s->busy);
    if (!busy.taken(stream_busy)) return nullptr;
    return PyLong_FromSize_t(s->stream->buffered());
}

PyObject* stream_window(PyObject*, PyObject* args) {
    stream_holder* s = stream_of(args, "O:stream_window");
    if (s == nullptr) return nullptr;
    return Py_BuildValue("(Ky#)", static_cast<unsigned long long>(s->window_offset), s->window.data(),
                         static_cast<Py_ssize_t>(s->window.size()));
}

}  // namespace

std::vector<PyMethodDef> stream_methods() {
    return {
        {"stream_start", guarded<stream_start>, METH_VARARGS, doc::stream_start},
        {"stream_feed", guarded<stream_feed>, METH_VARARGS, doc::stream_feed},
        {"stream_finish", guarded<stream_finish>, METH_VARARGS, doc::stream_finish},
        {"stream_buffered", guarded<stream_buffered>, METH_VARARGS, doc::stream_buffered},
        {"stream_window", guarded<stream_window>, METH_VARARGS, doc::stream_window},
    };
}

}  // namespace tessel::module
