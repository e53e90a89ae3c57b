// Heap-type registration and the keyword record of __init__; see heap_type.h.
#include "binding/heap_type.h"

#include <array>

namespace morrow::binding {

namespace {
// Advanced at every module initialisation, which the interpreter serialises.
std::uint64_t g_generation = 0;
}  // namespace

std::uint64_t current_generation() noexcept { return g_generation; }
void advance_generation() noexcept { ++g_generation; }

keyword_function::keyword_function(std::string qualified_name)
    : qualified_name_(std::move(qualified_name)) {}

keyword_function::~keyword_function() {
    // The records live in process-wide storage and are destroyed at exit, possibly after the
    // interpreter is gone; dropping references then would touch freed memory.
    if (Py_IsInitialized()) {
        for (PyObject* d : defaults_) Py_XDECREF(d);
    }
}

bool keyword_function::fill(std::initializer_list<keyword_parameter> params) noexcept {
    if (generation_ == g_generation && generation_ != 0) {
        PyErr_Format(PyExc_SystemError,
                     "%s: a function registered with keyword arguments takes one registration "
                     "per module",
                     qualified_name_.c_str());
        return false;
    }
    if (params.size() > max_parameters) {
        PyErr_SetString(PyExc_SystemError, "too many keyword parameters");
        return false;
    }
    try {
        for (PyObject* d : defaults_) Py_XDECREF(d);
        defaults_.clear();
        names_.clear();
        format_.clear();
        optional_started_ = false;
        for (const keyword_parameter& p : params) {
            if (p.default_value != nullptr && !optional_started_) {
                format_ += '|';
                optional_started_ = true;
            }
            format_ += 'O';
            names_.emplace_back(p.name);
            Py_XINCREF(p.default_value);
            defaults_.push_back(p.default_value);
        }
        format_ += ':';
        format_ += qualified_name_;
    } catch (...) {
        translate_exception();
        return false;
    }
    generation_ = g_generation;
    return true;
}

bool keyword_function::parse(PyObject* args, PyObject* kwargs, PyObject** out) const noexcept {
    std::array<char*, max_parameters + 1> keywords{};
    std::array<PyObject*, max_parameters> slots{};
    for (std::size_t i = 0; i < names_.size(); ++i) {
        keywords[i] = const_cast<char*>(names_[i].c_str());
        slots[i] = defaults_[i];
    }
    // The parser ignores the pointers beyond the format's count, so all eight are passed.
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format_.c_str(), keywords.data(), &slots[0],
                                     &slots[1], &slots[2], &slots[3], &slots[4], &slots[5],
                                     &slots[6], &slots[7])) {
        return false;
    }
    for (std::size_t i = 0; i < names_.size(); ++i) out[i] = slots[i];
    return true;
}

bool wrapped_type::add_to_module(PyObject* module, const type_slots& slots) noexcept {
    if (type_ == nullptr) {
        static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
        std::vector<PyType_Slot> list;
        list.push_back({Py_tp_dealloc, reinterpret_cast<void*>(slots.dealloc)});
        list.push_back({Py_tp_methods, no_methods});
        if (slots.getset != nullptr) list.push_back({Py_tp_getset, slots.getset});
        if (slots.repr != nullptr) list.push_back({Py_tp_repr, reinterpret_cast<void*>(slots.repr)});
        if (slots.richcompare != nullptr) {
            list.push_back({Py_tp_richcompare, reinterpret_cast<void*>(slots.richcompare)});
        }
        if (slots.hash != nullptr) list.push_back({Py_tp_hash, reinterpret_cast<void*>(slots.hash)});
        if (slots.doc != nullptr) list.push_back({Py_tp_doc, const_cast<char*>(slots.doc)});
        if (slots.iternext != nullptr) {
            list.push_back({Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)});
            list.push_back({Py_tp_iternext, reinterpret_cast<void*>(slots.iternext)});
        }
        unsigned int flags = Py_TPFLAGS_DEFAULT;
        if (slots.traverse != nullptr) {
            list.push_back({Py_tp_traverse, reinterpret_cast<void*>(slots.traverse)});
            flags |= Py_TPFLAGS_HAVE_GC;
        }
        if (slots.new_object != nullptr) {
            list.push_back({Py_tp_new, reinterpret_cast<void*>(slots.new_object)});
        } else if (slots.init != nullptr) {
            list.push_back({Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)});
        } else {
            flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
        }
        if (slots.init != nullptr) list.push_back({Py_tp_init, reinterpret_cast<void*>(slots.init)});
        list.push_back({0, nullptr});
        // The PyType_Spec's name must outlive the type (the interpreter keeps a pointer into
        // it for tp_name), as does this record: both live for the whole process.
        // The basic size includes the record, which lives inside the object.
        PyType_Spec spec{qualified_name_.c_str(), static_cast<int>(layout_.object_size()), 0,
                         flags, list.data()};
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) return false;
        type_ = reinterpret_cast<PyTypeObject*>(type);
    }
    const std::string& name = qualified_name_;
    const std::string short_name = name.substr(name.rfind('.') + 1);
    Py_INCREF(type_);
    if (PyModule_AddObject(module, short_name.c_str(), reinterpret_cast<PyObject*>(type_)) < 0) {
        Py_DECREF(type_);
        return false;
    }
    return true;
}

PyTypeObject* wrapped_type::require_type() const {
    if (type_ == nullptr) {
        PyErr_SetString(PyExc_SystemError, "wrapped type not registered");
        throw error_already_set();
    }
    return type_;
}

void* wrapped_record(const wrapped_type& type, PyObject* obj) {
    PyTypeObject* t = type.require_type();
    if (!PyObject_TypeCheck(obj, t)) throw cast_error("expected a " + type.qualified_name());
    return own_record(type, obj);
}

PyObject* alloc_wrapped(const wrapped_type& type) noexcept {
    PyTypeObject* t = type.type();
    if (t == nullptr) {
        PyErr_SetString(PyExc_SystemError, "wrapped type not registered");
        return nullptr;
    }
    // The type's allocator zeroes the object, so the record pointer starts empty.
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(t, Py_tp_alloc));
    return alloc(t, 0);
}

}  // namespace morrow::binding
