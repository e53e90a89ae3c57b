// Native exceptions of the binding layer and the rule that turns any native exception into a
// Python one.
//
// Every function the module exposes ends in the same catch-all: the native code throws, the
// boundary calls translate_exception() from inside the catch block, and the interpreter sees an
// ordinary Python exception.  Nothing native ever crosses into the interpreter.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "binding/python.h"

namespace morrow::binding {

// A Python value could not be converted to the native type asked for (or a typed wrapper got
// the wrong number of arguments).  Typed wrappers and type slots report it as TypeError.
class cast_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A Python error is already pending; the native code only unwinds to the boundary.
class error_already_set : public std::exception {
public:
    const char* what() const noexcept override { return "a Python error is already set"; }
};

// Throws error_already_set when the interpreter has an error pending; for checking the result
// of an API call in one line.
inline void throw_if_error() {
    if (PyErr_Occurred() != nullptr) throw error_already_set();
}

// The module's error class ("tessel.error"), remembered at each module initialisation.  The
// setter takes a new reference to cls (nullptr clears it).
void set_error_class(PyObject* cls) noexcept;
PyObject* error_class() noexcept;

// Call only from inside a catch block.  Sets the Python exception for the exception being
// handled: a pending Python error is left alone, allocation failure (and a container length
// beyond its maximum) becomes MemoryError, an index out of range from the standard library's
// checked access becomes cls with "internal error: an index out of range" (its own text names
// library internals), any other standard exception becomes cls (the module's error class when
// nullptr) with its message, and anything else cls with "internal error".
void translate_exception(PyObject* cls = nullptr) noexcept;

// The one guard of the module's functions.  guarded_function<Fn> is a function the
// interpreter can call whose body Fn may throw anything: a pending Python error, a cast_error
// or any native exception ends in Translate (called from inside the catch block), which
// defaults to translate_exception with the module's error class.  A module that knows more
// specific native exceptions passes its own translator, which handles those and hands the
// rest to translate_exception.
using module_function = PyObject* (*)(PyObject*, PyObject*);
using translator = void (*)() noexcept;

inline void translate_to_error_class() noexcept { translate_exception(); }

template <module_function Fn, translator Translate = translate_to_error_class>
PyObject* guarded_function(PyObject* module, PyObject* args) noexcept {
    try {
        return Fn(module, args);
    } catch (...) {
        Translate();
    }
    return nullptr;
}

// The __name__ of obj's type as UTF-8, or "?" when it cannot be read; never leaves a Python
// error pending.
std::string type_name(PyObject* obj) noexcept;

}  // namespace morrow::binding
