// Heap types whose instances wrap one native record, and the slot wrappers around them.
//
// A wrapped object is the interpreter's object header, one pointer to its native record, and
// the storage of that record, all in one allocation: the type's basic size includes the
// record, so making a value costs one allocation, not two.  The record is constructed in place
// (placement new) when __init__ or a native constructor succeeds, and the pointer is then set
// to the storage inside the object; until then it is empty, which is how "uninitialized"
// objects (made by __new__ alone) are told apart.  Deallocation destroys the record in place
// when the pointer is set.  The type object is made once per process from a
// PyType_Spec; later module initialisations (a second interpreter, a reload) add the same
// type object to the new module.
//
// The keyword record of a type's __init__ (names, defaults, the argument format built from
// them) may be filled once per module initialisation: the layer keeps a generation counter that
// every initialisation advances, and a second registration in the same generation is refused
// with SystemError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/errors.h"
#include "binding/ref.h"

namespace morrow::binding {

struct wrapped_object {
    PyObject_HEAD
    void* record;
};

// Size and alignment of the record a wrapped type stores inside its objects.
struct record_layout {
    std::size_t size = 0;
    std::size_t align = alignof(std::max_align_t);

    // The interpreter's allocator aligns objects to 16 bytes, so no record may want more.
    static constexpr std::size_t most_align = 16;

    template <class Record>
    static constexpr record_layout of() noexcept {
        static_assert(alignof(Record) <= most_align, "the object allocator aligns to 16 bytes");
        return {sizeof(Record), alignof(Record)};
    }
    // Where the record's storage begins, counted from the start of the object.
    constexpr std::size_t offset() const noexcept {
        return (sizeof(wrapped_object) + align - 1) / align * align;
    }
    // The type's basic size: header, pointer, padding and record.
    constexpr std::size_t object_size() const noexcept { return offset() + size; }
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

// The slots a wrapped type may have; absent ones are nullptr.  A type gets the interpreter's
// generic __new__ with init, or its own new (which then makes the object whole); with neither
// it cannot be instantiated from Python.  traverse makes the type take part in the cyclic
// garbage collector (its dealloc must untrack the object first).
struct type_slots {
    destructor dealloc = nullptr;
    PyGetSetDef* getset = nullptr;
    reprfunc repr = nullptr;
    richcmpfunc richcompare = nullptr;
    hashfunc hash = nullptr;
    initproc init = nullptr;
    newfunc new_object = nullptr;
    iternextfunc iternext = nullptr;  // also makes iter(obj) return obj
    traverseproc traverse = nullptr;
    const char* doc = nullptr;  // static storage
};

// One wrapped type: its qualified name, its process-wide type object and its __init__ record.
class wrapped_type {
public:
    wrapped_type(std::string qualified_name, record_layout layout)
        : qualified_name_(qualified_name), init_keywords_(std::move(qualified_name)),
          layout_(layout) {}

    const std::string& qualified_name() const noexcept { return qualified_name_; }
    const record_layout& layout() const noexcept { return layout_; }
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
    record_layout layout_;
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

// The storage of the record inside obj (whether or not a record lives there yet).
inline void* record_storage(const wrapped_type& type, PyObject* obj) noexcept {
    return reinterpret_cast<char*>(obj) + type.layout().offset();
}

// Constructs the record in the storage of obj, which has none yet, and sets the pointer.  If
// the constructor throws, obj stays without a record.
template <class Record, class... Args>
Record& emplace_record(const wrapped_type& type, PyObject* obj, Args&&... args) {
    auto* record = ::new (record_storage(type, obj)) Record(std::forward<Args>(args)...);
    reinterpret_cast<wrapped_object*>(obj)->record = record;
    return *record;
}

// An instance of the type allocated by the type's own allocator, without a record (every byte
// zero).  nullptr with the error set on failure.
PyObject* alloc_wrapped(const wrapped_type& type) noexcept;

// A new instance of the type holding a Record built from args, in one allocation.  nullptr with
// the Python error set on failure (a constructor that throws is translated; the half-made
// object is freed).
template <class Record, class... Args>
PyObject* new_wrapped(const wrapped_type& type, Args&&... args) noexcept {
    PyObject* obj = alloc_wrapped(type);
    if (obj == nullptr) return nullptr;
    try {
        emplace_record<Record>(type, obj, std::forward<Args>(args)...);
    } catch (...) {
        Py_DECREF(obj);  // no record: dealloc frees the object alone
        translate_exception();
        return nullptr;
    }
    return obj;
}

// Deallocation shared by every wrapped type: destroys the record in place (if the object has
// one), then frees the object with the type's own free function.
template <class Record>
void dealloc_wrapped(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    auto* obj = reinterpret_cast<wrapped_object*>(self);
    if (obj->record != nullptr) {
        std::destroy_at(static_cast<Record*>(obj->record));
        obj->record = nullptr;
    }
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

// tp_new maps its exceptions as a getter does.
template <class Body>
PyObject* guarded_new(Body&& body) noexcept {
    return guarded_getter(std::forward<Body>(body));
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
