// Lookups over the compiled Unicode tables: \p{...} names, the \d \s \w shorthands, the
// word / identifier / letter tests and case partners.
//
// Everything here answers from the constant arrays of unicode_tables.cpp.  Membership is a
// binary search over a range list (upper_bound on `first`, then one comparison with `last`);
// case partners are a binary search over the case table keyed by code point.  Property
// names go through one normalisation (drop ' ', '-', '_', fold A-Z, cut at 64 bytes) and a
// linear scan of the small name tables: this runs once per \p in a pattern, so a hash table
// would buy nothing.  Only lookup_property allocates (the normalised names and the range
// list it returns, which the parser owns and may edit); membership and case lookups never do.
#include "kestrel/unicode.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "kestrel/regex_error.h"
#include "kestrel/unicode_tables.h"

namespace kestrel {

namespace {

// Significant bytes of a property name kept by normalisation; anything beyond is ignored,
// so an absurdly long \p{...} costs no more than a long name.
constexpr std::size_t max_property_name_bytes = 64;

constexpr std::uint32_t max_code_point = 0x10FFFF;

constexpr const char* unknown_namespace_message =
    "unknown Unicode property namespace in \\p{...} (use gc=, sc= or scx=)";
constexpr const char* unsupported_property_message =
    "unsupported Unicode property in \\p{...} (General_Category, Script, Script_Extensions and "
    "the standard binary properties are built in)";

enum class property_namespace { none, general_category, script, script_extensions };

// Compares a range with a bare code point by the range's first code point, either way round,
// for the standard binary searches.
struct by_first {
    bool operator()(const code_point_range& r, std::uint32_t cp) const noexcept {
        return r.first < cp;
    }
    bool operator()(std::uint32_t cp, const code_point_range& r) const noexcept {
        return cp < r.first;
    }
};

std::optional<std::uint8_t> find_name(std::span<const tables::property_name> names,
                                      std::string_view normalised) {
    for (const auto& entry : names)
        if (entry.name == normalised) return entry.value;
    return std::nullopt;
}

range_list copy_of(range_view set) { return range_list(set.begin(), set.end()); }

range_list script_set(std::uint8_t script) {
    range_list out;
    for (const auto& r : tables::script_ranges)
        if (r.script == script) out.push_back({r.first, r.last});
    return out;
}

// The tail of a shorthand set from code point 128 on.  The generator guarantees that no
// range of these sets spans 127/128, so the ASCII members are exactly the leading ranges.
range_view non_ascii_part(range_view set) {
    auto it = std::lower_bound(set.begin(), set.end(), std::uint32_t{128}, by_first{});
    return set.subspan(static_cast<std::size_t>(it - set.begin()));
}

}  // namespace

byte_set ascii_word_bytes() noexcept {
    byte_set s;
    s.set_range('0', '9');
    s.set_range('A', 'Z');
    s.set_range('a', 'z');
    s.set('_');
    return s;
}

std::string normalise_property_name(std::string_view name) {
    std::string out;
    out.reserve(std::min(name.size(), max_property_name_bytes));
    for (char c : name) {
        if (out.size() == max_property_name_bytes) break;
        if (c == ' ' || c == '-' || c == '_') continue;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out.push_back(c);
    }
    return out;
}

range_list lookup_property(std::string_view text, std::int32_t error_position) {
    // An empty namespace ("=Lu") counts as no namespace: only a non-empty unknown one is an
    // error of its own.
    property_namespace ns = property_namespace::none;
    std::string_view value_text = text;
    if (auto eq = text.find('='); eq != std::string_view::npos) {
        const std::string name = normalise_property_name(text.substr(0, eq));
        value_text = text.substr(eq + 1);
        if (name == "gc" || name == "generalcategory")
            ns = property_namespace::general_category;
        else if (name == "sc" || name == "script")
            ns = property_namespace::script;
        else if (name == "scx" || name == "scriptextensions")
            ns = property_namespace::script_extensions;
        else if (!name.empty())
            throw regex_error(unknown_namespace_message, error_position);
    }
    const std::string value = normalise_property_name(value_text);

    // General_Category first, so that the two-letter category names win over any script or
    // property spelled the same (Sc is the currency category, never a script).
    if (ns == property_namespace::none || ns == property_namespace::general_category)
        if (auto gc = find_name(tables::general_category_names, value))
            return copy_of(tables::general_category_sets[*gc]);
    if (ns == property_namespace::none || ns == property_namespace::script)
        if (auto sc = find_name(tables::script_names, value)) return script_set(*sc);
    if (ns == property_namespace::script_extensions)
        if (auto sc = find_name(tables::script_names, value))
            return copy_of(tables::script_extension_sets[*sc]);
    if (ns == property_namespace::none) {
        if (auto bp = find_name(tables::binary_property_names, value))
            return copy_of(tables::binary_property_sets[*bp]);
        if (value == "any") return range_list{{0, max_code_point}};
    }
    throw regex_error(unsupported_property_message, error_position);
}

shorthand shorthand_class(char letter, bool unicode) {
    shorthand out;
    range_view set;
    switch (letter) {
    case 'd': case 'D':
        out.ascii.set_range('0', '9');
        set = tables::digit_set;
        break;
    case 's': case 'S':
        // ASCII mode keeps to the classic six; Unicode mode adds the information separators
        // 28-31, which Unicode gives the paragraph / segment separator bidi classes.
        out.ascii.set_range(9, 13);
        out.ascii.set(' ');
        if (unicode) out.ascii.set_range(28, 31);
        set = tables::space_set;
        break;
    case 'w': case 'W':
        out.ascii = ascii_word_bytes();
        set = tables::word_set;
        break;
    default:
        break;
    }
    if (unicode) out.ranges = non_ascii_part(set);
    out.negated = letter >= 'A' && letter <= 'Z';
    return out;
}

void normalise_ranges(range_list& ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const code_point_range& a, const code_point_range& b) { return a.first < b.first; });
    std::size_t out = 0;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (out > 0 && ranges[i].first <= ranges[out - 1].last + 1) {
            ranges[out - 1].last = std::max(ranges[out - 1].last, ranges[i].last);
        } else {
            ranges[out++] = ranges[i];
        }
    }
    ranges.resize(out);
}

