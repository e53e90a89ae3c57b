// The module's functions for editors: lex_from (lex from a saved state, with each token's
// look-ahead extent and the mode stack where it changes), shift_tokens (move a list of
// tokens by an edit's change of length and lines without lexing them again) and
// context_bytes (how far behind a position the rules look).  The package's
// Document (python/tessel/_document.py) is built on these two.
//
// lex_from gives the interpreter lock up, like tokenize, when the text is 4096 bytes or more:
// the text object is held by the call's arguments and its bytes are read through the pointer
// taken before the release.  A state that cannot belong to the text is a ValueError; a lexing
// error is LexError, as tokenize raises it.
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/gil.h"
#include "binding/ref.h"
#include "module/functions.h"
#include "module/handles.h"
#include "module/value_types.h"
#include "tessel/resume.h"

namespace tessel::module {

namespace mb = morrow::binding;
using mb::ref;

namespace {

// Sets a Python exception of class `type` and unwinds to the module's guard.
[[noreturn]] void fail(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw mb::error_already_set();
}

constexpr const char* lex_from_doc =
    "lex_from(handle, text, offset, line, column, stack, until, more, as_str=-1)\n"
    "Lex text from a saved state, with the whole text visible (lookbehinds see what precedes\n"
    "offset), until `more` tokens (at least one) have ended at or past byte `until`, or to the end.\n\n"
    "Args:\n"
    "    text (str | bytes | bytearray): The whole text; a bytearray is read in place.\n"
    "    as_str (int): 1 for str lexemes, 0 for bytes, -1 (default) after the text's kind\n"
    "        (bytes for a bytearray).\n"
    "    stack (sequence): The mode stack at offset, bottom first: mode indices, or\n"
    "        (mode, offset, line, column) tuples naming where each mode was entered.\n\n"
    "Returns:\n"
    "    tuple: (tokens, ends, extents, stacks, (offset, line, column), after_stack, finished):\n"
    "        ends[i] is the byte offset after token i; extents[i] the furthest byte read to\n"
    "        decide it (len(text) for the end);\n"
    "        stacks lists (i, modes) where the stack after token i changed; the state after the\n"
    "        last step taken; finished when the end of the text was reached.\n\n"
    "Raises:\n"
    "    LexError: As tokenize() would.\n"
    "    ValueError: If the state cannot belong to the text.";

constexpr const char* context_bytes_doc =
    "context_bytes(handle) -> int\n"
    "How many bytes before a position some rule of the lexer may look at (lookbehinds, word\n"
    "boundaries, line starts): text further back cannot change what is lexed from there.";

constexpr const char* shift_tokens_doc =
    "shift_tokens(tokens, offset_delta, line_delta, column_line, column_delta) -> list[Token]\n"
    "New tokens moved by an edit: every offset by offset_delta, every line by line_delta, and the\n"
    "column of the tokens whose line is column_line by column_delta. Lexemes and modes are shared.";

std::uint32_t to_u32(Py_ssize_t v, const char* what) {
    if (v < 0 || static_cast<std::uint64_t>(v) > std::numeric_limits<std::uint32_t>::max()) {
        fail(PyExc_ValueError, std::string("lex_from: ") + what + " out of range");
    }
    return static_cast<std::uint32_t>(v);
}

std::uint32_t item_u32(PyObject* obj, const char* what) {
    const Py_ssize_t v = PyLong_AsSsize_t(obj);
    if (v == -1 && PyErr_Occurred()) throw mb::error_already_set();
    return to_u32(v, what);
}

std::vector<tessel::mode_entry> convert_stack(PyObject* obj) {
    constexpr const char* shape =
        "lex_from: the stack must be a sequence of modes or (mode, offset, line, column) tuples";
    if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) fail(PyExc_TypeError, shape);
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw mb::error_already_set();
    std::vector<tessel::mode_entry> stack;
    stack.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        ref held(PySequence_GetItem(obj, i));
        if (!held) throw mb::error_already_set();
        PyObject* item = held.get();
        tessel::mode_entry e;
        if (PyLong_Check(item)) {
            e.mode = item_u32(item, "mode");
        } else if (PyTuple_Check(item) && PyTuple_Size(item) == 4) {
            e.mode = item_u32(PyTuple_GetItem(item, 0), "mode");
            e.entered = {item_u32(PyTuple_GetItem(item, 1), "offset"), item_u32(PyTuple_GetItem(item, 2), "line"),
                         item_u32(PyTuple_GetItem(item, 3), "column")};
        } else {
            fail(PyExc_TypeError, shape);
        }
        stack.push_back(e);
    }
    return stack;
}

// A list (or a tuple) of the numbers.
PyObject* numbers(const std::vector<std::uint32_t>& v, bool as_tuple) {
    const auto n = static_cast<Py_ssize_t>(v.size());
    ref out(as_tuple ? PyTuple_New(n) : PyList_New(n));
    if (!out) throw mb::error_already_set();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* x = PyLong_FromUnsignedLong(v[static_cast<std::size_t>(i)]);
        if (x == nullptr) throw mb::error_already_set();
        if (as_tuple) {
            PyTuple_SetItem(out.get(), i, x);
        } else {
            PyList_SetItem(out.get(), i, x);
        }
    }
    return out.release();
}

