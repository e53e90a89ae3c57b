// Unicode tables and lookups: the table sizes Unicode 16.0.0 must give, the shape every
// range list must have, property-name resolution and its two errors, the shorthand classes
// in both modes, and the word / identifier / letter / case-partner tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "kestrel/regex_error.h"
#include "kestrel/unicode.h"
#include "kestrel/unicode_tables.h"

namespace {

using namespace kestrel;
namespace t = kestrel::tables;

const std::string unsupported_message =
    "unsupported Unicode property in \\p{...} (General_Category, Script, Script_Extensions and "
    "the standard binary properties are built in)";
const std::string namespace_message =
    "unknown Unicode property namespace in \\p{...} (use gc=, sc= or scx=)";

std::size_t scx_total() {
    std::size_t n = 0;
    for (auto set : t::script_extension_sets) n += set.size();
    return n;
}

// ---- sizes -------------------------------------------------------------------------------

struct size_case {
    const char* what;
    std::size_t actual;
    std::size_t expected;
};

TEST(UnicodeTables, SizesMatchUnicode16) {
    const size_case cases[] = {
        {"Lu", t::general_category_sets[0].size(), 651},
        {"Nd", t::general_category_sets[8].size(), 71},
        {"Cn", t::general_category_sets[28].size(), 731},
        {"C", t::general_category_sets[35].size(), 737},
        {"script triples", t::script_ranges.size(), 979},
        {"Script_Extensions slots", t::script_extension_sets.size(), 171},
        {"Script_Extensions ranges", scx_total(), 1338},
        {"scx Common", lookup_property("scx=Zyyy", 0).size(), 159},
        {"scx Inherited", lookup_property("scx=Inherited", 0).size(), 28},
        {"Alphabetic", lookup_property("Alphabetic", 0).size(), 757},
        {"White_Space", lookup_property("White_Space", 0).size(), 10},
        {"XID_Start", t::xid_start_set.size(), 684},
        {"XID_Continue", t::xid_continue_set.size(), 800},
        {"gc names", t::general_category_names.size(), 72},
        {"script names", t::script_names.size(), 332},
        {"binary names", t::binary_property_names.size(), 63},
        {"digit set", t::digit_set.size(), 71},
        {"space set", t::space_set.size(), 10},
        {"word set", t::word_set.size(), 771},
        {"case entries", t::case_table.size(), 2940},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

TEST(UnicodeTables, WordSetEnds) {
    const std::vector<code_point_range> head = {
        {0x30, 0x39}, {0x41, 0x5A}, {0x5F, 0x5F}, {0x61, 0x7A}, {0xAA, 0xAA},
        {0xB2, 0xB3}, {0xB5, 0xB5}, {0xB9, 0xBA}, {0xBC, 0xBE}};
    const std::vector<code_point_range> tail = {
        {0x2F800, 0x2FA1D}, {0x30000, 0x3134A}, {0x31350, 0x323AF}};
    ASSERT_GE(t::word_set.size(), head.size() + tail.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), t::word_set.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), t::word_set.end() - 3));
}

TEST(UnicodeTables, SharedSetsAreNotCopies) {
    EXPECT_EQ(t::digit_set.data(), t::general_category_sets[t::gc_decimal_number].data());
    EXPECT_EQ(t::xid_start_set.data(), t::binary_property_sets[t::binary_xid_start].data());
    EXPECT_EQ(t::xid_continue_set.data(), t::binary_property_sets[t::binary_xid_continue].data());
}

// ---- shape of every list ----------------------------------------------------------------

::testing::AssertionResult well_formed(range_view set) {
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (set[i].first > set[i].last || set[i].last > 0x10FFFF)
            return ::testing::AssertionFailure() << "bad range at " << i;
        if (i > 0 && set[i].first <= set[i - 1].last + 1)
            return ::testing::AssertionFailure() << "unsorted, overlapping or unmerged at " << i;
    }
    return ::testing::AssertionSuccess();
}

bool touches_surrogates(range_view set) {
    return std::any_of(set.begin(), set.end(), [](const code_point_range& r) {
        return r.first <= 0xDFFF && r.last >= 0xD800;
    });
}

