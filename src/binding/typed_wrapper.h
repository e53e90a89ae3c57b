// Typed wrappers: module functions generated from a native signature.
//
// typed_function<Fn> is a METH_VARARGS function that checks the number of positional
// arguments ("expected N argument(s), got M"), converts each argument in order with
// arg_converter<T>, calls Fn and converts its result with to_python.  A conversion failure
// (cast_error) is the caller's mistake and becomes TypeError; anything else is translated by
// the one rule of errors.h.  The module specialises arg_converter for its own handle types.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/convert.h"
#include "binding/errors.h"

namespace morrow::binding {

template <class T>
struct arg_converter;

template <>
struct arg_converter<std::string> {
    static std::string from(PyObject* obj) { return to_string(obj); }
};
template <>
struct arg_converter<std::int64_t> {
    static std::int64_t from(PyObject* obj) { return to_int64(obj); }
};
template <>
struct arg_converter<std::int32_t> {
    static std::int32_t from(PyObject* obj) { return to_int32(obj); }
};

template <class F>
struct signature;
template <class R, class... A>
struct signature<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

namespace detail {
template <auto Fn, std::size_t... I>
PyObject* call_converted(PyObject* args, std::index_sequence<I...>) {
    using sig = signature<decltype(Fn)>;
    // Braced initialisation evaluates the conversions left to right, so the first bad
    // argument is the one reported.
    std::tuple<std::tuple_element_t<I, typename sig::args>...> converted{
        arg_converter<std::remove_cvref_t<std::tuple_element_t<I, typename sig::args>>>::from(
            PyTuple_GetItem(args, static_cast<Py_ssize_t>(I)))...};
    PyObject* result = to_python(std::apply(Fn, converted));
    if (result == nullptr) throw error_already_set();
    return result;
}
}  // namespace detail

template <auto Fn>
PyObject* typed_function(PyObject* /*module*/, PyObject* args) noexcept {
    using sig = signature<decltype(Fn)>;
    try {
        const Py_ssize_t given = PyTuple_Size(args);
        if (given != static_cast<Py_ssize_t>(sig::arity)) {
            throw cast_error("expected " + std::to_string(sig::arity) + " argument(s), got " +
                             std::to_string(given));
        }
        return detail::call_converted<Fn>(args, std::make_index_sequence<sig::arity>{});
    } catch (const cast_error& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (...) {
        translate_exception();
    }
    return nullptr;
}

}  // namespace morrow::binding
