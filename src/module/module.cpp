// Initialisation of the _tessel extension module.
//
// Single-phase initialisation with no per-module state: the module's error class, the value
// types and the method table are process-wide (the interpreter keeps pointers into the method
// table for as long as the functions exist), written only here, while the interpreter
// serialises imports.  The order of the steps matters: the error class must exist before
// anything that can fail with it, and the generation must advance before the value types
// register their __init__ key words.
#include <vector>

#include "binding/errors.h"
#include "binding/heap_type.h"
#include "binding/ref.h"
#include "module/functions.h"
#include "module/value_types.h"

namespace {

namespace mb = morrow::binding;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_tessel",
    nullptr,  // no docstring
    -1,       // no module state
    nullptr,  // functions are added in one batch after creation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::vector<PyMethodDef> g_methods;

}  // namespace

PyMODINIT_FUNC PyInit__tessel(void) {
    mb::ref module(PyModule_Create2(&g_module_def, 3));
    if (!module) return nullptr;

    mb::ref error(PyErr_NewException("tessel.error", PyExc_Exception, nullptr));
    if (!error || PyModule_AddObject(module.get(), "error", mb::ref(error).release()) < 0) {
        mb::set_error_class(nullptr);
        return nullptr;
    }
    mb::set_error_class(error.get());
    mb::advance_generation();

    try {
        g_methods = tessel::module::method_table();
    } catch (...) {
        mb::translate_exception();
        return nullptr;
    }
    if (!tessel::module::add_value_types(module.get()) || PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    g_methods.push_back({nullptr, nullptr, 0, nullptr});
    if (PyModule_AddFunctions(module.get(), g_methods.data()) < 0) return nullptr;
    return module.release();
}
