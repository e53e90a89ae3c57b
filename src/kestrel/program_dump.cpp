// Text dump of a program (see program_dump.h).
//
// Plain string building, no locale and no streams: the output must be byte-for-byte the
// same everywhere, because golden tests compare it.
#include "kestrel/program_dump.h"

#include <cstdio>

namespace kestrel {

namespace {

std::string hex_byte(std::uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", b);
    return buf;
}

std::string code_point(std::uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", cp);
    return buf;
}

// A byte as a quoted character when printable, else as 0xhh.
std::string byte_text(std::uint8_t b) {
    if (b > 0x20 && b < 0x7F && b != '\'' && b != '\\')
        return std::string{'\'', static_cast<char>(b), '\''};
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", b);
    return buf;
}

std::string set_char(std::uint8_t b) {
    if (b == '\\' || b == ']' || b == '[' || b == '-' || b == '^')
        return std::string{'\\', static_cast<char>(b)};
    if (b > 0x20 && b < 0x7F) return std::string(1, static_cast<char>(b));
    return hex_byte(b);
}

const char* assert_name(std::uint8_t kind) {
    switch (static_cast<assert_kind>(kind)) {
        case assert_kind::text_start:
            return "text_start";
        case assert_kind::text_end:
            return "text_end";
        case assert_kind::text_end_or_final_newline:
            return "text_end_or_final_newline";
        case assert_kind::line_start:
            return "line_start";
        case assert_kind::line_end:
            return "line_end";
        case assert_kind::word_boundary:
            return "word_boundary";
        case assert_kind::not_word_boundary:
            return "not_word_boundary";
        case assert_kind::word_start:
            return "word_start";
        case assert_kind::word_end:
            return "word_end";
        case assert_kind::line_start_cr:
            return "line_start_cr";
        case assert_kind::line_end_cr:
            return "line_end_cr";
    }
    return "unknown";
}

const char* boundary_name(boundary_kind k) {
    switch (k) {
        case boundary_kind::none:
            return "-";
        case boundary_kind::word:
            return "\\b";
        case boundary_kind::not_word:
            return "\\B";
    }
    return "?";
}

const char* end_anchor_name(end_anchor_kind k) {
    switch (k) {
        case end_anchor_kind::none:
            return "-";
        case end_anchor_kind::text_end:
            return "\\Z";
        case end_anchor_kind::text_end_or_final_newline:
            return "$";
    }
    return "?";
}

std::string quoted_bytes(const std::uint8_t* bytes, std::size_t n) {
    std::string out = "\"";
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = bytes[i];
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\')
            out += static_cast<char>(b);
        else
            out += hex_byte(b);
    }
    return out + "\"";
}

std::string set_of(const std::vector<byte_set>& sets, std::uint16_t index) {
    if (index >= sets.size()) return "<bad set>";
    return format_byte_set(sets[index]);
}

// One instruction; byte sets are looked up in `sets` (the program's or a byte program's).
std::string instruction_text(const std::vector<byte_set>& sets, const instruction& in) {
    const std::string slot_exit =
        ", slot " + std::to_string(in.x) + ", exit " + std::to_string(in.y);
    switch (in.op) {
        case opcode::byte:
            return "byte " + byte_text(in.arg);
        case opcode::byte_set:
            return "byte_set " + std::to_string(in.index) + " " + set_of(sets, in.index);
        case opcode::klass_cp:
            return "klass_cp " + std::to_string(in.index);
        case opcode::split:
            return "split " + std::to_string(in.x) + ", " + std::to_string(in.y);
        case opcode::jump:
            return "jump " + std::to_string(in.x);
        case opcode::save:
            return "save " + std::to_string(in.index);
        case opcode::assert:
            return std::string("assert ") + assert_name(in.arg) + (in.index ? " flip" : "");
        case opcode::match:
            return "match";
        case opcode::lookaround:
            return "lookaround " + std::to_string(in.index);
        case opcode::possessive_byte:
            return "possessive_byte " + byte_text(in.arg) + slot_exit;
        case opcode::possessive_set:
            return "possessive_set " + std::to_string(in.index) + " " + set_of(sets, in.index) +
                   slot_exit;
        case opcode::possessive_cp:
            return "possessive_cp " + std::to_string(in.index) + slot_exit;
    }
    return "op " + std::to_string(static_cast<int>(in.op));
}

std::string numbered(std::size_t i, const std::string& text) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%6zu  ", i);
    return buf + text + "\n";
}

std::string class_run_text(const char* name, const class_run_shape& s) {
    std::string out = std::string(name) + " class " + std::to_string(s.class_index) + " min " +
                      std::to_string(s.min);
    if (s.capture_open >= 0)
        out +=
            " captures " + std::to_string(s.capture_open) + " " + std::to_string(s.capture_close);
    if (s.leading != boundary_kind::none || s.trailing != boundary_kind::none) {
        out += std::string(" boundaries ") + boundary_name(s.leading) + " " +
               boundary_name(s.trailing);
        out += std::string(" test ") + (s.test_leading ? "leading" : "-") + " " +
               (s.test_trailing ? "trailing" : "-");
    }
    if (s.end_anchor != end_anchor_kind::none)
        out += std::string(" end ") + end_anchor_name(s.end_anchor);
    return out + "\n";
}

