// The selection chain of regex::match and the special-shape matchers it picks from.
//
// Why shapes.  The lexer asks every candidate rule for an anchored match at every token, and
// most lexer rules are one of a handful of shapes: a word of one class ([a-z_]+, \d+), a
// keyword or operator (abc, ==), a short fixed sequence (a[0-9]), a keyword list (if|else),
// "anything up to a delimiter" (.+, [^"]+).  For these the answer follows from a loop over
// the bytes, without the Pike VM's thread lists, slot pool or closure stack.  The analysis
// (analysis.cpp) recognises the shapes on the compiled program and records only what it can
// promise: a set fact means the shape's matcher returns, for every subject and offset,
// exactly what the Pike VM returns, slots included.  A shape never backtracks, so each one
// rests on an argument that the greedy (or possessive) longest answer is the priority
// order's answer; the arguments are given with each matcher below.
//
// The shapes, in the order the chain tries them.  A shape is chosen when the analysis filled
// its record (analysis.h); the first recorded one answers the whole call.
//
//   run then lookahead   [a-z]+(?=x): tried before the chain.  The maximal run of the class
//       is found, then the ends are tried from the longest down (one character at a time),
//       and the first end where the lookahead holds ends the match.  That is the greedy
//       loop's order exactly: the Pike VM's continuing thread always outranks the one that
//       leaves the loop.  Cost: the run plus one lookahead test per end tried.
//   1 byte-class run     [a-z]+, [0-9]{3,}$, \b[a-z]+\b: the byte at pos must be in the
//       class; the run is extended to its maximal end M.  A greedy loop tries M first, and
//       what follows the run can only refuse M where it refuses every shorter end: an end
//       anchor needs the subject end (which no shorter end reaches), and a lifted \b is only
//       recorded for a class of ASCII word characters, inside whose runs no \b ever holds.
//       With an end anchor the run is checked backwards from the subject end, so a subject
//       whose tail is not of the class fails after a few bytes.
//   2 code-point run     é+, \w+, [a-zé]{2,}: as row 1 over characters; a byte that starts
//       no valid character ends the run (the Pike VM's klass_cp refuses it), so the minimum
//       counts valid characters only.
//   3 possessive run     [a-z]*+, foo[0-9]*+bar, (a)++: prefix, run, suffix.  A possessive
//       step never gives back, so the maximal run is the only run; the suffix must follow
//       it at once.  A group around the element gets the run's last element.
//   4 literal string     foo, \bfoo\b: compare the bytes (the first 16 from the analysis'
//       copy of the literal prefix, the rest from the program).
//   5 fixed sequence     a[0-9]b, (x)y, \A[a-z]$: fixed length, so every test (saves,
//       boundaries, the end anchor) sits at a known offset; walk the instructions once.
//   6 any run            .+, [^"]+: ASCII bytes of the class by table, any well-formed
//       non-ASCII character by decoding.  The program's choice between the ASCII set and the
//       UTF-8 sequences is deterministic, so the loop's greedy answer is the maximal run of
//       whole characters.
//   7 straight lines     if|else|elif: the first branch whose bytes all match wins, which is
//       leftmost-first when nothing but a boundary follows (the analysis lifts a trailing
//       boundary only when all branches have one length, so it is the same test for all).
//   9 otherwise          the Pike VM (which tries the bounded backtracker on short subjects).
//
// Row 8 of the chain (a one-pass table for programs with captures) is not built; the chain
// goes from row 7 to row 9.
//
// Lifted word boundaries are tested with the shared assertion test and the program's own
// word definition (lifted assertions never carry a flip).  A pattern that begins with \A
// cannot match at pos > 0 whatever follows (every path passes the \A), so the chain and every
// forced shape answer that at once.
//
// Costs.  No allocation beyond the result's slots (and the lookaround caches, which are the
// lookaround module's).  Runs of byte classes read the regex's cached 256-entry tables; when
// the analysis lists the few bytes a class excludes, the first bytes after the run's start
// are tested one by one and the rest of the run is a memchr for the nearest excluded byte.
//
// Tests: tests/cpp/test_shapes.cpp compares each shape, forced, and the automatic chain with
// the Pike VM on every subject of a small alphabet at every offset (patterns per shape in
// tables), checks a few answers worked out by hand, checks that the chain really skips the
// Pike VM for recognised patterns, and runs hand-built programs whose classes exclude only a
// few bytes through runs longer than the one-by-one stretch.
#include "kestrel/shapes.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "kestrel/assertions.h"
#include "kestrel/lookaround.h"

