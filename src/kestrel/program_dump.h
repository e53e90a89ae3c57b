// A stable text form of a compiled program, for golden tests and the developer CLI.
//
// One instruction per line (index, opcode name, operands; the continuation slots of klass_cp
// and possessive_cp appear as the byte_set lines they are), then the tables (byte sets as
// bracket ranges, code-point classes with their ranges in hex, lookaround entries), then the
// analysis facts that are set, one per line.  The format changes only when the program does,
// so a golden test that compares dumps fails for a real reason.
#pragma once

#include <cstdint>
#include <string>

#include "kestrel/byte_program.h"
#include "kestrel/byte_set.h"
#include "kestrel/program.h"

namespace kestrel {

// [0-9A-Z_] style: runs of three or more as lo-hi, printable ASCII as itself (\ ] [ - ^
// escaped), everything else as \xhh.
std::string format_byte_set(const byte_set& set);

std::string dump_instructions(const program& prog);
std::string dump_tables(const program& prog);
std::string dump_facts(const analysis& facts);
// The three parts above, in that order, after a header line with the slot count and flags.
std::string dump_program(const program& prog);

// The classes of a byte-class map, one line each: its number and its bytes as a set.
std::string dump_byte_classes(const byte_class_map& classes);
// A byte program: a header line ("byte program ok" or "declined", has_assertions, the word
// mode), its instructions and byte sets in the format above, then the classes that
// compute_byte_classes gives it.  A declined lowering prints the header only.
std::string dump_byte_program(const byte_program& bp);

}  // namespace kestrel
