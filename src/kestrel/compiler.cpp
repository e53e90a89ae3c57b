// The program compiler: from the parser's syntax tree to the code-point program.
//
// What it produces.  A program is a flat list of 12-byte instructions over the UTF-8 bytes of
// the subject: `byte` and `byte_set` consume one byte, `split`/`jump` order the alternatives
// (x before y), `save` records capture positions, `assert` and `lookaround` test without
// consuming, `match` ends the (sub-)program.  The whole pattern is wrapped in save 0 ... save 1,
// match, so group 0 is the match span.  Tables beside the list hold the byte sets, the
// code-point classes with their range pool, and the lookaround entries; equal sets and classes
// share one number, so \w used ten times costs one table entry.
//
// Why klass_cp next to plain byte instructions.  A class with non-ASCII members can be spelled
// out as byte automata, but large classes (Unicode \w, \p{L}) blow up into hundreds of
// instructions.  Such a class stays one `klass_cp`: decode a character, binary-search the
// class.  It is followed by three continuation `byte_set` slots so that the Pike VM, which
// moves one byte per step, can step a thread through the rest of the character.  Small or
// regular classes are spelled as bytes instead, where that is cheap and helps the analysis:
// a class without non-ASCII members is one `byte_set`; "every non-ASCII character" (. and
// negated ASCII classes) is a choice between the ASCII set and the eight UTF-8 byte-range
// sequences of U+0080-U+10FFFF; up to eight characters that differ in one byte position are
// their common bytes around one `byte_set`.  Inside loops with no upper bound, single
// characters and classes with non-ASCII members become one `klass_cp` (and a single byte a
// one-member `byte_set`), so that runs like é+ or [a-zé]+ have one looping element that the
// analysis can recognise as a class run.
//
// Classes are materialised before use: case partners are added (ASCII letters only under the
// ascii flag, else the Unicode case-equivalence table) and negated classes complemented
// (within 0-127 and within 128-0x10FFFF).  The last few folded classes are cached, because a
// counted repeat compiles its body once per copy.
//
// Repetition is unrolled: x{2,4} is two copies and two guarded copies.  Possessive repeats
// and atomic groups exist only in the forms the matchers can run without backtracking state:
// a possessive loop over one literal, class or . (optionally inside one capture group) is a
// `possessive_*` step that either takes the next character or leaves the loop for good.  An
// atomic group around such a repeat is that possessive loop; around a lazy one it commits to
// the lazy repeat's first choice, its minimum count; around anything that cannot backtrack
// anyway it is just its body.  Everything else is refused.
//
// Lookarounds become a `lookaround` instruction, a jump over the sub-program, and the
// sub-program itself (no captures, ending in `match`).  Their bodies must have a bounded
// length of at most 255 bytes (a lookahead may also be unbounded), computed from the tree.
//
// Limits: 262,144 instructions, 65,536 byte sets, 65,536 code-point classes, 65,536
// lookarounds (compiler.h); every failure is regex_error at position 0.
//
// The tree walk recurses: the parser caps nesting at 200 groups, each adding a handful of
// frames, and the frames here are kept small (class work lives in helper functions).
//
// Tests: tests/cpp/test_compiler.cpp (error table, golden dumps).
#include "kestrel/compiler.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "kestrel/flags.h"
#include "kestrel/parser.h"
#include "kestrel/regex_error.h"
#include "kestrel/unicode.h"
#include "kestrel/utf8_ranges.h"

