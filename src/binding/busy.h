// A busy flag held for one call: how an object that Python code may reach from several threads
// refuses a second thread while a first is inside it with the interpreter lock released.
//
// It is not a lock and nobody waits on it: the flag is taken with an atomic exchange when the
// call enters and released with an atomic store when it leaves, and a call that finds it taken
// fails at once with RuntimeError (the interpreter's own "generator already executing" is the
// same idea).
#pragma once

#include <atomic>

#include "binding/python.h"

namespace morrow::binding {

class busy_guard {
public:
    explicit busy_guard(std::atomic<bool>& flag) noexcept
        : flag_(flag), taken_(!flag.exchange(true, std::memory_order_acquire)) {}
    ~busy_guard() {
        if (taken_) flag_.store(false, std::memory_order_release);
    }
    busy_guard(const busy_guard&) = delete;
    busy_guard& operator=(const busy_guard&) = delete;

    // True when this call holds the flag; otherwise false with RuntimeError(message) set.
    bool taken(const char* message) const noexcept {
        if (!taken_) PyErr_SetString(PyExc_RuntimeError, message);
        return taken_;
    }

private:
    std::atomic<bool>& flag_;
    bool taken_;
};

}  // namespace morrow::binding