TEST(UnicodeTables, EveryRangeListIsWellFormed) {
    for (std::size_t v = 0; v < t::general_category_count; ++v) {
        EXPECT_TRUE(well_formed(t::general_category_sets[v])) << "gc " << v;
        EXPECT_FALSE(touches_surrogates(t::general_category_sets[v])) << "gc " << v;
        EXPECT_FALSE(t::general_category_sets[v].empty()) << "gc " << v;
    }
    for (std::size_t p = 0; p < t::binary_property_count; ++p)
        EXPECT_TRUE(well_formed(t::binary_property_sets[p])) << "binary " << p;
    EXPECT_TRUE(t::script_extension_sets[0].empty());
    for (std::size_t s = 1; s < t::script_extension_sets.size(); ++s) {
        EXPECT_TRUE(well_formed(t::script_extension_sets[s])) << "scx " << s;
        EXPECT_FALSE(t::script_extension_sets[s].empty()) << "scx " << s;
    }
    for (range_view set : {t::digit_set, t::space_set, t::word_set})
        EXPECT_TRUE(well_formed(set));
}

TEST(UnicodeTables, CategoriesPartitionEverythingButSurrogates) {
    // The 29 categories (not the groups) must cover each code point once, surrogates never.
    std::vector<code_point_range> all;
    for (std::size_t v = 0; v <= 28; ++v) {
        const range_view set = t::general_category_sets[v];
        all.insert(all.end(), set.begin(), set.end());
    }
    std::sort(all.begin(), all.end(), [](auto a, auto b) { return a.first < b.first; });
    std::uint32_t next = 0;
    for (const auto& r : all) {
        if (next == 0xD800) next = 0xE000;
        ASSERT_EQ(r.first, next) << "gap or overlap";
        next = r.last + 1;
    }
    EXPECT_EQ(next, 0x110000u);
}

TEST(UnicodeTables, ScriptTriplesSortedDisjointMerged) {
    std::uint32_t prev_last = 0;
    std::uint8_t prev_script = 0;
    for (std::size_t i = 0; i < t::script_ranges.size(); ++i) {
        const auto& r = t::script_ranges[i];
        ASSERT_TRUE(r.first <= r.last && r.last <= 0x10FFFF) << i;
        ASSERT_TRUE(r.script >= 1 && r.script <= 170) << i;
        if (i > 0) {
            ASSERT_GT(r.first, prev_last) << i;
            ASSERT_FALSE(r.first == prev_last + 1 && r.script == prev_script) << "unmerged " << i;
        }
        prev_last = r.last;
        prev_script = r.script;
    }
}

TEST(UnicodeTables, NameTablesAreNormalisedAndComplete) {
    struct table {
        std::span<const t::property_name> names;
        unsigned first_value, last_value;
    };
    for (const table& tb : {table{t::general_category_names, 0, 35}, table{t::script_names, 1, 170},
                            table{t::binary_property_names, 0, 62}}) {
        std::set<std::string_view> seen;
        std::set<unsigned> values;
        for (const auto& n : tb.names) {
            EXPECT_EQ(normalise_property_name(n.name), n.name);
            EXPECT_TRUE(seen.insert(n.name).second) << "duplicate " << n.name;
            EXPECT_TRUE(n.value >= tb.first_value && n.value <= tb.last_value) << n.name;
            values.insert(n.value);
        }
        EXPECT_EQ(values.size(), tb.last_value - tb.first_value + 1);
    }
    for (std::size_t i = 0; i < t::binary_property_names.size(); ++i)
        EXPECT_EQ(t::binary_property_names[i].value, i);
}

TEST(UnicodeTables, CaseTableIsSortedAndSymmetric) {
    const auto table = t::case_table;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto& e = table[i];
        ASSERT_TRUE(e.count >= 1 && e.count <= 3) << std::hex << e.cp;
        if (i > 0) {
            ASSERT_LT(table[i - 1].cp, e.cp);
        }
        // Each partner must list cp and the same other members: classes, not one-way maps.
        std::set<std::uint32_t> cls(e.partners, e.partners + e.count);
        cls.insert(e.cp);
        ASSERT_EQ(cls.size(), e.count + 1u) << std::hex << e.cp;
        for (std::uint32_t p : std::vector<std::uint32_t>(e.partners, e.partners + e.count)) {
            auto back = case_partners(p, true);
            std::set<std::uint32_t> other(back.cps.begin(), back.cps.begin() + back.count);
            other.insert(p);
            EXPECT_EQ(other, cls) << std::hex << e.cp << " / " << p;
        }
    }
}

// ---- property lookup -------------------------------------------------------------------

