#!/usr/bin/env python3
"""Generates kestrel's compiled Unicode tables (src/kestrel/unicode_tables.cpp).

The engine reads no files at run time, so every Unicode fact it needs is turned into constant
C++ arrays here, from the text files of the Unicode Character Database:

    python3 tools/gen_unicode_tables.py UCD_DIR OUT_FILE           write the table file
    python3 tools/gen_unicode_tables.py --check UCD_DIR OUT_FILE   compare, exit 0 / 1 / 77

--check regenerates in memory and exits 0 when OUT_FILE is identical, 1 (with a short diff
summary) when it is not, and 77 (the test runner's "skipped") when UCD_DIR is missing.

What is built, and from which file:
  * General_Category range lists, values 0-35 (29 categories, then the groups L M N P S Z C
    as unions of their members): UnicodeData.txt field 2, cross-checked against
    extracted/DerivedGeneralCategory.txt.  Cn is whatever UnicodeData does not assign;
    surrogates (Cs) are in no list, not even C.
  * Script triples (first, last, script 1-170) and per-script Script_Extensions lists:
    Scripts.txt, ScriptExtensions.txt.  A code point absent from ScriptExtensions.txt has
    the extension set {its Script}.  Script numbers follow the order of the script lines in
    PropertyValueAliases.txt, leaving out Unknown (Zzzz) and Katakana_Or_Hiragana (Hrkt).
  * 63 binary property lists: PropList.txt, DerivedCoreProperties.txt, emoji/emoji-data.txt.
  * Name tables (normalised names): PropertyValueAliases.txt for the categories and scripts.
  * \\s and \\w sets for Unicode mode: Bidi_Class WS/B/S or gc Zs, and gc L* or any
    Numeric_Type, plus '_' (extracted/DerivedBidiClass.txt, extracted/DerivedNumericType.txt).
  * Case-equivalence classes: simple upper/lower/title mappings of UnicodeData.txt and the
    C and S lines of CaseFolding.txt, joined transitively.

Every list is merged into maximal runs, so its length is a property of the data and not of
the line layout of the files.  Output is byte-for-byte deterministic.  Standard library only.
"""

import difflib
import os
import re
import sys

MAX_CODE_POINT = 0x10FFFF
SURROGATES = (0xD800, 0xDFFF)

# Category numbering of the engine: the 28 categories, then the seven groups.
GENERAL_CATEGORIES = [
    "Lu", "Ll", "Lt", "Lm", "Lo", "Mn", "Mc", "Me", "Nd", "Nl", "No", "Pc", "Pd", "Ps",
    "Pe", "Pi", "Pf", "Po", "Sm", "Sc", "Sk", "So", "Zs", "Zl", "Zp", "Cc", "Cf", "Co", "Cn",
]
CATEGORY_GROUPS = {
    "L": ["Lu", "Ll", "Lt", "Lm", "Lo"],
    "M": ["Mn", "Mc", "Me"],
    "N": ["Nd", "Nl", "No"],
    "P": ["Pc", "Pd", "Ps", "Pe", "Pi", "Pf", "Po"],
    "S": ["Sm", "Sc", "Sk", "So"],
    "Z": ["Zs", "Zl", "Zp"],
    "C": ["Cc", "Cf", "Co", "Cn"],  # Cs left out on purpose: surrogates are never matched
}
GC_ORDER = GENERAL_CATEGORIES + list(CATEGORY_GROUPS)

# Scripts that exist as alias lines but name no usable set.
EXCLUDED_SCRIPTS = {"Zzzz", "Hrkt"}

# Binary properties in the engine's table order (their value numbers).
BINARY_PROPERTIES = [
    "ASCII_Hex_Digit", "Alphabetic", "Bidi_Control", "Case_Ignorable", "Cased",
    "Changes_When_Casefolded", "Changes_When_Casemapped", "Changes_When_Lowercased",
    "Changes_When_Titlecased", "Changes_When_Uppercased", "Dash",
    "Default_Ignorable_Code_Point", "Deprecated", "Diacritic", "Emoji", "Emoji_Component",
    "Emoji_Modifier", "Emoji_Modifier_Base", "Emoji_Presentation", "Extended_Pictographic",
    "Extender", "Grapheme_Base", "Grapheme_Extend", "Grapheme_Link", "Hex_Digit", "Hyphen",
    "IDS_Binary_Operator", "IDS_Trinary_Operator", "IDS_Unary_Operator",
    "ID_Compat_Math_Continue", "ID_Compat_Math_Start", "ID_Continue", "ID_Start",
    "Ideographic", "Join_Control", "Logical_Order_Exception", "Lowercase", "Math",
    "Modifier_Combining_Mark", "Noncharacter_Code_Point", "Other_Alphabetic",
    "Other_Default_Ignorable_Code_Point", "Other_Grapheme_Extend", "Other_ID_Continue",
    "Other_ID_Start", "Other_Lowercase", "Other_Math", "Other_Uppercase", "Pattern_Syntax",
    "Pattern_White_Space", "Prepended_Concatenation_Mark", "Quotation_Mark", "Radical",
    "Regional_Indicator", "Sentence_Terminal", "Soft_Dotted", "Terminal_Punctuation",
    "Unified_Ideograph", "Uppercase", "Variation_Selector", "White_Space", "XID_Continue",
    "XID_Start",
]
BINARY_PROPERTY_FILES = ["PropList.txt", "DerivedCoreProperties.txt", "emoji/emoji-data.txt"]