namespace kestrel {

namespace {

constexpr const char* program_too_large_message = "program too large";
constexpr const char* too_many_byte_sets_message = "too many character classes";
constexpr const char* unnormalised_class_message = "code-point class ranges are not normalised";
constexpr const char* too_many_classes_message = "too many code-point classes";
constexpr const char* too_many_lookarounds_message = "too many lookarounds";
constexpr const char* nested_lookaround_message = "nested lookaround is not supported";
constexpr const char* unbounded_lookbehind_message =
    "unbounded lookbehind is not supported (bound the repetition, e.g. .* -> .{0,32}; the "
    "sub-pattern must match at most 255 bytes)";
constexpr const char* lookaround_too_long_message =
    "lookaround sub-pattern too long (it may match at most 255 bytes; a non-ASCII character "
    "takes up to 4)";
constexpr const char* possessive_in_lookaround_message =
    "possessive/atomic quantifiers inside a lookaround are not supported yet";
constexpr const char* compound_body_message =
    "possessive/atomic over a compound body is not supported yet";

// Materialised case-folded classes kept for reuse within one compilation.
constexpr int fold_cache_size = 4;
// Classes with at most this many non-ASCII members are folded member by member; larger ones
// walk the list of code points that have case partners instead.
constexpr std::uint64_t direct_fold_limit = 4096;
// Lengths from here on are all "too long" for a lookaround, so sums saturate at this value.
constexpr std::int32_t length_cap = max_lookaround_bytes + 1;

constexpr std::uint32_t first_non_ascii = 0x80;

[[noreturn]] void fail(const char* message) { throw regex_error(message, 0); }

struct class_members {
    byte_set ascii;     // members below 128
    range_list ranges;  // members of 128 and above, sorted, disjoint
};


bool is_all_non_ascii(const range_list& ranges) {
    return ranges.size() == 1 && ranges[0].first == first_non_ascii &&
           ranges[0].last == highest_code_point;
}

void complement(class_members& m) {
    m.ascii.words[0] = ~m.ascii.words[0];
    m.ascii.words[1] = ~m.ascii.words[1];
    m.ascii.words[2] = 0;
    m.ascii.words[3] = 0;
    range_list out;
    std::uint32_t next = first_non_ascii;
    for (const code_point_range& r : m.ranges) {
        if (r.first > next) out.push_back({next, r.first - 1});
        next = r.last + 1;
    }
    if (next <= highest_code_point) out.push_back({next, highest_code_point});
    m.ranges = std::move(out);
}

void fold_ascii(class_members& m) {
    for (std::uint8_t c = 'a'; c <= 'z'; ++c) {
        const auto upper = static_cast<std::uint8_t>(c - 'a' + 'A');
        if (m.ascii.test(c) || m.ascii.test(upper)) {
            m.ascii.set(c);
            m.ascii.set(upper);
        }
    }
}

// Adds the Unicode case partners of every member.  The case-equivalence classes are closed,
// so one round is enough.
void fold_unicode(class_members& m) {
    byte_set added;
    range_list extra;
    auto take = [&](std::uint32_t cp) {
        const case_partner_list p = case_partners(cp, true);
        for (std::uint8_t i = 0; i < p.count; ++i) {
            const std::uint32_t q = p.cps[i];
            if (q < first_non_ascii)
                added.set(static_cast<std::uint8_t>(q));
            else
                extra.push_back({q, q});
        }
    };
    for (std::uint32_t b = 0; b < first_non_ascii; ++b)
        if (m.ascii.test(static_cast<std::uint8_t>(b))) take(b);
    std::uint64_t total = 0;
    for (const code_point_range& r : m.ranges) total += std::uint64_t{r.last} - r.first + 1;
    if (total <= direct_fold_limit) {
        for (const code_point_range& r : m.ranges)
            for (std::uint32_t cp = r.first; cp <= r.last; ++cp) take(cp);
    } else {
        // A large range: visit only its members that have case partners.
        for (const code_point_range& r : m.ranges)
            for (std::uint32_t cp = next_cased_code_point(r.first); cp <= r.last;
                 cp = next_cased_code_point(cp + 1))
                take(cp);
    }
    m.ascii.merge(added);
    m.ranges.insert(m.ranges.end(), extra.begin(), extra.end());
    normalise_ranges(m.ranges);
}

class_members any_members(std::uint16_t node_flags) {
    class_members m;
    m.ascii.set_range(0, 0x7F);
    if (!(node_flags & flags::dotall)) m.ascii.reset('\n');
    m.ranges.push_back({first_non_ascii, highest_code_point});
    return m;
}

byte_set continuation_bytes() {
    byte_set s;
    s.set_range(0x80, 0xBF);
    return s;
}

byte_set range_set(byte_range r) {
    byte_set s;
    s.set_range(r.lo, r.hi);
    return s;
}

// The UTF-8 sequences of U+0080-U+10FFFF without the surrogates.
const std::vector<utf8_sequence>& all_non_ascii_sequences() {
    static const std::vector<utf8_sequence> seqs = [] {
        std::vector<utf8_sequence> out;
        append_utf8_sequences(first_non_ascii, highest_code_point, out);
        return out;
    }();
    return seqs;
}

// Longest UTF-8 encoding among the members, 0 for an empty class.
std::int32_t longest_encoding(const class_members& m) {
    if (!m.ranges.empty()) return utf8_length(m.ranges.back().last);
    return m.ascii.empty() ? 0 : 1;
}

enum class fold_kind : std::uint8_t { none, ascii, unicode };

// How a class is compiled: on its own, or as the body of a loop without upper bound.
enum class body_mode : std::uint8_t { outside, unbounded_loop };

class compiler {
public:
    compiler(const parsed_pattern& pattern, program& prog)
        : pat_(pattern), prog_(prog), tables_(prog) {}

