// Program analysis: one pass of small scans over a finished program, filling its facts.
//
// What is computed, in this order: whether the program records captures; whether it is
// anchored at the subject or line start; its literal prefix (the leading byte tests, looking
// past saves and assertions) and whether the whole pattern is a literal string; the set of
// bytes that can start a match (a depth-first walk that visits each instruction once) and
// whether a match can be empty; the shapes below; the single first byte or a short list of
// candidates; the bytes a class run excludes; a rare byte to search for; and which byte of
// the literal prefix is rarest.  Finally, when no single first byte is known and a
// continuation byte (0x80-0xBF) can start a match, the whole record is dropped: such a
// pattern can begin in the middle of a character, and we would rather run it on the general
// matchers than reason about first bytes there.
//
// The single first byte and the candidate list are derived from the first-byte set only when
// that set is a valid filter (the pattern cannot match empty); a literal prefix implies that.
// The whole literal (and the literal string) is only recorded when the only assertions
// around its bytes are a \b or \B at either end, which the boundary kinds carry; a literal
// behind \A, before $ or with a \b inside keeps its prefix but is not a whole literal.
//
// Shapes are whole-program templates matched instruction by instruction; each is recorded
// only where its special matcher, which never backtracks, is certain to return what the Pike
// VM returns for every subject and offset.  Common parts: a head of save 0, optionally \A
// (only for the shapes whose matcher checks the anchor) and optionally one \b or \B with no
// word-ness flip; a tail of optionally \b or \B, optionally \Z or $ (again only where the
// matcher checks it), then save 1 and match as the last two instructions.
//
//   byte / code-point class run   [a-z]+, \w{3,}, ([0-9]+)$ : one element repeated n times
//       and a split looping on the last copy.  A greedy run ends at its longest end that
//       satisfies what follows, so a lifted trailing test may only be one that fails at
//       every shorter end anyway: \b after a class of word characters (inside such a run
//       every position has word characters on both sides).  \B is refused at either end.
//   class run then lookahead      [a-z]+(?=x): the matcher tries ends from the longest down,
//       exactly the greedy order.
//   fixed sequence                a[0-9]b, (x)y, \bfoo\b : fixed length, so every lifted
//       test is at a known position.  Capture saves may sit anywhere in the line.
//   possessive run                a++, foo[0-9]*+bar, (x)++ : the loop never gives back, so
//       the longest run is the only one.  The plain element before the step must be the
//       same element (so the run is non-empty); other leading bytes form a literal prefix.
//       With a prefix, neither a required run nor lifted boundaries are recorded (only the
//       bare prefix-run-suffix form), and a trailing \b is only lifted when no suffix
//       follows it, so that it is tested where the program tests it.
//   literal string                foo, \bfoo\b : 1 to 255 byte instructions.
//   any run                       .+, [^"]+ : one repetition of the choice between an ASCII
//       set and every well-formed non-ASCII sequence, looped, with nothing after it.  The
//       minimum must be 1 (the matcher requires a first character).
//   alternation of straight lines  ab|cd|ef : leftmost-first is "the first branch whose
//       bytes match" when nothing follows.  A trailing \b is lifted only when all branches
//       have the same length: then every branch ends at the same offset with the same
//       characters around it, so the test cannot prefer a later branch.
//
// The auxiliary program is not built: its only purpose would be a literal-prefix recogniser
// working from the syntax tree, and the prefix-run-suffix form above is read directly off the
// compiled program, which is what the matchers run anyway.
//
// Tests: tests/cpp/test_analysis.cpp.
#include "kestrel/analysis.h"

#include <algorithm>
#include <vector>

#include "kestrel/program.h"
#include "kestrel/unicode.h"
#include "kestrel/utf8_ranges.h"