# Pairs the case table joins on top of the UCD mappings (Greek letters with dialytika and
# tonos in their two encodings, and the two "st" ligatures).  Current data already links
# them through CaseFolding S lines; keeping them here keeps the classes stable if it stops.
EXTRA_CASE_PAIRS = [(0x0390, 0x1FD3), (0x03B0, 0x1FE3), (0xFB05, 0xFB06)]
MAX_CASE_PARTNERS = 3

LINE_WIDTH = 100
REGEN_COMMAND = ("python3 tools/gen_unicode_tables.py ../shared/ucd/{v} "
                 "src/kestrel/unicode_tables.cpp")


USAGE = "usage: gen_unicode_tables.py [--check] UCD_DIR OUT_FILE"


class DataError(Exception):
    """The UCD files do not have the shape the generator relies on."""


# ---------------------------------------------------------------------------------------
# Range arithmetic.  A range list is a list of inclusive (first, last) tuples; the helpers
# return them sorted, disjoint and with adjacent runs joined.

def merge(ranges):
    out = []
    for first, last in sorted(ranges):
        if out and first <= out[-1][1] + 1:
            if last > out[-1][1]:
                out[-1] = (out[-1][0], last)
        else:
            out.append((first, last))
    return out


def complement(ranges, lo=0, hi=MAX_CODE_POINT):
    out = []
    nxt = lo
    for first, last in merge(ranges):
        if first > nxt:
            out.append((nxt, first - 1))
        nxt = max(nxt, last + 1)
    if nxt <= hi:
        out.append((nxt, hi))
    return out


def intersect(a, b):
    a, b = merge(a), merge(b)
    out = []
    i = j = 0
    while i < len(a) and j < len(b):
        first = max(a[i][0], b[j][0])
        last = min(a[i][1], b[j][1])
        if first <= last:
            out.append((first, last))
        if a[i][1] < b[j][1]:
            i += 1
        else:
            j += 1
    return out


def subtract(a, b):
    return intersect(a, complement(b))


def runs(code_points):
    """Range list of a collection of single code points."""
    return merge((cp, cp) for cp in code_points)


# ---------------------------------------------------------------------------------------
# Readers.

