// ref: an owned reference to a Python object.
//
// Every new reference the binding code receives goes straight into a ref, so an exception or an
// early return between two API calls cannot leak it.  release() hands the reference on to the
// interpreter (for example as a function's return value).
#pragma once

#include <utility>

#include "binding/python.h"

namespace morrow::binding {

class ref {
public:
    ref() noexcept = default;
    // Takes ownership of a new reference (which may be nullptr).
    explicit ref(PyObject* owned) noexcept : p_(owned) {}
    static ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return ref(borrowed);
    }
    ref(const ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    ref(ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ref& operator=(ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace morrow::binding