    void compile_root() {
        emit(opcode::save, 0, 0);
        if (pat_.root >= 0) compile_node(pat_.root, false);
        emit(opcode::save, 0, 1);
        emit(opcode::match);
    }

private:
    const parsed_pattern& pat_;
    program& prog_;
    program_tables tables_;

    struct fold_cache_entry {
        std::int32_t class_index = -1;
        fold_kind fold = fold_kind::none;
        bool negated = false;
        class_members members;
    };
    std::array<fold_cache_entry, fold_cache_size> fold_cache_{};
    int fold_cache_next_ = 0;

    const syntax_node& node(std::int32_t n) const {
        return pat_.nodes[static_cast<std::size_t>(n)];
    }
    std::int32_t pc() const { return static_cast<std::int32_t>(prog_.instructions.size()); }
    instruction& at(std::int32_t i) { return prog_.instructions[static_cast<std::size_t>(i)]; }

    std::int32_t emit(opcode op, std::uint8_t arg = 0, std::uint16_t index = 0, std::int32_t x = 0,
                      std::int32_t y = 0) {
        if (prog_.instructions.size() >= max_program_instructions) fail(program_too_large_message);
        prog_.instructions.push_back(instruction{op, arg, index, x, y});
        return pc() - 1;
    }

    void emit_byte_set(const byte_set& s) { emit(opcode::byte_set, 0, tables_.byte_set_index(s)); }

    void emit_continuations() {
        const std::uint16_t cont = tables_.byte_set_index(continuation_bytes());
        for (int i = 1; i < code_point_step_slots; ++i) emit(opcode::byte_set, 0, cont);
    }

    void emit_klass_cp(const class_members& m) {
        emit(opcode::klass_cp, 0, tables_.code_point_class_index(m.ascii, m.ranges));
        emit_continuations();
    }

    // ---- classes -------------------------------------------------------------------------

    class_members materialise(std::int32_t n) {
        const syntax_node& k = node(n);
        const class_entry& entry = pat_.classes[static_cast<std::size_t>(k.class_index)];
        fold_kind fold = fold_kind::none;
        if (k.flags & flags::ignore_case)
            fold = (k.flags & flags::ascii) ? fold_kind::ascii : fold_kind::unicode;
        if (fold != fold_kind::none) {
            for (const fold_cache_entry& e : fold_cache_)
                if (e.class_index == k.class_index && e.fold == fold && e.negated == k.negated)
                    return e.members;
        }
        class_members m{entry.ascii, entry.ranges};
        if (fold == fold_kind::ascii) fold_ascii(m);
        if (fold == fold_kind::unicode) fold_unicode(m);
        if (k.negated) complement(m);
        if (fold != fold_kind::none) {
            fold_cache_entry& slot = fold_cache_[static_cast<std::size_t>(fold_cache_next_)];
            fold_cache_next_ = (fold_cache_next_ + 1) % fold_cache_size;
            slot.class_index = k.class_index;
            slot.fold = fold;
            slot.negated = k.negated;
            slot.members = m;
        }
        return m;
    }

    void compile_class(const class_members& m, bool wide, body_mode mode) {
        if (wide) return emit_klass_cp(m);
        if (m.ranges.empty()) return emit_byte_set(m.ascii);
        if (is_all_non_ascii(m.ranges)) return emit_any_choice(m.ascii);
        if (mode == body_mode::unbounded_loop) return emit_klass_cp(m);
        if (m.ascii.empty() && emit_common_bytes(m.ranges)) return;
        emit_klass_cp(m);
    }

