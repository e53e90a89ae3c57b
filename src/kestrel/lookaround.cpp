// Lookaround evaluation.
//
// A lookaround instruction asks whether its body matches ahead of an offset (lookahead) or
// ends exactly at it (lookbehind).  The compiler bounds bodies (at most 255 bytes, except
// that a lookahead may be unbounded), forbids nesting, captures and possessive parts, so a
// body is a plain program of bytes, classes, splits, jumps and assertions that a set of
// threads can run without priorities.  Four paths, cheapest first:
//
// - A body of one character (the common case in lexer rules, like (?=\d) or (?<![\w])) is
//   tested directly against the byte or character at or before the offset.
// - A lookbehind runs a thread set forward from the window start (offset minus the longest
//   match) and starts a new thread at every offset, so the set at q answers "does a match
//   end at q" for every start in the window.  The set is kept per row for the whole match
//   call: the Pike VM asks at increasing offsets, and each query then costs one step per new
//   byte instead of a fresh simulation.
// - A bounded lookahead runs a thread set from the offset for at most its longest match.
// - An unbounded lookahead first runs forward like a bounded one, as far as its body can go
//   (usually a few bytes: (?= *x) stops at the first byte that is neither blank nor x).  Only
//   when the forward runs of one call have together scanned as many bytes as the subject
//   holds is it answered for every offset at once, by one backward pass over the subject
//   computing which body instructions can reach `match` from each offset; the bits are kept
//   for the rest of the call.  So a call costs at most about two passes over the subject,
//   and a lexer calling once per token does not pay a pass over the rest of the text each
//   time.
//
// Caches live in the match_context and are keyed by the subject, so nothing outlives a call,
// except the unbounded lookahead's state where the caller's scratch is bound to the subject
// (failure_memo.h): then the forward runs of all calls on it count towards the pass that
// answers every offset, and the answers serve every later call.
// Tests: tests/cpp/test_match_corpus.cpp (lookaround cases through every path).
#include "kestrel/lookaround.h"

#include "kestrel/assertions.h"

namespace kestrel {

namespace {

// Bytes an unbounded lookahead may scan forward in one call beyond the subject's length
// before it builds its memo instead (so tiny subjects never build one).
constexpr std::uint64_t forward_scan_slack = 64;

lookaround_caches& caches_of(match_context& ctx) {
    if (!ctx.lookarounds) {
        ctx.lookarounds = std::make_unique<lookaround_caches>();
        ctx.lookarounds->behind.resize(ctx.prog.lookarounds.size());
        ctx.lookarounds->ahead.resize(ctx.prog.lookarounds.size());
        ctx.lookarounds->tail_assert.assign(ctx.prog.lookarounds.size(), -1);
    }
    return *ctx.lookarounds;
}

bool char_in_class(match_context& ctx, std::uint32_t klass, std::uint32_t at, std::uint32_t& width) {
    const decoded_char c = decode_utf8(ctx.subject, ctx.length, at);
    width = c.length;
    return c.valid && ctx.class_contains(klass, c.cp);
}

// The one-character body tested directly.
bool simple_holds(match_context& ctx, const lookaround_entry& e, std::uint32_t p) {
    const instruction& in = ctx.prog.instructions[static_cast<std::size_t>(e.start)];
    const std::uint8_t* s = ctx.subject;
    if (!e.behind) {
        if (p >= ctx.length) return false;
        if (in.op == opcode::byte) return s[p] == in.arg;
        if (in.op == opcode::byte_set) return ctx.byte_in_set(in.index, s[p]);
        std::uint32_t width = 0;
        return char_in_class(ctx, in.index, p, width);
    }
    if (p == 0) return false;
    if (in.op == opcode::byte) return s[p - 1] == in.arg;
    if (in.op == opcode::byte_set) return ctx.byte_in_set(in.index, s[p - 1]);
    std::uint32_t start = p - 1;
    while (start > 0 && p - start < 4 && (s[start] & 0xC0) == 0x80) --start;
    std::uint32_t width = 0;
    return char_in_class(ctx, in.index, start, width) && start + width == p;
}

bool is_simple(const match_context& ctx, const lookaround_entry& e) {
    const opcode op = ctx.prog.instructions[static_cast<std::size_t>(e.start)].op;
    return (e.length == 2 && (op == opcode::byte || op == opcode::byte_set)) ||
           (e.length == 5 && op == opcode::klass_cp);
}

// A thread set over the body of one row: instruction indices in insertion order, visited
// marks, and whether a closure reached `match`.
class thread_set {
public:
    thread_set(match_context& ctx, lookaround_caches& c) : ctx_(ctx), c_(c) {}

