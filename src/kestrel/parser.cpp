// The pattern parser: one pass of recursive descent over the pattern's bytes.
//
// What it does.  The parser reads a pattern (UTF-8 text, with a handful of escapes that
// name raw bytes) and builds the syntax tree of syntax.h: a flat vector of nodes linked by
// first-child / next-sibling indices, a vector of character classes, the capture count, the
// group-name table and the global flag words.  The grammar is
//
//     pattern      = leading-flags alternation
//     alternation  = sequence ('|' sequence)*
//     sequence     = (atom quantifier?)*           (verbose mode skips blanks and # comments
//                                                    around each atom)
//     atom         = group | bracket-class | escape | '.' | '^' | '$' | character
//
// and each rule is one member function.  Text that looks like a construct but is not one
// ("a{", "a{x}", "(?i:" at the start) is backed out of by resetting the position, never by
// building and discarding nodes.
//
// Why recursive descent.  Only groups nest, and nesting is capped at 200 by the grammar
// itself, so the C stack holds at most 200 rounds of group -> alternation -> sequence ->
// atom.  Those four frames are kept small: anything with sizeable locals (a class being
// assembled, an escape's message text) lives in a separate, non-inlined function that
// returns before the recursion goes deeper.  The result is a parser that reads like the
// grammar and still has a fixed, small stack bound for a thread running without the
// interpreter lock.
//
// How the tree is built.  Siblings are collected in a `chain` (first, last, the one before
// last) so that a quantifier can replace the last item of a sequence with a repeat node
// wrapping it.  Quantifiers attach to the last item of the sequence rather than to "the
// atom just parsed" because \Q...\E adds one item per quoted character (the quantifier
// takes the last one) or none at all (the quantifier takes the item before).  A repeat
// node can only be the last item when a quantifier made it, which is how "multiple repeat"
// is detected across an empty \Q\E.
//
// Characters.  Outside brackets a non-ASCII character is a concat of its UTF-8 bytes, and
// \xhh or an octal escape of 128 or more is one raw byte; inside brackets both are code
// points.  Under ignore-case a character with case partners becomes a one-member class so
// that the compiler has a single place (class materialisation) where folding happens.
//
// Errors.  Every failure throws regex_error at once with the byte offset where the parser
// stood; the messages follow Python's re where the construct exists there.  Nothing is
// cleaned up on the way out because nothing outlives the parser object.
//
// Tests: tests/cpp/test_parser.cpp (an error table with positions, golden dumps of
// accepted patterns, and the nesting / capture / count limits).
#include "kestrel/parser.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "kestrel/flags.h"
#include "kestrel/strings.h"
#include "kestrel/regex_error.h"
#include "kestrel/unicode.h"
#include "kestrel/utf8.h"

