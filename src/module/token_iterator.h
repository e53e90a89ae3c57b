// TokenIterator: the tokens of a text through the iterator protocol.  See token_iterator.cpp.
#pragma once

#include "binding/python.h"

namespace tessel::module {

// A TokenIterator that hands out the tokens kept by a "tessel.bench_spans" capsule instead of
// lexing (the benchmark floor of iteration).  nullptr with the error set on failure.
PyObject* replaying_iterator(PyObject* spans_capsule) noexcept;

}  // namespace tessel::module
