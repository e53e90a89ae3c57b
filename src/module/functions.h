// The table of module functions, in the order they are registered, and the one guard every
// module function is registered through.
#pragma once

#include <vector>

#include "binding/errors.h"
#include "binding/python.h"

namespace tessel::module {

// The module's translator for the guard: a lexing error becomes LexError (or `error`) with its
// offset, line and column; anything else goes to the binding layer's one rule.  Call only from
// inside a catch block.
void translate_module_exception() noexcept;

// A module function whose body Fn may throw, as the interpreter calls it.
template <morrow::binding::module_function Fn>
PyObject* guarded(PyObject* module, PyObject* args) noexcept {
    return morrow::binding::guarded_function<Fn, translate_module_exception>(module, args);
}

// Every function of the module with its calling convention and docstring, without the
// terminating entry.
std::vector<PyMethodDef> method_table();

PyObject* kestrel_version(PyObject* module, PyObject* unused) noexcept;

// The groups of functions, each defined beside the functions themselves.
std::vector<PyMethodDef> lexer_methods_before_version();  // compile ... column_unit
std::vector<PyMethodDef> lexer_methods_after_grammar();   // end_of ... scan_next
std::vector<PyMethodDef> stream_methods();                // stream_start ... stream_window
PyMethodDef parse_grammar_method();
PyMethodDef layout_method();
std::vector<PyMethodDef> resume_methods();                // lex_from, shift_tokens, context_bytes
// Benchmark entries, after every documented function; their names begin with "_".
std::vector<PyMethodDef> bench_methods();

// Adds the TokenIterator type to module (creating it on first use).  False with the error set.
bool add_token_iterator_type(PyObject* module) noexcept;

}  // namespace tessel::module
