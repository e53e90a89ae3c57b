// failure_memo: what failed anchored matches on one subject have proved, kept so that a later
// attempt on the same subject does not do the same work again.
//
// Why.  Each anchored match is linear, but a caller that tries a pattern at many offsets of
// one text (a lexer trying a rule at every token start) can repeat a long failing scan once
// per offset: a block-comment rule beside a one-character fallback, on "/* /* /* ...", scans
// to the end of the text from every "/*" and loses each time, which is quadratic in all.
//
// What a failed run proves.  The thread lists visit each (instruction, offset) pair at most
// once, and the set of pairs a run visits does not depend on the order or the marks that
// prune it: it is every pair reachable from the start under the program's moves, which
// depend only on the pair and the subject (assertions and lookarounds read the subject at the
// offset; the empty-iteration rule only sends a thread to an exit that the loop's first
// visitor reaches anyway).  When a run ends with no match, nothing was cut short for a
// match, so that set is closed under the moves and holds no match: no pair in it can lead to
// a match, from any start.  A later run may drop every thread that reaches such a pair; the
// marks it sets on the way there stay, so the surviving threads, their priorities and slots
// are exactly those of a run without the memo.  A run that matched proves nothing about the
// pairs up to its last match (threads of lower priority than a match are cut there), but the
// threads that went on past the last match were never cut again and none of them matched:
// the pairs they visited are dead as well.  So a rule whose match reads far past its end (an
// optional part that fails far ahead) does not repeat that reading at every token either.
//
// What is kept.  Only runs that went more than `failure_memo_min_tail` bytes past their start
// record, and only the pairs past that point (and past the last match), so short failures (the common case) cost
// nothing.  The pairs are those of the threads waiting at a consuming instruction, which is
// where a later run tests them.  Positions are stored per instruction as 4,096-bit blocks
// allocated on first write, found through one hash table, so memory follows what was
// recorded, never instructions times subject length.
//
// The memo belongs to one program and one subject: a match_scratch keeps one per program for
// the subject its owner bound it to, and none otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace kestrel {

// Runs must go this many bytes past their start before their pairs are worth keeping.
inline constexpr std::uint32_t failure_memo_min_tail = 32;

class failure_memo {
public:
    bool empty() const noexcept { return blocks_.empty(); }
    // Whether some pair was recorded in the 4,096-offset block of `from` or the next one: a
    // cheap test of whether the memo may cut short an attempt starting at `from`.
    bool near(std::uint32_t from) const noexcept;
    // Whether the pair (instruction pc, offset pos) is known to lead to no match.
    bool test(std::uint32_t pc, std::uint32_t pos) const noexcept {
        if (pc >= has_.size() || has_[pc] == 0) return false;
        const auto it = index_.find(key(pc, pos));
        if (it == index_.end()) return false;
        return (blocks_[it->second].bits[(pos & block_mask) >> 6] >> (pos & 63)) & 1u;
    }
    // Adds one pair.  A running attempt adds its pairs to a memo of its own (the log), which
    // joins the subject's memo only if the attempt fails.
    void add(std::uint32_t pc, std::uint32_t pos);
    // Adds every pair of `other`.
    void merge(const failure_memo& other);
    // Forgets every pair, keeping the storage for reuse.
    void clear() noexcept;
    // Bytes held by the recorded blocks.
    std::size_t memory_bytes() const noexcept { return blocks_.size() * sizeof(block); }

private:
    static constexpr std::uint32_t block_bits = 4096;
    static constexpr std::uint32_t block_mask = block_bits - 1;
    struct block {
        std::uint64_t bits[block_bits / 64] = {};
    };
    static std::uint64_t key(std::uint32_t pc, std::uint32_t pos) noexcept {
        return (std::uint64_t{pc} << 32) | (pos / block_bits);
    }

    std::vector<std::uint8_t> has_;          // per instruction: some pair recorded
    std::vector<std::uint8_t> near_blocks_;  // per offset block: some pair recorded there
    std::unordered_map<std::uint64_t, std::uint32_t> index_;
    std::vector<block> blocks_;
};

// Per-row state of an unbounded lookahead (lookaround.cpp): the bytes its forward runs have
// scanned, and, once those cost as much as a pass over the subject, the answer for every
// offset (bit p set when the body matches at p).  Kept for one match call, or, when the
// caller has bound its scratch to the subject, for every call on it.
struct lookahead_memo {
    const std::uint8_t* subject = nullptr;
    std::uint32_t length = 0;
    std::uint64_t scanned = 0;
    bool made = false;
    std::vector<std::uint64_t> bits;
};

// The memos of one caller's runs over one subject, one per program (keyed by the program's
// instruction array).  Nothing is kept or consulted until the caller binds a subject, which
// promises that the text at that address stays the same, and that the programs matched
// against it stay alive, until it binds another (or none): a lexer run can promise that, a
// caller matching many short-lived strings cannot, and gets no memo.
class failure_memos {
public:
    // Starts over for calls on this subject (null: none).
    void bind(const std::uint8_t* subject, std::uint32_t length) {
        memos_.clear();
        recorded_ = false;
        subject_ = subject;
        length_ = length;
        bound_ = subject != nullptr;
    }
    // The program's memo for calls on the bound subject, or null for any other subject.
    failure_memo* of(const void* program, const std::uint8_t* subject, std::uint32_t length) {
        if (!bound_ || subject != subject_ || length != length_) return nullptr;
        return &memos_[program].failures;
    }
    // The state of the program's unbounded lookahead `row` (of `rows`) on the bound subject,
    // or null for any other subject.
    lookahead_memo* lookahead(const void* program, std::size_t rows, std::size_t row,
                              const std::uint8_t* subject, std::uint32_t length) {
        if (!bound_ || subject != subject_ || length != length_) return nullptr;
        std::vector<lookahead_memo>& all = memos_[program].ahead;
        if (all.size() < rows) all.resize(rows);
        return &all[row];
    }
    // Whether some memo holds a pair for this subject: while none does, callers skip the
    // lookup altogether.
    bool any(const std::uint8_t* subject, std::uint32_t length) const noexcept {
        return recorded_ && subject == subject_ && length == length_;
    }
    // Keeps a failed attempt's log in the program's memo.
    void record(failure_memo& memo, const failure_memo& log) {
        memo.merge(log);
        recorded_ = true;
    }
    std::size_t memory_bytes() const noexcept;

private:
    const std::uint8_t* subject_ = nullptr;
    std::uint32_t length_ = 0;
    bool bound_ = false;
    bool recorded_ = false;
    struct of_program {
        failure_memo failures;
        std::vector<lookahead_memo> ahead;
    };
    std::unordered_map<const void*, of_program> memos_;
};

}  // namespace kestrel
