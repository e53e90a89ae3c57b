// small_vector: a growable array with inline storage for its first N elements.
//
// The matchers keep all their per-call state (thread lists, slot arrays, job stacks, result
// slots) in these, so that the common case - a short anchored match of a small program - runs
// without touching the heap, while large programs still work.  Elements must be trivially
// copyable: growth copies bytes, and nothing is ever destroyed element by element.  The
// vector records its count, its capacity, whether its storage is on the heap, and a pointer
// to the storage (inline or heap).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrel {

template <class T, std::size_t N>
class small_vector {
    static_assert(std::is_trivially_copyable_v<T>, "small_vector holds trivially copyable values");
    static_assert(N > 0, "small_vector needs inline room");

public:
    small_vector() noexcept = default;
    small_vector(const small_vector& other) { assign(other.data_, other.count_); }
    small_vector(small_vector&& other) noexcept { take(other); }
    small_vector& operator=(const small_vector& other) {
        if (this != &other) assign(other.data_, other.count_);
        return *this;
    }
    small_vector& operator=(small_vector&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~small_vector() { release(); }

    std::size_t size() const noexcept { return count_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return count_ == 0; }
    bool on_heap() const noexcept { return on_heap_; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + count_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + count_; }
    T& back() noexcept { return data_[count_ - 1]; }

    void clear() noexcept { count_ = 0; }
    void push_back(const T& value) {
        if (count_ == capacity_) grow(capacity_ * 2);
        data_[count_++] = value;
    }
    T pop_back() noexcept { return data_[--count_]; }
    void reserve(std::size_t n) {
        if (n > capacity_) grow(n);
    }
    // New elements are value-initialised (zero for arithmetic types).
    void resize(std::size_t n) {
        reserve(n);
        if (n > count_) std::memset(static_cast<void*>(data_ + count_), 0, (n - count_) * sizeof(T));
        count_ = n;
    }
    void assign(std::size_t n, const T& value) {
        reserve(n);
        for (std::size_t i = 0; i < n; ++i) data_[i] = value;
        count_ = n;
    }
    void assign(const T* values, std::size_t n) {
        reserve(n);
        if (n != 0) std::memcpy(static_cast<void*>(data_), values, n * sizeof(T));
        count_ = n;
    }

private:
    void grow(std::size_t want) {
        std::size_t cap = capacity_;
        while (cap < want) cap *= 2;
        T* fresh = static_cast<T*>(std::malloc(cap * sizeof(T)));
        if (fresh == nullptr) throw std::bad_alloc();
        if (count_ != 0) std::memcpy(static_cast<void*>(fresh), data_, count_ * sizeof(T));
        release();
        data_ = fresh;
        capacity_ = cap;
        on_heap_ = true;
    }
    void release() noexcept {
        if (on_heap_) std::free(data_);
        data_ = inline_storage();
        capacity_ = N;
        on_heap_ = false;
    }
    void take(small_vector& other) noexcept {
        if (other.on_heap_) {
            data_ = other.data_;
            capacity_ = other.capacity_;
            on_heap_ = true;
            count_ = other.count_;
            other.data_ = other.inline_storage();
            other.capacity_ = N;
            other.on_heap_ = false;
        } else {
            data_ = inline_storage();
            capacity_ = N;
            on_heap_ = false;
            count_ = other.count_;
            if (count_ != 0) std::memcpy(static_cast<void*>(data_), other.data_, count_ * sizeof(T));
        }
        other.count_ = 0;
    }
    T* inline_storage() noexcept { return reinterpret_cast<T*>(storage_); }

    alignas(T) unsigned char storage_[N * sizeof(T)];
    T* data_ = inline_storage();
    std::size_t count_ = 0;
    std::size_t capacity_ = N;
    bool on_heap_ = false;
};

// Capture slots of a match: slot 2g is where group g starts, 2g+1 where it ends, -1 unset.
using slot_vector = small_vector<std::int32_t, 32>;

}  // namespace kestrel
