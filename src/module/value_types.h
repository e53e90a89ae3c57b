// Position and Token: the immutable value types every token-returning function hands back.
//
// Both are heap types wrapping a native record (see binding/heap_type.h).  They compare by
// value (== and != only), hash by value with fixed 32-bit formulas so that hashes are the same
// on every run, and refuse a second __init__, which is what makes them safe dictionary keys.
#pragma once

#include <cstdint>

#include "binding/heap_type.h"
#include "tessel/token.h"

namespace tessel::module {

// Registers the key words of both __init__ functions for this module initialisation and adds
// both types to module (creating them on first use).  Returns false with the error set.
bool add_value_types(PyObject* module) noexcept;

// A new Token for a native token: lexeme as bytes (lexeme_bytes) or as str decoded from UTF-8,
// mode_name shared (a new reference is taken).  nullptr with the error set on failure.
PyObject* make_token(const tessel::token& tok, bool lexeme_bytes, PyObject* mode_name) noexcept;

// A new Token with tok's kind, lexeme and mode objects, its offset moved by d_offset, its line
// by d_line, and its column by d_column when its line was column_line.  Throws cast_error
// when tok is not a Token; null with the error set when allocation fails.
PyObject* shifted_token(PyObject* tok, std::int64_t d_offset, std::int64_t d_line, std::int64_t column_line,
                        std::int64_t d_column);

}  // namespace tessel::module