const char* run_kind_name(run_kind k) {
    switch (k) {
        case run_kind::none:
            return "none";
        case run_kind::byte:
            return "byte";
        case run_kind::byte_set:
            return "byte_set";
        case run_kind::code_point_class:
            return "code_point_class";
    }
    return "?";
}

std::string instruction_lines(const std::vector<instruction>& code,
                              const std::vector<byte_set>& sets) {
    std::string out;
    for (std::size_t i = 0; i < code.size(); ++i)
        out += numbered(i, instruction_text(sets, code[i]));
    return out;
}

}  // namespace

std::string format_byte_set(const byte_set& set) {
    std::string out = "[";
    unsigned b = 0;
    while (b < 256) {
        if (!set.test(static_cast<std::uint8_t>(b))) {
            ++b;
            continue;
        }
        unsigned e = b;
        while (e + 1 < 256 && set.test(static_cast<std::uint8_t>(e + 1))) ++e;
        if (e - b >= 2) {
            out += set_char(static_cast<std::uint8_t>(b)) + "-" +
                   set_char(static_cast<std::uint8_t>(e));
        } else {
            for (unsigned k = b; k <= e; ++k) out += set_char(static_cast<std::uint8_t>(k));
        }
        b = e + 1;
    }
    return out + "]";
}

std::string dump_instructions(const program& prog) {
    return instruction_lines(prog.instructions, prog.byte_sets);
}

std::string dump_tables(const program& prog) {
    std::string out;
    if (!prog.byte_sets.empty()) {
        out += "byte sets:\n";
        for (std::size_t i = 0; i < prog.byte_sets.size(); ++i)
            out += numbered(i, format_byte_set(prog.byte_sets[i]));
    }
    if (!prog.classes.empty()) {
        out += "code-point classes:\n";
        for (std::size_t i = 0; i < prog.classes.size(); ++i) {
            const code_point_class& k = prog.classes[i];
            std::string text = format_byte_set(k.ascii);
            for (std::uint32_t r = 0; r < k.range_count; ++r) {
                const code_point_range& rg = prog.range_pool[k.first_range + r];
                text += " " + code_point(rg.first);
                if (rg.last != rg.first) text += "-" + code_point(rg.last);
            }
            out += numbered(i, text);
        }
    }
    if (!prog.lookarounds.empty()) {
        out += "lookarounds:\n";
        for (std::size_t i = 0; i < prog.lookarounds.size(); ++i) {
            const lookaround_entry& e = prog.lookarounds[i];
            std::string text = e.behind ? "behind" : "ahead";
            text += e.negated ? " negative" : " positive";
            text += " start " + std::to_string(e.start) + " length " + std::to_string(e.length) +
                    " max " + std::to_string(e.max_length);
            out += numbered(i, text);
        }
    }
    return out;
}

