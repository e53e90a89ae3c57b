// The bounded backtracker.
//
// A depth-first search over (instruction, offset) jobs in priority order: at a split the
// first alternative runs at once and the second waits on the job stack, so the first `match`
// reached is the one the Pike VM's priority order picks.  Every (instruction, offset) pair is
// visited at most once - a second arrival means a higher-priority path already explored it
// and failed - so the work is bounded by (subject length x program size), like the Pike VM,
// but without thread lists or copy-on-write slot arrays: a `save` writes the slot and pushes a
// job that restores the old value when the search backtracks past it.
//
// The visited map has a fixed budget of 8,192 bits, cleared per call (one kilobyte), which
// covers a window of 8,192 / n - 1 bytes past the start for a program of n instructions.  On
// a short subject the window holds the whole rest of it.  On a long one - a lexer matching a
// five-byte token in the middle of a megabyte - the search runs as long as it stays inside
// the window; the first job that would need an offset beyond it abandons the attempt
// (`left_window`) and the caller runs the Pike VM from scratch.  Lexer tokens are short, so
// nearly every attempt fits, and an abandoned one has cost at most the budget's worth of
// steps.  Only programs without lookarounds and with few slots qualify; the compiler records
// that in backtrack_allowed.  The
// jump rule of the Pike VM (a jump onto an already-visited split continues at its exit) is
// applied the same way, so the two agree on the slots of empty loop iterations too.
#include "kestrel/backtrack.h"

#include <array>

#include "kestrel/assertions.h"
#include "kestrel/empty_iteration.h"

namespace kestrel {

namespace {

struct job {
    std::uint32_t pc;      // instruction to explore, or the slot to restore
    std::int32_t pos;      // offset to explore at, or the value to restore
    bool restore;
};

}  // namespace

bool backtrack_applies(const match_context& ctx, std::uint32_t start) noexcept {
    return ctx.prog.backtrack_allowed && start <= ctx.length &&
           backtrack_window(ctx.prog.instructions.size()) > 0;
}

bool backtrack_covers_subject(const match_context& ctx, std::uint32_t start) noexcept {
    return backtrack_applies(ctx, start) &&
           ctx.length - start <= backtrack_window(ctx.prog.instructions.size());
}

backtrack_outcome backtrack_match(match_context& ctx, std::uint32_t start, slot_vector& out) {
    const program_view& prog = ctx.prog;
    const instruction* code = prog.instructions.data;
    const auto n = static_cast<std::uint32_t>(prog.instructions.size());
    const std::uint8_t* s = ctx.subject;
    const std::uint32_t len = ctx.length;

    // Offsets past this one have no visited bits; a search that reaches one gives up.
    const std::uint64_t last_covered = std::uint64_t{start} + backtrack_window(n);
    std::array<std::uint64_t, backtrack_max_bits / 64> visited{};
    auto seen = [&](std::uint32_t pc, std::uint32_t pos) {
        const std::uint32_t bit = (pos - start) * n + pc;
        return (visited[bit >> 6] >> (bit & 63)) & 1u;
    };
    auto mark = [&](std::uint32_t pc, std::uint32_t pos) {
        const std::uint32_t bit = (pos - start) * n + pc;
        visited[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    };

    // Only the whole match's slots when the caller wants no more.
    const std::uint32_t width = ctx.whole_only ? 2u : prog.slot_count;
    slot_vector slots;
    slots.assign(width, -1);
    small_vector<job, backtrack_inline_jobs> jobs;
    jobs.push_back({0, static_cast<std::int32_t>(start), false});
    auto save = [&](std::uint32_t slot, std::uint32_t value) {
        if (slot >= width) return;
        jobs.push_back({slot, slots[slot], true});
        slots[slot] = static_cast<std::int32_t>(value);
    };

    while (!jobs.empty()) {
        const job j = jobs.pop_back();
        if (j.restore) {
            slots[j.pc] = j.pos;
            continue;
        }
        std::uint32_t pc = j.pc;
        auto pos = static_cast<std::uint32_t>(j.pos);
        for (;;) {
            ++ctx.steps;
            // Saves are transparent to the visited map (empty_iteration.h).
            for (; pc < n && code[pc].op == opcode::save; ++pc) save(code[pc].index, pos);
            if (pos > last_covered) return backtrack_outcome::left_window;
            if (pc >= n || seen(pc, pos)) break;
            mark(pc, pos);
            const instruction& in = code[pc];
            bool go_on = true;
            switch (in.op) {
            case opcode::byte:
                go_on = pos < len && s[pos] == in.arg;
                ++pc, ++pos;
                break;
            case opcode::byte_set:
                go_on = pos < len && ctx.byte_in_set(in.index, s[pos]);
                ++pc, ++pos;
                break;
            case opcode::klass_cp: {
                if (pos >= len) {
                    go_on = false;
                    break;
                }
                const decoded_char c = decode_utf8(s, len, pos);
                go_on = c.valid && ctx.class_contains(in.index, c.cp);
                pc += code_point_step_slots;
                pos += c.length;
                break;
            }
            case opcode::split:
                jobs.push_back({static_cast<std::uint32_t>(in.y), static_cast<std::int32_t>(pos), false});
                pc = static_cast<std::uint32_t>(in.x);
                break;
            case opcode::jump: {
                // The Pike VM's rule: a jump onto a loop head already reached at this offset
                // leaves the loop (the saves on the way write, with restore jobs).
                const auto target = static_cast<std::uint32_t>(in.x);
                auto here = [&](std::uint32_t i) { return seen(i, pos) != 0; };
                pc = jump_destination(code, n, target, here);
                if (pc != target) {
                    for_each_chain_save(code, n, target, here, [&](std::uint32_t slot) { save(slot, pos); });
                }
                break;
            }
            case opcode::assert:
                go_on = assertion_holds(in.arg, pos, ascii_words_for(prog.unicode, in.index), s, len);
                ++pc;
                break;
            case opcode::match:
                out.assign(slots.data(), slots.size());
                return backtrack_outcome::matched;
            case opcode::possessive_byte:
            case opcode::possessive_set:
            case opcode::possessive_cp: {
                bool take = false;
                std::uint32_t width = 1;
                if (pos < len) {
                    if (in.op == opcode::possessive_byte) {
                        take = s[pos] == in.arg;
                    } else if (in.op == opcode::possessive_set) {
                        take = ctx.byte_in_set(in.index, s[pos]);
                    } else {
                        const decoded_char c = decode_utf8(s, len, pos);
                        take = c.valid && ctx.class_contains(in.index, c.cp);
                        width = c.length;
                    }
                }
                if (!take) {
                    pc = static_cast<std::uint32_t>(in.y);
                    break;
                }
                if (in.x >= 0) {
                    save(static_cast<std::uint32_t>(in.x), pos);
                    save(static_cast<std::uint32_t>(in.x) + 1, pos + width);
                }
                pc += in.op == opcode::possessive_cp ? code_point_step_slots : 1;
                pos += width;
                break;
            }
            default:  // lookaround (never in programs it runs) and unknown opcodes fail
                go_on = false;
                break;
            }
            if (!go_on) break;
        }
    }
    out.assign(width, -1);
    return backtrack_outcome::no_match;
}

}  // namespace kestrel