namespace kestrel {

namespace {

// Bytes after a run's first byte that are tested one by one before the rest of the run is
// found by searching for the nearest excluded byte: most runs in source text are short, and a
// search call costs more than a few table lookups.
constexpr std::uint32_t bytes_before_excluded_search = 31;

constexpr std::uint8_t continuation_mask = 0xC0;
constexpr std::uint8_t continuation_tag = 0x80;
constexpr std::uint32_t first_non_ascii = 0x80;
constexpr std::uint32_t first_three_byte = 0x800;

using local_table = std::array<std::uint8_t, 256>;

bool no_match(const match_context& ctx, slot_vector& out) {
    out.assign(ctx.prog.slot_count, -1);
    return false;
}

// A successful shape: slots 0 and 1 (and a group spanning the whole match, where there is
// one) on top of whatever the matcher already wrote; the other slots stay -1.
bool matched(slot_vector& out, std::uint32_t start, std::uint32_t end, std::int32_t whole_open = -1) {
    out[0] = static_cast<std::int32_t>(start);
    out[1] = static_cast<std::int32_t>(end);
    if (whole_open >= 0) {
        out[static_cast<std::size_t>(whole_open)] = static_cast<std::int32_t>(start);
        out[static_cast<std::size_t>(whole_open) + 1] = static_cast<std::int32_t>(end);
    }
    return true;
}

// A lifted \b or \B at offset `at`; none always holds.
bool boundary_holds(const match_context& ctx, boundary_kind kind, std::uint32_t at) {
    if (kind == boundary_kind::none) return true;
    const auto assertion = static_cast<std::uint8_t>(
        kind == boundary_kind::word ? assert_kind::word_boundary : assert_kind::not_word_boundary);
    return assertion_holds(assertion, at, ascii_words_for(ctx.prog.unicode, 0), ctx.subject,
                           ctx.length);
}

bool end_anchor_holds(const match_context& ctx, end_anchor_kind kind, std::uint32_t at) {
    switch (kind) {
    case end_anchor_kind::none:
        return true;
    case end_anchor_kind::text_end:
        return at == ctx.length;
    case end_anchor_kind::text_end_or_final_newline:
        return at == ctx.length || (at + 1 == ctx.length && ctx.subject[at] == '\n');
    }
    return false;
}

// The 256-entry membership table of byte set `set`: the regex's cached one, or, for a call
// made without a lazy slot (tests of hand-built programs), one filled into `local`.
const std::uint8_t* byte_set_table(match_context& ctx, std::uint32_t set, local_table& local) {
    if (ctx.lazy != nullptr) {
        return ctx.lazy->class_tables(ctx.prog).byte_set_table(set, ctx.lazy->lock());
    }
    const byte_set& bs = ctx.prog.byte_sets[set];
    for (unsigned b = 0; b < 256; ++b) local[b] = bs.test(static_cast<std::uint8_t>(b));
    return local.data();
}

// Membership in one code-point class, with everything the per-character test needs fetched
// once per call: the 256-entry table for code points below 256, the cached map of the
// two-byte code points, the ranges for the rest.
class class_test {
public:
    class_test(match_context& ctx, std::uint32_t klass) : klass_(klass) {
        ranges_ = ctx.prog.class_ranges(klass);
        if (ctx.lazy != nullptr) {
            cache_ = &ctx.lazy->class_tables(ctx.prog);
            lock_ = &ctx.lazy->lock();
            table_ = cache_->class_table(klass, *lock_);
        } else {
            const byte_set& ascii = ctx.prog.classes[klass].ascii;
            for (unsigned b = 0; b < 256; ++b) {
                local_[b] = b < first_non_ascii ? ascii.test(static_cast<std::uint8_t>(b))
                                                : in_ranges(ranges_, b);
            }
            table_ = local_.data();
        }
    }

