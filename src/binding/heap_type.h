// Heap types whose instances wrap one native record, and the slot wrappers around them.
//
// A wrapped object is the interpreter's object header followed by one pointer to its native
// record; the pointer is empty until __init__ succeeds, which is how "uninitialized" objects
// (made by __new__ alone) are told apart.  The type object is made once per process from a
// type specification; later module initialisations (a second interpreter, a reload) add the
// same type object to the new module.
//
// The keyword record of a type's __init__ (names, defaults, the argument format built from
// them) may be filled once per module initialisation: the layer keeps a generation counter that
// every initialisation advances, and a second registration in the same generation is refused
// with SystemError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binding/errors.h"
#include "binding/ref.h"

namespace morrow::binding {

struct wrapped_object {
    PyObject_HEAD
    void* record;
};

// The module initialisation generation: advanced by every initialisation.
std::uint64_t current_generation() noexcept;
void advance_generation() noexcept;

struct keyword_parameter {
    const char* name;
    PyObject* default_value;  // borrowed; nullptr for a required argument
};

// The registration record of a keyword-taking function (a type's __init__).
class keyword_function {
public:
    static constexpr std::size_t max_parameters = 8;

    explicit keyword_function(std::string qualified_name);
    keyword_function(const keyword_function&) = delete;
    keyword_function& operator=(const keyword_function&) = delete;
    ~keyword_function();

    // Fills the record for the current generation.  Fails (SystemError, returns false) when it
    // was already filled in this generation; a new generation first drops the old defaults.
    bool fill(std::initializer_list<keyword_parameter> params) noexcept;

    // Parses args/kwargs into out (borrowed references, one per parameter; missing optional
    // arguments get their default).  Returns false with the interpreter's error set.
    bool parse(PyObject* args, PyObject* kwargs, PyObject** out) const noexcept;

    const std::string& format() const noexcept { return format_; }
    const std::string& qualified_name() const noexcept { return qualified_name_; }

private:
    std::string qualified_name_;
    std::vector<std::string> names_;
    std::vector<PyObject*> defaults_;  // owned references or nullptr
    std::string format_;
    bool optional_started_ = false;
    std::uint64_t generation_ = 0;  // 0: never filled
};

// The slots a wrapped type may have; absent ones are nullptr.
struct type_slots {
    destructor dealloc = nullptr;
    PyGetSetDef* getset = nullptr;
    reprfunc repr = nullptr;
    richcmpfunc richcompare = nullptr;
    hashfunc hash = nullptr;
    initproc init = nullptr;
};

// One wrapped type: its qualified name, its process-wide type object and its __init__ record.
class wrapped_type {
public:
    explicit wrapped_type(std::string qualified_name)
        : qualified_name_(qualified_name), init_keywords_(std::move(qualified_name)) {}

    const std::string& qualified_name() const noexcept { return qualified_name_; }
    // nullptr until the first registration.
    PyTypeObject* type() const noexcept { return type_; }
    keyword_function& init_keywords() noexcept { return init_keywords_; }

    // Creates the type object on first use, then adds it to module under the part of its name
    // after the last '.'.  Returns false with the Python error set.
    bool add_to_module(PyObject* module, const type_slots& slots) noexcept;

    // The type object, or SystemError "wrapped type not registered" (thrown as
    // error_already_set).
    PyTypeObject* require_type() const;

private:
    std::string qualified_name_;
    keyword_function init_keywords_;
    PyTypeObject* type_ = nullptr;  // one reference held for the life of the process
};

// The record of a wrapped object, checked: cast_error "expected a <name>" when obj is not an
// instance of the type (or a subtype), "uninitialized <name>" when it has no record yet.
void* wrapped_record(const wrapped_type& type, PyObject* obj);

// The record of self, known to be of the type; cast_error "uninitialized <name>" when empty.
inline void* own_record(const wrapped_type& type, PyObject* self) {
    void* record = reinterpret_cast<wrapped_object*>(self)->record;
    if (record == nullptr) throw cast_error("uninitialized " + type.qualified_name());
    return record;
}

// A new, uninitialised-then-filled instance of the type holding record (ownership passes to
// the object).  nullptr with the error set on failure, in which case record is not taken.
PyObject* new_wrapped(const wrapped_type& type, void* record) noexcept;

// Deallocation shared by every wrapped type: frees the record with Deleter, then the object.
template <class Record>
void dealloc_wrapped(PyObject* self) noexcept {
    delete static_cast<Record*>(reinterpret_cast<wrapped_object*>(self)->record);
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Slot wrappers.  Each runs a native body and maps its exceptions the way the slot's caller
// expects: a cast_error is the caller's mistake (TypeError in getters and __init__, the text
// "<uninitialized>" in repr, NotImplemented in comparisons); anything else is translated.
template <class Body>
PyObject* guarded_getter(Body&& body) noexcept {
    try {
        return body();
    } catch (const cast_error& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (...) {
        translate_exception();
    }
    return nullptr;
}

template <class Body>
int guarded_init(Body&& body) noexcept {
    try {
        return body();
    } catch (const cast_error& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (...) {
        translate_exception();
    }
    return -1;
}

template <class Body>
PyObject* guarded_repr(Body&& body) noexcept {
    try {
        return body();
    } catch (const cast_error&) {
        return PyUnicode_FromString("<uninitialized>");
    } catch (...) {
        translate_exception();
    }
    return nullptr;
}

template <class Body>
PyObject* guarded_compare(Body&& body) noexcept {
    try {
        return body();
    } catch (const cast_error&) {
        Py_RETURN_NOTIMPLEMENTED;
    } catch (...) {
        translate_exception();
    }
    return nullptr;
}

template <class Body>
Py_hash_t guarded_hash(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_exception();
    }
    return -1;
}

}  // namespace morrow::binding