    // The ASCII members as one byte_set, or any well-formed non-ASCII character as a chain
    // of byte ranges, as a split chain (the alternatives start with different bytes, so
    // their order does not matter).
    void emit_any_choice(const byte_set& ascii) {
        const std::vector<utf8_sequence>& seqs = all_non_ascii_sequences();
        const std::size_t alternatives = seqs.size() + (ascii.empty() ? 0 : 1);
        std::vector<std::int32_t> jumps;
        for (std::size_t i = 0; i < alternatives; ++i) {
            const bool last = i + 1 == alternatives;
            const std::int32_t split = last ? -1 : emit(opcode::split, 0, 0, pc() + 1, 0);
            if (!ascii.empty() && i == 0) {
                emit_byte_set(ascii);
            } else {
                const utf8_sequence& seq = seqs[i - (ascii.empty() ? 0 : 1)];
                for (int b = 0; b < seq.length; ++b)
                    emit_byte_set(range_set(seq.ranges[static_cast<std::size_t>(b)]));
            }
            if (!last) {
                jumps.push_back(emit(opcode::jump));
                at(split).y = pc();
            }
        }
        for (std::int32_t j : jumps) at(j).x = pc();
    }

    // At most eight characters of one UTF-8 length whose encodings differ in exactly one
    // byte position: the shared bytes, and one byte_set for the position that varies.
    bool emit_common_bytes(const range_list& ranges) {
        constexpr std::uint64_t max_members = 8;
        std::uint64_t count = 0;
        for (const code_point_range& r : ranges) count += std::uint64_t{r.last} - r.first + 1;
        if (count > max_members) return false;
        std::array<std::array<std::uint8_t, 4>, max_members> enc{};
        std::size_t n = 0;
        int length = 0;
        for (const code_point_range& r : ranges) {
            for (std::uint32_t cp = r.first; cp <= r.last; ++cp, ++n) {
                const int len = encode_utf8(cp, enc[n].data());
                if (length != 0 && len != length) return false;
                length = len;
            }
        }
        int differing = -1;
        for (int pos = 0; pos < length; ++pos) {
            const auto p = static_cast<std::size_t>(pos);
            bool same = true;
            for (std::size_t i = 1; i < n; ++i) same = same && enc[i][p] == enc[0][p];
            if (same) continue;
            if (differing >= 0) return false;
            differing = pos;
        }
        if (differing < 0) return false;
        for (int pos = 0; pos < length; ++pos) {
            const auto p = static_cast<std::size_t>(pos);
            if (pos != differing) {
                emit(opcode::byte, enc[0][p]);
                continue;
            }
            byte_set s;
            for (std::size_t i = 0; i < n; ++i) s.set(enc[i][p]);
            emit_byte_set(s);
        }
        return true;
    }

    // A concat of 2-4 literal bytes that encode one non-ASCII character: that character.
    std::optional<std::uint32_t> single_character(std::int32_t n) const {
        const syntax_node& c = node(n);
        if (c.kind != node_kind::concat) return std::nullopt;
        std::uint8_t bytes[4];
        int count = 0;
        for (std::int32_t k = c.first_child; k >= 0; k = node(k).next_sibling) {
            if (node(k).kind != node_kind::literal || count == 4) return std::nullopt;
            bytes[count++] = node(k).byte;
        }
        if (count < 2) return std::nullopt;
        const std::int32_t cp = decode_utf8_exact(bytes, count);
        if (cp < 0) return std::nullopt;
        return static_cast<std::uint32_t>(cp);
    }

    // An alternation of single ASCII bytes and single non-ASCII characters is one class.  A
    // raw byte of 128 or more (\xe9) is not a character and keeps the alternation as it is.
    bool merged_alternation(std::int32_t n, class_members& out) const {
        int branches = 0;
        for (std::int32_t c = node(n).first_child; c >= 0; c = node(c).next_sibling, ++branches) {
            const syntax_node& k = node(c);
            if (k.kind == node_kind::literal && k.byte < first_non_ascii) {
                out.ascii.set(k.byte);
            } else if (auto cp = single_character(c)) {
                out.ranges.push_back({*cp, *cp});
            } else {
                return false;
            }
        }
        normalise_ranges(out.ranges);
        return branches >= 2;
    }

    // ---- nodes ---------------------------------------------------------------------------

