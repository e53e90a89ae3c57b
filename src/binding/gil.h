// Releasing the interpreter lock around long native work.
//
// Whether to release is decided from the size of the input before the work starts: below
// gil_release_threshold bytes the cost of giving the lock up and taking it back exceeds the
// work, so it is kept.  While released the native code must not touch any Python object; the
// guard takes the lock back in its destructor, also when the work ends with an exception, so
// the catch block at the boundary always runs with the lock held.
#pragma once

#include <cstddef>

#include "binding/python.h"

namespace morrow::binding {

inline constexpr std::size_t gil_release_threshold = 4096;

class gil_release {
public:
    explicit gil_release(bool release) noexcept
        : state_(release ? PyEval_SaveThread() : nullptr) {}
    gil_release(const gil_release&) = delete;
    gil_release& operator=(const gil_release&) = delete;
    ~gil_release() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    bool released() const noexcept { return state_ != nullptr; }

private:
    PyThreadState* state_;
};

// True when an input of this many bytes should run with the lock released.
constexpr bool should_release(std::size_t input_bytes) noexcept {
    return input_bytes >= gil_release_threshold;
}

}  // namespace morrow::binding
