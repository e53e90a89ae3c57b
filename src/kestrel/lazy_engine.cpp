// The lazily built, shared part of a regex; see lazy_engine.h.
#include "kestrel/lazy_engine.h"

#include <algorithm>
#include <cstring>

#include "kestrel/unicode.h"

namespace kestrel {

namespace {

constexpr std::uint32_t stripe_count = 64;

// The striped locks; the only process-wide mutable state of the engine.
std::mutex g_stripes[stripe_count];

}  // namespace

std::uint32_t lazy_engine_slot::stripe_of(const void* address) noexcept {
    auto bits = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
    std::uint32_t h = 0x811C9DC5u;
    for (int i = 0; i < 4; ++i) {
        h ^= (bits >> (8 * i)) & 0xFFu;
        h *= 0x01000193u;
    }
    return h % stripe_count;
}

std::mutex& lazy_engine_slot::lock() const noexcept { return g_stripes[stripe_of(this)]; }

void lazy_engine_slot::reset() noexcept {
    uses_.store(0, std::memory_order_relaxed);
    builds_.store(0, std::memory_order_relaxed);
    byte_builds_.store(0, std::memory_order_relaxed);
    one_pass_builds_.store(0, std::memory_order_relaxed);
    class_tables_mark_.store(nullptr, std::memory_order_relaxed);
    class_tables_.reset();
    bytes_mark_.store(nullptr, std::memory_order_relaxed);
    bytes_.reset();
    one_pass_mark_.store(nullptr, std::memory_order_relaxed);
    one_pass_.reset();
}

namespace {

byte_class_map classes_of(const byte_program& bp) {
    return bp.ok ? compute_byte_classes(bp) : byte_class_map{};
}

}  // namespace

const byte_engines& lazy_engine_slot::byte_programs(const program& prog) {
    const instruction* mark = prog.instructions.data();
    if (bytes_mark_.load(std::memory_order_acquire) != mark) {
        std::lock_guard<std::mutex> guard(lock());
        if (bytes_mark_.load(std::memory_order_relaxed) != mark) {
            // A one-pass table made from another program's bytes is stale now.
            one_pass_mark_.store(nullptr, std::memory_order_relaxed);
            one_pass_.reset();
            auto made = std::make_unique<byte_engines>();
            made->variant0 = lower_to_bytes(prog, false, lazy_lowering_budget);
            made->classes0 = classes_of(made->variant0);
            if (!made->variant0.ok) {
                made->variant1 = lower_to_bytes(prog, true, lazy_lowering_budget);
                made->classes1 = classes_of(made->variant1);
            }
            bytes_ = std::move(made);
            byte_builds_.fetch_add(1, std::memory_order_relaxed);
            count_build();
            bytes_mark_.store(mark, std::memory_order_release);
        }
    }
    return *bytes_;
}

const one_pass_table& lazy_engine_slot::one_pass(const program& prog) {
    const instruction* mark = prog.instructions.data();
    if (one_pass_mark_.load(std::memory_order_acquire) != mark) {
        const byte_engines& bytes = byte_programs(prog);
        std::lock_guard<std::mutex> guard(lock());
        if (one_pass_mark_.load(std::memory_order_relaxed) != mark) {
            // With an assert in the program only variant 1 can hold it; without one, variant 0.
            const bool has_assert =
                std::any_of(prog.instructions.begin(), prog.instructions.end(),
                            [](const instruction& in) { return in.op == opcode::assert; });
            const byte_program& bp = has_assert ? bytes.variant1 : bytes.variant0;
            const byte_class_map& classes = has_assert ? bytes.classes1 : bytes.classes0;
            auto table = std::make_unique<one_pass_table>();
            table->build(bp, classes);  // records the refusal when bp is not ok
            one_pass_ = std::move(table);
            one_pass_builds_.fetch_add(1, std::memory_order_relaxed);
            count_build();
            one_pass_mark_.store(mark, std::memory_order_release);
        }
    }
    return *one_pass_;
}

const one_pass_table* lazy_engine_slot::one_pass_after_uses(const program& prog) {
    if (one_pass_mark_.load(std::memory_order_acquire) == prog.instructions.data()) return one_pass_.get();
    if (count_use() < one_pass_use_threshold) return nullptr;
    return &one_pass(prog);
}

class_table_cache& lazy_engine_slot::class_tables(const program_view& prog) {
    const instruction* mark = prog.instructions.data;
    if (class_tables_mark_.load(std::memory_order_acquire) != mark) {
        std::lock_guard<std::mutex> guard(lock());
        if (class_tables_mark_.load(std::memory_order_relaxed) != mark) {
            class_tables_ = std::make_unique<class_table_cache>(prog, *this);
            count_build();
            class_tables_mark_.store(mark, std::memory_order_release);
        }
    }
    return *class_tables_;
}

class_table_cache::class_table_cache(const program_view& prog, lazy_engine_slot& owner)
    : prog_(prog),
      owner_(owner),
      set_tables_(prog.byte_sets.size()),
      class_tables_(prog.classes.size()),
      two_byte_maps_(prog.classes.size()) {
    const std::size_t flags = set_tables_.size() + 2 * class_tables_.size();
    if (flags > 64) {
        more_flags_ = std::make_unique<std::atomic<std::uint8_t>[]>(flags - 64);
        for (std::size_t i = 0; i < flags - 64; ++i) more_flags_[i].store(0);
    }
}

bool class_table_cache::filled(std::uint32_t flag) const noexcept {
    if (flag < 64) return (first_flags_.load(std::memory_order_acquire) >> flag) & 1u;
    return more_flags_[flag - 64].load(std::memory_order_acquire) != 0;
}

void class_table_cache::set_filled(std::uint32_t flag) noexcept {
    if (flag < 64) {
        first_flags_.fetch_or(std::uint64_t{1} << flag, std::memory_order_release);
    } else {
        more_flags_[flag - 64].store(1, std::memory_order_release);
    }
}

template <class Fill>
void class_table_cache::ensure(std::uint32_t flag, std::mutex& lock, Fill&& fill) {
    if (filled(flag)) return;
    std::lock_guard<std::mutex> guard(lock);
    if (filled(flag)) return;
    fill();
    owner_.count_build();
    set_filled(flag);
}

const std::uint8_t* class_table_cache::byte_set_table(std::uint32_t set, std::mutex& lock) {
    ensure(set, lock, [&] {
        const byte_set& bs = prog_.byte_sets[set];
        for (unsigned b = 0; b < 256; ++b) set_tables_[set][b] = bs.test(static_cast<std::uint8_t>(b));
    });
    return set_tables_[set].data();
}

const std::uint8_t* class_table_cache::class_table(std::uint32_t klass, std::mutex& lock) {
    const auto flag = static_cast<std::uint32_t>(set_tables_.size() + klass);
    ensure(flag, lock, [&] {
        const code_point_class& k = prog_.classes[klass];
        const range_view ranges = prog_.class_ranges(klass);
        for (unsigned b = 0; b < 256; ++b) {
            class_tables_[klass][b] =
                b < 128 ? k.ascii.test(static_cast<std::uint8_t>(b)) : in_ranges(ranges, b);
        }
    });
    return class_tables_[klass].data();
}

bool class_table_cache::class_has_two_byte(std::uint32_t klass, std::uint32_t cp,
                                           std::mutex& lock) {
    const auto flag =
        static_cast<std::uint32_t>(set_tables_.size() + class_tables_.size() + klass);
    ensure(flag, lock, [&] {
        auto& map = two_byte_maps_[klass];
        map.fill(0);
        for (const code_point_range& r : prog_.class_ranges(klass)) {
            if (r.first >= 0x800) break;
            const std::uint32_t last = r.last < 0x800 ? r.last : 0x7FF;
            for (std::uint32_t c = r.first < 0x80 ? 0x80 : r.first; c <= last; ++c) {
                map[(c - 0x80) >> 6] |= std::uint64_t{1} << ((c - 0x80) & 63);
            }
        }
    });
    const auto& map = two_byte_maps_[klass];
    return (map[(cp - 0x80) >> 6] >> ((cp - 0x80) & 63)) & 1u;
}

}  // namespace kestrel