    void compile_node(std::int32_t n, bool in_lookaround) {
        const syntax_node& k = node(n);
        switch (k.kind) {
            case node_kind::empty:
                break;
            case node_kind::literal:
                emit(opcode::byte, k.byte);
                break;
            case node_kind::klass:
                compile_class(materialise(n),
                              pat_.classes[static_cast<std::size_t>(k.class_index)].wide,
                              body_mode::outside);
                break;
            case node_kind::any:
                compile_class(any_members(k.flags), false, body_mode::outside);
                break;
            case node_kind::concat:
                for (std::int32_t c = k.first_child; c >= 0; c = node(c).next_sibling)
                    compile_node(c, in_lookaround);
                break;
            case node_kind::alternation:
                compile_alternation(n, in_lookaround);
                break;
            case node_kind::repeat:
                if (k.possessive)
                    compile_possessive(n, in_lookaround);
                else
                    compile_repeat(n, in_lookaround);
                break;
            case node_kind::group:
                if (k.atomic) {
                    compile_atomic(n, in_lookaround);
                } else if (k.capture_index >= 0 && !in_lookaround) {
                    const auto slot = static_cast<std::uint16_t>(2 * k.capture_index);
                    emit(opcode::save, 0, slot);
                    compile_node(k.first_child, in_lookaround);
                    emit(opcode::save, 0, static_cast<std::uint16_t>(slot + 1));
                } else {
                    compile_node(k.first_child, in_lookaround);
                }
                break;
            case node_kind::assertion:
                compile_assertion(k);
                break;
            case node_kind::lookaround:
                compile_lookaround(n, in_lookaround);
                break;
        }
    }

    void compile_assertion(const syntax_node& k) {
        const bool multiline = k.flags & flags::multiline;
        assert_kind kind = assert_kind::text_start;
        bool word = false;
        switch (k.assertion) {
            case assertion_kind::caret:
                kind = multiline ? assert_kind::line_start : assert_kind::text_start;
                break;
            case assertion_kind::dollar:
                kind = multiline ? assert_kind::line_end : assert_kind::text_end_or_final_newline;
                break;
            case assertion_kind::text_start:
                kind = assert_kind::text_start;
                break;
            case assertion_kind::text_end:
                kind = assert_kind::text_end;
                break;
            case assertion_kind::word_boundary:
                kind = assert_kind::word_boundary;
                word = true;
                break;
            case assertion_kind::not_word_boundary:
                kind = assert_kind::not_word_boundary;
                word = true;
                break;
            case assertion_kind::word_start:
                kind = assert_kind::word_start;
                word = true;
                break;
            case assertion_kind::word_end:
                kind = assert_kind::word_end;
                word = true;
                break;
        }
        // Word tests carry a flip when the word definition in force here differs from the
        // program's global one.
        const bool node_unicode = !(k.flags & flags::ascii);
        const std::uint16_t flip = (word && node_unicode != prog_.unicode) ? 1 : 0;
        emit(opcode::assert, static_cast<std::uint8_t>(kind), flip);
    }

    void compile_alternation(std::int32_t n, bool in_lookaround) {
        {
            class_members merged;
            if (merged_alternation(n, merged))
                return compile_class(merged, false, body_mode::outside);
        }
        std::vector<std::int32_t> jumps;
        for (std::int32_t c = node(n).first_child; c >= 0; c = node(c).next_sibling) {
            const bool last = node(c).next_sibling < 0;
            const std::int32_t split = last ? -1 : emit(opcode::split, 0, 0, pc() + 1, 0);
            compile_node(c, in_lookaround);
            if (!last) {
                jumps.push_back(emit(opcode::jump));
                at(split).y = pc();
            }
        }
        for (std::int32_t j : jumps) at(j).x = pc();
    }

    // One copy of a repeat's body.  In a loop without upper bound a single character or
    // class body, looked at through non-capturing groups, becomes one looping element.
    void compile_body(std::int32_t n, bool in_lookaround, body_mode mode) {
        if (mode == body_mode::unbounded_loop && compile_loop_element(n)) return;
        compile_node(n, in_lookaround);
    }

