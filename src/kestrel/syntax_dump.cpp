// Text dump of a parsed pattern (format described in syntax_dump.h).
//
// The tree is walked with an explicit stack of (node, depth) pairs rather than by
// recursion: a tree may be much deeper than the group nesting limit suggests (every repeat,
// concat and alternation adds a level), and the dump should never be the thing that runs
// out of stack.  Output is built into one string; nothing depends on locale or on the
// addresses of anything, so the same tree always prints the same text.
#include "kestrel/syntax_dump.h"

#include <cstdio>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/flags.h"
#include "kestrel/strings.h"

namespace kestrel {

namespace {

// Ranges printed in full up to this many; longer lists show the first six and the last.
constexpr std::size_t max_ranges_in_full = 8;

std::string hex_byte(unsigned b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", b & 0xFFu);
    return buf;
}

std::string code_point(std::uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", cp);
    return buf;
}

// A byte inside ascii=[...]: printable ASCII as itself, except the bytes that would make
// the bracket notation ambiguous.
std::string member(unsigned b) {
    if (b > 0x20 && b < 0x7F && b != '\\' && b != ']' && b != '-' && b != '[' && b != '^')
        return std::string(1, static_cast<char>(b));
    return hex_byte(b);
}

std::string ascii_members(const byte_set& set) {
    std::string out = "[";
    unsigned b = 0;
    while (b < 128) {
        if (!set.test(static_cast<std::uint8_t>(b))) {
            ++b;
            continue;
        }
        unsigned end = b;
        while (end + 1 < 128 && set.test(static_cast<std::uint8_t>(end + 1))) ++end;
        out += member(b);
        if (end == b + 1) {
            out += member(end);
        } else if (end > b + 1) {
            out += '-';
            out += member(end);
        }
        b = end + 1;
    }
    out += ']';
    return out;
}

std::string one_range(const code_point_range& r) {
    return r.first == r.last ? code_point(r.first)
                             : join({code_point(r.first), "-", code_point(r.last)});
}

std::string range_members(const range_list& ranges) {
    std::string out = "[";
    const bool cut = ranges.size() > max_ranges_in_full;
    const std::size_t shown = cut ? 6 : ranges.size();
    for (std::size_t i = 0; i < shown; ++i) {
        if (i) out += ' ';
        out += one_range(ranges[i]);
    }
    if (cut)
        out += join({" ... ", one_range(ranges.back()), " (", std::to_string(ranges.size()), " ranges)"});
    out += ']';
    return out;
}

const char* assertion_text(assertion_kind kind) {
    switch (kind) {
    case assertion_kind::caret: return "^";
    case assertion_kind::dollar: return "$";
    case assertion_kind::text_start: return "\\A";
    case assertion_kind::text_end: return "\\z";
    case assertion_kind::word_boundary: return "\\b";
    case assertion_kind::not_word_boundary: return "\\B";
    case assertion_kind::word_start: return "\\<";
    case assertion_kind::word_end: return "\\>";
    }
    return "?";
}

std::string class_text(const parsed_pattern& p, std::int32_t index) {
    std::string out = join({"#", std::to_string(index)});
    if (index < 0 || static_cast<std::size_t>(index) >= p.classes.size()) {
        out += " (missing)";
        return out;
    }
    const class_entry& c = p.classes[static_cast<std::size_t>(index)];
    out += join({" ascii=", ascii_members(c.ascii)});
    if (!c.ranges.empty()) out += join({" ranges=", range_members(c.ranges)});
    if (!c.explicit_ranges.empty()) out += join({" explicit=", range_members(c.explicit_ranges)});
    if (c.wide) out += " wide";
    if (!c.has_non_property_item) out += " props-only";
    return out;
}

std::string node_text(const parsed_pattern& p, const syntax_node& n) {
    std::string out;
    switch (n.kind) {
    case node_kind::empty: out = "empty"; break;
    case node_kind::literal:
        out = "literal ";
        if (n.byte > 0x20 && n.byte < 0x7F) {
            const char text[] = {'\'', static_cast<char>(n.byte), '\''};
            out += std::string_view(text, 3);
        } else {
            out += hex_byte(n.byte);
        }
        break;
    case node_kind::klass:
        out = join({"class ", class_text(p, n.class_index)});
        if (n.negated) out += " negated";
        break;
    case node_kind::any: out = "any"; break;
    case node_kind::concat: out = "concat"; break;
    case node_kind::repeat:
        out = join({"repeat {", std::to_string(n.min), ",",
                    n.max == unbounded ? std::string("inf") : std::to_string(n.max), "}"});
        if (n.lazy) out += " lazy";
        if (n.possessive) out += " possessive";
        break;
    case node_kind::alternation: out = "alternation"; break;
    case node_kind::group:
        out = "group";
        if (n.capture_index >= 0) out += join({" capture=", std::to_string(n.capture_index)});
        if (n.atomic) out += " atomic";
        break;
    case node_kind::assertion: out = join({"assertion ", assertion_text(n.assertion)}); break;
    case node_kind::lookaround:
        out = n.behind ? "lookbehind" : "lookahead";
        if (n.negated) out += " negated";
        break;
    }
    if (n.flags) out += join({" flags=", flag_letters(n.flags)});
    return out;
}

}  // namespace

std::string flag_letters(std::uint16_t word) {
    static constexpr std::pair<std::uint16_t, char> letters[] = {
        {flags::ignore_case, 'i'}, {flags::multiline, 'm'}, {flags::dotall, 's'},
        {flags::verbose, 'x'},     {flags::ascii, 'a'},     {flags::ungreedy, 'U'},
        {flags::bytes, 'b'},       {flags::allow_raw_byte, 'r'},
    };
    std::string out;
    std::uint16_t rest = word;
    for (const auto& [bit, letter] : letters) {
        if (word & bit) out += letter;
        rest = static_cast<std::uint16_t>(rest & ~bit);
    }
    if (rest) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "+0x%x", rest);
        out += buf;
    }
    return out.empty() ? "-" : out;
}

