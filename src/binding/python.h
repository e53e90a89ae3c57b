// The one place the interpreter's header is included: every file of the binding layer and the
// module builds against the stable ABI of CPython 3.10, so the limited-API switch must be set
// before Python.h is seen, whatever the including file did first.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
