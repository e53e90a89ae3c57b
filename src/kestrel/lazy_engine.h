// The part of a regex that is built lazily, on first need, and shared by every thread that
// matches with it.
//
// A regex is immutable after construction except for this slot.  Each piece of it carries a
// mark naming the program it was made for (the address of the program's instruction array),
// and is built with the double-checked pattern: test the mark, take the slot's mutex, test
// again, build, publish the mark.  The mutex is one of 64 shared by all slots, chosen by
// hashing the slot's address, so that builds for different regexes rarely contend and no slot
// carries a mutex of its own (which would make regexes immovable).
//
// Pieces: the byte programs (variant 0 without assertions, and only where that declines,
// variant 1 with them; each with its byte classes), the one-pass table built from one of
// them, the use counter that delays those builds until a regex has proved itself busy (the
// first one_pass_use_threshold eligible calls run on the Pike VM), and the class-table cache: for every byte set a 256-entry
// membership table, for every code-point class a 256-entry table of code points 0-255 and a
// 1,920-bit map of code points 0x80-0x7FF (the two-byte characters, where a binary search
// over ranges would cost most relative to the work).  Each table is filled on its first
// lookup; its filled flag is read without the lock (the first 64 flags live in one 64-bit
// word set by an atomic OR, the rest in an array of atomic bytes).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "kestrel/byte_program.h"
#include "kestrel/one_pass.h"
#include "kestrel/program.h"

namespace kestrel {

// Two-byte code points 0x80-0x7FF: 1,920 bits as 30 words.
inline constexpr std::uint32_t two_byte_map_words = (0x800 - 0x80) / 64;

class lazy_engine_slot;

// Eligible calls of a regex that run on the Pike VM before its one-pass table is built.
inline constexpr std::uint32_t one_pass_use_threshold = 8192;

// The two lowerings of a program to bytes.  Variant 1 is made only when variant 0 declines;
// a declined lowering has ok false and a class map with count 0.
struct byte_engines {
    byte_program variant0, variant1;
    byte_class_map classes0, classes1;
};

class class_table_cache {
public:
    class_table_cache(const program_view& prog, lazy_engine_slot& owner);

    // 256 entries, entry b is 1 iff byte b is in byte set `set`.
    const std::uint8_t* byte_set_table(std::uint32_t set, std::mutex& lock);
    // 256 entries, entry b is 1 iff code point b is in code-point class `klass`.
    const std::uint8_t* class_table(std::uint32_t klass, std::mutex& lock);
    // Whether two-byte code point cp (0x80 <= cp < 0x800) is in class `klass`.
    bool class_has_two_byte(std::uint32_t klass, std::uint32_t cp, std::mutex& lock);

private:
    bool filled(std::uint32_t flag) const noexcept;
    void set_filled(std::uint32_t flag) noexcept;
    template <class Fill>
    void ensure(std::uint32_t flag, std::mutex& lock, Fill&& fill);

    const program_view prog_;
    lazy_engine_slot& owner_;
    std::vector<std::array<std::uint8_t, 256>> set_tables_;
    std::vector<std::array<std::uint8_t, 256>> class_tables_;
    std::vector<std::array<std::uint64_t, two_byte_map_words>> two_byte_maps_;
    std::atomic<std::uint64_t> first_flags_{0};
    std::unique_ptr<std::atomic<std::uint8_t>[]> more_flags_;
};

class lazy_engine_slot {
public:
    lazy_engine_slot() = default;
    // A copy starts empty, and an assignment empties the target: what the slot holds was made
    // for one program and is made again, on first need, for the program the regex has now.
    lazy_engine_slot(const lazy_engine_slot&) noexcept {}
    lazy_engine_slot& operator=(const lazy_engine_slot&) noexcept {
        reset();
        return *this;
    }

    // Drops everything built and clears the counters.  Only for a slot no other thread uses
    // (a regex being assigned to).
    void reset() noexcept;

    // Whether the class-table cache has been made (for tests).
    bool has_class_tables() const noexcept {
        return class_tables_mark_.load(std::memory_order_acquire) != nullptr;
    }

    // The mutex guarding this slot: one of 64, by FNV-1a over the low four bytes of its address.
    std::mutex& lock() const noexcept;
    static std::uint32_t stripe_of(const void* address) noexcept;

    // Adds one use; returns the count before.
    std::uint32_t count_use() noexcept { return uses_.fetch_add(1, std::memory_order_relaxed); }

    // The class-table cache for prog, made on first need.
    class_table_cache& class_tables(const program_view& prog);

    // The byte programs of prog, made on first need.
    const byte_engines& byte_programs(const program& prog);

    // The one-pass table of prog (usable or not), or null while it is not worth making yet:
    // each call counts one use, and the table (after the byte programs) is made by the call
    // that finds one_pass_use_threshold uses before it.
    const one_pass_table* one_pass_after_uses(const program& prog);

    // The one-pass table of prog, made now if it is not there (for tests and tools).
    const one_pass_table& one_pass(const program& prog);

    // How many times each piece was built, so tests can prove concurrent callers build each
    // piece once.
    std::uint32_t byte_program_builds() const noexcept { return byte_builds_.load(std::memory_order_relaxed); }
    std::uint32_t one_pass_builds() const noexcept { return one_pass_builds_.load(std::memory_order_relaxed); }

    // How many pieces were built in this slot (the cache itself and each table filled), so
    // tests can prove that concurrent callers build every piece once.
    std::uint32_t builds() const noexcept { return builds_.load(std::memory_order_relaxed); }
    void count_build() noexcept { builds_.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<std::uint32_t> uses_{0};
    std::atomic<std::uint32_t> builds_{0};
    std::atomic<const instruction*> class_tables_mark_{nullptr};
    std::unique_ptr<class_table_cache> class_tables_;
    std::atomic<const instruction*> bytes_mark_{nullptr};
    std::unique_ptr<byte_engines> bytes_;
    std::atomic<const instruction*> one_pass_mark_{nullptr};
    std::unique_ptr<one_pass_table> one_pass_;
    std::atomic<std::uint32_t> byte_builds_{0};
    std::atomic<std::uint32_t> one_pass_builds_{0};
};

}  // namespace kestrel