std::string dump_syntax(const parsed_pattern& parsed, std::string_view pattern) {
    std::string out = join({"flags on=", flag_letters(parsed.flags_on), " off=",
                            flag_letters(parsed.flags_off), " captures=",
                            std::to_string(parsed.capture_count), "\n"});
    for (const auto& g : parsed.group_names) {
        const auto start = static_cast<std::size_t>(g.name_start);
        const auto end = static_cast<std::size_t>(g.name_end);
        const std::string_view name =
            start <= end && end <= pattern.size() ? pattern.substr(start, end - start) : "?";
        out += join({"name ", std::to_string(g.group), " '", name, "' ", std::to_string(g.name_start),
                     "..", std::to_string(g.name_end), "\n"});
    }

    // Depth-first, children in order: push siblings in reverse so the first pops first.
    std::vector<std::pair<std::int32_t, int>> stack;
    if (parsed.root >= 0) stack.emplace_back(parsed.root, 0);
    std::vector<std::int32_t> children;
    while (!stack.empty()) {
        const auto [index, depth] = stack.back();
        stack.pop_back();
        if (index < 0 || static_cast<std::size_t>(index) >= parsed.nodes.size()) {
            out.append(static_cast<std::size_t>(depth) * 2, ' ');
            out += join({"(bad node index ", std::to_string(index), ")\n"});
            continue;
        }
        const syntax_node& n = parsed.nodes[static_cast<std::size_t>(index)];
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        out += node_text(parsed, n);
        out += '\n';
        children.clear();
        for (std::int32_t c = n.first_child; c >= 0 && children.size() <= parsed.nodes.size();
             c = parsed.nodes[static_cast<std::size_t>(c)].next_sibling) {
            children.push_back(c);
            if (static_cast<std::size_t>(c) >= parsed.nodes.size()) break;
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.emplace_back(*it, depth + 1);
    }
    return out;
}

}  // namespace kestrel