    bool compile_loop_element(std::int32_t n) {
        std::int32_t inner = n;
        while (node(inner).kind == node_kind::group && node(inner).capture_index < 0 &&
               !node(inner).atomic)
            inner = node(inner).first_child;
        const syntax_node& k = node(inner);
        switch (k.kind) {
            case node_kind::literal: {
                byte_set s;
                s.set(k.byte);
                emit_byte_set(s);
                return true;
            }
            case node_kind::concat: {
                const auto cp = single_character(inner);
                if (!cp) return false;
                class_members m;
                m.ranges.push_back({*cp, *cp});
                emit_klass_cp(m);
                return true;
            }
            case node_kind::alternation: {
                class_members merged;
                if (!merged_alternation(inner, merged)) return false;
                emit_klass_cp(merged);
                return true;
            }
            case node_kind::klass:
                compile_class(materialise(inner),
                              pat_.classes[static_cast<std::size_t>(k.class_index)].wide,
                              body_mode::unbounded_loop);
                return true;
            default:
                return false;
        }
    }

    // Sets a split's targets: `preferred` first unless the repeat is lazy.
    void set_split(std::int32_t split, std::int32_t preferred, std::int32_t other, bool lazy) {
        at(split).x = lazy ? other : preferred;
        at(split).y = lazy ? preferred : other;
    }

    void compile_repeat(std::int32_t n, bool in_lookaround) {
        const syntax_node& k = node(n);
        const std::int32_t body = k.first_child;
        const std::int32_t min = k.min;
        const std::int32_t max = k.max;
        const bool lazy = k.lazy;
        if (max == unbounded) {
            if (min == 0) {
                const std::int32_t loop = emit(opcode::split);
                compile_body(body, in_lookaround, body_mode::unbounded_loop);
                emit(opcode::jump, 0, 0, loop);
                set_split(loop, loop + 1, pc(), lazy);
                return;
            }
            std::int32_t last_copy = pc();
            for (std::int32_t i = 0; i < min; ++i) {
                last_copy = pc();
                compile_body(body, in_lookaround, body_mode::unbounded_loop);
                // A body that emits nothing emits nothing every time: skip the other copies
                // (they would only cost time, for example in nested empty counted repeats).
                if (pc() == last_copy) break;
            }
            const std::int32_t split = emit(opcode::split);
            set_split(split, last_copy, split + 1, lazy);
            return;
        }
        for (std::int32_t i = 0; i < min; ++i) {
            const std::int32_t before = pc();
            compile_node(body, in_lookaround);
            if (pc() == before) break;
        }
        std::vector<std::int32_t> splits;
        for (std::int32_t i = min; i < max; ++i) {
            splits.push_back(emit(opcode::split));
            compile_node(body, in_lookaround);
        }
        for (std::int32_t s : splits) set_split(s, s + 1, pc(), lazy);
    }

    // The body a possessive step can take: a literal, a class or ., directly or as the only
    // child of a capture group.  Returns that element, or -1.
    std::int32_t possessive_element(std::int32_t body) const {
        std::int32_t element = body;
        const syntax_node& b = node(body);
        if (b.kind == node_kind::group && b.capture_index >= 0 && !b.atomic)
            element = b.first_child;
        const node_kind kind = node(element).kind;
        if (kind == node_kind::literal || kind == node_kind::klass || kind == node_kind::any)
            return element;
        // One non-ASCII character (the parser spells it as its UTF-8 bytes): a possessive
        // step over the one-member class, as `é++` gets from the parser, so that `(?>é+)`
        // means the same.
        if (single_character(element)) return element;
        return -1;
    }

    // A possessive repeat (or an atomic group around a greedy repeat): the required copies,
    // then one possessive step per optional copy, or one step and a jump back to it.
    void compile_possessive(std::int32_t n, bool in_lookaround) {
        if (in_lookaround) fail(possessive_in_lookaround_message);
        const syntax_node& k = node(n);
        const std::int32_t body = k.first_child;
        const std::int32_t element = possessive_element(body);
        if (element < 0) fail(compound_body_message);
        const std::int32_t capture =
            node(body).kind == node_kind::group ? node(body).capture_index : -1;
        const std::int32_t slot = capture >= 0 ? 2 * capture : -1;
        const std::int32_t min = k.min;
        const std::int32_t max = k.max;
        for (std::int32_t i = 0; i < min; ++i) compile_node(body, in_lookaround);
        std::vector<std::int32_t> steps;
        if (max == unbounded) {
            steps.push_back(emit_possessive_step(element, slot));
            emit(opcode::jump, 0, 0, steps.back());
        } else {
            for (std::int32_t i = min; i < max; ++i)
                steps.push_back(emit_possessive_step(element, slot));
        }
        for (std::int32_t s : steps) at(s).y = pc();
    }