    bool ascii(std::uint8_t b) const noexcept { return table_[b] != 0; }
    bool contains(std::uint32_t cp) {
        if (cp < 256) return table_[cp] != 0;
        if (cp < first_three_byte && cache_ != nullptr)
            return cache_->class_has_two_byte(klass_, cp, *lock_);
        return in_ranges(ranges_, cp);
    }

private:
    std::uint32_t klass_;
    range_view ranges_;
    class_table_cache* cache_ = nullptr;
    std::mutex* lock_ = nullptr;
    const std::uint8_t* table_ = nullptr;
    local_table local_;
};

// The first excluded byte in [from, limit), or limit: one memchr per excluded byte, each
// bounded by the nearest hit so far.
std::uint32_t find_excluded(const analysis& facts, const std::uint8_t* s, std::uint32_t from,
                            std::uint32_t limit) {
    for (std::uint8_t k = 0; k < facts.excluded_byte_count && from < limit; ++k) {
        const void* hit = std::memchr(s + from, facts.excluded_bytes[k], limit - from);
        if (hit != nullptr) limit = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(hit) - s);
    }
    return limit;
}

// The end of the run of table bytes from `from` (the run's first byte already taken), no
// further than `limit`.
std::uint32_t extend_bytes(const std::uint8_t* table, const analysis& facts, const std::uint8_t* s,
                           std::uint32_t from, std::uint32_t limit) {
    std::uint32_t probe_end = limit;
    if (facts.excluded_byte_count > 0 && limit - from > bytes_before_excluded_search)
        probe_end = from + bytes_before_excluded_search;
    std::uint32_t p = from;
    while (p < probe_end && table[s[p]]) ++p;
    if (p < probe_end || p == limit) return p;
    return find_excluded(facts, s, p, limit);
}

struct code_point_run {
    std::uint32_t end;
    std::uint32_t count;       // characters in the run
    std::uint32_t last_start;  // where its last character starts (meaningless when empty)
};

// The maximal run of valid characters of the class from `from`.
code_point_run extend_code_points(const match_context& ctx, class_test& in_class, std::uint32_t from) {
    const std::uint8_t* s = ctx.subject;
    const std::uint32_t len = ctx.length;
    code_point_run run{from, 0, from};
    std::uint32_t p = from;
    while (p < len) {
        std::uint32_t width = 1;
        if (s[p] < first_non_ascii) {
            if (!in_class.ascii(s[p])) break;
        } else {
            const decoded_char c = decode_utf8(s, len, p);
            if (!c.valid || !in_class.contains(c.cp)) break;
            width = c.length;
        }
        run.last_start = p;
        ++run.count;
        p += width;
    }
    run.end = p;
    return run;
}

// ---- the matchers -------------------------------------------------------------------------

bool match_byte_class_run(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const analysis& facts = ctx.prog.facts;
    const class_run_shape& shape = facts.byte_class_run;
    const std::uint8_t* s = ctx.subject;
    const std::uint32_t len = ctx.length;
    out.assign(ctx.prog.slot_count, -1);
    if (pos >= len) return false;  // the minimum is at least one byte
    local_table local;
    const std::uint8_t* table = byte_set_table(ctx, static_cast<std::uint32_t>(shape.class_index), local);
    if (!table[s[pos]]) return false;
    if (shape.test_leading && !boundary_holds(ctx, shape.leading, pos)) return false;
    std::uint32_t end = len;
    if (shape.end_anchor != end_anchor_kind::none) {
        // The only end that can hold the anchor is the subject end, or before a final "\n"
        // that the class leaves out.  (With "\n" in the class the run reaches the very end
        // or not at all, and the longer end is preferred.)
        if (shape.end_anchor == end_anchor_kind::text_end_or_final_newline && s[len - 1] == '\n' &&
            !table[static_cast<std::uint8_t>('\n')])
            end = len - 1;
        // end > pos: s[pos] is in the class, so it is not that final "\n".
        std::uint32_t p = end;
        while (p > pos + 1 && table[s[p - 1]]) --p;
        if (p != pos + 1) return false;
    } else {
        end = extend_bytes(table, facts, s, pos + 1, len);
    }
    if (end - pos < static_cast<std::uint32_t>(shape.min)) return false;
    if (shape.test_trailing && !boundary_holds(ctx, shape.trailing, end)) return false;
    return matched(out, pos, end, shape.capture_open);
}

bool match_code_point_class_run(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const class_run_shape& shape = ctx.prog.facts.code_point_class_run;
    out.assign(ctx.prog.slot_count, -1);
    if (shape.test_leading && !boundary_holds(ctx, shape.leading, pos)) return false;
    class_test in_class(ctx, static_cast<std::uint32_t>(shape.class_index));
    const code_point_run run = extend_code_points(ctx, in_class, pos);
    if (run.count < static_cast<std::uint32_t>(shape.min)) return false;
    // The anchor refuses the maximal end only where it refuses every shorter one (see row 1).
    if (!end_anchor_holds(ctx, shape.end_anchor, run.end)) return false;
    if (shape.test_trailing && !boundary_holds(ctx, shape.trailing, run.end)) return false;
    return matched(out, pos, run.end, shape.capture_open);
}

bool match_possessive_run(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const analysis& facts = ctx.prog.facts;
    const possessive_run_shape& shape = facts.possessive_run;
    const std::uint8_t* s = ctx.subject;
    const std::uint32_t len = ctx.length;
    out.assign(ctx.prog.slot_count, -1);
    if (!boundary_holds(ctx, shape.leading, pos)) return false;
    std::uint32_t p = pos;
    if (shape.prefix_length > 0) {
        if (len - p < shape.prefix_length) return false;
        const instruction* prefix = ctx.prog.instructions.data + shape.prefix_start;
        for (std::uint32_t k = 0; k < shape.prefix_length; ++k)
            if (s[p + k] != prefix[k].arg) return false;
        p += shape.prefix_length;
    }
    const std::uint32_t run_start = p;
    std::uint32_t last_start = p;
    switch (shape.kind) {
    case run_kind::byte: {
        const auto b = static_cast<std::uint8_t>(shape.element);
        while (p < len && s[p] == b) ++p;
        last_start = p - 1;
        break;
    }
    case run_kind::byte_set: {
        local_table local;
        const std::uint8_t* table = byte_set_table(ctx, static_cast<std::uint32_t>(shape.element), local);
        if (p < len && table[s[p]]) p = extend_bytes(table, facts, s, p + 1, len);
        last_start = p - 1;
        break;
    }
    default: {
        class_test in_class(ctx, static_cast<std::uint32_t>(shape.element));
        const code_point_run run = extend_code_points(ctx, in_class, p);
        p = run.end;
        last_start = run.last_start;
        break;
    }
    }
    const std::uint32_t run_end = p;
    const bool empty = run_end == run_start;
    if (empty && !shape.may_be_empty) return false;
    if (!boundary_holds(ctx, shape.trailing, run_end)) return false;
    // No memcmp for an empty suffix: the subject may then be empty and its pointer null.
    if (len - p < shape.suffix_length ||
        (shape.suffix_length != 0 && std::memcmp(s + p, shape.suffix.data(), shape.suffix_length) != 0))
        return false;
    p += shape.suffix_length;
    if (shape.capture_slot >= 0 && !empty) {
        out[static_cast<std::size_t>(shape.capture_slot)] = static_cast<std::int32_t>(last_start);
        out[static_cast<std::size_t>(shape.capture_slot) + 1] = static_cast<std::int32_t>(run_end);
    }
    return matched(out, pos, p);
}

bool match_literal_string(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const analysis& facts = ctx.prog.facts;
    const auto n = static_cast<std::uint32_t>(facts.literal_string_length);
    const std::uint8_t* s = ctx.subject + pos;
    out.assign(ctx.prog.slot_count, -1);
    if (ctx.length - pos < n) return false;
    // The analysis keeps the first bytes of the literal (all of them up to 16) in the facts.
    const std::uint32_t head = std::min<std::uint32_t>(facts.literal_prefix_length, n);
    if (std::memcmp(s, facts.literal_prefix.data(), head) != 0) return false;
    const instruction* rest = ctx.prog.instructions.data + facts.literal_string_start;
    for (std::uint32_t k = head; k < n; ++k)
        if (s[k] != rest[k].arg) return false;
    if (!boundary_holds(ctx, facts.literal_leading, pos) ||
        !boundary_holds(ctx, facts.literal_trailing, pos + n))
        return false;
    return matched(out, pos, pos + n);
}

bool match_fixed_sequence(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const fixed_sequence_shape& shape = ctx.prog.facts.fixed_sequence;
    const std::uint8_t* s = ctx.subject;
    const std::uint32_t len = ctx.length;
    out.assign(ctx.prog.slot_count, -1);
    if (!boundary_holds(ctx, shape.leading, pos)) return false;
    std::uint32_t p = pos;
    for (std::int32_t i = shape.start; i < shape.end; ++i) {
        const instruction& in = ctx.prog.instructions[static_cast<std::size_t>(i)];
        switch (in.op) {
        case opcode::byte:
            if (p >= len || s[p] != in.arg) return no_match(ctx, out);
            ++p;
            break;
        case opcode::byte_set:
            if (p >= len || !ctx.byte_in_set(in.index, s[p])) return no_match(ctx, out);
            ++p;
            break;
        default:  // a capture save
            out[in.index] = static_cast<std::int32_t>(p);
            break;
        }
    }
    if (!boundary_holds(ctx, shape.trailing, p) || !end_anchor_holds(ctx, shape.end_anchor, p))
        return no_match(ctx, out);
    return matched(out, pos, p);
}

bool match_any_run(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const std::uint8_t* s = ctx.subject;
    const std::uint32_t len = ctx.length;
    out.assign(ctx.prog.slot_count, -1);
    local_table local;
    // Only ASCII bytes are in the set, so a byte of 0x80 or more always takes the decoding.
    const std::uint8_t* table =
        byte_set_table(ctx, static_cast<std::uint32_t>(ctx.prog.facts.any_run.ascii_set), local);
    std::uint32_t p = pos;
    while (p < len) {
        if (table[s[p]]) {
            ++p;
        } else if (s[p] >= first_non_ascii) {
            const decoded_char c = decode_utf8(s, len, p);
            if (!c.valid) break;
            p += c.length;
        } else {
            break;
        }
    }
    if (p == pos) return false;
    return matched(out, pos, p);
}

// Whether the straight run of byte / byte_set instructions from `i` matches at `pos`; on
// success `end` is where it stops.
bool straight_line_matches(match_context& ctx, std::int32_t i, std::uint32_t pos, std::uint32_t& end) {
    const instruction* code = ctx.prog.instructions.data;
    std::uint32_t p = pos;
    for (;; ++i, ++p) {
        const instruction& in = code[i];
        if (in.op == opcode::byte) {
            if (p >= ctx.length || ctx.subject[p] != in.arg) return false;
        } else if (in.op == opcode::byte_set) {
            if (p >= ctx.length || !ctx.byte_in_set(in.index, ctx.subject[p])) return false;
        } else {
            end = p;
            return true;
        }
    }
}

bool match_straight_alternation(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const straight_alternation_shape& shape = ctx.prog.facts.straight_alternation;
    const instruction* code = ctx.prog.instructions.data;
    out.assign(ctx.prog.slot_count, -1);
    if (!boundary_holds(ctx, shape.leading, pos)) return false;
    // Every branch but the last is entered by a split whose y is the next split or the last
    // branch.
    std::int32_t i = shape.start;
    std::uint32_t end = pos;
    while (true) {
        if (code[i].op != opcode::split) {
            if (!straight_line_matches(ctx, i, pos, end)) return false;
            break;
        }
        if (straight_line_matches(ctx, i + 1, pos, end)) break;
        i = code[i].y;
    }
    if (!boundary_holds(ctx, shape.trailing, end)) return false;
    return matched(out, pos, end);
}

bool match_run_then_lookahead(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const analysis& facts = ctx.prog.facts;
    const run_then_lookahead_shape& shape = facts.run_then_lookahead;
    const auto row = static_cast<std::uint32_t>(shape.lookaround);
    const std::uint8_t* s = ctx.subject;
    out.assign(ctx.prog.slot_count, -1);
    if (pos >= ctx.length) return false;
    if (!shape.code_point_class) {
        local_table local;
        const std::uint8_t* table = byte_set_table(ctx, static_cast<std::uint32_t>(shape.class_index), local);
        if (!table[s[pos]]) return false;
        for (std::uint32_t end = extend_bytes(table, facts, s, pos + 1, ctx.length); end > pos; --end)
            if (lookaround_holds(ctx, row, end)) return matched(out, pos, end);
        return false;
    }
    class_test in_class(ctx, static_cast<std::uint32_t>(shape.class_index));
    std::uint32_t end = extend_code_points(ctx, in_class, pos).end;
    while (end > pos) {
        if (lookaround_holds(ctx, row, end)) return matched(out, pos, end);
        // Back one character: every character of the run is valid, so its lead byte is the
        // first byte that is not a continuation byte.
        --end;
        while (end > pos && (s[end] & continuation_mask) == continuation_tag) --end;
    }
    return false;
}

// ---- the chain ----------------------------------------------------------------------------

bool has_byte_class_run(const analysis& a) { return a.byte_class_run.class_index >= 0; }
bool has_code_point_class_run(const analysis& a) { return a.code_point_class_run.class_index >= 0; }
bool has_possessive_run(const analysis& a) { return a.possessive_run.kind != run_kind::none; }
bool has_literal_string(const analysis& a) { return a.literal_string_length > 0; }
bool has_fixed_sequence(const analysis& a) { return a.fixed_sequence.start >= 0; }
bool has_any_run(const analysis& a) { return a.any_run.ascii_set >= 0; }
bool has_straight_alternation(const analysis& a) { return a.straight_alternation.branches > 0; }
bool has_run_then_lookahead(const analysis& a) { return a.run_then_lookahead.lookaround >= 0; }

struct shape_entry {
    shape_row row;
    bool (*applies)(const analysis&);
    bool (*run)(match_context&, std::uint32_t, slot_vector&);
};

// Every shape with its row (the order in which strategy.cpp tries them lives there).
constexpr shape_entry chain[] = {
    {shape_row::byte_class_run, has_byte_class_run, match_byte_class_run},
    {shape_row::code_point_class_run, has_code_point_class_run, match_code_point_class_run},
    {shape_row::possessive_run, has_possessive_run, match_possessive_run},
    {shape_row::literal_string, has_literal_string, match_literal_string},
    {shape_row::fixed_sequence, has_fixed_sequence, match_fixed_sequence},
    {shape_row::any_run, has_any_run, match_any_run},
    {shape_row::straight_alternation, has_straight_alternation, match_straight_alternation},
};

// Tried before the chain.
constexpr shape_entry leading_run = {shape_row::run_then_lookahead, has_run_then_lookahead,
                                     match_run_then_lookahead};

const shape_entry* entry_of(shape_row row) noexcept {
    if (row == leading_run.row) return &leading_run;
    for (const shape_entry& e : chain)
        if (e.row == row) return &e;
    return nullptr;
}

bool cannot_start_here(const match_context& ctx, std::uint32_t pos) noexcept {
    return ctx.prog.facts.anchor == anchor_kind::text_start && pos != 0;
}

}  // namespace

bool shape_applies(const program_view& prog, shape_row row) noexcept {
    const shape_entry* e = entry_of(row);
    return e != nullptr && e->applies(prog.facts);
}

bool run_shape(shape_row row, match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const shape_entry* e = entry_of(row);
    if (e == nullptr || cannot_start_here(ctx, pos)) return no_match(ctx, out);
    return e->run(ctx, pos, out);
}


}  // namespace kestrel