def data_lines(path):
    """Yields the ';'-separated, stripped fields of every data line of a UCD text file."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def parse_range(text):
    first, _, last = text.partition("..")
    return int(first, 16), int(last or first, 16)


def ucd_version(ucd):
    """The version named in the headers of the range files, which must all agree."""
    versions = set()
    for name in ["Scripts.txt", "PropList.txt", "DerivedCoreProperties.txt", "CaseFolding.txt",
                 "PropertyValueAliases.txt"]:
        with open(os.path.join(ucd, name), encoding="utf-8") as f:
            m = re.match(r"#\s*\S+-(\d+\.\d+\.\d+)\.txt", f.readline())
        if not m:
            raise DataError(f"{name}: first line does not name a Unicode version")
        versions.add(m.group(1))
    if len(versions) != 1:
        raise DataError(f"UCD files of different versions: {sorted(versions)}")
    return versions.pop()


def read_unicode_data(ucd):
    """Per-category ranges and the simple case mappings from UnicodeData.txt."""
    by_category = {}
    mappings = []
    open_range = None
    for fields in data_lines(os.path.join(ucd, "UnicodeData.txt")):
        cp = int(fields[0], 16)
        name, category = fields[1], fields[2]
        if name.endswith(", First>"):
            open_range = (cp, category)
            continue
        first = cp
        if name.endswith(", Last>"):
            if open_range is None or open_range[1] != category:
                raise DataError(f"UnicodeData.txt: unmatched range end at {cp:04X}")
            first = open_range[0]
            open_range = None
        by_category.setdefault(category, []).append((first, cp))
        for field in fields[12:15]:
            if field:
                mappings.append((cp, int(field, 16)))
    return by_category, mappings


def read_general_categories(ucd):
    by_category, mappings = read_unicode_data(ucd)
    assigned = [r for ranges in by_category.values() for r in ranges]
    by_category["Cn"] = complement(assigned)
    derived = {}
    for fields in data_lines(os.path.join(ucd, "extracted", "DerivedGeneralCategory.txt")):
        derived.setdefault(fields[1], []).append(parse_range(fields[0]))
    for category in set(by_category) | set(derived):
        if merge(by_category.get(category, [])) != merge(derived.get(category, [])):
            raise DataError("UnicodeData.txt and DerivedGeneralCategory.txt disagree on "
                            + category)
    unknown = set(by_category) - set(GENERAL_CATEGORIES) - {"Cs"}
    if unknown:
        raise DataError(f"unexpected general categories {sorted(unknown)}")
    if merge(by_category["Cs"]) != [SURROGATES]:
        raise DataError("surrogates are not exactly D800..DFFF")

    sets = [merge(by_category.get(c, [])) for c in GENERAL_CATEGORIES]
    for members in CATEGORY_GROUPS.values():
        sets.append(merge(r for c in members for r in by_category.get(c, [])))
    return sets, mappings


def read_aliases(ucd, prop):
    """(short, long, other aliases...) of every value line of `prop` in PropertyValueAliases."""
    return [fields[1:] for fields in data_lines(os.path.join(ucd, "PropertyValueAliases.txt"))
            if fields[0] == prop]


def normalise(name):
    """The engine's name normalisation: no ' ', '-', '_'; A-Z lowercased; 64 bytes at most."""
    out = "".join(c.lower() if "A" <= c <= "Z" else c for c in name if c not in " -_")
    return out[:64]


def general_category_names(ucd):
    aliases = {fields[0]: fields[1] for fields in read_aliases(ucd, "gc")}
    names = []
    for value, short in enumerate(GC_ORDER):
        if short not in aliases:
            raise DataError(f"PropertyValueAliases.txt has no gc line for {short}")
        for name in dict.fromkeys([normalise(short), normalise(aliases[short])]):
            names.append((name, value))
    return names


def read_scripts(ucd):
    """Script numbering, names, merged triples and Script_Extensions lists."""
    numbers = {}   # any alias as written in the files (short or long) -> number
    names = []
    script_count = 0
    for fields in read_aliases(ucd, "sc"):
        short, long_ = fields[0], fields[1]
        if short in EXCLUDED_SCRIPTS:
            continue
        script_count += 1
        number = script_count
        numbers[short] = numbers[long_] = number
        for name in dict.fromkeys([normalise(short), normalise(long_)]):
            names.append((name, number))

    sc_ranges = [[] for _ in range(script_count + 1)]
    for fields in data_lines(os.path.join(ucd, "Scripts.txt")):
        if fields[1] not in numbers:
            raise DataError(f"Scripts.txt: unknown script {fields[1]}")
        sc_ranges[numbers[fields[1]]].append(parse_range(fields[0]))
    sc_ranges = [merge(r) for r in sc_ranges]

    triples = sorted((first, last, n)
                     for n, ranges in enumerate(sc_ranges) for first, last in ranges)
    for a, b in zip(triples, triples[1:]):
        if b[0] <= a[1]:
            raise DataError(f"Scripts.txt: {b[0]:04X} has two scripts")

    listed = []
    scx_ranges = [[] for _ in range(script_count + 1)]
    for fields in data_lines(os.path.join(ucd, "ScriptExtensions.txt")):
        r = parse_range(fields[0])
        listed.append(r)
        for code in fields[1].split():
            if code not in numbers:
                raise DataError(f"ScriptExtensions.txt: unknown script {code}")
            scx_ranges[numbers[code]].append(r)
    for n in range(1, script_count + 1):
        scx_ranges[n] = merge(subtract(sc_ranges[n], listed) + scx_ranges[n])
    return names, triples, scx_ranges


def read_binary_properties(ucd):
    found = {}
    for name in BINARY_PROPERTY_FILES:
        for fields in data_lines(os.path.join(ucd, name)):
            if len(fields) != 2:
                continue  # enumerated properties such as "InCB; Linker"
            found.setdefault(fields[1], []).append(parse_range(fields[0]))
    known = {fields[1] for fields in data_lines(os.path.join(ucd, "PropertyAliases.txt"))}
    sets = []
    for prop in BINARY_PROPERTIES:
        if prop not in found or prop not in known:
            raise DataError(f"binary property {prop} not found in the UCD files")
        sets.append(merge(found[prop]))
    names = [(normalise(prop), value) for value, prop in enumerate(BINARY_PROPERTIES)]
    return names, sets


