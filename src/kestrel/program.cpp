// The program's small out-of-line pieces: the class fingerprint and the matcher view.
#include "kestrel/program.h"

namespace kestrel {

namespace {

constexpr std::uint64_t fnv_offset_basis = 0xcbf29ce484222325ull;
constexpr std::uint64_t fnv_prime = 0x100000001b3ull;

template <class T>
array_view<T> view_of(const std::vector<T>& v) noexcept {
    return array_view<T>{v.data(), v.size()};
}

}  // namespace

std::uint64_t class_fingerprint(const byte_set& ascii, range_view ranges) noexcept {
    std::uint64_t h = fnv_offset_basis;
    for (std::uint64_t word : ascii.words) h = (h ^ word) * fnv_prime;
    h ^= static_cast<std::uint64_t>(ranges.size());
    for (const code_point_range& r : ranges) {
        h *= fnv_prime;
        h = (h ^ r.first) * fnv_prime;
        h ^= r.last;
    }
    return h * fnv_prime;
}

program_view make_view(const program& prog) {
    program_view v;
    v.instructions = view_of(prog.instructions);
    v.byte_sets = view_of(prog.byte_sets);
    v.group_names = view_of(prog.group_names);
    v.lookarounds = view_of(prog.lookarounds);
    v.classes = view_of(prog.classes);
    v.range_pool = view_of(prog.range_pool);
    v.slot_count = prog.slot_count;
    v.bytes = prog.bytes;
    v.unicode = prog.unicode;
    v.backtrack_allowed = prog.backtrack_allowed;
    v.facts = prog.facts;
    return v;
}

}  // namespace kestrel
