// match_context: everything one match call reads and writes.
//
// The program (as a flat view), the subject, a pointer to the regex's shared lazy slot, and
// the scratch area of the matchers: the Pike VM's thread lists, slot pool and closure stack,
// the backtracker's bitmap and jobs, and the lookaround caches.  Because all per-call state
// lives here, a compiled regex (and so a compiled lexer) can be used by many threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "kestrel/failure_memo.h"
#include "kestrel/lazy_engine.h"
#include "kestrel/program.h"
#include "kestrel/small_vector.h"
#include "kestrel/unicode.h"

namespace kestrel {

// Visited marks per instruction as (generation, epoch): a mark equal to the owner's pair
// means "visited now".  Resetting advances the generation, so marks are never cleared in bulk.
struct visit_mark {
    std::uint32_t generation = 0;
    std::uint32_t epoch = 0;
};

class visited_set {
public:
    // Makes room for marks of n instructions and starts a new round.  The marks only grow
    // (zeroed when they do): one set serves programs of every size, and older rounds' marks
    // never equal the new round's pair.
    void prepare(std::size_t n) {
        if (marks_.size() < n) {
            marks_.assign(n, visit_mark{});
            generation_ = 0;
            epoch_ = 0;
        }
        reset();
    }
    void reset() noexcept {
        if (++generation_ == 0) ++epoch_;
    }
    bool visited(std::uint32_t i) const noexcept {
        return marks_[i].generation == generation_ && marks_[i].epoch == epoch_;
    }
    void mark(std::uint32_t i) noexcept { marks_[i] = {generation_, epoch_}; }

private:
    small_vector<visit_mark, 64> marks_;
    std::uint32_t generation_ = 0;
    std::uint32_t epoch_ = 0;
};

// Per-row state of the lookbehind simulation.
struct lookbehind_state {
    const std::uint8_t* subject = nullptr;
    std::uint32_t length = 0;
    std::int64_t reached = -1;       // offset the thread set stands at; -1: none
    std::vector<std::uint32_t> threads;
    bool matched = false;            // a match of the body ends at `reached`
};

struct lookaround_caches {
    std::vector<lookbehind_state> behind;
    std::vector<lookahead_memo> ahead;
    std::vector<std::int8_t> tail_assert;  // per row: -1 not known yet, else 0 or 1
    // Thread sets of the lookaround simulations (reused between calls of one match).
    visited_set seen;
    std::vector<std::uint32_t> current, next, stack;
};

struct pike_storage;

// Matcher storage kept between calls by one caller (a lexer run over one text): the thread
// lists and slot pool of the Pike VM, made on first need and reused by every later call, for
// any program; the failure memos of the subject the calls are made on (failure_memo.h); and
// a count of the work all those calls did.  Never shared by two threads at once.  The memos
// work only for a subject the owner binds with failures().bind(), promising that the text
// and the programs matched against it stay as they are while it is bound.
class match_scratch {
public:
    match_scratch();
    ~match_scratch();
    match_scratch(const match_scratch&) = delete;
    match_scratch& operator=(const match_scratch&) = delete;

    pike_storage& pike();
    failure_memos& failures() noexcept { return failures_; }
    failure_memo& failure_log() noexcept { return log_; }

    // Closure visits and backtracker jobs of every call made with this scratch: the measure
    // of work by which tests prove whole runs linear.
    std::uint64_t work = 0;

private:
    std::unique_ptr<pike_storage> pike_;
    failure_memos failures_;
    failure_memo log_;
};

struct match_context {
    match_context(const program_view& view, lazy_engine_slot* slot, const std::uint8_t* subject,
                  std::uint32_t length) noexcept
        : prog(view), lazy(slot), subject(subject), length(length) {}

    program_view prog;
    lazy_engine_slot* lazy;  // may be null: then no cached tables are used
    const std::uint8_t* subject;
    std::uint32_t length;

    // Whether code point cp is in code-point class k: the ASCII set below 0x80, the cached
    // two-byte map for 0x80-0x7FF, a binary search of the ranges above.
    bool class_contains(std::uint32_t k, std::uint32_t cp) {
        if (cp < 0x80) return prog.classes[k].ascii.test(static_cast<std::uint8_t>(cp));
        if (cp < 0x800 && lazy != nullptr) {
            return lazy->class_tables(prog).class_has_two_byte(k, cp, lazy->lock());
        }
        return in_ranges(prog.class_ranges(k), cp);
    }
    bool byte_in_set(std::uint32_t set, std::uint8_t b) const noexcept {
        return prog.byte_sets[set].test(b);
    }

    // Set when the caller reads only the whole match (slots 0 and 1): the thread lists and the
    // backtracker then carry no capture slots at all, whatever groups the pattern has.  The
    // empty-iteration rule makes groups neutral, so the whole match is the same either way.
    bool whole_only = false;

    // The caller's storage to reuse, or null: then each call makes its own.
    match_scratch* scratch = nullptr;

    // The program the view was made from, for the lazy builds that need it whole (the byte
    // programs and the one-pass table); null where a caller has only the view.
    const program* source = nullptr;

    // Counts work done, for the tests that prove matching linear (one per closure visit or
    // backtracker job).
    std::uint64_t steps = 0;

    std::unique_ptr<lookaround_caches> lookarounds;  // made on first lookaround
};

}  // namespace kestrel