namespace kestrel {

namespace {

constexpr std::uint16_t rare_byte_score_limit = 100;  // a rare byte scores below this
constexpr int rare_byte_advantage = 4;  // ... and this many times its score stays below the
                                        // first bytes' score

// Commonness of byte values in typical text; see byte_commonness.
constexpr std::array<std::uint16_t, 256> make_commonness() {
    std::array<std::uint16_t, 256> t{};
    for (auto& v : t) v = 1;
    struct letter {
        char c;
        std::uint16_t score;
    };
    constexpr letter letters[] = {
        {'e', 1000}, {'t', 700}, {'a', 650}, {'o', 600}, {'i', 550}, {'n', 550}, {'s', 500},
        {'h', 450},  {'r', 450}, {'d', 350}, {'l', 350}, {'c', 300}, {'m', 250}, {'u', 250},
        {'f', 200},  {'w', 200}, {'g', 180}, {'y', 180}, {'p', 170}, {'b', 150}, {'v', 100},
        {'k', 80},   {'j', 15},  {'x', 15},  {'q', 10},  {'z', 8}};
    for (const letter& l : letters) {
        t[static_cast<std::uint8_t>(l.c)] = l.score;
        t[static_cast<std::uint8_t>(l.c - 'a' + 'A')] = static_cast<std::uint16_t>(l.score / 6 + 3);
    }
    auto set = [&t](const char* chars, std::uint16_t score) {
        for (; *chars; ++chars) t[static_cast<std::uint8_t>(*chars)] = score;
    };
    auto set_range = [&t](unsigned lo, unsigned hi, std::uint16_t score) {
        for (unsigned b = lo; b <= hi; ++b) t[b] = score;
    };
    t[' '] = 1500;
    set("0123456789.", 120);
    set("\n,", 100);
    set("/", 60);
    set("()_", 50);
    set("\"'", 45);
    set("\t-=", 40);
    set(":", 35);
    set("<>", 30);
    set("*;", 25);
    set("{}", 22);
    set("+[]", 20);
    set("!?|", 15);
    set("%", 12);
    set("&", 10);
    set("#$\\", 8);
    set("@^`~", 3);
    set_range(0x80, 0xBF, 200);
    t[0xC2] = 120;
    t[0xC3] = 250;
    set_range(0xC4, 0xDF, 40);
    set_range(0xE0, 0xEF, 30);
    t[0xE2] = 60;
    set_range(0xF0, 0xF4, 10);
    return t;
}

constexpr std::array<std::uint16_t, 256> commonness = make_commonness();

bool subset(const byte_set& a, const byte_set& b) {
    for (std::size_t i = 0; i < 4; ++i)
        if (a.words[i] & ~b.words[i]) return false;
    return true;
}

// Every range of `inner` lies inside some range of `outer` (both sorted and disjoint;
// `outer` may have adjacent ranges).
bool ranges_within(range_view inner, range_view outer) {
    std::size_t j = 0;
    for (const code_point_range& r : inner) {
        std::uint32_t from = r.first;
        while (true) {
            while (j < outer.size() && outer[j].last < from) ++j;
            if (j == outer.size() || outer[j].first > from) return false;
            if (outer[j].last >= r.last) break;
            from = outer[j].last + 1;
        }
    }
    return true;
}

// Reads the program's instruction list with bounds-checked predicates, so that each shape
// template can be written as a sequence of "is the next instruction ...?" tests.
class reader {
public:
    explicit reader(const program& prog)
        : prog_(prog), n_(static_cast<std::int32_t>(prog.instructions.size())) {}

    std::int32_t size() const { return n_; }
    bool valid(std::int32_t i) const { return i >= 0 && i < n_; }
    const instruction& at(std::int32_t i) const {
        return prog_.instructions[static_cast<std::size_t>(i)];
    }
    bool is(std::int32_t i, opcode op) const { return valid(i) && at(i).op == op; }
    bool is_save(std::int32_t i, std::int32_t slot) const {
        return is(i, opcode::save) && at(i).index == slot;
    }
    bool is_capture_save(std::int32_t i) const { return is(i, opcode::save) && at(i).index >= 2; }
    bool is_assert(std::int32_t i, assert_kind kind) const {
        return is(i, opcode::assert) && at(i).arg == static_cast<std::uint8_t>(kind);
    }
    bool is_consuming_byte(std::int32_t i) const {
        return is(i, opcode::byte) || is(i, opcode::byte_set);
    }

    // The three continuation slots that follow a klass_cp or possessive_cp.
    bool continuation_slots(std::int32_t i) const {
        for (std::int32_t k = 1; k < code_point_step_slots; ++k) {
            if (!is(i + k, opcode::byte_set)) return false;
            const byte_set& s = prog_.byte_sets[at(i + k).index];
            byte_set cont;
            cont.set_range(0x80, 0xBF);
            if (!(s == cont)) return false;
        }
        return true;
    }

