// Conversions between Python arguments and native values.
//
// Each conversion either returns the native value or throws cast_error with the message a
// Python caller sees (typed wrappers and type slots report it as TypeError).  The two
// exceptions to that style are stated where they occur: text_arg sets TypeError directly, and
// mode-name sequences raise the module's own error class, because callers of compile() have
// always seen that class for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/errors.h"
#include "binding/python.h"

namespace morrow::binding {

// str (or a subclass) as UTF-8.  "expected str, got <type>".
std::string to_string(PyObject* obj);
// A view of the UTF-8 bytes of a str, valid while obj lives.
std::string_view to_string_view(PyObject* obj);

// int (or a subclass, so also bool).  "expected int, got <type>"; "int out of range".
std::int64_t to_int64(PyObject* obj);
std::int32_t to_int32(PyObject* obj);

// Source text: bytes taken as they are, or str encoded as UTF-8.  The view stays valid while
// the object lives.  On anything else sets TypeError "expected str or bytes" and returns
// nullopt (an encoding failure of a str leaves the interpreter's own error).
struct text_arg {
    std::string_view bytes;
    bool is_bytes = false;
};
std::optional<text_arg> to_text(PyObject* obj);

// The pointer held by a capsule of the given name; "expected a <name> handle" otherwise (the
// interpreter's own capsule error is cleared first).
void* capsule_pointer(PyObject* obj, const char* name);

// Mode-name sequences (in_mode, dfa_modes, insignificant_modes).  None or nullptr gives the
// empty list.  Failures throw mode_names_error, which the boundary raises as the module's
// error class with the message (a length beyond max_sequence_items included).
class mode_names_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
std::vector<std::string> mode_names_arg(PyObject* value, const char* arg_name);

// How many items to reserve room for ahead of reading a sequence of claimed length n.  The
// claimed length is a hint only: a sequence may report any __len__, and reserving that much
// at once would ask for absurd amounts of memory (or fail with an internal message) before a
// single item was read.  Room beyond the hint grows as items arrive, and a sequence that runs
// out before its length raises its own error from the item lookup.
constexpr std::size_t reserve_hint(Py_ssize_t n) noexcept {
    constexpr std::size_t most = 4096;
    return n <= 0 ? 0 : static_cast<std::size_t>(n) < most ? static_cast<std::size_t>(n) : most;
}

// The most items the module reads from one sequence (rules, mode names, layout tokens): the
// native side numbers them with 32-bit indices, and a longer claimed length can only be a
// mistake or a sequence that lies.  check_sequence_length throws sequence_too_long for a
// longer n, which the boundary raises as the module's error class with "<what> (N items) is
// longer than tessel accepts (at most 2147483647)".
inline constexpr Py_ssize_t max_sequence_items = INT32_MAX;
class sequence_too_long : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
void check_sequence_length(Py_ssize_t n, const char* what);

// Native results to Python objects (new references; nullptr with an error set on failure).
PyObject* to_python(const std::string& s) noexcept;
PyObject* to_python(const std::vector<std::string>& items) noexcept;
PyObject* to_python(const std::vector<std::int32_t>& items) noexcept;

}  // namespace morrow::binding
