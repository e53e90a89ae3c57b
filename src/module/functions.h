// The table of module functions, in the order they are registered.
#pragma once

#include <vector>

#include "binding/python.h"

namespace tessel::module {

// Every function of the module with its calling convention and docstring, without the
// terminating entry.
std::vector<PyMethodDef> method_table();

PyObject* kestrel_version(PyObject* module, PyObject* unused) noexcept;

}  // namespace tessel::module