    std::int32_t emit_possessive_step(std::int32_t element, std::int32_t slot) {
        const syntax_node& e = node(element);
        if (e.kind == node_kind::literal) return emit(opcode::possessive_byte, e.byte, 0, slot);
        class_members m;
        if (e.kind == node_kind::any) {
            m = any_members(e.flags);
        } else if (e.kind == node_kind::concat) {
            const std::uint32_t cp = *single_character(element);
            m.ranges.push_back({cp, cp});
        } else {
            m = materialise(element);
        }
        const bool wide = e.kind == node_kind::klass &&
                          pat_.classes[static_cast<std::size_t>(e.class_index)].wide;
        if (!wide && m.ranges.empty())
            return emit(opcode::possessive_set, 0, tables_.byte_set_index(m.ascii), slot);
        const std::int32_t step =
            emit(opcode::possessive_cp, 0, tables_.code_point_class_index(m.ascii, m.ranges), slot);
        emit_continuations();
        return step;
    }

    // True when the subtree has no choice points: no alternation, and every repeat either
    // has a fixed count or is possessive (with a body judged the same way).  A nested
    // atomic group is safe whatever it holds: it is compiled (or refused) on its own.
    bool cannot_backtrack(std::int32_t n) const {
        const syntax_node& k = node(n);
        switch (k.kind) {
            case node_kind::alternation:
                return false;
            case node_kind::repeat:
                if (!(k.possessive || (k.max != unbounded && k.max == k.min))) return false;
                return cannot_backtrack(k.first_child);
            case node_kind::group:
                return k.atomic || cannot_backtrack(k.first_child);
            case node_kind::concat:
                for (std::int32_t c = k.first_child; c >= 0; c = node(c).next_sibling)
                    if (!cannot_backtrack(c)) return false;
                return true;
            default:
                return true;
        }
    }

    void compile_atomic(std::int32_t n, bool in_lookaround) {
        const std::int32_t inner = node(n).first_child;
        const syntax_node& x = node(inner);
        if (x.kind == node_kind::repeat && possessive_element(x.first_child) >= 0) {
            if (x.lazy) {
                // A lazy repeat's first choice is its minimum count; committing to it leaves
                // exactly that many copies.
                for (std::int32_t i = 0; i < x.min; ++i) compile_node(x.first_child, in_lookaround);
                return;
            }
            return compile_possessive(inner, in_lookaround);
        }
        if (!cannot_backtrack(inner)) fail(compound_body_message);
        compile_node(inner, in_lookaround);
    }

    void compile_lookaround(std::int32_t n, bool in_lookaround) {
        if (in_lookaround) fail(nested_lookaround_message);
        const syntax_node& k = node(n);
        const std::int32_t bound = max_length(k.first_child);
        if (bound < 0 && k.behind) fail(unbounded_lookbehind_message);
        if (bound > max_lookaround_bytes) fail(lookaround_too_long_message);
        if (prog_.lookarounds.size() >= max_lookarounds) fail(too_many_lookarounds_message);
        const auto number = static_cast<std::uint16_t>(prog_.lookarounds.size());
        lookaround_entry entry;
        entry.max_length = bound;
        entry.behind = k.behind;
        entry.negated = k.negated;
        prog_.lookarounds.push_back(entry);
        emit(opcode::lookaround, 0, number);
        const std::int32_t over = emit(opcode::jump);
        const std::int32_t start = pc();
        compile_node(k.first_child, true);
        emit(opcode::match);
        at(over).x = pc();
        lookaround_entry& e = prog_.lookarounds[number];
        e.start = start;
        e.length = pc() - start;
    }

