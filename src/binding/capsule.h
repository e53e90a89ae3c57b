// Capsule handles: a native object that Python holds is wrapped in a capsule whose name tells
// its kind ("tessel.lexer", "tessel.scan", "tessel.stream"); the capsule's destructor frees
// the object, so its lifetime is the interpreter's reference counting.
#pragma once

#include <memory>

#include "binding/convert.h"
#include "binding/python.h"

namespace morrow::binding {

// Wraps owned in a new capsule called name (a string with static storage).  On failure the
// object is freed and nullptr returned with the Python error set.
template <class T>
PyObject* make_capsule(std::unique_ptr<T> owned, const char* name) noexcept {
    PyObject* capsule = PyCapsule_New(owned.get(), name, [](PyObject* self) {
        delete static_cast<T*>(PyCapsule_GetPointer(self, PyCapsule_GetName(self)));
    });
    if (capsule != nullptr) owned.release();
    return capsule;
}

// The object behind a capsule of the given name; cast_error "expected a <name> handle".
template <class T>
T& capsule_object(PyObject* obj, const char* name) {
    return *static_cast<T*>(capsule_pointer(obj, name));
}

}  // namespace morrow::binding
