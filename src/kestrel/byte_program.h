// The byte program: the code-point program lowered so that every consuming instruction
// consumes exactly one byte.
//
// The automata that advance a byte at a time (the one-pass table, the DFA) cannot decode
// UTF-8 while they run, so each code-point class test is replaced by a small automaton over
// UTF-8 byte ranges, and a large alternation of literal branches by a byte trie that keeps
// the branches' priority order.  The record and the opcode numbers are those of the
// code-point program; klass_cp, lookaround and the possessive opcodes never appear.
// compute_byte_classes then partitions the 256 byte values into classes that no instruction
// of a byte program can tell apart, so that automata index their tables by class.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kestrel/byte_set.h"
#include "kestrel/program.h"

namespace kestrel {

struct byte_program {
    std::vector<instruction> instructions;
    // The code-point program's own byte sets first (same indices), then the sets made for
    // byte ranges during lowering.
    std::vector<byte_set> byte_sets;
    bool ok = false;              // false: the lowering declined; the program must not run
    bool has_assertions = false;  // at least one assert was kept
    bool unicode = true;          // the code-point program's word mode
};

struct byte_class_map {
    std::array<std::uint8_t, 256> classes{};  // class of each byte value
    std::uint32_t count = 0;                  // number of classes (0 for an unusable program)
};

// Lowers prog to bytes.  Declines (ok false, never throws for a property of the pattern) on a
// lookaround, a possessive opcode, an assert that is not allowed, an empty program, or a
// class expansion that takes the program past max_instructions.
byte_program lower_to_bytes(const program& prog, bool allow_assertions,
                            std::uint32_t max_instructions);

// Classes of byte values that no instruction of bp distinguishes; byte 0 is in class 0.
byte_class_map compute_byte_classes(const byte_program& bp);

}  // namespace kestrel