    // Adds the closure of instruction pc at offset `at` to `into`; true when it reaches match.
    bool closure(std::vector<std::uint32_t>& into, std::uint32_t pc, std::uint32_t at) {
        bool matched = false;
        auto& stack = c_.stack;
        stack.clear();
        stack.push_back(pc);
        while (!stack.empty()) {
            const std::uint32_t i = stack.back();
            stack.pop_back();
            ++ctx_.steps;
            if (c_.seen.visited(i)) continue;
            c_.seen.mark(i);
            const instruction& in = ctx_.prog.instructions[i];
            switch (in.op) {
            case opcode::split:
                stack.push_back(static_cast<std::uint32_t>(in.y));
                stack.push_back(static_cast<std::uint32_t>(in.x));
                break;
            case opcode::jump:
                stack.push_back(static_cast<std::uint32_t>(in.x));
                break;
            case opcode::save:
                stack.push_back(i + 1);
                break;
            case opcode::assert:
                if (assertion_holds(in.arg, at, ascii_words_for(ctx_.prog.unicode, in.index),
                                    ctx_.subject, ctx_.length)) {
                    stack.push_back(i + 1);
                }
                break;
            case opcode::match:
                matched = true;
                break;
            case opcode::byte:
            case opcode::byte_set:
            case opcode::klass_cp:
                into.push_back(i);
                break;
            default:
                break;
            }
        }
        return matched;
    }

    // Moves every thread of `from` over the byte at q into `into` (closures at q + 1).
    bool step(const std::vector<std::uint32_t>& from, std::vector<std::uint32_t>& into,
              std::uint32_t q) {
        bool matched = false;
        const std::uint8_t b = ctx_.subject[q];
        for (std::uint32_t i : from) {
            const instruction& in = ctx_.prog.instructions[i];
            if (in.op == opcode::byte) {
                if (b == in.arg) matched |= closure(into, i + 1, q + 1);
            } else if (in.op == opcode::byte_set) {
                if (ctx_.byte_in_set(in.index, b)) matched |= closure(into, i + 1, q + 1);
            } else {
                std::uint32_t width = 0;
                if (char_in_class(ctx_, in.index, q, width)) {
                    matched |= closure(into, i + code_point_step_slots + 1 - width, q + 1);
                }
            }
        }
        return matched;
    }

