// Exception translation at the C boundary; see errors.h.
#include "binding/errors.h"

#include <new>
#include <stdexcept>

namespace morrow::binding {

namespace {
// Written only during module initialisation, which the interpreter serialises.
PyObject* g_error_class = nullptr;
}  // namespace

void set_error_class(PyObject* cls) noexcept {
    Py_XINCREF(cls);
    PyObject* old = g_error_class;
    g_error_class = cls;
    Py_XDECREF(old);
}

PyObject* error_class() noexcept { return g_error_class; }

void translate_exception(PyObject* cls) noexcept {
    if (cls == nullptr) cls = g_error_class != nullptr ? g_error_class : PyExc_RuntimeError;
    try {
        throw;
    } catch (const error_already_set&) {
        // The interpreter already holds the error to report.  Should a caller have thrown this
        // without one pending, returning NULL with no error set would be a second fault, so
        // report something rather than nothing.
        if (PyErr_Occurred() == nullptr) PyErr_SetString(cls, "internal error");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than it can ever hold: the same as running out of memory,
        // and the library's text ("vector::reserve") would mean nothing to a Python caller.
        PyErr_NoMemory();
    } catch (const std::out_of_range&) {
        // Thrown only by the standard library's checked access, never by our own code: a fault
        // of ours whose text names library internals.
        PyErr_SetString(cls, "internal error: an index out of range");
    } catch (const std::exception& e) {
        const char* text = e.what();
        PyErr_SetString(cls, (text != nullptr && *text != '\0') ? text : "internal error");
    } catch (...) {
        PyErr_SetString(cls, "internal error");
    }
}

std::string type_name(PyObject* obj) noexcept {
    try {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        PyObject* name = PyObject_GetAttrString(type, "__name__");
        if (name == nullptr) {
            PyErr_Clear();
            return "?";
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        std::string result = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(size)) : "?";
        if (utf8 == nullptr) PyErr_Clear();
        Py_DECREF(name);
        return result;
    } catch (...) {
        PyErr_Clear();
        return "?";
    }
}

}  // namespace morrow::binding
