// The module's exception classes at raise time.
//
// The module creates only `error`.  The more specific classes (LexError, LayoutError,
// GrammarError) belong to the companion package `tessel` and are looked up when raised, so
// the extension works, with `error` in their place, where that package is absent or broken.
#pragma once

#include <cstdint>
#include <string>

#include "binding/python.h"

namespace tessel::module {

// A new reference to the class called name in package tessel when it subclasses `error`,
// else to `error`.  Never leaves a Python error pending.
PyObject* lookup_error_class(const char* name) noexcept;

// Raises class name with message, setting offset, line and column (and tokens, when given) on
// the instance.  Always returns nullptr, for `return raise_positioned(...)`.
PyObject* raise_positioned(const std::string& message, const char* class_name,
                           std::int64_t offset, std::int64_t line, std::int64_t column,
                           PyObject* tokens = nullptr) noexcept;

// Raises GrammarError with message, setting line, column and cause.  Returns nullptr.
PyObject* raise_grammar_error(const std::string& message, std::int64_t line,
                              std::int64_t column, const std::string& cause) noexcept;

}  // namespace tessel::module