bool in_ranges(range_view set, std::uint32_t cp) noexcept {
    // First range starting after cp; the one before it is the only candidate.  Values above
    // 0x10FFFF (a matcher's "no valid character here") are in no set of the tables.
    auto it = std::upper_bound(set.begin(), set.end(), cp, by_first{});
    return it != set.begin() && cp <= std::prev(it)->last;
}

bool is_word_char(std::uint32_t cp, bool unicode) noexcept {
    if (cp < 128) {
        return (cp >= '0' && cp <= '9') || (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z') ||
               cp == '_';
    }
    return unicode && in_ranges(tables::word_set, cp);
}

bool is_xid_start(std::uint32_t cp) noexcept { return in_ranges(tables::xid_start_set, cp); }

bool is_xid_continue(std::uint32_t cp) noexcept { return in_ranges(tables::xid_continue_set, cp); }

bool is_letter(std::uint32_t cp) noexcept {
    return in_ranges(tables::general_category_sets[tables::gc_letter], cp);
}

case_partner_list case_partners(std::uint32_t cp, bool unicode) noexcept {
    case_partner_list out;
    if (!unicode) {
        if ((cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z')) {
            out.cps[0] = cp ^ 0x20;  // the two cases differ in one bit in ASCII
            out.count = 1;
        }
        return out;
    }
    const auto table = tables::case_table;
    auto it = std::lower_bound(
        table.begin(), table.end(), cp,
        [](const tables::case_entry& e, std::uint32_t c) { return e.cp < c; });
    if (it != table.end() && it->cp == cp) {
        std::copy(it->partners, it->partners + it->count, out.cps.begin());
        out.count = it->count;
    }
    return out;
}

std::uint32_t next_cased_code_point(std::uint32_t from) noexcept {
    const auto table = tables::case_table;
    auto it = std::lower_bound(
        table.begin(), table.end(), from,
        [](const tables::case_entry& e, std::uint32_t c) { return e.cp < c; });
    return it == table.end() ? max_code_point + 1 : it->cp;
}

}  // namespace kestrel