    // Longest match of a subtree in bytes, -1 when unbounded.  Values from length_cap up
    // all mean "too long", so they saturate there.
    std::int32_t max_length(std::int32_t n) {
        const syntax_node& k = node(n);
        switch (k.kind) {
            case node_kind::empty:
            case node_kind::assertion:
                return 0;
            case node_kind::literal:
                return 1;
            case node_kind::klass:
                return longest_encoding(materialise(n));
            case node_kind::any:
                return 4;
            case node_kind::concat: {
                std::int32_t sum = 0;
                for (std::int32_t c = k.first_child; c >= 0; c = node(c).next_sibling) {
                    const std::int32_t m = max_length(c);
                    if (m < 0) return -1;
                    sum = std::min(sum + m, length_cap);
                }
                return sum;
            }
            case node_kind::alternation: {
                std::int32_t best = 0;
                for (std::int32_t c = k.first_child; c >= 0; c = node(c).next_sibling) {
                    const std::int32_t m = max_length(c);
                    if (m < 0) return -1;
                    best = std::max(best, m);
                }
                return best;
            }
            case node_kind::group:
                return max_length(k.first_child);
            case node_kind::lookaround:
                return -1;
            case node_kind::repeat: {
                const std::int32_t max = k.max;
                const std::int32_t child = max_length(k.first_child);
                if (max == unbounded || child < 0) return -1;
                if (child > 0 && max_lookaround_bytes / child < max) return length_cap;
                return child * max;
            }
        }
        return -1;
    }
};

}  // namespace

std::size_t program_tables::byte_set_hash::operator()(const byte_set& s) const noexcept {
    std::uint64_t h = 0;
    for (std::uint64_t w : s.words) h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

std::uint16_t program_tables::byte_set_index(const byte_set& set) {
    if (auto it = byte_sets_.find(set); it != byte_sets_.end()) return it->second;
    if (prog_.byte_sets.size() >= max_byte_sets) fail(too_many_byte_sets_message);
    const auto index = static_cast<std::uint16_t>(prog_.byte_sets.size());
    prog_.byte_sets.push_back(set);
    byte_sets_.emplace(set, index);
    return index;
}

std::uint16_t program_tables::code_point_class_index(const byte_set& ascii, range_view ranges) {
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const code_point_range& r = ranges[i];
        const bool ok = r.first >= first_non_ascii && r.first <= r.last &&
                        r.last <= highest_code_point && (i == 0 || r.first > ranges[i - 1].last);
        if (!ok) fail(unnormalised_class_message);
    }
    const std::uint64_t fp = class_fingerprint(ascii, ranges);
    std::vector<std::uint16_t>& same = classes_[fp];
    for (std::uint16_t c : same) {
        const code_point_class& k = prog_.classes[c];
        if (k.ascii == ascii && k.range_count == ranges.size() &&
            std::equal(ranges.begin(), ranges.end(), prog_.range_pool.begin() + k.first_range))
            return c;
    }
    if (prog_.classes.size() >= max_code_point_classes) fail(too_many_classes_message);
    code_point_class k;
    k.ascii = ascii;
    k.first_range = static_cast<std::uint32_t>(prog_.range_pool.size());
    k.range_count = static_cast<std::uint32_t>(ranges.size());
    k.fingerprint = fp;
    prog_.range_pool.insert(prog_.range_pool.end(), ranges.begin(), ranges.end());
    const auto index = static_cast<std::uint16_t>(prog_.classes.size());
    prog_.classes.push_back(k);
    same.push_back(index);
    return index;
}

program compile_program(const parsed_pattern& pattern, std::uint16_t global_flags) {
    program prog;
    prog.bytes = global_flags & flags::bytes;
    prog.unicode = !(global_flags & flags::ascii);
    prog.allow_raw_byte = global_flags & flags::allow_raw_byte;
    prog.slot_count = static_cast<std::uint16_t>(2 * (pattern.capture_count + 1));
    prog.group_names = pattern.group_names;
    compiler(pattern, prog).compile_root();
    prog.backtrack_allowed = prog.lookarounds.empty() && prog.slot_count <= max_backtrack_slots;
    analyse(prog);
    if (prog.instructions.size() > max_program_instructions ||
        prog.auxiliary.instructions.size() > max_program_instructions)
        fail(program_too_large_message);
    return prog;
}

compiled_pattern compile_pattern(std::string_view pattern) {
    parsed_pattern parsed = parse_pattern(pattern);
    compiled_pattern out;
    out.prog = compile_program(parsed, parsed.flags_on);
    out.pattern = std::string(pattern);
    out.flags = static_cast<std::uint16_t>(parsed.flags_on & ~parsed.flags_off);
    return out;
}

}  // namespace kestrel
