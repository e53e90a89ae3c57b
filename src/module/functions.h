// The table of module functions, in the order they are registered.
#pragma once

#include <vector>

#include "binding/python.h"

namespace tessel::module {

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

}  // namespace tessel::module