    void new_round() { c_.seen.reset(); }

private:
    match_context& ctx_;
    lookaround_caches& c_;
};

// Runs the body forward from p, over at most `limit` - p bytes; adds the bytes stepped over
// to `scanned`.
bool forward_lookahead(match_context& ctx, lookaround_caches& c, const lookaround_entry& e,
                       std::uint32_t p, std::uint64_t limit, std::uint64_t& scanned) {
    thread_set ts(ctx, c);
    c.seen.prepare(ctx.prog.instructions.size());
    c.current.clear();
    if (ts.closure(c.current, static_cast<std::uint32_t>(e.start), p)) return true;
    for (std::uint32_t q = p; !c.current.empty() && q < ctx.length && q < limit; ++q) {
        ++scanned;
        ts.new_round();
        c.next.clear();
        if (ts.step(c.current, c.next, q)) return true;
        std::swap(c.current, c.next);
    }
    return false;
}

bool lookbehind(match_context& ctx, lookaround_caches& c, std::uint32_t row, const lookaround_entry& e,
                std::uint32_t p) {
    lookbehind_state& st = c.behind[row];
    const std::uint32_t window =
        p > static_cast<std::uint32_t>(e.max_length) ? p - static_cast<std::uint32_t>(e.max_length) : 0;
    thread_set ts(ctx, c);
    const auto first = static_cast<std::uint32_t>(e.start);
    c.seen.prepare(ctx.prog.instructions.size());
    const bool reusable = st.subject == ctx.subject && st.length == ctx.length && st.reached >= 0 &&
                          st.reached >= window && st.reached <= p;
    if (!reusable) {
        st.subject = ctx.subject;
        st.length = ctx.length;
        st.threads.clear();
        ts.new_round();
        st.matched = ts.closure(st.threads, first, window);
        st.reached = window;
    }
    while (st.reached < p) {
        const auto q = static_cast<std::uint32_t>(st.reached);
        ts.new_round();
        c.next.clear();
        bool matched = ts.step(st.threads, c.next, q);
        matched |= ts.closure(c.next, first, q + 1);
        std::swap(st.threads, c.next);
        st.reached = q + 1;
        st.matched = matched;
    }
    return st.matched;
}

void build_memo(match_context& ctx, const lookaround_entry& e, lookahead_memo& memo) {
    const std::uint32_t len = ctx.length;
    const std::uint8_t* s = ctx.subject;
    const auto first = static_cast<std::uint32_t>(e.start);
    const auto n = static_cast<std::uint32_t>(e.length);
    memo.made = true;
    memo.bits.assign(len / 64 + 1, 0);
    std::vector<std::uint8_t> here(n), after(n, 0);
    const instruction* code = ctx.prog.instructions.data + first;
    // Reachability of a jump or split target; the body never leaves itself, but a target
    // outside it is simply unreachable.
    auto reached = [&](std::int32_t target) {
        const std::uint32_t i = static_cast<std::uint32_t>(target) - first;
        return i < n && here[i] != 0;
    };
    // q runs from len down to 0; a 64-bit counter, so that len + 1 cannot wrap to 0 for a
    // subject of 4 GiB - 1 bytes.
    for (std::uint64_t q64 = std::uint64_t{len} + 1; q64-- > 0;) {
        const auto q = static_cast<std::uint32_t>(q64);
        ctx.steps += n;  // the work counted for the linear-time tests
        std::fill(here.begin(), here.end(), 0);
        for (std::uint32_t i = 0; i < n; ++i) {
            const instruction& in = code[i];
            if (in.op == opcode::match) {
                here[i] = 1;
            } else if (q < len && (in.op == opcode::byte || in.op == opcode::byte_set)) {
                const bool pass = in.op == opcode::byte ? s[q] == in.arg : ctx.byte_in_set(in.index, s[q]);
                here[i] = pass && i + 1 < n && after[i + 1];
            } else if (q < len && in.op == opcode::klass_cp) {
                std::uint32_t width = 0;
                if (char_in_class(ctx, in.index, q, width)) {
                    const std::uint32_t next = i + code_point_step_slots + 1 - width;
                    here[i] = next < n && after[next];
                }
            }
        }
        // The non-consuming instructions, to a fixed point (loops in the body may need several
        // passes).
        for (bool changed = true; changed;) {
            changed = false;
            for (std::uint32_t i = n; i-- > 0;) {
                if (here[i]) continue;
                const instruction& in = code[i];
                bool reach = false;
                switch (in.op) {
                case opcode::split:
                    reach = reached(in.x) || reached(in.y);
                    break;
                case opcode::jump:
                    reach = reached(in.x);
                    break;
                case opcode::save:
                    reach = i + 1 < n && here[i + 1];
                    break;
                case opcode::assert:
                    reach = i + 1 < n && here[i + 1] &&
                            assertion_holds(in.arg, q, ascii_words_for(ctx.prog.unicode, in.index), s, len);
                    break;
                default:
                    break;
                }
                if (reach) {
                    here[i] = 1;
                    changed = true;
                }
            }
        }
        if (here[0]) memo.bits[q >> 6] |= std::uint64_t{1} << (q & 63);
        std::swap(here, after);
    }
}

}  // namespace

bool lookaround_has_tail_assertion(match_context& ctx, const lookaround_entry& e) {
    lookaround_caches& c = caches_of(ctx);
    const auto row = static_cast<std::size_t>(&e - ctx.prog.lookarounds.data);
    if (c.tail_assert[row] < 0) {
        bool found = false;
        for (std::int32_t i = e.start; i < e.start + e.length; ++i) {
            const instruction& in = ctx.prog.instructions[static_cast<std::size_t>(i)];
            if (in.op != opcode::assert) continue;
            // Assertions that look only behind the offset cannot depend on text still to come.
            const auto kind = static_cast<assert_kind>(in.arg);
            if (kind != assert_kind::text_start && kind != assert_kind::line_start &&
                kind != assert_kind::line_start_cr) {
                found = true;
            }
        }
        c.tail_assert[row] = found ? 1 : 0;
    }
    return c.tail_assert[row] == 1;
}

bool lookaround_holds(match_context& ctx, std::uint32_t row, std::uint32_t p) {
    const lookaround_entry& e = ctx.prog.lookarounds[row];
    bool holds;
    if (is_simple(ctx, e)) {
        holds = simple_holds(ctx, e, p);
    } else {
        lookaround_caches& c = caches_of(ctx);
        if (e.behind) {
            holds = lookbehind(ctx, c, row, e, p);
        } else if (e.max_length < 0) {
            // Across calls on one subject when the caller's scratch is bound to it: a lexer
            // asking at every token start then pays for at most two passes in all.
            lookahead_memo* kept =
                ctx.scratch != nullptr
                    ? ctx.scratch->failures().lookahead(ctx.prog.instructions.data, ctx.prog.lookarounds.size(), row,
                                                        ctx.subject, ctx.length)
                    : nullptr;
            lookahead_memo& memo = kept != nullptr ? *kept : c.ahead[row];
            if (memo.subject != ctx.subject || memo.length != ctx.length) {
                memo.subject = ctx.subject;
                memo.length = ctx.length;
                memo.scanned = 0;
                memo.made = false;
            }
            if (!memo.made && memo.scanned > std::uint64_t{ctx.length} + forward_scan_slack) {
                build_memo(ctx, e, memo);
            }
            if (memo.made) {
                holds = (memo.bits[p >> 6] >> (p & 63)) & 1u;
            } else {
                holds = forward_lookahead(ctx, c, e, p, ctx.length, memo.scanned);
            }
        } else {
            std::uint64_t scanned = 0;
            holds = forward_lookahead(ctx, c, e, p, std::uint64_t{p} + static_cast<std::uint32_t>(e.max_length),
                                      scanned);
        }
    }
    return holds != e.negated;
}

}  // namespace kestrel