def property_ranges(path, values):
    """Ranges of the lines of an extracted file whose value is one of `values`."""
    return merge(parse_range(f[0]) for f in data_lines(path) if f[1] in values)


def read_space_and_word_sets(ucd, gc_sets):
    gc = dict(zip(GC_ORDER, gc_sets))
    bidi = property_ranges(os.path.join(ucd, "extracted", "DerivedBidiClass.txt"), {"WS", "B", "S"})
    space = merge(bidi + gc["Zs"])
    numeric = property_ranges(os.path.join(ucd, "extracted", "DerivedNumericType.txt"),
                              {"Decimal", "Digit", "Numeric"})
    word = merge(gc["L"] + numeric + [(0x5F, 0x5F)])
    return space, word


def case_classes(mappings, ucd):
    """Case-equivalence classes (sorted tuples of two to four code points)."""
    parent = {}

    def find(cp):
        parent.setdefault(cp, cp)
        while parent[cp] != cp:
            parent[cp] = parent[parent[cp]]
            cp = parent[cp]
        return cp

    def join(a, b):
        ra, rb = find(a), find(b)
        if ra != rb:
            parent[max(ra, rb)] = min(ra, rb)

    pairs = list(mappings) + EXTRA_CASE_PAIRS
    for fields in data_lines(os.path.join(ucd, "CaseFolding.txt")):
        if fields[1] in ("C", "S"):
            pairs.append((int(fields[0], 16), int(fields[2], 16)))
    for a, b in pairs:
        join(a, b)
    classes = {}
    for cp in parent:
        classes.setdefault(find(cp), []).append(cp)
    result = sorted(tuple(sorted(c)) for c in classes.values() if len(c) > 1)
    for c in result:
        if len(c) > MAX_CASE_PARTNERS + 1:
            raise DataError(f"case class {[hex(x) for x in c]} has more than "
                            f"{MAX_CASE_PARTNERS} partners")
    return result


# ---------------------------------------------------------------------------------------
# Output.

def cpp_ident(name):
    return re.sub(r"[^0-9a-z]", "_", name.lower())


def pack(out, items, indent=""):
    """Appends items to `out` as lines of at most LINE_WIDTH characters."""
    line = indent
    for item in items:
        if line != indent and len(line) + len(item) > LINE_WIDTH:
            out.append(line.rstrip())
            line = indent
        line += item
    if line != indent:
        out.append(line.rstrip())


def emit_array(out, type_, ident, items):
    out.append(f"constexpr {type_} {ident}[] = {{  // {len(items)}")
    pack(out, items)
    out.append("};")


def emit_ranges(out, ident, ranges):
    """Writes one constant range array; returns the expression a range_view is built from."""
    if not ranges:
        return "range_view{}"
    emit_array(out, "code_point_range", ident, [f"{{0x{a:X},0x{b:X}}}," for a, b in ranges])
    return ident


def check_ascii_split(ranges, what):
    """The engine hands out the ASCII part of \\d \\s \\w as a byte set and the rest as a
    tail of the range list, which only works when no range crosses 127/128."""
    for first, last in ranges:
        if first < 128 <= last:
            raise DataError(f"{what} set has a range across 127/128")