std::string dump_facts(const analysis& a) {
    std::string out;
    if (a.no_captures) out += "no_captures\n";
    if (a.anchor == anchor_kind::text_start) out += "anchor text_start\n";
    if (a.anchor == anchor_kind::line_start) out += "anchor line_start\n";
    if (a.literal_prefix_length > 0)
        out += "literal_prefix " + quoted_bytes(a.literal_prefix.data(), a.literal_prefix_length) +
               "\n";
    if (a.whole_literal_length > 0)
        out += "whole_literal " + std::to_string(a.whole_literal_length) + "\n";
    if (a.literal_string_start >= 0)
        out += "literal_string start " + std::to_string(a.literal_string_start) + " length " +
               std::to_string(a.literal_string_length) + "\n";
    if (a.literal_leading != boundary_kind::none || a.literal_trailing != boundary_kind::none)
        out += std::string("literal_boundaries ") + boundary_name(a.literal_leading) + " " +
               boundary_name(a.literal_trailing) + "\n";
    if (!a.first_bytes.empty()) out += "first_bytes " + format_byte_set(a.first_bytes) + "\n";
    if (a.first_bytes_known) out += "first_bytes_known\n";
    if (a.can_be_empty) out += "can_be_empty\n";
    if (a.single_first_byte >= 0)
        out +=
            "single_first_byte " + byte_text(static_cast<std::uint8_t>(a.single_first_byte)) + "\n";
    if (a.first_byte_candidate_count > 0) {
        out += "first_byte_candidates";
        for (std::uint8_t i = 0; i < a.first_byte_candidate_count; ++i)
            out += " " + byte_text(a.first_byte_candidates[i]);
        out += "\n";
    }
    if (a.excluded_byte_count > 0) {
        out += "excluded_bytes";
        for (std::uint8_t i = 0; i < a.excluded_byte_count; ++i)
            out += " " + byte_text(a.excluded_bytes[i]);
        out += "\n";
    }
    if (a.rare_byte >= 0)
        out += "rare_byte " + byte_text(static_cast<std::uint8_t>(a.rare_byte)) + " at " +
               std::to_string(a.rare_byte_offset) + "\n";
    if (a.literal_prefix_length >= 2)
        out += "prefix_rare_position " + std::to_string(a.prefix_rare_position) + "\n";
    if (a.byte_class_run.class_index >= 0)
        out += class_run_text("byte_class_run", a.byte_class_run);
    if (a.code_point_class_run.class_index >= 0)
        out += class_run_text("code_point_class_run", a.code_point_class_run);
    if (a.run_then_lookahead.lookaround >= 0)
        out += std::string("run_then_lookahead lookaround ") +
               std::to_string(a.run_then_lookahead.lookaround) +
               (a.run_then_lookahead.code_point_class ? " code_point_class " : " byte_set ") +
               std::to_string(a.run_then_lookahead.class_index) + "\n";
    if (a.fixed_sequence.start >= 0) {
        const fixed_sequence_shape& s = a.fixed_sequence;
        out += "fixed_sequence " + std::to_string(s.start) + ".." + std::to_string(s.end);
        if (s.leading != boundary_kind::none || s.trailing != boundary_kind::none)
            out += std::string(" boundaries ") + boundary_name(s.leading) + " " +
                   boundary_name(s.trailing);
        if (s.end_anchor != end_anchor_kind::none)
            out += std::string(" end ") + end_anchor_name(s.end_anchor);
        if (s.single_byte_class >= 0)
            out += " single_byte_class " + std::to_string(s.single_byte_class);
        out += "\n";
    }
    if (a.possessive_run.kind != run_kind::none) {
        const possessive_run_shape& s = a.possessive_run;
        out += std::string("possessive_run ") + run_kind_name(s.kind) + " " +
               (s.kind == run_kind::byte ? byte_text(static_cast<std::uint8_t>(s.element))
                                         : std::to_string(s.element));
        if (s.capture_slot >= 0) out += " slot " + std::to_string(s.capture_slot);
        out += s.may_be_empty ? " may_be_empty" : " non_empty";
        if (s.word_class) out += " word_class";
        if (s.prefix_length > 0)
            out +=
                " prefix " + std::to_string(s.prefix_start) + "+" + std::to_string(s.prefix_length);
        if (s.suffix_length > 0) out += " suffix " + quoted_bytes(s.suffix.data(), s.suffix_length);
        if (s.leading != boundary_kind::none || s.trailing != boundary_kind::none)
            out += std::string(" boundaries ") + boundary_name(s.leading) + " " +
                   boundary_name(s.trailing);
        out += "\n";
    }
    if (a.any_run.ascii_set >= 0)
        out += "any_run ascii_set " + std::to_string(a.any_run.ascii_set) + "\n";
    if (a.straight_alternation.branches > 0) {
        const straight_alternation_shape& s = a.straight_alternation;
        out += "straight_alternation " + std::to_string(s.branches) + " branches at " +
               std::to_string(s.start);
        if (s.leading != boundary_kind::none || s.trailing != boundary_kind::none)
            out += std::string(" boundaries ") + boundary_name(s.leading) + " " +
                   boundary_name(s.trailing);
        out += "\n";
    }
    return out;
}

std::string dump_byte_classes(const byte_class_map& classes) {
    std::string out = "classes " + std::to_string(classes.count) + "\n";
    for (std::uint32_t c = 0; c < classes.count; ++c) {
        byte_set members;
        for (unsigned b = 0; b < 256; ++b)
            if (classes.classes[b] == c) members.set(static_cast<std::uint8_t>(b));
        out += numbered(c, format_byte_set(members));
    }
    return out;
}

std::string dump_byte_program(const byte_program& bp) {
    std::string out = std::string("byte program ") + (bp.ok ? "ok" : "declined") +
                      (bp.has_assertions ? " has_assertions" : "") +
                      (bp.unicode ? " unicode" : " ascii") + "\n";
    if (!bp.ok) return out;
    out += instruction_lines(bp.instructions, bp.byte_sets);
    if (!bp.byte_sets.empty()) {
        out += "byte sets:\n";
        for (std::size_t i = 0; i < bp.byte_sets.size(); ++i)
            out += numbered(i, format_byte_set(bp.byte_sets[i]));
    }
    return out + dump_byte_classes(compute_byte_classes(bp));
}

std::string dump_program(const program& prog) {
    std::string out =
        "slots " + std::to_string(prog.slot_count) + (prog.unicode ? " unicode" : " ascii");
    if (prog.bytes) out += " bytes";
    if (prog.allow_raw_byte) out += " allow_raw_byte";
    if (prog.backtrack_allowed) out += " backtrack";
    out += "\n";
    out += dump_instructions(prog);
    out += dump_tables(prog);
    const std::string facts = dump_facts(prog.facts);
    if (!facts.empty()) out += "facts:\n" + facts;
    return out;
}

}  // namespace kestrel