TEST(LookupProperty, SpellingsOfUppercaseLetter) {
    const range_list lu = lookup_property("Lu", 0);
    const range_view table_lu = t::general_category_sets[0];
    EXPECT_EQ(lu, range_list(table_lu.begin(), table_lu.end()));
    for (const char* name : {"lu", "Uppercase Letter", "uppercase_letter", "gc=LU",
                             "General-Category = Uppercase-Letter", "=Lu"})
        EXPECT_EQ(lookup_property(name, 0), lu) << name;
    EXPECT_TRUE(in_ranges(lu, 0x1C89));  // CYRILLIC CAPITAL LETTER TJE, new in 16.0
}

struct refused_case {
    const char* text;
    const std::string* message;
};

void PrintTo(const refused_case& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class RefusedProperty : public ::testing::TestWithParam<refused_case> {};

TEST_P(RefusedProperty, ThrowsAtGivenPosition) {
    try {
        lookup_property(GetParam().text, 17);
        FAIL() << "accepted " << GetParam().text;
    } catch (const regex_error& e) {
        EXPECT_EQ(e.message(), *GetParam().message) << GetParam().text;
        EXPECT_EQ(e.position(), 17) << GetParam().text;
    }
}

const refused_case refused_cases[] = {
    {"L&", &unsupported_message},        {"LC", &unsupported_message},
    {"ASCII", &unsupported_message},     {"Alpha", &unsupported_message},
    {"Cs", &unsupported_message},        {"zzzz", &unsupported_message},
    {"hrkt", &unsupported_message},      {"qaac", &unsupported_message},
    {"gc=Alphabetic", &unsupported_message}, {"gc=Greek", &unsupported_message},
    {"sc=Lu", &unsupported_message},     {"scx=Any", &unsupported_message},
    {"digit", &unsupported_message},     {"", &unsupported_message},
    {"foo=bar", &namespace_message},     {"foo=Lu", &namespace_message},
};

INSTANTIATE_TEST_SUITE_P(Names, RefusedProperty, ::testing::ValuesIn(refused_cases));

TEST(LookupProperty, AnyAndOther) {
    EXPECT_EQ(lookup_property("Any", 0), (range_list{{0, 0x10FFFF}}));
    const range_list c = lookup_property("C", 0);
    EXPECT_TRUE(in_ranges(c, 0x10FFFF));
    EXPECT_TRUE(in_ranges(c, 0xFFFF));   // noncharacter, so unassigned
    EXPECT_TRUE(in_ranges(c, 0xE000));   // private use
    EXPECT_FALSE(touches_surrogates(c));
}

bool is_subset(const range_list& a, const range_list& b) {
    return std::all_of(a.begin(), a.end(), [&](const code_point_range& r) {
        auto it = std::upper_bound(
            b.begin(), b.end(), r.first,
            [](std::uint32_t c, const code_point_range& x) { return c < x.first; });
        return it != b.begin() && std::prev(it)->last >= r.last;
    });
}

TEST(LookupProperty, ScriptAndExtensions) {
    const range_list sc = lookup_property("sc=Deva", 0);
    const range_list scx = lookup_property("scx=Devanagari", 0);
    EXPECT_TRUE(is_subset(sc, scx));
    EXPECT_NE(sc, scx);
    EXPECT_FALSE(in_ranges(sc, 0x0964));  // DEVANAGARI DANDA is Common, shared by many scripts
    EXPECT_TRUE(in_ranges(scx, 0x0964));
    EXPECT_TRUE(in_ranges(sc, 0x0905));

    // A bare script name is Script, never Script_Extensions.
    const range_list greek = lookup_property("Greek", 0);
    EXPECT_EQ(greek, lookup_property("sc=Greek", 0));
    EXPECT_EQ(greek, lookup_property("Script=grek", 0));
    EXPECT_NE(greek, lookup_property("Script_Extensions=Greek", 0));

    // Sc is the currency category, never a script.
    const range_list sc_cat = lookup_property("Sc", 0);
    EXPECT_EQ(sc_cat, lookup_property("Currency_Symbol", 0));
    EXPECT_TRUE(in_ranges(sc_cat, '$'));
    EXPECT_TRUE(in_ranges(sc_cat, 0x20AC));
    EXPECT_FALSE(in_ranges(sc_cat, 'A'));
}

TEST(LookupProperty, ScriptsNewIn16) {
    for (const char* name : {"Garay", "Gurung_Khema", "Kirat_Rai", "Ol_Onal", "Sunuwar", "Todhri",
                             "Tulu_Tigalari", "gara", "sunu"})
        EXPECT_FALSE(lookup_property(name, 0).empty()) << name;
}

TEST(LookupProperty, NamesCutAt64SignificantBytes) {
    const std::string sixty_four(64, 'a');
    EXPECT_EQ(normalise_property_name(sixty_four + "BCD"), sixty_four);
    // Spaces, hyphens and underscores do not count towards the 64.
    EXPECT_EQ(normalise_property_name(std::string(200, '_') + "L u"), "lu");
    EXPECT_EQ(lookup_property("L" + std::string(100, ' ') + "u", 0), lookup_property("Lu", 0));
    // Whatever follows the 64th significant byte is ignored: only a 64-byte prefix can match.
    EXPECT_THROW(lookup_property(sixty_four + "lu", 0), regex_error);
    EXPECT_EQ(normalise_property_name("Ab-C_d E\xC3\x89"), "abcde\xC3\x89");
}

// ---- shorthands and word characters -----------------------------------------------------

TEST(Shorthand, AsciiAndUnicodeParts) {
    for (char letter : {'d', 'D', 's', 'S', 'w', 'W'}) {
        const bool negated = letter < 'a';
        const shorthand a = shorthand_class(letter, false);
        const shorthand u = shorthand_class(letter, true);
        EXPECT_EQ(a.negated, negated) << letter;
        EXPECT_EQ(u.negated, negated) << letter;
        EXPECT_TRUE(a.ranges.empty()) << letter;
        ASSERT_FALSE(u.ranges.empty()) << letter;
        EXPECT_GE(u.ranges.front().first, 128u) << letter;
        EXPECT_EQ(u.ranges.end(), (letter == 'd' || letter == 'D')   ? t::digit_set.end()
                                  : (letter == 's' || letter == 'S') ? t::space_set.end()
                                                                     : t::word_set.end());
    }
    EXPECT_EQ(shorthand_class('d', true).ascii.count(), 10);
    EXPECT_EQ(shorthand_class('w', false).ascii.count(), 63);
    EXPECT_EQ(shorthand_class('w', true).ascii, shorthand_class('w', false).ascii);
    EXPECT_EQ(shorthand_class('w', true).ranges.front(), (code_point_range{0xAA, 0xAA}));

    const shorthand s_ascii = shorthand_class('s', false);
    const shorthand s_unicode = shorthand_class('s', true);
    EXPECT_EQ(s_ascii.ascii.count(), 6);
    EXPECT_FALSE(s_ascii.ascii.test(28));
    EXPECT_EQ(s_unicode.ascii.count(), 10);
    for (std::uint8_t b : {9, 13, 28, 31, 32}) EXPECT_TRUE(s_unicode.ascii.test(b)) << int(b);
    EXPECT_EQ(s_unicode.ranges.front(), (code_point_range{0x85, 0x85}));
}

TEST(Shorthand, AsciiPartsAgreeWithTheFullSets) {
    // The byte set of the Unicode-mode class must be exactly the set's members below 128.
    const std::pair<char, range_view> sets[] = {
        {'d', t::digit_set}, {'s', t::space_set}, {'w', t::word_set}};
    for (const auto& [letter, set] : sets) {
        const byte_set ascii = shorthand_class(letter, true).ascii;
        for (std::uint32_t b = 0; b < 128; ++b)
            EXPECT_EQ(ascii.test(static_cast<std::uint8_t>(b)), in_ranges(set, b))
                << letter << " " << b;
    }
}

struct word_case {
    std::uint32_t cp;
    bool ascii_mode, unicode_mode;
};

TEST(WordChar, BothModes) {
    const word_case cases[] = {
        {'a', true, true},      {'Z', true, true},     {'5', true, true},      {'_', true, true},
        {' ', false, false},    {'-', false, false},   {0x7F, false, false},
        {0xE9, false, true},    // é
        {0xB2, false, true},    // superscript two: Numeric_Type Digit
        {0x0660, false, true},  // Arabic-Indic zero
        {0x0300, false, false}, // combining grave: marks are not word characters
        {0x203F, false, false}, // undertie: connector punctuation other than '_'
        {0x3134A, false, true}, {0x3134B, false, false}, {0x10FFFF, false, false},
        {0xFFFFFFFF, false, false},  // what a matcher may pass for invalid UTF-8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_word_char(c.cp, false), c.ascii_mode) << std::hex << c.cp;
        EXPECT_EQ(is_word_char(c.cp, true), c.unicode_mode) << std::hex << c.cp;
    }
}

TEST(InRanges, Boundaries) {
    const range_list set = {{5, 7}, {10, 10}, {0x10FFFE, 0x10FFFF}};
    const std::pair<std::uint32_t, bool> cases[] = {
        {0, false}, {4, false}, {5, true}, {7, true}, {8, false}, {9, false}, {10, true},
        {11, false}, {0x10FFFD, false}, {0x10FFFF, true}, {0x110000, false}};
    for (const auto& [cp, member] : cases) EXPECT_EQ(in_ranges(set, cp), member) << cp;
    EXPECT_FALSE(in_ranges(range_view{}, 0));
}

// ---- identifiers and letters ------------------------------------------------------------

struct ident_case {
    std::uint32_t cp;
    bool letter, xid_start, xid_continue;
};

TEST(Identifiers, SpotChecks) {
    const ident_case cases[] = {
        {'A', true, true, true},        {'_', false, false, true},     {'0', false, false, true},
        {' ', false, false, false},     {0xAA, true, true, true},      {0xB7, false, false, true},
        {0x0300, false, false, true},   {0x2160, false, true, true},   // Roman numeral one (Nl)
        {0x1C89, true, true, true},
        {0x309B, false, false, false},  // ID_Start but not XID_Start (not closed under NFKC)
        {0x0E33, true, false, true},    // Thai sara am: a letter, not XID_Start
        {0xD800, false, false, false},  {0xE000, false, false, false},
        {0x10FFFF, false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_letter(c.cp), c.letter) << std::hex << c.cp;
        EXPECT_EQ(is_xid_start(c.cp), c.xid_start) << std::hex << c.cp;
        EXPECT_EQ(is_xid_continue(c.cp), c.xid_continue) << std::hex << c.cp;
    }
}

// ---- case partners ----------------------------------------------------------------------

std::set<std::uint32_t> partners_of(std::uint32_t cp, bool unicode) {
    const auto p = case_partners(cp, unicode);
    return {p.cps.begin(), p.cps.begin() + p.count};
}

TEST(CasePartners, UnicodeClasses) {
    const std::vector<std::set<std::uint32_t>> classes = {
        {'I', 'i', 0x130, 0x131},
        {'K', 'k', 0x212A},
        {'S', 's', 0x17F},
        {0xDF, 0x1E9E},
        {0x345, 0x399, 0x3B9, 0x1FBE},
        {0x1C4, 0x1C5, 0x1C6},
        {0x390, 0x1FD3},
        {0x3B0, 0x1FE3},
        {0xFB05, 0xFB06},
    };
    for (const auto& cls : classes)
        for (std::uint32_t cp : cls) {
            std::set<std::uint32_t> expected = cls;
            expected.erase(cp);
            EXPECT_EQ(partners_of(cp, true), expected) << std::hex << cp;
        }
    for (std::uint32_t cp : {std::uint32_t{'0'}, std::uint32_t{0xAA}, std::uint32_t{0x10FFFF}})
        EXPECT_TRUE(partners_of(cp, true).empty()) << std::hex << cp;
}

TEST(CasePartners, AsciiModePairsOnlyAsciiLetters) {
    EXPECT_EQ(partners_of('a', false), (std::set<std::uint32_t>{'A'}));
    EXPECT_EQ(partners_of('Z', false), (std::set<std::uint32_t>{'z'}));
    EXPECT_EQ(partners_of('K', false), (std::set<std::uint32_t>{'k'}));
    EXPECT_EQ(partners_of('i', false), (std::set<std::uint32_t>{'I'}));
    for (std::uint32_t cp : {std::uint32_t{'@'}, std::uint32_t{'['}, std::uint32_t{'`'},
                             std::uint32_t{'{'}, std::uint32_t{0xE9}, std::uint32_t{0x212A}})
        EXPECT_TRUE(partners_of(cp, false).empty()) << std::hex << cp;
}

}  // namespace

namespace {

TEST(CasePartners, NextCasedCodePointWalksTheTable) {
    // Walking with next_cased_code_point visits exactly the code points that have partners.
    std::size_t visited = 0;
    for (std::uint32_t cp = kestrel::next_cased_code_point(0); cp <= 0x10FFFF;
         cp = kestrel::next_cased_code_point(cp + 1)) {
        ASSERT_GT(kestrel::case_partners(cp, true).count, 0) << cp;
        ++visited;
    }
    EXPECT_EQ(visited, kestrel::tables::case_table.size());
    EXPECT_EQ(kestrel::next_cased_code_point('A'), std::uint32_t{'A'});
    EXPECT_EQ(kestrel::next_cased_code_point('['), std::uint32_t{'a'});
    EXPECT_GT(kestrel::next_cased_code_point(0x10FFFF), 0x10FFFFu);
}

}  // namespace
