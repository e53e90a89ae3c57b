// Initialisation of the _tessel extension module.
//
// Single-phase initialisation with no per-module state: the module's error class, the value
// types and the method table are process-wide, written only here, while the interpreter
// serialises imports.  The method table is built at the first initialisation and kept until
// the process ends: every function object of every module made from it points into it, and a
// later initialisation (a second interpreter, a reload) must not free what earlier function
// objects still use, so later ones add the same table again.  The order of the steps matters: the error class must exist before
// anything that can fail with it, and the generation must advance before the value types
// register their __init__ key words.
#include <memory>
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

// Never freed: function objects point into it for as long as they exist.
const std::vector<PyMethodDef>* g_methods = nullptr;

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

    if (g_methods == nullptr) {
        try {
            auto table = std::make_unique<std::vector<PyMethodDef>>(tessel::module::method_table());
            table->push_back({nullptr, nullptr, 0, nullptr});
            g_methods = table.release();
        } catch (...) {
            mb::translate_exception();
            return nullptr;
        }
    }
    if (!tessel::module::add_value_types(module.get()) ||
        !tessel::module::add_token_iterator_type(module.get()) || PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    if (PyModule_AddFunctions(module.get(), const_cast<PyMethodDef*>(g_methods->data())) < 0) {
        return nullptr;
    }
    return module.release();
}
