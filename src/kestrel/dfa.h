// The DFA: a deterministic automaton over byte classes, built ahead of time from an ordered
// list of patterns, that answers the longest match of any of them from an offset (the first
// pattern on equal length) with one table lookup per byte.  See dfa.cpp for the construction
// and the memo; agreement_check.h for the test that tells which patterns may join one.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel/byte_program.h"
#include "kestrel/byte_set.h"
#include "kestrel/program.h"

namespace kestrel {

// The largest number of states (before minimisation) a DFA may have.
inline constexpr std::uint32_t max_dfa_states = 65536;
// The byte-program size budget of one pattern in a DFA.
inline constexpr std::uint32_t dfa_byte_budget = 512;
// A failing tail longer than this many bytes after the last accept is recorded in the memo.
inline constexpr std::uint32_t dfa_memo_min_tail = 32;

// An automaton cannot be built for the patterns given.  Carries only its message.
class dfa_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The five reasons a build refuses.
inline constexpr const char* dfa_message_assertion =
    "pattern has a zero-width assertion that no DFA can represent (only \\A/^ is allowed)";
inline constexpr const char* dfa_message_lookaround = "pattern has a lookaround, which no DFA can represent";
inline constexpr const char* dfa_message_possessive =
    "pattern has a possessive quantifier or atomic group, which no DFA can represent";
inline constexpr const char* dfa_message_expansion =
    "pattern's byte expansion is too large for a DFA (a wide code-point class such as text-mode \\w, "
    "or one repeated many times), or holds a construct the byte automata decline";
inline constexpr const char* dfa_message_states =
    "DFA state count exceeded max_dfa_states; pattern is too complex for a DFA";

// The byte programs of several patterns appended into one instruction space (the working
// structure of a build, and of the agreement check with a single pattern).
struct union_instruction {
    opcode op = opcode::byte;
    std::uint8_t arg = 0;
    std::uint32_t set = 0;  // byte-set index into the union's list
    std::int64_t x = -1;    // -1: no target (or a target past the end of its own program)
    std::int64_t y = -1;
};

// FNV-1a over a list of instruction indices: the key of interned states and move lists.
struct index_list_hash {
    std::size_t operator()(const std::vector<std::uint32_t>& v) const noexcept {
        std::uint64_t h = 1469598103934665603ull;
        for (std::uint32_t x : v) {
            h ^= x;
            h *= 1099511628211ull;
        }
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

struct union_program {
    std::vector<union_instruction> instructions;
    std::vector<byte_set> byte_sets;
    std::vector<std::uint32_t> starts;  // first instruction of each pattern
    std::vector<std::int32_t> tags;     // pattern index of each match instruction, else -1
    std::uint32_t rule_count = 0;
};

// Checks prog for constructs no DFA can run (the first offending instruction decides) and
// lowers it to bytes within dfa_byte_budget.  Throws dfa_error.
byte_program lower_for_dfa(const program& prog);

// Appends a lowered program to u as pattern number u.rule_count.
void append_to_union(union_program& u, const byte_program& bp);

// Byte classes over the union: bytes that no byte or byte_set instruction distinguishes share
// a class, numbered by first appearance from byte 0; each class is represented by its first
// byte.
struct union_classes {
    byte_class_map map;
    std::vector<std::uint8_t> representatives;  // first byte of each class
};
// With split_ascii, no class mixes bytes below 0x80 with bytes from 0x80 up.
union_classes classes_of(const union_program& u, bool split_ascii = false);

// Closure of a list of instructions: every instruction a thread can reach from them without
// consuming a byte, ascending.  A start-of-text assertion passes only when at_start is set.
// `marks` is scratch, sized to the instruction count.
std::vector<std::uint32_t> union_closure(const union_program& u, const std::vector<std::uint32_t>& from,
                                         bool at_start, std::vector<std::uint32_t>& marks,
                                         std::uint32_t& generation);

struct dfa_match_result {
    std::int32_t rule = -1;
    std::uint32_t length = 0;
    bool matched = false;
    bool open_end = false;  // text appended to the subject could change the result
    // The furthest offset the scan depended on: the byte it died on, `length` when it saw the
    // end, and after a memo hit the furthest any recorded scan read (the memo's proof that
    // nothing accepts rests on bytes those scans read).  Text changed only past it cannot
    // change the result.
    std::uint32_t reach = 0;
    // The scan met a byte from 0x80 up while an escaping rule was still alive: the answer is
    // unknown (matched is false) and the caller must find it another way.
    bool escaped = false;
    // The bytes this scan read (a memo hit stops it early), for counting work.
    std::uint32_t scanned = 0;
};

// The answer of dfa::longest: the accepting rule (-1 for no match of a byte or more) and the
// match's length, or `escaped` as in dfa_match_result.
struct dfa_longest {
    std::int32_t rule = -1;
    std::uint32_t length = 0;
    bool escaped = false;
};

class dfa;

// A scan that can go on when text is appended to its subject: the automaton's state after
// the bytes read so far and the last accept seen.  Made by dfa::begin_scan, advanced by
// dfa::continue_scan.  Offsets are the subject's; a caller that drops text before `start`
// moves them with shift.
struct dfa_scan {
    std::uint32_t start = 0;
    std::uint32_t pos = 0;       // the next byte to read
    std::uint32_t row = 0;       // the current state's row
    std::uint32_t last_end = 0;  // the end of the last accept; start when none yet
    std::uint32_t last_row = 0;
    enum class stop : std::uint8_t { reading, dead, escaped } stopped = stop::reading;

    void shift(std::uint32_t by) noexcept {
        start -= by;
        pos -= by;
        last_end -= by;
    }
};

// What one subject has taught a DFA: (state, position) pairs after which no accepting state
// follows.  Owned by the caller, one per (subject, DFA); never shared between threads.
class dfa_memo {
public:
    explicit dfa_memo(std::uint32_t subject_length) noexcept : length_(subject_length) {}
    // A copy records the same pairs in blocks of its own.
    dfa_memo(const dfa_memo& other);
    dfa_memo& operator=(const dfa_memo& other);
    dfa_memo(dfa_memo&&) noexcept = default;
    dfa_memo& operator=(dfa_memo&&) noexcept = default;

    std::uint32_t subject_length() const noexcept { return length_; }
    bool tail_alive() const noexcept { return tail_alive_; }
    // The furthest offset any scan that recorded into this memo read.
    std::uint32_t reach() const noexcept { return reach_; }
    // Bytes held by the recorded position sets (for the memory measurements).
    std::size_t memory_bytes() const noexcept;
    // Number of (state, 4096-position block) pairs recorded and still kept.
    std::size_t blocks() const noexcept { return block_count_; }
    // How many blocks of progress a scan start makes before the blocks behind it are dropped.
    static constexpr std::uint32_t blocks_per_prune() noexcept { return prune_step; }

private:
    friend class dfa;
    static constexpr std::uint32_t block_shift = 12;  // 4,096 positions per block
    static constexpr std::uint32_t block_words = (1u << block_shift) / 64;

    bool test(std::uint32_t state, std::uint32_t pos) const noexcept;
    void set(std::uint32_t state, std::uint32_t pos);
    // Drops the blocks that lie wholly before `start`: a scan only reads positions after its
    // start, and the runtime's scans start at offsets that never go back, so those blocks can
    // no longer answer anything.  Runs once per prune_step blocks of progress.
    void forget_before(std::uint32_t start);
    static constexpr std::uint32_t prune_step = 16;
    // The word array of block `key`, or nullptr.
    const std::uint64_t* find(std::uint64_t key) const noexcept;
    std::uint64_t* find_or_add(std::uint64_t key);

    std::uint32_t length_;
    const dfa* owner_ = nullptr;
    bool tail_alive_ = false;
    std::uint32_t reach_ = 0;
    bool created_ = false;                 // the position sets exist (one flag per state)
    std::vector<std::uint8_t> flags_;      // per state: it has a recorded position
    // Open-addressed table from (state << 32 | block) to the block's number.
    std::vector<std::uint64_t> keys_;      // key + 1; 0 marks an empty slot
    std::vector<std::uint32_t> offsets_;
    // The blocks, block_words words each, in chunks of chunk_blocks that never move (no copy
    // of everything recorded when the memo grows, and stable pointers for the lookup cache).
    static constexpr std::size_t chunk_blocks = 16;
    std::uint64_t* block_at(std::size_t b) const noexcept {
        return chunks_[b / chunk_blocks].get() + (b % chunk_blocks) * block_words;
    }
    std::vector<std::unique_ptr<std::uint64_t[]>> chunks_;
    std::size_t block_count_ = 0;          // live blocks
    std::size_t allocated_ = 0;            // blocks ever given storage (live or free)
    std::vector<std::uint32_t> free_;      // storage of dropped blocks, for reuse
    std::uint32_t low_block_ = 0;          // blocks below this one have been dropped
    mutable std::uint64_t last_key_ = 0;   // one-entry cache of the last block looked up
    mutable const std::uint64_t* last_block_ = nullptr;
};

class dfa {
public:
    // Builds the automaton of the patterns, pattern r being rule r.  Throws dfa_error.
    //
    // An escaping rule (escapes[r] set; a missing entry is false) is one whose automaton
    // answers only for ASCII: wherever a scan is inside such a rule's match and reads a byte
    // from 0x80 up, it goes to an escape state and stops with `escaped` instead of reading on.
    // A caller gives an ASCII-restricted stand-in for a pattern too large for the automaton
    // (see mode_dfa.cpp) and answers escaped scans with the pattern's own matcher.
    explicit dfa(const std::vector<const program*>& programs, const std::vector<bool>& escapes = {});

    // The longest match of any rule from `start` (length 1 or more only).  Throws
    // std::invalid_argument when the memo belongs to another subject or another DFA, or when
    // start is past the subject; the memo is then unchanged.
    // Inline for the common case (no long failing tail to record now); the rest is
    // match_general.
    dfa_match_result match(std::uint32_t start, dfa_memo& memo, const std::uint8_t* subject,
                           std::uint32_t length) const;
    // The same answer by the complete procedure: checks, memo hits and tail recording.
    dfa_match_result match_general(std::uint32_t start, dfa_memo& memo, const std::uint8_t* subject,
                                   std::uint32_t length) const;

    // A scan from `start` that keeps its state, for a subject that grows: continue_scan reads
    // from where the scan stopped to the subject's end (or to where the automaton dies or
    // escapes) and gives the answer `match` would give over the subject as it is now, with
    // `open_end` exact.  Each byte is read once however often it is called, so a stream can
    // ask again after every chunk at no more cost than one scan of the whole text.  No memo:
    // nothing is recorded or consulted.  Throws std::invalid_argument when the subject is
    // shorter than what the scan has read.
    dfa_scan begin_scan(std::uint32_t start) const noexcept;
    dfa_match_result continue_scan(dfa_scan& scan, const std::uint8_t* subject, std::uint32_t length) const;

    // The rule and length `match` reports, for a caller that needs neither open_end nor reach
    // (eager lexing).  While the memo has recorded nothing, which is the common case, the
    // scan runs without the memo test and without computing what this caller does not read.
    dfa_longest longest(std::uint32_t start, dfa_memo& memo, const std::uint8_t* subject,
                        std::uint32_t length) const;

    const std::array<std::uint8_t, 256>& class_map() const noexcept { return class_map_; }
    std::uint32_t class_count() const noexcept { return class_count_; }
    std::uint32_t state_count() const noexcept { return state_count_; }
    std::uint32_t start_state() const noexcept { return start_; }
    std::uint32_t rule_count() const noexcept { return rule_count_; }
    std::int32_t accepting(std::uint32_t state) const noexcept { return accepting_[state]; }
    std::uint32_t next(std::uint32_t state, std::uint32_t klass) const noexcept {
        return rows_[std::size_t{state} * class_count_ + klass] / class_count_;
    }
    // States numbered from this one on accept a rule; those below accept none (0 is dead).
    std::uint32_t first_accepting() const noexcept { return first_accepting_; }
    // The escape state (always 1), when some rule escapes.
    std::optional<std::uint32_t> escape_state() const noexcept {
        return has_escape_ ? std::optional<std::uint32_t>(1) : std::nullopt;
    }
    // States before minimisation (the dead state included).
    std::uint32_t states_before_minimisation() const noexcept { return unminimised_; }

private:
    std::array<std::uint8_t, 256> class_map_{};
    std::uint32_t class_count_ = 0;
    // Row-major transitions, each target given as its row offset (state * class_count_), so a
    // scan goes from row to row without a multiplication.
    std::vector<std::uint32_t> rows_;
    std::vector<std::int32_t> accepting_;
    std::vector<std::uint8_t> live_;  // per state: some transition leads to a state other than 0
    std::uint32_t start_ = 0;
    std::uint32_t first_accepting_ = 0;
    bool has_escape_ = false;
    // The scan's bounds as rows: the start state's, the first accepting one's, and the last
    // row that stops a scan (0, or the escape state's).
    std::size_t start_row_ = 0;
    std::size_t accepting_row_ = 0;
    std::size_t stop_row_ = 0;
    // row / class_count_ by a multiplication: rows stay below 2^24 (65,536 states of at most
    // 256 classes), where ceil(2^32 / C) gives the exact quotient.
    std::uint64_t row_reciprocal_ = 0;
    std::uint32_t state_of(std::uint32_t row) const noexcept {
        return static_cast<std::uint32_t>((std::uint64_t{row} * row_reciprocal_) >> 32);
    }
    // Where a scan stopped: at p (the end, or the byte that led to the dead or escape row
    // `next`) in `row`, the last accept ending at last_end in last_row (last_end is the start
    // when there was none).
    struct scan_stop {
        const std::uint8_t* p;
        const std::uint8_t* last_end;
        std::size_t row, last_row, next;
    };
    // The scan from p without the memo test.  Tokens are short, and a scan's stop is where
    // a byte-by-byte loop mispredicts its exit once per token, and where the next token's
    // scan waits on this one's end.  Since the dead state (and the escape state, whose every
    // transition leads to dead) only ever leads to a row at or below `stop`, four transitions
    // run with no test between them: the accepts among them update the last accept by
    // conditional moves, and where the fourth row has stopped, the stop within the group is
    // the number of rows above `stop` (they come first).  Past the last group, byte by byte.
    // (Bytes read beyond a stop lie within the subject and change nothing.)
    scan_stop scan_plain(const std::uint8_t* p, const std::uint8_t* end) const noexcept {
        const std::uint8_t* const cls = class_map_.data();
        const std::uint32_t* const table = rows_.data();
        const std::size_t stop = stop_row_;
        const std::size_t accepting = accepting_row_;
        scan_stop s{p, p, start_row_, start_row_, 1};
        while (end - s.p >= 4) {
            const std::uint8_t* const q = s.p;
            const std::size_t r0 = table[s.row + cls[q[0]]];
            const std::size_t r1 = table[r0 + cls[q[1]]];
            const std::size_t r2 = table[r1 + cls[q[2]]];
            const std::size_t r3 = table[r2 + cls[q[3]]];
            s.last_end = r0 >= accepting ? q + 1 : s.last_end;
            s.last_row = r0 >= accepting ? r0 : s.last_row;
            s.last_end = r1 >= accepting ? q + 2 : s.last_end;
            s.last_row = r1 >= accepting ? r1 : s.last_row;
            s.last_end = r2 >= accepting ? q + 3 : s.last_end;
            s.last_row = r2 >= accepting ? r2 : s.last_row;
            s.last_end = r3 >= accepting ? q + 4 : s.last_end;
            s.last_row = r3 >= accepting ? r3 : s.last_row;
            if (r3 > stop) {
                s.row = r3;
                s.p = q + 4;
                continue;
            }
            const std::size_t k = std::size_t{r0 > stop} + std::size_t{r1 > stop} + std::size_t{r2 > stop};
            const std::size_t rows[4] = {r0, r1, r2, r3};
            s.next = rows[k];
            s.p = q + k;
            return s;
        }
        while (s.p != end) {
            s.next = table[s.row + cls[*s.p]];
            if (s.next <= stop) break;
            s.row = s.next;
            ++s.p;
            if (s.row >= accepting) {
                s.last_end = s.p;
                s.last_row = s.row;
            }
        }
        return s;
    }
    std::uint32_t state_count_ = 0;
    std::uint32_t unminimised_ = 0;
    std::uint32_t rule_count_ = 0;
};

inline dfa_match_result dfa::match(std::uint32_t start, dfa_memo& memo, const std::uint8_t* subject,
                                   std::uint32_t length) const {
    // A first call, or arguments to refuse: the general path.
    if (memo.owner_ != this || memo.length_ != length || start > length) {
        return match_general(start, memo, subject, length);
    }
    const bool memo_on = memo.created_;
    if (memo_on && (start >> dfa_memo::block_shift) >= memo.low_block_ + dfa_memo::prune_step) {
        memo.forget_before(start);
    }
    const std::uint8_t* const cls = class_map_.data();
    const std::uint32_t* const table = rows_.data();
    const std::size_t accepting_row = accepting_row_;
    const std::size_t stop_row = stop_row_;  // the dead row 0 and, with escaping rules, the escape row
    const std::uint8_t* p = subject + start;
    const std::uint8_t* const end = subject + length;
    std::size_t row = start_row_;
    std::size_t next = 1;
    const std::uint8_t* last_end = p;  // no accept yet: only matches of a byte or more count
    std::size_t last_row = row;
    bool hit = false;
    // One class lookup, one table load and two comparisons per byte; with a memo, a state
    // that accepts nothing also stops the scan at a recorded position.  (The compiler makes
    // two loops of this one, with and without the memo.)
    while (p != end) {
        next = table[row + cls[*p]];
        if (next <= stop_row) break;
        row = next;
        ++p;
        if (row >= accepting_row) {
            last_end = p;
            last_row = row;
        } else if (memo_on) {
            const std::uint32_t state = state_of(static_cast<std::uint32_t>(row));
            if (memo.flags_[state] != 0 && memo.test(state, static_cast<std::uint32_t>(p - subject))) {
                hit = true;
                break;
            }
        }
    }
    dfa_match_result r;
    const auto i = static_cast<std::uint32_t>(p - subject);
    r.scanned = i - start;
    if (!hit && i < length && next != 0) {
        r.escaped = true;
        return r;
    }
    // The byte the scan died on, or the end; after a hit, what the recording scans read.
    r.reach = hit && memo.reach_ > i ? memo.reach_ : i;
    const auto accepted = static_cast<std::uint32_t>(last_end - subject);
    // A failing tail long enough to record: the general path scans again, the same way, and
    // records it (once per position, so the total stays linear).
    if (i - accepted > dfa_memo_min_tail) return match_general(start, memo, subject, length);
    if (i == length) {
        r.open_end = live_[state_of(static_cast<std::uint32_t>(row))] != 0;
    } else {
        r.open_end = hit && memo.tail_alive_;  // dead: nothing can follow
    }
    if (accepted != start) {
        r.matched = true;
        r.rule = accepting_[state_of(static_cast<std::uint32_t>(last_row))];
        r.length = accepted - start;
    }
    return r;
}

inline dfa_longest dfa::longest(std::uint32_t start, dfa_memo& memo, const std::uint8_t* subject,
                                std::uint32_t length) const {
    // A memo with records (whose stops must be honoured), a first call, or arguments to refuse.
    if (memo.created_ || memo.owner_ != this || memo.length_ != length || start > length) {
        const dfa_match_result m = match(start, memo, subject, length);
        return dfa_longest{m.matched ? m.rule : -1, m.length, m.escaped};
    }
    const scan_stop stop = scan_plain(subject + start, subject + length);
    if (stop.p != subject + length && stop.next != 0) return dfa_longest{-1, 0, true};
    // A failing tail to record: the general path scans again and records it.
    if (stop.p - stop.last_end > static_cast<std::ptrdiff_t>(dfa_memo_min_tail)) {
        const dfa_match_result m = match_general(start, memo, subject, length);
        return dfa_longest{m.matched ? m.rule : -1, m.length, m.escaped};
    }
    const auto accepted = static_cast<std::uint32_t>(stop.last_end - subject);
    if (accepted == start) return dfa_longest{};
    return dfa_longest{accepting_[state_of(static_cast<std::uint32_t>(stop.last_row))], accepted - start, false};
}

// A text dump of the automaton: classes, states, transitions, accepting rules and the counts
// before and after minimisation.
std::string dump_dfa(const dfa& d);

}  // namespace kestrel
