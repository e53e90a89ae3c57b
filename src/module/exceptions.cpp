// Exception class lookup and raising with positions; see exceptions.h.
#include "module/exceptions.h"

#include "binding/errors.h"
#include "binding/ref.h"
#include "module/functions.h"
#include "tessel/runtime.h"

namespace tessel::module {

using morrow::binding::error_class;
using morrow::binding::ref;

PyObject* lookup_error_class(const char* name) noexcept {
    PyObject* base = error_class();
    ref package(PyImport_ImportModule("tessel"));
    if (package) {
        ref cls(PyObject_GetAttrString(package.get(), name));
        if (cls && PyType_Check(cls.get()) && base != nullptr) {
            int sub = PyObject_IsSubclass(cls.get(), base);
            if (sub == 1) return cls.release();
        }
    }
    PyErr_Clear();
    Py_XINCREF(base);
    return base;
}

namespace {

// Calls cls(message); on success sets the attributes that set_attributes makes and raises
// the instance, otherwise raises cls with the plain message.
template <class SetAttributes>
PyObject* raise_with(const std::string& message, const char* class_name,
                     SetAttributes&& set_attributes) noexcept {
    ref cls(lookup_error_class(class_name));
    if (!cls) {
        PyErr_SetString(PyExc_RuntimeError, message.c_str());
        return nullptr;
    }
    ref instance(PyObject_CallFunction(cls.get(), "s#", message.data(),
                                       static_cast<Py_ssize_t>(message.size())));
    if (!instance) {
        PyErr_Clear();
        PyErr_SetString(cls.get(), message.c_str());
        return nullptr;
    }
    set_attributes(instance.get());
    PyErr_Clear();  // a failed attribute leaves the instance as it is, without that attribute
    PyErr_SetObject(cls.get(), instance.get());
    return nullptr;
}

}  // namespace

PyObject* raise_positioned(const std::string& message, const char* class_name,
                           std::int64_t offset, std::int64_t line, std::int64_t column,
                           PyObject* tokens) noexcept {
    return raise_with(message, class_name, [&](PyObject* instance) {
        ref o(PyLong_FromLongLong(offset));
        ref l(PyLong_FromLongLong(line));
        ref c(PyLong_FromLongLong(column));
        if (o && l && c) {
            PyObject_SetAttrString(instance, "offset", o.get());
            PyObject_SetAttrString(instance, "line", l.get());
            PyObject_SetAttrString(instance, "column", c.get());
        }
        if (tokens != nullptr) PyObject_SetAttrString(instance, "tokens", tokens);
    });
}

PyObject* raise_grammar_error(const std::string& message, std::int64_t line,
                              std::int64_t column, const std::string& cause) noexcept {
    return raise_with(message, "GrammarError", [&](PyObject* instance) {
        ref l(PyLong_FromLongLong(line));
        ref c(PyLong_FromLongLong(column));
        ref k(PyUnicode_FromStringAndSize(cause.data(), static_cast<Py_ssize_t>(cause.size())));
        if (l && c && k) {
            PyObject_SetAttrString(instance, "line", l.get());
            PyObject_SetAttrString(instance, "column", c.get());
            PyObject_SetAttrString(instance, "cause", k.get());
        }
    });
}

void translate_module_exception() noexcept {
    try {
        throw;
    } catch (const tessel::lex_error& e) {
        raise_positioned(e.what(), "LexError", e.where.offset, e.where.line, e.where.column);
    } catch (...) {
        morrow::binding::translate_exception();
    }
}

}  // namespace tessel::module