namespace kestrel {

namespace {

constexpr std::uint32_t max_code_point = 0x10FFFF;

bool is_surrogate(std::uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_octal(unsigned char c) { return c >= '0' && c <= '7'; }
bool is_ascii_letter(std::uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_alnum(unsigned char c) { return is_digit(c) || is_ascii_letter(c); }
bool is_hex(unsigned char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
std::uint32_t hex_value(unsigned char c) {
    if (is_digit(c)) return c - '0';
    return static_cast<std::uint32_t>((c | 0x20) - 'a' + 10);
}
// Verbose-mode blanks: tab, line feed, vertical tab, form feed, carriage return and space.
bool is_blank(unsigned char c) { return (c >= 9 && c <= 13) || c == ' '; }

std::uint16_t flag_bit(unsigned char c) {
    switch (c) {
    case 'i': return flags::ignore_case;
    case 'm': return flags::multiline;
    case 's': return flags::dotall;
    case 'x': return flags::verbose;
    case 'a': return flags::ascii;
    case 'U': return flags::ungreedy;
    default: return 0;
    }
}

// One decoded character; length 0 means the bytes at that place are not valid UTF-8.
struct utf8_char {
    std::uint32_t cp = 0;
    int length = 0;
};

// Strict UTF-8 (utf8.h): the right number of continuation bytes, all inside the text, no
// overlong form, no surrogate, nothing above U+10FFFF.
utf8_char decode_utf8(const unsigned char* p, std::size_t available) {
    if (available == 0) return {};
    const auto limit = static_cast<std::uint32_t>(available < 4 ? available : 4);
    const decoded_char c = kestrel::decode_utf8(p, limit, 0);
    if (!c.valid) return {};
    return {c.cp, static_cast<int>(c.length)};
}


// The code points of [lo, hi] not in `ranges`, which must be normalised and within [lo, hi].
range_list complement_within(const range_list& ranges, std::uint32_t lo, std::uint32_t hi) {
    range_list out;
    std::uint32_t next = lo;
    for (const auto& r : ranges) {
        if (r.first > next) out.push_back({next, r.first - 1});
        next = r.last + 1;
    }
    if (next <= hi) out.push_back({next, hi});
    return out;
}

// Assembles one class_entry: ASCII members go to the bit set, the rest to the range list.
class class_builder {
public:
    // A character or range written in the pattern.
    void add_written(std::uint32_t lo, std::uint32_t hi) {
        entry_.has_non_property_item = true;
        if (lo < 128) {
            entry_.ascii.set_range(static_cast<std::uint8_t>(lo),
                                   static_cast<std::uint8_t>(std::min<std::uint32_t>(hi, 127)));
            if (hi < 128) return;
            lo = 128;
        }
        entry_.ranges.push_back({lo, hi});
        entry_.explicit_ranges.push_back({lo, hi});
    }

    // A set from a shorthand or a property: `ascii` holds members below 128 (higher bits are
    // ignored), `ranges` any members at all.  A negated set adds its complement: within
    // 0-127 for the ASCII part and within 128-0x10FFFF for the rest.
    void add_set(const byte_set& ascii, range_view ranges, bool negated) {
        byte_set low;
        for (std::uint32_t b = 0; b < 128; ++b)
            if (ascii.test(static_cast<std::uint8_t>(b))) low.set(static_cast<std::uint8_t>(b));
        range_list high;
        for (const auto& r : ranges) {
            if (r.first < 128)
                low.set_range(static_cast<std::uint8_t>(r.first),
                              static_cast<std::uint8_t>(std::min<std::uint32_t>(r.last, 127)));
            if (r.last >= 128) high.push_back({std::max<std::uint32_t>(r.first, 128), r.last});
        }
        if (negated) {
            byte_set flipped;
            for (std::uint32_t b = 0; b < 128; ++b)
                if (!low.test(static_cast<std::uint8_t>(b))) flipped.set(static_cast<std::uint8_t>(b));
            low = flipped;
            normalise_ranges(high);
            high = complement_within(high, 128, max_code_point);
        }
        entry_.ascii.merge(low);
        entry_.ranges.insert(entry_.ranges.end(), high.begin(), high.end());
    }

    void mark_wide() { entry_.wide = true; }
    void mark_non_property() { entry_.has_non_property_item = true; }

    class_entry finish() {
        normalise_ranges(entry_.ranges);
        normalise_ranges(entry_.explicit_ranges);
        return std::move(entry_);
    }

private:
    class_entry entry_;
};

// A bracket-class member: one code point, or a set item (shorthand or property) that has
// already been merged into the class.
struct class_member {
    bool is_set = false;
    std::uint32_t cp = 0;
};

// Flag letters of a (?...) group, as scanned.
struct flag_letters {
    std::uint16_t on = 0;
    std::uint16_t off = 0;
    bool had_dash = false;
    std::size_t end = 0;  // first byte after the letters
};

class parser {
public:
    explicit parser(std::string_view pattern)
        : pat_(pattern), bytes_(reinterpret_cast<const unsigned char*>(pattern.data())) {
        flag_stack_.push_back(0);
    }

    parsed_pattern run() {
        if (pat_.size() > max_pattern_length) fail("pattern too long", 0);
        parse_leading_flags();
        out_.root = parse_alternation();
        if (pos_ < pat_.size()) fail("unbalanced parenthesis", pos_);
        return std::move(out_);
    }

private:
    // Siblings being collected for a concat or an alternation.
    struct chain {
        std::int32_t first = -1;
        std::int32_t last = -1;
        std::int32_t before_last = -1;
        std::int32_t count = 0;
    };

    std::string_view pat_;
    const unsigned char* bytes_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    bool in_lookaround_ = false;
    std::vector<std::uint16_t> flag_stack_;  // top = the flags in force
    std::unordered_map<std::string_view, std::int32_t> group_by_name_;
    parsed_pattern out_;

    // ---- small helpers -------------------------------------------------------------

    [[noreturn]] static void fail(std::string message, std::size_t at) {
        throw regex_error(std::move(message), static_cast<std::int32_t>(at));
    }
    bool byte_is(std::size_t at, char c) const { return at < pat_.size() && pat_[at] == c; }
    std::uint16_t flags() const { return flag_stack_.back(); }
    bool unicode_mode() const { return (flags() & flags::ascii) == 0; }
    utf8_char decode_at(std::size_t at) const {
        return decode_utf8(bytes_ + at, pat_.size() - at);
    }
    std::string text(std::size_t from, std::size_t to) const {
        return std::string(pat_.substr(from, to - from));
    }

    std::int32_t add_node(node_kind kind) {
        syntax_node n;
        n.kind = kind;
        n.flags = flags();
        out_.nodes.push_back(n);
        return static_cast<std::int32_t>(out_.nodes.size() - 1);
    }
    std::int32_t add_class(class_entry entry) {
        out_.classes.push_back(std::move(entry));
        return static_cast<std::int32_t>(out_.classes.size() - 1);
    }
    std::int32_t add_class_node(class_entry entry, bool negated) {
        const std::int32_t cls = add_class(std::move(entry));
        const std::int32_t n = add_node(node_kind::klass);
        out_.nodes[n].class_index = cls;
        out_.nodes[n].negated = negated;
        return n;
    }
    std::int32_t add_parent(node_kind kind, std::int32_t child) {
        const std::int32_t n = add_node(kind);
        out_.nodes[n].first_child = child;
        return n;
    }

    void append(chain& c, std::int32_t n) {
        if (c.first < 0) {
            c.first = n;
        } else {
            out_.nodes[c.last].next_sibling = n;
        }
        c.before_last = c.last;
        c.last = n;
        ++c.count;
    }
    void replace_last(chain& c, std::int32_t n) {
        if (c.before_last < 0) {
            c.first = n;
        } else {
            out_.nodes[c.before_last].next_sibling = n;
        }
        c.last = n;
    }
    // No item: an empty node; one item: the item itself; more: a parent of `kind`.
    std::int32_t finish_chain(const chain& c, node_kind kind) {
        if (c.count == 0) return add_node(node_kind::empty);
        if (c.count == 1) return c.first;
        return add_parent(kind, c.first);
    }

    // ---- characters ------------------------------------------------------------------

    // A character written in text mode: a one-member class under ignore-case when it has
    // case partners, else a literal byte or a concat of its UTF-8 bytes.
    std::int32_t make_char(std::uint32_t cp) {
        if (flags() & flags::ignore_case) {
            const bool foldable = cp < 128 ? is_ascii_letter(cp) : case_partners(cp, true).count > 0;
            if (foldable) {
                class_builder b;
                b.add_written(cp, cp);
                return add_class_node(b.finish(), false);
            }
        }
        if (cp < 128) return make_byte(static_cast<std::uint8_t>(cp));
        unsigned char units[4];
        const int n = encode_utf8(cp, units);
        chain bytes;
        for (int i = 0; i < n; ++i) append(bytes, make_byte(units[i]));
        return finish_chain(bytes, node_kind::concat);
    }
    // One raw byte, never folded.
    std::int32_t make_byte(std::uint8_t b) {
        const std::int32_t n = add_node(node_kind::literal);
        out_.nodes[n].byte = b;
        return n;
    }
    std::int32_t make_assertion(assertion_kind kind) {
        const std::int32_t n = add_node(node_kind::assertion);
        out_.nodes[n].assertion = kind;
        return n;
    }

    // When `n` is a concat of 2-4 literal bytes that spell one valid UTF-8 character,
    // returns that character.
    std::optional<std::uint32_t> multibyte_char(std::int32_t n) const {
        const syntax_node& node = out_.nodes[n];
        if (node.kind != node_kind::concat) return std::nullopt;
        unsigned char units[4];
        int count = 0;
        for (std::int32_t c = node.first_child; c >= 0; c = out_.nodes[c].next_sibling) {
            if (count == 4 || out_.nodes[c].kind != node_kind::literal) return std::nullopt;
            units[count++] = out_.nodes[c].byte;
        }
        if (count < 2) return std::nullopt;
        const utf8_char u = decode_utf8(units, static_cast<std::size_t>(count));
        if (u.length != count) return std::nullopt;
        return u.cp;
    }

    // Removes node `n` and its children when they are the last nodes made (a concat built
    // from its children just now), so that a replaced atom leaves no unreachable nodes.
    void drop_trailing_subtree(std::int32_t n) {
        if (static_cast<std::size_t>(n) + 1 != out_.nodes.size()) return;
        std::int32_t expected = out_.nodes[n].first_child;
        const std::int32_t first = expected;
        for (std::int32_t c = first; c >= 0; c = out_.nodes[c].next_sibling, ++expected)
            if (c != expected || out_.nodes[c].first_child >= 0) return;
        if (expected != n) return;
        out_.nodes.resize(static_cast<std::size_t>(first));
    }

    // ---- top level ---------------------------------------------------------------------

    // Is the byte at `at` (just after "(?") the start of a flag group?
    bool starts_flags(std::size_t at) const {
        if (at >= pat_.size()) return false;
        if (flag_bit(bytes_[at])) return true;
        return bytes_[at] == '-' && !(at + 1 < pat_.size() && is_digit(bytes_[at + 1]));
    }

    bool letter_at(std::size_t at) const {
        const utf8_char u = decode_at(at);
        return u.length > 0 && is_letter(u.cp);
    }

    // Scans on-letters, then optionally '-' and off-letters, starting at `at`.  A letter in
    // the Unicode sense that is not a flag letter is "unknown flag"; a '-' with nothing after
    // it is "missing flag".
    flag_letters scan_flags(std::size_t at) const {
        flag_letters f;
        std::size_t q = at;
        while (q < pat_.size() && flag_bit(bytes_[q])) f.on |= flag_bit(bytes_[q++]);
        if (byte_is(q, '-')) {
            f.had_dash = true;
            const std::size_t first_off = ++q;
            while (q < pat_.size() && flag_bit(bytes_[q])) f.off |= flag_bit(bytes_[q++]);
            if (q == first_off && !letter_at(q)) fail("missing flag", q);
        }
        if (q < pat_.size() && letter_at(q)) fail("unknown flag", q);
        f.end = q;
        return f;
    }

    // Leading (?flags) groups set the global flags.  Anything else that starts like one
    // (a scoped "(?i:" for instance) is left for the group parser.
    void parse_leading_flags() {
        while (byte_is(pos_, '(') && byte_is(pos_ + 1, '?') && starts_flags(pos_ + 2)) {
            const flag_letters f = scan_flags(pos_ + 2);
            if (!byte_is(f.end, ')')) break;
            out_.flags_on |= f.on;
            out_.flags_off |= f.off;
            flag_stack_.back() = static_cast<std::uint16_t>((flag_stack_.back() | f.on) & ~f.off);
            pos_ = f.end + 1;
        }
    }

    // ---- alternation, sequence, quantifiers --------------------------------------------

    std::int32_t parse_alternation() {
        chain branches;
        append(branches, parse_sequence());
        while (byte_is(pos_, '|')) {
            ++pos_;
            append(branches, parse_sequence());
        }
        return finish_chain(branches, node_kind::alternation);
    }

    void skip_verbose() {
        if (!(flags() & flags::verbose)) return;
        while (pos_ < pat_.size()) {
            if (is_blank(bytes_[pos_])) {
                ++pos_;
            } else if (bytes_[pos_] == '#') {
                const std::size_t nl = pat_.find('\n', pos_);
                pos_ = nl == std::string_view::npos ? pat_.size() : nl + 1;
            } else {
                break;
            }
        }
    }

    std::int32_t parse_sequence() {
        chain items;
        for (;;) {
            skip_verbose();
            if (pos_ >= pat_.size() || bytes_[pos_] == ')' || bytes_[pos_] == '|') break;
            parse_atom(items);
            skip_verbose();
            parse_quantifier(items);
        }
        return finish_chain(items, node_kind::concat);
    }

    // End of a syntactically complete counted form {m}, {m,}, {,n}, {m,n}, {,} starting at
    // the '{' at `at`, or npos.  Values are not checked here.
    std::size_t counted_form_end(std::size_t at) const {
        std::size_t q = at + 1;
        const std::size_t first_digits = q;
        while (q < pat_.size() && is_digit(bytes_[q])) ++q;
        const bool has_min = q > first_digits;
        const bool comma = byte_is(q, ',');
        if (comma) {
            ++q;
            while (q < pat_.size() && is_digit(bytes_[q])) ++q;
        }
        if (!byte_is(q, '}') || (!has_min && !comma)) return std::string_view::npos;
        return q + 1;
    }

    // Reads the digits at `q`, failing at the digit that takes the value past the limit.
    std::int32_t read_count(std::size_t& q) const {
        std::int32_t value = 0;
        for (; q < pat_.size() && is_digit(bytes_[q]); ++q) {
            value = value * 10 + (bytes_[q] - '0');
            if (value > max_repeat_count) fail("repetition count too large", q);
        }
        return value;
    }

    bool starts_quantifier(std::size_t at) const {
        if (at >= pat_.size()) return false;
        const unsigned char c = bytes_[at];
        return c == '*' || c == '+' || c == '?' ||
               (c == '{' && counted_form_end(at) != std::string_view::npos);
    }

    void parse_quantifier(chain& items) {
        if (!starts_quantifier(pos_)) return;
        const std::size_t at = pos_;
        if (items.last < 0) fail("nothing to repeat", at);  // only after an empty \Q\E
        const node_kind atom_kind = out_.nodes[items.last].kind;
        if (atom_kind == node_kind::assertion) fail("nothing to repeat", at);
        if (atom_kind == node_kind::repeat) fail("multiple repeat", at);

        std::int32_t min = 0;
        std::int32_t max = unbounded;
        switch (bytes_[at]) {
        case '*': pos_ = at + 1; break;
        case '+': min = 1, pos_ = at + 1; break;
        case '?': max = 1, pos_ = at + 1; break;
        default: {  // '{'
            std::size_t q = at + 1;
            min = read_count(q);  // 0 when absent
            if (byte_is(q, ',')) {
                ++q;
                const bool has_max = q < pat_.size() && is_digit(bytes_[q]);
                const std::int32_t n = read_count(q);
                max = has_max ? n : unbounded;
            } else {
                max = min;
            }
            if (max != unbounded && max < min) fail("min repeat greater than max repeat", at + 1);
            pos_ = q + 1;  // past '}'
        }
        }

        bool lazy = false;
        if (byte_is(pos_, '?')) {
            lazy = true;
            ++pos_;
        }
        if (flags() & flags::ungreedy) lazy = !lazy;
        bool possessive = false;
        if (!lazy && byte_is(pos_, '+')) {
            possessive = true;
            ++pos_;
        }
        if (starts_quantifier(pos_)) fail("multiple repeat", pos_);

        std::int32_t atom = items.last;
        if (possessive) {
            // A possessive step consumes one whole character, so a multi-byte character must
            // reach the compiler as a class, not as a byte sequence.
            if (auto cp = multibyte_char(atom)) {
                class_builder b;
                b.add_written(*cp, *cp);
                const std::uint16_t atom_flags = out_.nodes[atom].flags;
                drop_trailing_subtree(atom);
                atom = add_class_node(b.finish(), false);
                out_.nodes[atom].flags = atom_flags;
            }
        }
        const std::int32_t rep = add_parent(node_kind::repeat, atom);
        syntax_node& r = out_.nodes[rep];
        r.min = min;
        r.max = max;
        r.lazy = lazy;
        r.possessive = possessive;
        replace_last(items, rep);
    }

    // ---- atoms -------------------------------------------------------------------------

    void parse_atom(chain& items) {
        const unsigned char c = bytes_[pos_];
        switch (c) {
        case '(':
            append(items, parse_group());
            return;
        case '*': case '+': case '?':
            fail("nothing to repeat", pos_);
        case '.':
            ++pos_;
            append(items, add_node(node_kind::any));
            return;
        case '^':
            ++pos_;
            append(items, make_assertion(assertion_kind::caret));
            return;
        case '$':
            ++pos_;
            append(items, make_assertion(assertion_kind::dollar));
            return;
        case '[':
            append(items, parse_bracket_class());
            return;
        case '\\':
            parse_escape(items);
            return;
        default:
            break;
        }
        if (c < 128) {
            ++pos_;
            append(items, make_char(c));
            return;
        }
        const utf8_char u = decode_at(pos_);
        if (u.length == 0) fail("invalid UTF-8 byte in pattern", pos_);
        pos_ += static_cast<std::size_t>(u.length);
        append(items, make_char(u.cp));
    }

    // ---- groups ------------------------------------------------------------------------

    std::int32_t parse_group() {
        const std::size_t open = pos_;
        if (++depth_ > max_nesting_depth) fail("pattern nesting too deep", open);
        ++pos_;
        std::int32_t n;
        if (byte_is(pos_, '?')) {
            n = parse_extension(open);
        } else {
            const std::int32_t number = take_capture_number(open);
            n = make_group(parse_group_body(open), number, false);
        }
        --depth_;
        return n;
    }

    std::int32_t take_capture_number(std::size_t open) {
        if (out_.capture_count >= max_capture_groups) fail("too many capture groups", open);
        return ++out_.capture_count;
    }

    // The alternation inside a group and its closing parenthesis.
    std::int32_t parse_group_body(std::size_t open) {
        const std::int32_t body = parse_alternation();
        if (!byte_is(pos_, ')')) fail("missing ), unterminated subpattern", open);
        ++pos_;
        return body;
    }

    std::int32_t make_group(std::int32_t body, std::int32_t capture, bool atomic) {
        const std::int32_t n = add_parent(node_kind::group, body);
        out_.nodes[n].capture_index = capture;
        out_.nodes[n].atomic = atomic;
        return n;
    }

    // The text of one character for a message: a whole UTF-8 character, a backslash with the
    // character after it, or \xhh for a byte that does not start valid UTF-8.
    [[gnu::noinline]] std::string describe_char(std::size_t at, bool escape_pair = true) const {
        if (at >= pat_.size()) return {};
        const unsigned char c = bytes_[at];
        if (c == '\\' && escape_pair) return join({"\\", describe_char(at + 1, false)});
        const utf8_char u = decode_at(at);
        if (u.length > 0) return text(at, at + static_cast<std::size_t>(u.length));
        static const char digits[] = "0123456789abcdef";
        return std::string{'\\', 'x', digits[c >> 4], digits[c & 15]};
    }

    [[noreturn, gnu::noinline]] void fail_unknown_extension(std::size_t question,
                                                            std::size_t current) const {
        fail(join({"unknown extension ?", pat_.substr(question + 1, current - question - 1),
                   describe_char(current)}),
             question);
    }

    // After "(?": every extension, the supported ones and the refused ones.
    std::int32_t parse_extension(std::size_t open) {
        const std::size_t question = pos_;
        const std::size_t at = question + 1;
        if (at >= pat_.size()) fail("unexpected end of pattern", at);
        const unsigned char c = bytes_[at];
        const bool digit_next = at + 1 < pat_.size() && is_digit(bytes_[at + 1]);
        switch (c) {
        case '#': {
            const std::size_t close = pat_.find(')', at + 1);
            if (close == std::string_view::npos) fail("missing ), unterminated comment", open);
            pos_ = close + 1;
            return add_node(node_kind::empty);
        }
        case ':':
            pos_ = at + 1;
            return make_group(parse_group_body(open), -1, false);
        case '>':
            pos_ = at + 1;
            return make_group(parse_group_body(open), -1, true);
        case 'P':
            if (byte_is(at + 1, '<')) return parse_named_group(open, at + 2);
            if (byte_is(at + 1, '=')) fail("named backreferences are not supported", at + 1);
            if (byte_is(at + 1, '>')) fail("subroutine calls are not supported", at + 1);
            fail_unknown_extension(question, at + 1);
        case '<':
            if (byte_is(at + 1, '=') || byte_is(at + 1, '!'))
                return parse_lookaround(open, at + 1, true, bytes_[at + 1] == '!');
            return parse_named_group(open, at + 1);
        case '=': case '!':
            return parse_lookaround(open, at, false, c == '!');
        case '(':
            fail("conditional groups are not supported", at);
        case '&':
            fail("subroutine calls are not supported", at);
        case 'C':
            fail("callouts are not supported", at);
        case 'R':
            fail("pattern recursion is not supported", at);
        case '+':
            if (digit_next) fail("pattern recursion is not supported", at);
            fail_unknown_extension(question, at);
        default:
            break;
        }
        if (is_digit(c) || (c == '-' && digit_next)) fail("pattern recursion is not supported", at);
        if (!starts_flags(at)) fail_unknown_extension(question, at);

        const flag_letters f = scan_flags(at);
        pos_ = f.end;
        if (byte_is(pos_, ':')) {
            ++pos_;
            flag_stack_.push_back(static_cast<std::uint16_t>((flags() | f.on) & ~f.off));
            const std::int32_t body = parse_group_body(open);
            flag_stack_.pop_back();
            return make_group(body, -1, false);
        }
        if (byte_is(pos_, ')')) fail("global flags not at the start of the expression", open);
        fail(f.had_dash ? "missing :" : "missing -, : or )", pos_);
    }

    // `marker` is the '=' or '!' that says which lookaround this is.
    std::int32_t parse_lookaround(std::size_t open, std::size_t marker, bool behind, bool negated) {
        if (in_lookaround_) fail("nested lookaround is not supported", marker);
        pos_ = marker + 1;
        in_lookaround_ = true;
        const std::int32_t body = parse_group_body(open);
        in_lookaround_ = false;
        const std::int32_t n = add_parent(node_kind::lookaround, body);
        out_.nodes[n].behind = behind;
        out_.nodes[n].negated = negated;
        return n;
    }

    std::int32_t parse_named_group(std::size_t open, std::size_t name_start) {
        const std::int32_t number = take_capture_number(open);
        pos_ = read_group_name(name_start, number);
        return make_group(parse_group_body(open), number, false);
    }

    // Checks the name at `name_start`, records it for group `number` and returns the
    // position after its closing '>'.  Every failure is reported at the name's start.
    [[gnu::noinline]] std::size_t read_group_name(std::size_t name_start, std::int32_t number) {
        std::size_t q = name_start;
        while (q < pat_.size() && bytes_[q] != '>') {
            const utf8_char u = decode_at(q);
            const bool ok = u.length > 0 && (q == name_start ? u.cp == '_' || is_xid_start(u.cp)
                                                             : is_xid_continue(u.cp));
            if (!ok) {
                std::size_t stop = pat_.find('>', q);
                if (stop == std::string_view::npos) stop = pat_.size();
                const std::string_view shown = pat_.substr(name_start, stop - name_start);
                fail(join({"bad character in group name '", shown, "'"}), name_start);
            }
            q += static_cast<std::size_t>(u.length);
        }
        if (q >= pat_.size()) fail("missing >, unterminated name", name_start);
        if (q == name_start) fail("missing group name", name_start);
        const std::string_view name = pat_.substr(name_start, q - name_start);
        const auto [it, inserted] = group_by_name_.emplace(name, number);
        if (!inserted)
            fail(join({"redefinition of group name '", name, "' as group ", std::to_string(number),
                       "; was group ", std::to_string(it->second)}),
                 name_start);
        out_.group_names.push_back({number, static_cast<std::int32_t>(name_start),
                                    static_cast<std::int32_t>(q)});
        return q + 1;
    }

    // ---- escapes -----------------------------------------------------------------------

    // Reads up to `count` hex digits at pos_ into `value`; returns how many were read.
    int read_hex(int count, std::uint32_t& value) {
        int n = 0;
        value = 0;
        while (n < count && pos_ < pat_.size() && is_hex(bytes_[pos_])) {
            value = value * 16 + hex_value(bytes_[pos_]);
            ++pos_;
            ++n;
        }
        return n;
    }

    // {hex} after \x, \u or \N{U+; pos_ is at the first digit.
    std::uint32_t read_braced_hex() {
        std::uint32_t value;
        if (read_hex(6, value) == 0) fail("expected 1 to 6 hex digits in a braced hex escape", pos_);
        if (!byte_is(pos_, '}')) fail("unterminated braced hex escape (expected '}')", pos_);
        ++pos_;
        if (is_surrogate(value)) fail("invalid braced hex escape: surrogate code point", pos_);
        if (value > max_code_point) fail("invalid braced hex escape: code point out of range", pos_);
        return value;
    }

    // \u with 4 digits or \U with 8.
    std::uint32_t read_fixed_unicode(std::size_t backslash, int digits) {
        std::uint32_t value;
        if (read_hex(digits, value) < digits)
            fail(join({"incomplete escape ", text(backslash, pos_)}), backslash);
        if (is_surrogate(value)) fail("invalid Unicode escape: surrogate code point", pos_);
        if (value > max_code_point) fail("invalid Unicode escape: code point out of range", pos_);
        return value;
    }

    // Escapes that stand for one value in and out of brackets: \a \f \n \r \t \v, \xhh,
    // \x{...}, \uXXXX, \u{...}, \UXXXXXXXX, \N{U+...}.  pos_ is just past the letter.
    // `hex_byte` is set for the two-digit \xhh form, whose value outside brackets is a raw
    // byte rather than a character.
    std::optional<std::uint32_t> read_value_escape(std::size_t backslash, unsigned char letter,
                                                   bool& hex_byte) {
        hex_byte = false;
        switch (letter) {
        case 'a': return 7;
        case 'f': return 12;
        case 'n': return 10;
        case 'r': return 13;
        case 't': return 9;
        case 'v': return 11;
        case 'x': {
            if (byte_is(pos_, '{')) {
                ++pos_;
                return read_braced_hex();
            }
            std::uint32_t value;
            if (read_hex(2, value) < 2)
                fail(join({"incomplete escape ", text(backslash, pos_)}), backslash);
            hex_byte = true;
            return value;
        }
        case 'u':
            if (byte_is(pos_, '{')) {
                ++pos_;
                return read_braced_hex();
            }
            return read_fixed_unicode(backslash, 4);
        case 'U':
            return read_fixed_unicode(backslash, 8);
        case 'N':
            if (!byte_is(pos_, '{')) fail("expected '{' after \\N (\\N{U+XXXX})", pos_);
            ++pos_;
            if (!byte_is(pos_, 'U'))
                fail("\\N{...} takes a U+XXXX code point; a character name is resolved by the "
                     "Python binding",
                     pos_);
            ++pos_;
            if (!byte_is(pos_, '+')) fail("expected '+' in \\N{U+XXXX}", pos_);
            ++pos_;
            return read_braced_hex();
        default:
            return std::nullopt;
        }
    }

    // \p / \P; pos_ is just past the letter.  Returns the property's code points and whether
    // the item is negated (exactly one of: uppercase P, a leading '^' in the name).
    range_list read_property(bool upper, bool& negated) {
        if (pos_ >= pat_.size()) fail("\\p must be followed by a property name or {name}", pos_);
        std::size_t name_start;
        std::size_t name_end;
        if (bytes_[pos_] == '{') {
            const std::size_t close = pat_.find('}', pos_ + 1);
            if (close == std::string_view::npos) fail("unterminated \\p{...} property", pat_.size());
            name_start = pos_ + 1;
            name_end = close;
            pos_ = close + 1;
        } else {
            name_start = pos_;
            name_end = ++pos_;
        }
        const bool caret = name_start < name_end && bytes_[name_start] == '^';
        if (caret) ++name_start;
        if (name_start == name_end) fail("empty Unicode property name in \\p{}", name_end);
        negated = upper != caret;
        return lookup_property(pat_.substr(name_start, name_end - name_start),
                               static_cast<std::int32_t>(name_end));
    }

    // A backslash outside brackets; pos_ is at the backslash.
    [[gnu::noinline]] void parse_escape(chain& items) {
        const std::size_t backslash = pos_;
        if (backslash + 1 >= pat_.size()) fail("dangling backslash", pat_.size());
        const unsigned char c = bytes_[backslash + 1];
        pos_ = backslash + 2;
        switch (c) {
        case 'A': append(items, make_assertion(assertion_kind::text_start)); return;
        case 'Z': case 'z': append(items, make_assertion(assertion_kind::text_end)); return;
        case 'b': append(items, make_assertion(assertion_kind::word_boundary)); return;
        case 'B': append(items, make_assertion(assertion_kind::not_word_boundary)); return;
        case '<': append(items, make_assertion(assertion_kind::word_start)); return;
        case '>': append(items, make_assertion(assertion_kind::word_end)); return;
        case 'd': case 'D': case 's': case 'S': case 'w': case 'W': {
            const bool unicode = unicode_mode();
            const shorthand sh = shorthand_class(static_cast<char>(c), unicode);
            class_builder b;
            b.add_set(sh.ascii, unicode ? sh.ranges : range_view{}, false);
            b.mark_non_property();
            append(items, add_class_node(b.finish(), sh.negated));
            return;
        }
        case 'p': case 'P': {
            bool negated;
            const range_list set = read_property(c == 'P', negated);
            class_builder b;
            b.add_set(byte_set{}, set, false);
            b.mark_wide();
            append(items, add_class_node(b.finish(), negated));
            return;
        }
        case 'C':
            fail("\\C (raw-byte escape) requires flags::bytes or flags::allow_raw_byte -- it can "
                 "split a UTF-8 codepoint",
                 pos_);
        case 'Q':
            parse_quoted(items);
            return;
        default:
            break;
        }
        if (is_digit(c)) {
            append(items, parse_numeric_escape(c));
            return;
        }
        bool hex_byte;
        if (auto value = read_value_escape(backslash, c, hex_byte)) {
            append(items, hex_byte && *value >= 128 ? make_byte(static_cast<std::uint8_t>(*value))
                                                    : make_char(*value));
            return;
        }
        if (c >= 128) {
            const utf8_char u = decode_at(backslash + 1);
            if (u.length == 0) fail("invalid UTF-8 byte in pattern", backslash + 1);
            pos_ = backslash + 1 + static_cast<std::size_t>(u.length);
            append(items, make_char(u.cp));
            return;
        }
        if (is_ascii_alnum(c)) fail(std::string("unsupported escape sequence \\") + char(c), backslash);
        append(items, make_char(c));
    }

    // \0 with up to two more octal digits, a three-digit octal escape \ooo, or a refused
    // backreference \1 - \99.  pos_ is just past the first digit.
    std::int32_t parse_numeric_escape(unsigned char first) {
        std::uint32_t value = first - '0';
        if (first == '0') {
            for (int n = 0; n < 2 && pos_ < pat_.size() && is_octal(bytes_[pos_]); ++n)
                value = value * 8 + (bytes_[pos_++] - '0');
            return make_char(value);
        }
        if (pos_ < pat_.size() && is_digit(bytes_[pos_])) {
            const unsigned char second = bytes_[pos_++];
            if (is_octal(first) && is_octal(second) && pos_ < pat_.size() && is_octal(bytes_[pos_])) {
                value = (value * 8 + (second - '0')) * 8 + (bytes_[pos_++] - '0');
                if (value > 255) fail("octal escape value outside of range 0-0o377", pos_);
                return value >= 128 ? make_byte(static_cast<std::uint8_t>(value)) : make_char(value);
            }
        }
        fail("backreferences are not supported", pos_);
    }

    // \Q...\E: pos_ is just past the Q.  Each character is one item.
    void parse_quoted(chain& items) {
        const std::size_t start = pos_;
        const std::size_t stop = pat_.find("\\E", start);
        const std::size_t end = stop == std::string_view::npos ? pat_.size() : stop;
        for (std::size_t q = start; q < end;) {
            const utf8_char u = decode_at(q);
            if (u.length == 0) fail("invalid UTF-8 byte in pattern", q);
            append(items, make_char(u.cp));
            q += static_cast<std::size_t>(u.length);
        }
        pos_ = stop == std::string_view::npos ? pat_.size() : stop + 2;
    }

    // ---- bracket classes ---------------------------------------------------------------

    [[gnu::noinline]] std::int32_t parse_bracket_class() {
        const std::size_t open = pos_++;
        bool negated = false;
        if (byte_is(pos_, '^')) {
            negated = true;
            ++pos_;
        }
        const std::size_t first_member = pos_;
        class_builder b;
        for (;;) {
            if (pos_ >= pat_.size()) fail("unterminated character class", open);
            if (bytes_[pos_] == ']' && pos_ != first_member) {
                ++pos_;
                break;
            }
            const std::size_t start = pos_;
            const class_member low = parse_class_member(b);
            if (!byte_is(pos_, '-')) {
                if (!low.is_set) b.add_written(low.cp, low.cp);
                continue;
            }
            if (pos_ + 1 >= pat_.size()) fail("unterminated character class", open);
            if (bytes_[pos_ + 1] == ']') {  // a trailing '-' is literal
                if (!low.is_set) b.add_written(low.cp, low.cp);
                b.add_written('-', '-');
                pos_ += 2;
                break;
            }
            ++pos_;
            const class_member high = parse_class_member(b);
            if (low.is_set || high.is_set || high.cp < low.cp)
                fail(join({"bad character range ", text(start, pos_)}), start);
            b.add_written(low.cp, high.cp);
        }
        return add_class_node(b.finish(), negated);
    }

    class_member parse_class_member(class_builder& b) {
        const unsigned char c = bytes_[pos_];
        if (c == '\\') return parse_class_escape(b);
        if (c < 128) {
            ++pos_;
            return {false, c};
        }
        const utf8_char u = decode_at(pos_);
        if (u.length == 0) fail("invalid UTF-8 byte in character class", pos_);
        pos_ += static_cast<std::size_t>(u.length);
        return {false, u.cp};
    }

    // A backslash inside brackets; pos_ is at the backslash.  Set items are merged into `b`
    // at once.
    class_member parse_class_escape(class_builder& b) {
        const std::size_t backslash = pos_;
        if (backslash + 1 >= pat_.size()) fail("dangling backslash", pat_.size());
        const unsigned char c = bytes_[backslash + 1];
        pos_ = backslash + 2;
        switch (c) {
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
            std::uint32_t value = c - '0';
            for (int n = 0; n < 2 && pos_ < pat_.size() && is_octal(bytes_[pos_]); ++n)
                value = value * 8 + (bytes_[pos_++] - '0');
            if (value > 255) fail("octal escape value out of range (\\0 to \\377)", pos_);
            return {false, value};
        }
        case '8': case '9':
            fail("invalid escape (\\8 and \\9 are not octal and there are no back-references in a "
                 "class)",
                 backslash + 1);
        case 'b':
            return {false, 8};
        case 'd': case 'D': case 's': case 'S': case 'w': case 'W': {
            const bool unicode = unicode_mode();
            const shorthand sh = shorthand_class(static_cast<char>(c), unicode);
            b.add_set(sh.ascii, unicode ? sh.ranges : range_view{}, sh.negated);
            b.mark_non_property();
            if (unicode) b.mark_wide();
            return {true, 0};
        }
        case 'p': case 'P': {
            bool negated;
            const range_list set = read_property(c == 'P', negated);
            b.add_set(byte_set{}, set, negated);
            b.mark_wide();
            return {true, 0};
        }
        default:
            break;
        }
        bool hex_byte;
        if (auto value = read_value_escape(backslash, c, hex_byte)) return {false, *value};
        if (c >= 128) {
            const utf8_char u = decode_at(backslash + 1);
            if (u.length == 0) fail("invalid UTF-8 byte in character class", backslash + 1);
            pos_ = backslash + 1 + static_cast<std::size_t>(u.length);
            return {false, u.cp};
        }
        if (is_ascii_alnum(c)) fail(std::string("unsupported escape sequence \\") + char(c), backslash);
        return {false, c};
    }
};

}  // namespace

parsed_pattern parse_pattern(const char* pattern, std::size_t length) {
    return parser(std::string_view(pattern, length)).run();
}

}  // namespace kestrel
