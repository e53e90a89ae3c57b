// Argument and result conversions; see convert.h for the contract of each.
#include "binding/convert.h"

#include "binding/ref.h"

namespace morrow::binding {

std::string_view to_string_view(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw cast_error("expected str, got " + type_name(obj));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw error_already_set();
    return {utf8, static_cast<std::size_t>(size)};
}

std::string to_string(PyObject* obj) { return std::string(to_string_view(obj)); }

std::int64_t to_int64(PyObject* obj) {
    if (!PyLong_Check(obj)) throw cast_error("expected int, got " + type_name(obj));
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) throw cast_error("int out of range");
    if (value == -1 && PyErr_Occurred() != nullptr) throw error_already_set();
    return static_cast<std::int64_t>(value);
}

std::int32_t to_int32(PyObject* obj) {
    std::int64_t value = to_int64(obj);
    if (value < INT32_MIN || value > INT32_MAX) throw cast_error("int out of range");
    return static_cast<std::int32_t>(value);
}

std::optional<text_arg> to_text(PyObject* obj) {
    if (PyBytes_Check(obj)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return std::nullopt;
        return text_arg{{data, static_cast<std::size_t>(size)}, true};
    }
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (utf8 == nullptr) return std::nullopt;
        return text_arg{{utf8, static_cast<std::size_t>(size)}, false};
    }
    PyErr_SetString(PyExc_TypeError, "expected str or bytes");
    return std::nullopt;
}

void* capsule_pointer(PyObject* obj, const char* name) {
    void* p = PyCapsule_GetPointer(obj, name);
    if (p == nullptr) {
        PyErr_Clear();
        throw cast_error(std::string("expected a ") + name + " handle");
    }
    return p;
}

std::vector<std::string> mode_names_arg(PyObject* value, const char* arg_name) {
    std::vector<std::string> names;
    if (value == nullptr || value == Py_None) return names;
    const std::string arg(arg_name);
    if (PyUnicode_Check(value)) {
        throw mode_names_error(arg + " must be a sequence of mode names, not a bare str");
    }
    Py_ssize_t n = PySequence_Check(value) ? PySequence_Size(value) : -1;
    if (n < 0) {
        PyErr_Clear();
        throw mode_names_error(arg + " must be a sequence of str");
    }
    if (n > max_sequence_items) {
        throw mode_names_error(arg + " (" + std::to_string(n) +
                               " items) is longer than tessel accepts (at most " +
                               std::to_string(max_sequence_items) + ")");
    }
    names.reserve(reserve_hint(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        ref item(PySequence_GetItem(value, i));
        if (!item) throw error_already_set();
        if (!PyUnicode_Check(item.get())) throw mode_names_error(arg + " entries must be str");
        names.emplace_back(to_string_view(item.get()));
    }
    return names;
}

void check_sequence_length(Py_ssize_t n, const char* what) {
    if (n > max_sequence_items) {
        throw sequence_too_long(std::string(what) + " (" + std::to_string(n) +
                                " items) is longer than tessel accepts (at most " +
                                std::to_string(max_sequence_items) + ")");
    }
}

PyObject* to_python(const std::string& s) noexcept {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* to_python(const std::vector<std::string>& items) noexcept {
    ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* s = to_python(items[i]);
        if (s == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);  // steals s
    }
    return list.release();
}

PyObject* to_python(const std::vector<std::int32_t>& items) noexcept {
    ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* v = PyLong_FromLong(items[i]);
        if (v == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);  // steals v
    }
    return list.release();
}

}  // namespace morrow::binding