def generate(ucd):
    version = ucd_version(ucd)
    gc_sets, mappings = read_general_categories(ucd)
    gc_names = general_category_names(ucd)
    script_names, triples, scx_sets = read_scripts(ucd)
    binary_names, binary_sets = read_binary_properties(ucd)
    space, word = read_space_and_word_sets(ucd, gc_sets)
    classes = case_classes(mappings, ucd)
    script_count = len(scx_sets) - 1
    for ranges, what in [(gc_sets[GC_ORDER.index("Nd")], "digit"), (space, "space"),
                         (word, "word")]:
        check_ascii_split(ranges, what)

    out = [
        "// GENERATED FILE - DO NOT EDIT.",
        f"// Unicode {version} property tables of the kestrel engine, made by",
        "// tools/gen_unicode_tables.py from the Unicode Character Database text files (Unicode",
        "// License v3).  To regenerate, run from the repository root:",
        "//   " + REGEN_COMMAND.format(v=version),
        "// (with --check before the folder to verify instead of writing).  The declarations and",
        "// the meaning of each table are in unicode_tables.h.",
        '#include "kestrel/unicode_tables.h"',
        "",
        "namespace kestrel::tables {",
        "namespace {",
        "",
    ]

    gc_refs = [emit_ranges(out, "gc_" + cpp_ident(c), r) for c, r in zip(GC_ORDER, gc_sets)]
    bp_refs = [emit_ranges(out, "bp_" + cpp_ident(normalise(p)), r)
               for p, r in zip(BINARY_PROPERTIES, binary_sets)]
    scx_refs = ["range_view{}"] + [emit_ranges(out, f"scx_{n}", scx_sets[n])
                                   for n in range(1, script_count + 1)]
    space_ref = emit_ranges(out, "space", space)
    word_ref = emit_ranges(out, "word", word)

    emit_array(out, "script_range", "scripts", [f"{{0x{a:X},0x{b:X},{n}}}," for a, b, n in triples])

    entries = sorted((cp, [p for p in c if p != cp]) for c in classes for cp in c)
    emit_array(out, "case_entry", "cases", [
        "{0x%X,{%s},%d}," % (cp, ",".join(f"0x{p:X}" for p in ps), len(ps)) for cp, ps in entries])

    for ident, names in [("gc_name_data", gc_names), ("script_name_data", script_names),
                         ("binary_name_data", binary_names)]:
        for name, _ in names:
            if not re.fullmatch(r"[a-z0-9]+", name):
                raise DataError(f"name {name!r} would need quoting in C++")
        emit_array(out, "property_name", ident,
                   [f'{{"{name}",{value}}}, ' for name, value in names])

    def view_array(decl, refs):
        out.append(decl + " = {")
        pack(out, [r + ", " for r in refs], indent="    ")
        out.append("};")

    xid_start = bp_refs[BINARY_PROPERTIES.index("XID_Start")]
    xid_continue = bp_refs[BINARY_PROPERTIES.index("XID_Continue")]
    digit = gc_refs[GC_ORDER.index("Nd")]
    out.append("")
    view_array("constexpr range_view script_extension_data[]", scx_refs)
    out += [
        "",
        "}  // namespace",
        "",
        "// The header names a few values; make sure they still mean what it says.",
        'static_assert(gc_name_data[2 * gc_letter].name == "l");',
        'static_assert(binary_name_data[binary_xid_start].name == "xidstart");',
        'static_assert(binary_name_data[binary_xid_continue].name == "xidcontinue");',
        "",
    ]
    view_array("constinit const range_view general_category_sets[general_category_count]", gc_refs)
    view_array("constinit const range_view binary_property_sets[binary_property_count]", bp_refs)
    out += [
        "constinit const std::span<const range_view> script_extension_sets{script_extension_data};",
        "constinit const std::span<const script_range> script_ranges{scripts};",
        "constinit const std::span<const property_name> general_category_names{gc_name_data};",
        "constinit const std::span<const property_name> script_names{script_name_data};",
        "constinit const std::span<const property_name> binary_property_names{binary_name_data};",
        f"constinit const range_view digit_set{{{digit}}};",
        f"constinit const range_view space_set{{{space_ref}}};",
        f"constinit const range_view word_set{{{word_ref}}};",
        f"constinit const range_view xid_start_set{{{xid_start}}};",
        f"constinit const range_view xid_continue_set{{{xid_continue}}};",
        "constinit const std::span<const case_entry> case_table{cases};",
        "",
        "}  // namespace kestrel::tables",
    ]
    return "\n".join(out) + "\n"


def main(argv):
    args = argv[1:]
    check = bool(args) and args[0] == "--check"
    if check:
        args = args[1:]
    if len(args) != 2:
        print(USAGE, file=sys.stderr)
        return 2
    ucd, out_path = args
    if not os.path.isdir(ucd):
        print(f"UCD folder {ucd} not found", file=sys.stderr)
        return 77 if check else 2
    try:
        text = generate(ucd)
    except (DataError, OSError, ValueError, IndexError) as e:
        print(f"gen_unicode_tables: {e}", file=sys.stderr)
        return 2
    if not check:
        with open(out_path, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        return 0
    try:
        with open(out_path, encoding="utf-8", newline="") as f:
            current = f.read()
    except OSError as e:
        print(f"{out_path}: {e}", file=sys.stderr)
        return 1
    if current == text:
        return 0
    diff = list(difflib.unified_diff(current.splitlines(), text.splitlines(),
                                     out_path, "regenerated", n=0, lineterm=""))
    changed = sum(1 for d in diff if d[:1] in "+-" and d[:3] not in ("+++", "---"))
    print(f"{out_path} is out of date: {changed} lines differ from a fresh generation",
          file=sys.stderr)
    for line in diff[:20]:
        print(line[:120], file=sys.stderr)
    if len(diff) > 20:
        print("...", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