    // An optional \b or \B without a flip at i: advances i and returns its kind.
    boundary_kind boundary(std::int32_t& i) const {
        if (!is(i, opcode::assert) || at(i).index != 0) return boundary_kind::none;
        if (at(i).arg == static_cast<std::uint8_t>(assert_kind::word_boundary)) {
            ++i;
            return boundary_kind::word;
        }
        if (at(i).arg == static_cast<std::uint8_t>(assert_kind::not_word_boundary)) {
            ++i;
            return boundary_kind::not_word;
        }
        return boundary_kind::none;
    }

    const program& prog() const { return prog_; }

private:
    const program& prog_;
    std::int32_t n_;
};

struct head {
    std::int32_t next = 0;
    boundary_kind leading = boundary_kind::none;
};

// save 0, [\A when allowed], [\b or \B].
bool read_head(const reader& r, bool allow_text_start, head& h) {
    if (!r.is_save(0, 0)) return false;
    std::int32_t i = 1;
    if (allow_text_start && r.is_assert(i, assert_kind::text_start)) ++i;
    h.leading = r.boundary(i);
    h.next = i;
    return true;
}

struct tail {
    boundary_kind trailing = boundary_kind::none;
    end_anchor_kind end_anchor = end_anchor_kind::none;
};

// [\b or \B], [\Z or $ when allowed], save 1, match, and nothing after.
bool read_tail(const reader& r, std::int32_t i, bool allow_end_anchor, tail& t) {
    t.trailing = r.boundary(i);
    if (allow_end_anchor) {
        if (r.is_assert(i, assert_kind::text_end)) {
            t.end_anchor = end_anchor_kind::text_end;
            ++i;
        } else if (r.is_assert(i, assert_kind::text_end_or_final_newline)) {
            t.end_anchor = end_anchor_kind::text_end_or_final_newline;
            ++i;
        }
    }
    return r.is_save(i, 1) && r.is(i + 1, opcode::match) && i + 2 == r.size();
}

bool has_op(const program& prog, opcode op) {
    return std::any_of(prog.instructions.begin(), prog.instructions.end(),
                       [op](const instruction& in) { return in.op == op; });
}

range_view class_ranges(const program& prog, std::size_t c) {
    const code_point_class& k = prog.classes[c];
    return range_view(prog.range_pool.data() + k.first_range, k.range_count);
}

// The code-point class holds only word characters of the program's word definition.
bool class_within_words(const program& prog, std::size_t c) {
    if (!subset(prog.classes[c].ascii, ascii_word_bytes())) return false;
    const range_view ranges = class_ranges(prog, c);
    if (!prog.unicode) return ranges.empty();
    return ranges_within(ranges, shorthand_class('w', true).ranges);
}

bool class_is_words(const program& prog, std::size_t c) {
    if (!(prog.classes[c].ascii == ascii_word_bytes())) return false;
    const range_view ranges = class_ranges(prog, c);
    if (!prog.unicode) return ranges.empty();
    const range_view words = shorthand_class('w', true).ranges;
    return std::equal(ranges.begin(), ranges.end(), words.begin(), words.end());
}

// ---- facts ------------------------------------------------------------------------------

void find_captures_and_anchor(const program& prog, analysis& a) {
    a.no_captures =
        prog.slot_count == 2 &&
        std::none_of(prog.instructions.begin(), prog.instructions.end(),
                     [](const instruction& in) { return in.op == opcode::save && in.index > 1; });
    const reader r(prog);
    std::int32_t i = 0;
    while (r.is(i, opcode::save)) ++i;
    if (r.is_assert(i, assert_kind::text_start)) a.anchor = anchor_kind::text_start;
    if (r.is_assert(i, assert_kind::line_start)) a.anchor = anchor_kind::line_start;
}

void find_literal(const program& prog, analysis& a) {
    const reader r(prog);
    for (std::int32_t i = 0; r.valid(i) && a.literal_prefix_length < max_literal_prefix; ++i) {
        const instruction& in = r.at(i);
        if (in.op == opcode::save || in.op == opcode::assert) continue;
        if (in.op != opcode::byte) break;
        a.literal_prefix[a.literal_prefix_length++] = in.arg;
    }
    // The whole pattern as a literal: only saves 0 and 1 and lifted boundaries around the
    // bytes, so that a matcher comparing bytes and testing the boundaries is exact.
    head h;
    if (!read_head(r, false, h)) return;
    std::int32_t i = h.next;
    while (r.is(i, opcode::byte)) ++i;
    const std::int32_t length = i - h.next;
    tail t;
    if (length == 0 || length > max_literal_string || !read_tail(r, i, false, t)) return;
    a.literal_string_start = h.next;
    a.literal_string_length = length;
    a.literal_leading = h.leading;
    a.literal_trailing = t.trailing;
    if (length <= max_literal_prefix) a.whole_literal_length = static_cast<std::uint8_t>(length);
}

void add_class_first_bytes(const program& prog, std::size_t c, byte_set& out) {
    out.merge(prog.classes[c].ascii);
    for (const code_point_range& rg : class_ranges(prog, c)) {
        const std::uint32_t lo = std::max<std::uint32_t>(rg.first, 0x80);
        const std::uint32_t hi = std::min<std::uint32_t>(rg.last, 0x7FF);
        if (lo <= hi)
            out.set_range(static_cast<std::uint8_t>(0xC0 | (lo >> 6)),
                          static_cast<std::uint8_t>(0xC0 | (hi >> 6)));
        if (rg.first <= 0xFFFF && rg.last >= 0x800) out.set_range(0xE0, 0xEF);
        if (rg.last >= 0x10000) out.set_range(0xF0, 0xF4);
    }
}

void find_first_bytes(const program& prog, analysis& a) {
    const reader r(prog);
    std::vector<bool> visited(static_cast<std::size_t>(r.size()), false);
    std::vector<std::int32_t> stack{0};
    auto push = [&](std::int32_t i) {
        if (r.valid(i) && !visited[static_cast<std::size_t>(i)]) stack.push_back(i);
    };
    while (!stack.empty()) {
        const std::int32_t i = stack.back();
        stack.pop_back();
        if (!r.valid(i) || visited[static_cast<std::size_t>(i)]) continue;
        visited[static_cast<std::size_t>(i)] = true;
        const instruction& in = r.at(i);
        switch (in.op) {
            case opcode::byte:
                a.first_bytes.set(in.arg);
                break;
            case opcode::byte_set:
                a.first_bytes.merge(prog.byte_sets[in.index]);
                break;
            case opcode::klass_cp:
                add_class_first_bytes(prog, in.index, a.first_bytes);
                break;
            case opcode::possessive_byte:
                a.first_bytes.set(in.arg);
                push(in.y);
                break;
            case opcode::possessive_set:
                a.first_bytes.merge(prog.byte_sets[in.index]);
                push(in.y);
                break;
            case opcode::possessive_cp:
                add_class_first_bytes(prog, in.index, a.first_bytes);
                push(in.y);
                break;
            case opcode::split:
                push(in.y);
                push(in.x);
                break;
            case opcode::jump:
                push(in.x);
                break;
            case opcode::save:
            case opcode::assert:
            case opcode::lookaround:
                push(i + 1);
                break;
            case opcode::match:
                a.can_be_empty = true;
                break;
        }
    }
    a.first_bytes_known = !a.can_be_empty && !a.first_bytes.empty();
}

// ---- shapes ------------------------------------------------------------------------------

// Class runs (selection rows 1 and 2): [save 2k], the element n times, a split back to
// the last copy, [save 2k+1].
void find_class_run(const program& prog, opcode element, class_run_shape& out) {
    const reader r(prog);
    head h;
    if (!read_head(r, true, h)) return;
    std::int32_t i = h.next;
    std::int32_t open = -1;
    if (r.is_capture_save(i) && r.at(i).index % 2 == 0) open = r.at(i++).index;
    const std::int32_t width = element == opcode::klass_cp ? code_point_step_slots : 1;
    if (!r.is(i, element)) return;
    const std::uint16_t cls = r.at(i).index;
    std::int32_t copies = 0;
    while (r.is(i, element) && r.at(i).index == cls &&
           (element != opcode::klass_cp || r.continuation_slots(i))) {
        ++copies;
        i += width;
    }
    if (copies == 0 || copies > max_run_min) return;
    if (!r.is(i, opcode::split) || r.at(i).x != i - width || r.at(i).y != i + 1) return;
    ++i;
    if (open >= 0) {
        if (!r.is_save(i, open + 1)) return;
        ++i;
    }
    tail t;
    if (!read_tail(r, i, true, t)) return;
    if (h.leading == boundary_kind::not_word || t.trailing == boundary_kind::not_word) return;
    const bool lifted = h.leading != boundary_kind::none || t.trailing != boundary_kind::none;
    if (lifted) {
        const bool words = element == opcode::byte_set
                               ? subset(prog.byte_sets[cls], ascii_word_bytes())
                               : class_within_words(prog, cls);
        if (!words) return;
    }
    out.class_index = cls;
    out.min = copies;
    out.capture_open = open;
    out.capture_close = open >= 0 ? open + 1 : -1;
    out.leading = h.leading;
    out.trailing = t.trailing;
    out.end_anchor = t.end_anchor;
    out.test_leading = h.leading != boundary_kind::none;
    // After a maximal run of exactly [0-9A-Za-z_] the next byte is not an ASCII word
    // character, and in ASCII word mode nothing else is one: the \b there always holds.
    const bool trailing_holds =
        element == opcode::byte_set && !prog.unicode && prog.byte_sets[cls] == ascii_word_bytes();
    out.test_trailing = t.trailing != boundary_kind::none && !trailing_holds;
}

void find_run_then_lookahead(const program& prog, run_then_lookahead_shape& out) {
    const reader r(prog);
    if (!r.is_save(0, 0)) return;
    std::int32_t width = 1;
    bool cp = false;
    if (r.is(1, opcode::klass_cp) && r.continuation_slots(1)) {
        width = code_point_step_slots;
        cp = true;
    } else if (!r.is(1, opcode::byte_set)) {
        return;
    }
    std::int32_t i = 1 + width;
    if (!r.is(i, opcode::split) || r.at(i).x != 1 || r.at(i).y != i + 1) return;
    ++i;
    if (!r.is(i, opcode::lookaround)) return;
    const std::uint16_t number = r.at(i).index;
    const lookaround_entry& e = prog.lookarounds[number];
    if (e.behind || e.negated || e.start != i + 2) return;
    if (!r.is(i + 1, opcode::jump) || r.at(i + 1).x != e.start + e.length) return;
    const std::int32_t after = e.start + e.length;
    if (!r.is_save(after, 1) || !r.is(after + 1, opcode::match) || after + 2 != r.size()) return;
    out.lookaround = number;
    out.class_index = r.at(1).index;
    out.code_point_class = cp;
}

void find_fixed_sequence(const program& prog, fixed_sequence_shape& out) {
    const reader r(prog);
    head h;
    if (!read_head(r, true, h)) return;
    std::int32_t i = h.next;
    int consuming = 0;
    while (r.is_consuming_byte(i) || r.is_capture_save(i)) {
        if (r.is_consuming_byte(i)) ++consuming;
        ++i;
    }
    tail t;
    if (consuming == 0 || !read_tail(r, i, true, t)) return;
    out.start = h.next;
    out.end = i;
    out.leading = h.leading;
    out.trailing = t.trailing;
    out.end_anchor = t.end_anchor;
    if (r.size() == 4 && r.is(1, opcode::byte_set)) out.single_byte_class = r.at(1).index;
}

void find_possessive_run(const program& prog, possessive_run_shape& out) {
    const reader r(prog);
    head h;
    if (!read_head(r, false, h)) return;
    std::int32_t i = h.next;
    const std::int32_t prefix_start = i;
    while (r.is(i, opcode::byte)) ++i;
    std::int32_t prefix_length = i - prefix_start;

    // The optional plain copy before the step, possibly inside the group's saves.
    std::int32_t open = -1;
    std::int32_t plain = -1;
    if (r.is_capture_save(i) && r.at(i).index % 2 == 0) {
        open = r.at(i).index;
        plain = i + 1;
    } else if (r.is(i, opcode::byte_set) || r.is(i, opcode::klass_cp)) {
        plain = i;
    }
    std::int32_t step = i;
    if (plain >= 0) {
        const std::int32_t width = r.is(plain, opcode::klass_cp) ? code_point_step_slots : 1;
        if (r.is(plain, opcode::klass_cp) && !r.continuation_slots(plain)) return;
        step = plain + width;
        if (open >= 0) {
            if (!r.is_save(step, open + 1)) return;
            ++step;
        }
    }
    if (!r.valid(step)) return;
    const instruction& s = r.at(step);
    run_kind kind = run_kind::none;
    opcode plain_op = opcode::byte;
    switch (s.op) {
        case opcode::possessive_byte:
            kind = run_kind::byte;
            plain_op = opcode::byte;
            break;
        case opcode::possessive_set:
            kind = run_kind::byte_set;
            plain_op = opcode::byte_set;
            break;
        case opcode::possessive_cp:
            kind = run_kind::code_point_class;
            plain_op = opcode::klass_cp;
            break;
        default:
            return;
    }
    const std::int32_t width = kind == run_kind::code_point_class ? code_point_step_slots : 1;
    if (kind == run_kind::code_point_class && !r.continuation_slots(step)) return;
    const std::int32_t jump = step + width;
    if (!r.is(jump, opcode::jump) || r.at(jump).x != step || s.y != jump + 1) return;
    const std::int32_t element = kind == run_kind::byte ? s.arg : s.index;
    bool may_be_empty = true;
    if (plain >= 0) {
        // The plain copy must be the step's element, recording the same group (or none).
        const instruction& p = r.at(plain);
        const std::int32_t plain_element = plain_op == opcode::byte ? p.arg : p.index;
        if (p.op != plain_op || plain_element != element || s.x != open) return;
        may_be_empty = false;
    } else if (kind == run_kind::byte && s.x < 0 && prefix_length == 1 &&
               r.at(prefix_start).arg == s.arg) {
        // a++ : its required copy was read as a one-byte prefix.  (With a longer prefix the
        // bytes stay a prefix and the run may be empty, which is the same pattern.)
        prefix_length = 0;
        may_be_empty = false;
    }

    std::int32_t k = jump + 1;
    const boundary_kind trailing = r.boundary(k);
    const std::int32_t suffix_start = k;
    while (r.is(k, opcode::byte)) ++k;
    const std::int32_t suffix_length = k - suffix_start;
    if (suffix_length > max_run_suffix) return;
    if (!r.is_save(k, 1) || !r.is(k + 1, opcode::match) || k + 2 != r.size()) return;
    if (trailing != boundary_kind::none && suffix_length > 0) return;
    if (prefix_length > 0 &&
        (!may_be_empty || h.leading != boundary_kind::none || trailing != boundary_kind::none))
        return;
    if (prefix_length > max_literal_string) return;

    out.kind = kind;
    out.element = element;
    out.capture_slot = s.x;
    out.may_be_empty = may_be_empty;
    out.word_class = kind == run_kind::code_point_class && class_is_words(prog, s.index);
    out.prefix_start = prefix_length > 0 ? prefix_start : -1;
    out.prefix_length = static_cast<std::uint8_t>(prefix_length);
    for (std::int32_t j = 0; j < suffix_length; ++j)
        out.suffix[static_cast<std::size_t>(j)] = r.at(suffix_start + j).arg;
    out.suffix_length = static_cast<std::uint8_t>(suffix_length);
    out.leading = h.leading;
    out.trailing = trailing;
}

// A run of byte tests that ends in a jump to a common end, or at it.
std::int32_t straight_run(const reader& r, std::int32_t i) {
    while (r.is_consuming_byte(i)) ++i;
    return i;
}

void find_straight_alternation(const program& prog, straight_alternation_shape& out) {
    const reader r(prog);
    constexpr std::int32_t min_instructions = 7;
    if (r.size() < min_instructions || !r.is_save(0, 0)) return;
    std::int32_t i = 1;
    const boundary_kind leading = r.boundary(i);
    const std::int32_t start = i;
    std::int32_t end = -1;
    std::int32_t branches = 0;
    std::int32_t common_length = -1;
    bool equal_lengths = true;
    auto note_length = [&](std::int32_t len) {
        if (common_length >= 0 && len != common_length) equal_lengths = false;
        common_length = len;
    };
    while (r.is(i, opcode::split)) {
        if (r.at(i).x != i + 1) return;
        const std::int32_t stop = straight_run(r, i + 1);
        if (stop == i + 1 || !r.is(stop, opcode::jump) || r.at(i).y != stop + 1) return;
        if (end >= 0 && r.at(stop).x != end) return;
        end = r.at(stop).x;
        note_length(stop - (i + 1));
        ++branches;
        i = stop + 1;
    }
    if (branches == 0) return;
    const std::int32_t stop = straight_run(r, i);
    if (stop == i || stop != end) return;
    note_length(stop - i);
    ++branches;
    std::int32_t k = end;
    const boundary_kind trailing = r.boundary(k);
    if (!r.is_save(k, 1) || !r.is(k + 1, opcode::match) || k + 2 != r.size()) return;
    if (trailing != boundary_kind::none && !equal_lengths) return;
    if (branches >= 65536) return;
    out.branches = branches;
    out.start = start;
    out.leading = leading;
    out.trailing = trailing;
}

// Any run (selection row 6): save 0, the any-choice (ASCII set | the UTF-8 sequences of
// U+0080-U+10FFFF), a split looping back to it, save 1, match.
void find_any_run(const program& prog, any_run_shape& out) {
    const reader r(prog);
    if (!r.is_save(0, 0)) return;
    std::vector<std::vector<std::uint16_t>> alternatives;
    std::int32_t i = 1;
    std::int32_t end = -1;
    while (r.is(i, opcode::split)) {
        if (r.at(i).x != i + 1) return;
        std::vector<std::uint16_t> alt;
        std::int32_t k = i + 1;
        for (; r.is(k, opcode::byte_set); ++k) alt.push_back(r.at(k).index);
        if (alt.empty() || !r.is(k, opcode::jump) || r.at(i).y != k + 1) return;
        if (end >= 0 && r.at(k).x != end) return;
        end = r.at(k).x;
        alternatives.push_back(std::move(alt));
        i = k + 1;
    }
    std::vector<std::uint16_t> last;
    for (; r.is(i, opcode::byte_set); ++i) last.push_back(r.at(i).index);
    if (last.empty() || i != end) return;
    alternatives.push_back(std::move(last));

    std::vector<utf8_sequence> seqs;
    append_utf8_sequences(0x80, highest_code_point, seqs);
    if (alternatives.size() != seqs.size() + 1 || alternatives[0].size() != 1) return;
    const std::uint16_t ascii = alternatives[0][0];
    const byte_set& ascii_set = prog.byte_sets[ascii];
    if (ascii_set.empty() || ascii_set.words[2] != 0 || ascii_set.words[3] != 0) return;
    for (std::size_t a = 0; a < seqs.size(); ++a) {
        const std::vector<std::uint16_t>& alt = alternatives[a + 1];
        if (alt.size() != seqs[a].length) return;
        for (std::size_t b = 0; b < alt.size(); ++b) {
            byte_set want;
            want.set_range(seqs[a].ranges[b].lo, seqs[a].ranges[b].hi);
            if (!(prog.byte_sets[alt[b]] == want)) return;
        }
    }
    if (!r.is(end, opcode::split) || r.at(end).x != 1 || r.at(end).y != end + 1) return;
    if (!r.is_save(end + 1, 1) || !r.is(end + 2, opcode::match) || end + 3 != r.size()) return;
    out.ascii_set = ascii;
}

void find_shapes(const program& prog, analysis& a) {
    if (!has_op(prog, opcode::lookaround)) {
        find_class_run(prog, opcode::byte_set, a.byte_class_run);
        find_class_run(prog, opcode::klass_cp, a.code_point_class_run);
        find_any_run(prog, a.any_run);
    }
    find_run_then_lookahead(prog, a.run_then_lookahead);
    find_fixed_sequence(prog, a.fixed_sequence);
    find_possessive_run(prog, a.possessive_run);
    find_straight_alternation(prog, a.straight_alternation);
}

// ---- first byte, excluded bytes, rare bytes ------------------------------------------------

void find_first_byte_choices(analysis& a) {
    if (a.literal_prefix_length > 0) {
        a.single_first_byte = a.literal_prefix[0];
        return;
    }
    if (!a.first_bytes_known) return;
    const int count = a.first_bytes.count();
    if (count == 1 || (count >= 2 && count <= max_first_byte_candidates)) {
        std::uint8_t n = 0;
        for (unsigned b = 0; b < 256; ++b)
            if (a.first_bytes.test(static_cast<std::uint8_t>(b)))
                a.first_byte_candidates[n++] = static_cast<std::uint8_t>(b);
        if (count == 1) {
            a.single_first_byte = a.first_byte_candidates[0];
            a.first_byte_candidates = {};
            return;
        }
        for (std::uint8_t k = n; k < max_first_byte_candidates; ++k)
            a.first_byte_candidates[k] = a.first_byte_candidates[0];
        a.first_byte_candidate_count = n;
    }
}

void find_excluded_bytes(const program& prog, analysis& a) {
    std::int32_t set = -1;
    if (a.byte_class_run.class_index >= 0)
        set = a.byte_class_run.class_index;
    else if (a.possessive_run.kind == run_kind::byte_set)
        set = a.possessive_run.element;
    else if (a.run_then_lookahead.lookaround >= 0 && !a.run_then_lookahead.code_point_class)
        set = a.run_then_lookahead.class_index;
    if (set < 0) return;
    const byte_set& s = prog.byte_sets[static_cast<std::size_t>(set)];
    if (256 - s.count() < 1 || 256 - s.count() > max_excluded_bytes) return;
    for (unsigned b = 0; b < 256; ++b)
        if (!s.test(static_cast<std::uint8_t>(b)))
            a.excluded_bytes[a.excluded_byte_count++] = static_cast<std::uint8_t>(b);
}

void find_rare_byte(const program& prog, analysis& a) {
    if (a.anchor == anchor_kind::text_start || a.literal_prefix_length >= 2) return;
    const reader r(prog);
    std::int32_t position = 0;
    std::int32_t best = -1;
    std::int32_t best_position = -1;
    for (std::int32_t i = 0; r.valid(i) && position < max_rare_byte_scan; ++i) {
        const instruction& in = r.at(i);
        if (in.op == opcode::save || in.op == opcode::assert) continue;
        if (in.op != opcode::byte && in.op != opcode::byte_set) break;
        if (in.op == opcode::byte &&
            (best < 0 || commonness[in.arg] < commonness[static_cast<std::size_t>(best)])) {
            best = in.arg;
            best_position = position;
        }
        ++position;
    }
    if (best < 0) return;
    const std::uint32_t score = commonness[static_cast<std::size_t>(best)];
    std::uint32_t against = 0;
    if (a.single_first_byte >= 0) {
        against = commonness[static_cast<std::size_t>(a.single_first_byte)];
    } else {
        for (unsigned b = 0; b < 256; ++b)
            if (a.first_bytes.test(static_cast<std::uint8_t>(b))) against += commonness[b];
    }
    if (score < rare_byte_score_limit && rare_byte_advantage * score < against) {
        a.rare_byte = static_cast<std::int16_t>(best);
        a.rare_byte_offset = best_position;
    }
}

void find_prefix_rare_position(analysis& a) {
    if (a.literal_prefix_length < 2) return;
    std::uint8_t best = 0;
    for (std::uint8_t i = 1; i < a.literal_prefix_length; ++i)
        if (commonness[a.literal_prefix[i]] < commonness[a.literal_prefix[best]]) best = i;
    a.prefix_rare_position = best;
}

}  // namespace

std::uint16_t byte_commonness(std::uint8_t b) noexcept { return commonness[b]; }

void analyse(program& prog) {
    analysis a;
    find_captures_and_anchor(prog, a);
    find_literal(prog, a);
    find_first_bytes(prog, a);
    find_shapes(prog, a);
    find_first_byte_choices(a);
    find_excluded_bytes(prog, a);
    find_rare_byte(prog, a);
    find_prefix_rare_position(a);
    bool continuation_start = false;
    for (unsigned b = 0x80; b <= 0xBF; ++b)
        continuation_start = continuation_start || a.first_bytes.test(static_cast<std::uint8_t>(b));
    if (a.single_first_byte < 0 && continuation_start) a = analysis{};
    prog.facts = a;
}

}  // namespace kestrel