PyObject* lex_from(PyObject*, PyObject* args) {
    PyObject *handle, *text_obj, *stack_obj;
    Py_ssize_t offset, line, column, until, more;
    int as_str = -1;
    if (!PyArg_ParseTuple(args, "OOnnnOnn|i:lex_from", &handle, &text_obj, &offset, &line, &column, &stack_obj,
                          &until, &more, &as_str)) {
        return nullptr;
    }
    const tessel::lexer* lx = lexer_of(handle);
    if (lx == nullptr) return nullptr;
    // A bytearray is read in place (an editor's buffer, edited without copying the text); it
    // can change size whenever Python code runs, so the lock is kept throughout.
    const bool in_place = PyByteArray_Check(text_obj) != 0;
    std::optional<mb::text_arg> text;
    if (in_place) {
        const char* data = PyByteArray_AsString(text_obj);
        if (data == nullptr) return nullptr;
        text = mb::text_arg{std::string_view(data, static_cast<std::size_t>(PyByteArray_Size(text_obj))), true};
    } else {
        text = mb::to_text(text_obj);
        if (!text) return nullptr;
    }
    if (as_str >= 0) text->is_bytes = as_str == 0;
    tessel::lex_state from;
    from.cursor = {to_u32(offset, "offset"), to_u32(line, "line"), to_u32(column, "column")};
    from.stack = convert_stack(stack_obj);
    const std::uint32_t until32 = until < 0 ? 0 : (until > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(until));
    const std::uint32_t more32 = more < 1 ? 1 : (more > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(more));
    tessel::resumed_run run;
    try {
        mb::gil_release unlocked(!in_place && mb::should_release(text->bytes.size()));
        run = tessel::lex_from(*lx, text->bytes, from, until32, more32);
    } catch (const std::invalid_argument& e) {
        fail(PyExc_ValueError, e.what());
    }

    ref tokens(token_list(*lx, run.tokens, text->is_bytes));
    if (!tokens) return nullptr;
    std::vector<std::uint32_t> token_ends;
    token_ends.reserve(run.tokens.size());
    for (const tessel::token& t : run.tokens) {
        token_ends.push_back(t.pos.offset + static_cast<std::uint32_t>(t.lexeme.size()));
    }
    ref ends(numbers(token_ends, false));
    ref extents(numbers(run.extents, false));
    ref stacks(PyList_New(static_cast<Py_ssize_t>(run.stacks.size())));
    if (!stacks) return nullptr;
    for (std::size_t i = 0; i < run.stacks.size(); ++i) {
        ref modes(numbers(run.stacks[i].modes, true));
        PyObject* pair = Py_BuildValue("(kO)", static_cast<unsigned long>(run.stacks[i].after), modes.get());
        if (pair == nullptr) return nullptr;
        PyList_SetItem(stacks.get(), static_cast<Py_ssize_t>(i), pair);
    }
    ref after_stack(PyTuple_New(static_cast<Py_ssize_t>(run.after.stack.size())));
    if (!after_stack) return nullptr;
    for (std::size_t i = 0; i < run.after.stack.size(); ++i) {
        const tessel::mode_entry& e = run.after.stack[i];
        PyObject* entry = Py_BuildValue("(kkkk)", static_cast<unsigned long>(e.mode),
                                        static_cast<unsigned long>(e.entered.offset),
                                        static_cast<unsigned long>(e.entered.line),
                                        static_cast<unsigned long>(e.entered.column));
        if (entry == nullptr) return nullptr;
        PyTuple_SetItem(after_stack.get(), static_cast<Py_ssize_t>(i), entry);
    }
    const tessel::position& c = run.after.cursor;
    return Py_BuildValue("(OOOO(kkk)OO)", tokens.get(), ends.get(), extents.get(), stacks.get(),
                         static_cast<unsigned long>(c.offset), static_cast<unsigned long>(c.line),
                         static_cast<unsigned long>(c.column), after_stack.get(), run.finished ? Py_True : Py_False);
}

PyObject* context_bytes(PyObject*, PyObject* args) {
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O:context_bytes", &handle)) return nullptr;
    const tessel::lexer* lx = lexer_of(handle);
    if (lx == nullptr) return nullptr;
    return PyLong_FromUnsignedLong(lx->context_bytes());
}

PyObject* shift_tokens(PyObject*, PyObject* args) {
    PyObject* tokens_obj;
    long long d_offset, d_line, column_line, d_column;
    if (!PyArg_ParseTuple(args, "OLLLL:shift_tokens", &tokens_obj, &d_offset, &d_line, &column_line, &d_column)) {
        return nullptr;
    }
    if (!PySequence_Check(tokens_obj)) fail(PyExc_TypeError, "shift_tokens: tokens must be a sequence of Token");
    const Py_ssize_t n = PySequence_Size(tokens_obj);
    if (n < 0) return nullptr;
    ref list(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        ref item(PySequence_GetItem(tokens_obj, i));
        if (!item) return nullptr;
        PyObject* moved = nullptr;
        try {
            moved = shifted_token(item.get(), d_offset, d_line, column_line, d_column);
        } catch (const mb::cast_error& e) {
            fail(PyExc_TypeError, std::string("shift_tokens: ") + e.what());
        }
        if (moved == nullptr) return nullptr;
        PyList_SetItem(list.get(), i, moved);
    }
    return list.release();
}

}  // namespace

std::vector<PyMethodDef> resume_methods() {
    return {
        {"lex_from", guarded<lex_from>, METH_VARARGS, lex_from_doc},
        {"shift_tokens", guarded<shift_tokens>, METH_VARARGS, shift_tokens_doc},
        {"context_bytes", guarded<context_bytes>, METH_VARARGS, context_bytes_doc},
    };
}

}  // namespace tessel::module
