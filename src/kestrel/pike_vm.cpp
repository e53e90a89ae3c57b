// The Pike VM.
//
// What it does.  It runs the code-point program over the subject one byte per step, keeping
// every live thread of the program in a list ordered by priority: the thread that follows
// the alternative written first, or the greedy choice of a repetition, comes first.  A step
// moves every thread over the current byte into the next list; the closure adds a thread at
// an instruction and follows every non-consuming instruction (split, jump, save, assert,
// lookaround) from there, marking each instruction it visits so that a second, lower-priority
// arrival at the same instruction in the same step is dropped.  That mark is what bounds the
// work by (subject length x program size) whatever the pattern: there is no backtracking.
// When a thread reaches `match` its slots are recorded and the threads after it in the list
// (lower priority) are dropped; threads of higher priority already moved to the next list go
// on, and a later match of theirs replaces the recorded one.  The result is the leftmost-first
// anchored match, which is what Python's `re` returns for an anchored match.
//
// Costs it avoids.  Visited marks are (generation, epoch) pairs, so no list is cleared per
// step.  Capture slots live in reference-counted arrays shared by threads until one of them
// writes (copy on write), so a split copies nothing.  A program with no groups carries only
// the start offset per thread.  The start thread is added only when the first byte can begin
// a match.  The selection chain (strategy.cpp) sends most short matches to the bounded
// backtracker (backtrack.cpp), which returns the same answer with less bookkeeping.
//
// Empty loop iterations.  Two rules, written once in empty_iteration.h and shared with the
// backtracker and the DFA's agreement check, decide what a thread does when a loop body has
// matched the empty string.  Saves are transparent to the visited marks (a save is marked as
// the first non-save instruction after it), so the instructions a thread can reach, and where
// it dies, do not depend on capture groups: a group never changes the whole match.  And a
// jump onto a loop head already reached at this offset (through at most eight marked jumps)
// continues at the loop's exit instead of dying, which keeps the slots of an empty last
// iteration as Python's `re` does for (a*)* or (a|)*.
//
// Failed work is not repeated.  Given the caller's scratch, a run that goes more than 32
// bytes past its start records the (instruction, offset) pairs of its waiting threads past
// that point and past its last match in the subject's failure memo (failure_memo.h explains
// why none of them can lead to a match), and every run drops a thread that reaches a
// recorded pair.  A caller that tries a
// pattern at every offset of a text thus pays for each long failing scan once.
//
// Streaming.  The same loop reports `open_end` whenever some thread or test looked at, or
// needed, the end of the subject: then text appended later could change the answer, and the
// token stream must wait for more input.
//
// Reach.  On request the loop also reports the furthest offset it read to decide the match
// (`reach`), the end of the subject counting as offset `length`: a byte test reads its byte, a
// code-point test the character's bytes, an assertion up to one character ahead, a lookahead
// as far as its body can match (the end for an unbounded one).  An editor that knows this
// can tell whether changing text at some offset can change the match: not when the offset is
// past the reach.  The bound is conservative: it may name a few bytes more than were read,
// never fewer.
//
// Tests: tests/cpp/test_match_corpus.cpp runs every corpus case through this VM and every
// other matcher; tests/cpp/test_pike_vm.cpp covers streaming and the linear bound.
#include "kestrel/pike_vm.h"

#include "kestrel/assertions.h"
#include "kestrel/empty_iteration.h"
#include "kestrel/lookaround.h"

namespace kestrel {

namespace {

struct thread {
    std::uint32_t pc;
    std::uint32_t data;  // slot array id, or the start offset for a program without groups
};

struct thread_list {
    visited_set seen;
    small_vector<thread, 64> threads;

    void prepare(std::size_t n) {
        seen.prepare(n);
        threads.clear();
    }
    void reset() noexcept {
        seen.reset();
        threads.clear();
    }
};

// Slot arrays of one width, back to back, with a reference count each and a free list.
// Array 0 is all -1; the pool's own reference keeps it from ever being written in place.
class slot_pool {
public:
    void init(std::uint16_t width) {
        width_ = width;
        slots_.assign(width, -1);
        refs_.clear();
        refs_.push_back(1);
        free_.clear();
    }
    void retain(std::uint32_t a) noexcept { ++refs_[a]; }
    void release(std::uint32_t a) noexcept {
        if (--refs_[a] == 0) free_.push_back(a);
    }
    const std::int32_t* slots(std::uint32_t a) const noexcept { return slots_.data() + a * width_; }
    // Slot s of the array a thread holds := v.  Writes in place when the thread is its only
    // holder; otherwise the thread gets a private copy.  Returns the array the thread now holds.
    std::uint32_t write(std::uint32_t a, std::uint32_t s, std::int32_t v) {
        if (refs_[a] < 2) {
            slots_[a * width_ + s] = v;
            return a;
        }
        std::uint32_t b;
        if (!free_.empty()) {
            b = free_.pop_back();
            refs_[b] = 1;
        } else {
            b = static_cast<std::uint32_t>(refs_.size());
            refs_.push_back(1);
            slots_.resize(slots_.size() + width_);
        }
        for (std::uint32_t k = 0; k < width_; ++k) slots_[b * width_ + k] = slots_[a * width_ + k];
        slots_[b * width_ + s] = v;
        release(a);
        return b;
    }

private:
    std::uint16_t width_ = 0;
    small_vector<std::int32_t, 256> slots_;
    small_vector<std::uint32_t, 32> refs_;
    small_vector<std::uint32_t, 32> free_;
};

}  // namespace

// The thread lists, slot pool and closure stack; kept in a match_scratch between calls, so
// that an attempt costs what it touches, not what the program's size would need afresh.
struct pike_storage {
    thread_list a, b;
    slot_pool pool;
    small_vector<thread, 64> stack;
};

match_scratch::match_scratch() = default;
match_scratch::~match_scratch() = default;

pike_storage& match_scratch::pike() {
    if (!pike_) pike_ = std::make_unique<pike_storage>();
    return *pike_;
}

namespace {

// Tracking: whether the run keeps `reach`; a template flag, so that the ordinary runs carry
// no trace of it.
template <bool Tracking>
class pike_vm {
public:
    pike_vm(match_context& ctx, bool streaming, pike_storage& storage)
        : a_(storage.a),
          b_(storage.b),
          pool_(storage.pool),
          stack_(storage.stack),
          ctx_(ctx),
          prog_(ctx.prog),
          code_(ctx.prog.instructions.data),
          s_(ctx.subject),
          len_(ctx.length),
          no_captures_(ctx.whole_only || (ctx.prog.facts.no_captures && ctx.prog.slot_count == 2)),
          streaming_(streaming) {}

    // The furthest offset read (see the essay); kept only when Tracking.
    std::uint32_t reach() const noexcept { return reach_; }

    bool run(std::uint32_t start, slot_vector& out) {
        const std::size_t n = prog_.instructions.size();
        a_.prepare(n);
        b_.prepare(n);
        pool_.init(prog_.slot_count);
        out.assign(no_captures_ ? 2 : prog_.slot_count, -1);
        out_ = &out;
        start_ = start;
        thread_list* cur = &a_;
        thread_list* next = &b_;
        bool matched = false;
        // The subject's failure memo: consulted when it holds something, and this run's
        // pairs past the tail threshold logged in case it fails.
        failure_memo* memo = nullptr;
        failure_memo* log = nullptr;
        // A run that reports its reach uses no memo: a thread dropped at a recorded pair would
        // rest its answer on bytes another run read, which the reach would not name.
        if (!Tracking && !streaming_ && ctx_.scratch != nullptr) {
            memo = ctx_.scratch->failures().of(prog_.instructions.data, s_, len_);
            if (memo != nullptr) {
                if (!memo->empty()) drop_ = memo;
                log = &ctx_.scratch->failure_log();
                log->clear();
            }
        }
        const std::uint64_t log_from = std::uint64_t{start} + failure_memo_min_tail;
        // A 64-bit counter: for a subject of 4 GiB - 1 bytes a 32-bit one would wrap after the
        // last offset instead of ending the loop.
        for (std::uint64_t at = start; at <= len_; ++at) {
            const auto pos = static_cast<std::uint32_t>(at);
            if (pos == start) {
                if constexpr (Tracking) note_reach(pos);
                bool may_start = true;
                if (!streaming_ && prog_.facts.first_bytes_known) {
                    may_start = pos < len_ && prog_.facts.first_bytes.test(s_[pos]);
                }
                if (may_start) {
                    std::uint32_t data = start;
                    if (!no_captures_) {
                        pool_.retain(0);
                        data = 0;
                    }
                    closure(*cur, 0, pos, data);
                }
            }
            if (cur->threads.empty()) break;
            if (log != nullptr && at > log_from) {
                for (const thread& t : cur->threads) log->add(t.pc, pos);
            }
            for (std::size_t k = 0; k < cur->threads.size(); ++k) {
                if (step(cur->threads[k], pos, *next)) {
                    matched = true;
                    // The threads after this one were cut, so nothing logged up to here is
                    // proved; what later steps log is (see below).
                    if (log != nullptr) log->clear();
                    break;
                }
            }
            release_all(*cur);
            cur->reset();
            std::swap(cur, next);
        }
        release_all(*cur);
        release_all(*next);
        // After the last match nothing was cut: the pairs logged since are every pair reachable
        // from the threads that went on, and none led to a match, so they are dead too.
        if (log != nullptr && !log->empty()) ctx_.scratch->failures().record(*memo, *log);
        return matched;
    }

    bool open_end = false;

private:
    // Offsets at or past the end all mean "saw the end".
    void note_reach(std::uint64_t offset) noexcept {
        const std::uint32_t r = offset >= len_ ? len_ : static_cast<std::uint32_t>(offset);
        if (r > reach_) reach_ = r;
    }
    void note_lookaround_reach(const lookaround_entry& e, std::uint32_t pos) {
        const std::uint64_t tail = lookaround_has_tail_assertion(ctx_, e) ? 4 : 0;
        if (e.behind) {
            note_reach(pos + tail);
        } else if (e.max_length < 0) {
            note_reach(len_);
        } else {
            note_reach(std::uint64_t{pos} + static_cast<std::uint32_t>(e.max_length) + tail);
        }
    }

    void release(std::uint32_t data) noexcept {
        if (!no_captures_) pool_.release(data);
    }
    void retain(std::uint32_t data) noexcept {
        if (!no_captures_) pool_.retain(data);
    }
    void release_all(thread_list& l) noexcept {
        for (const thread& t : l.threads) release(t.data);
        l.threads.clear();
    }

    // A character at pos that more text could still change: the end, or a short tail that
    // does not decode yet.
    bool incomplete_char(std::uint32_t pos) const noexcept {
        return pos >= len_ || (len_ - pos < 4 && !decode_utf8(s_, len_, pos).valid);
    }

    void note_assert_open(const instruction& in, std::uint32_t pos) {
        switch (static_cast<assert_kind>(in.arg)) {
        case assert_kind::text_end:
        case assert_kind::line_end:
        case assert_kind::line_end_cr:
            if (pos == len_) open_end = true;
            break;
        case assert_kind::text_end_or_final_newline:
            if (pos == len_ || (pos + 1 == len_ && s_[pos] == '\n')) open_end = true;
            break;
        case assert_kind::word_boundary:
        case assert_kind::not_word_boundary:
        case assert_kind::word_start:
        case assert_kind::word_end:
            if (incomplete_char(pos)) open_end = true;
            break;
        default:
            break;
        }
    }

    void note_lookaround_open(const lookaround_entry& e, std::uint32_t pos) {
        const bool tail_assert = lookaround_has_tail_assertion(ctx_, e);
        if (!e.behind) {
            if (e.max_length < 0 ||
                std::uint64_t{pos} + static_cast<std::uint32_t>(e.max_length) + (tail_assert ? 4 : 0) >= len_) {
                open_end = true;
            }
        } else if (tail_assert && std::uint64_t{pos} + 4 >= len_) {
            open_end = true;
        }
    }

    bool possessive_passes(const instruction& in, std::uint32_t pos) {
        if (pos >= len_) return false;
        switch (in.op) {
        case opcode::possessive_byte:
            return s_[pos] == in.arg;
        case opcode::possessive_set:
            return ctx_.byte_in_set(in.index, s_[pos]);
        default: {
            const decoded_char c = decode_utf8(s_, len_, pos);
            return c.valid && ctx_.class_contains(in.index, c.cp);
        }
        }
    }

    // Slot `slot` := pos for a thread holding `data`; returns what the thread holds now.
    std::uint32_t write_slot(std::uint32_t data, std::uint32_t slot, std::uint32_t pos) {
        if (no_captures_) return slot == 0 ? pos : data;
        return pool_.write(data, slot, static_cast<std::int32_t>(pos));
    }

    void closure(thread_list& l, std::uint32_t pc, std::uint32_t pos, std::uint32_t data) {
        const auto n = static_cast<std::uint32_t>(prog_.instructions.size());
        auto visited = [&](std::uint32_t i) { return l.seen.visited(i); };
        stack_.clear();
        stack_.push_back({pc, data});
        while (!stack_.empty()) {
            thread t = stack_.pop_back();
            ++ctx_.steps;
            // Saves are transparent (empty_iteration.h): write, and carry on to the first
            // instruction after them, which holds their visited mark.
            for (; t.pc < n && code_[t.pc].op == opcode::save; ++t.pc)
                t.data = write_slot(t.data, code_[t.pc].index, pos);
            if (t.pc >= n || l.seen.visited(t.pc)) {
                release(t.data);
                continue;
            }
            l.seen.mark(t.pc);
            const instruction& in = code_[t.pc];
            switch (in.op) {
            case opcode::split:
                retain(t.data);
                stack_.push_back({static_cast<std::uint32_t>(in.y), t.data});
                stack_.push_back({static_cast<std::uint32_t>(in.x), t.data});
                break;
            case opcode::jump: {
                // A jump onto a loop head already reached at this offset leaves the loop.
                const auto target = static_cast<std::uint32_t>(in.x);
                const std::uint32_t dest = jump_destination(code_, n, target, visited);
                if (dest != target) {
                    for_each_chain_save(code_, n, target, visited, [&](std::uint32_t slot) {
                        t.data = write_slot(t.data, slot, pos);
                    });
                }
                stack_.push_back({dest, t.data});
                break;
            }
            case opcode::assert:
                if (streaming_) note_assert_open(in, pos);
                if constexpr (Tracking) note_reach(std::uint64_t{pos} + 3);
                if (assertion_holds(in.arg, pos, ascii_words_for(prog_.unicode, in.index), s_, len_)) {
                    stack_.push_back({t.pc + 1, t.data});
                } else {
                    release(t.data);
                }
                break;
            case opcode::lookaround:
                if (streaming_) note_lookaround_open(prog_.lookarounds[in.index], pos);
                if constexpr (Tracking) note_lookaround_reach(prog_.lookarounds[in.index], pos);
                if (lookaround_holds(ctx_, in.index, pos)) {
                    stack_.push_back({t.pc + 1, t.data});
                } else {
                    release(t.data);
                }
                break;
            case opcode::possessive_byte:
            case opcode::possessive_set:
            case opcode::possessive_cp:
                if (streaming_ && (in.op == opcode::possessive_cp ? incomplete_char(pos) : pos == len_)) {
                    open_end = true;
                }
                if constexpr (Tracking) note_reach(std::uint64_t{pos} + (in.op == opcode::possessive_cp ? 3 : 0));
                if (possessive_passes(in, pos)) {
                    wait(l, t, pos);
                } else {
                    stack_.push_back({static_cast<std::uint32_t>(in.y), t.data});
                }
                break;
            case opcode::byte:
            case opcode::byte_set:
            case opcode::klass_cp:
            case opcode::match:
                wait(l, t, pos);
                break;
            default:
                release(t.data);  // no such instruction: the thread ends
                break;
            }
        }
    }

    // A thread reaching a consuming instruction waits there for the next byte, unless the
    // failure memo knows that pair leads nowhere (its visited mark stays set either way).
    void wait(thread_list& l, const thread& t, std::uint32_t pos) {
        if (drop_ != nullptr && drop_->test(t.pc, pos)) {
            release(t.data);
            return;
        }
        l.threads.push_back(t);
    }

    void add(thread_list& next, std::uint32_t pc, std::uint32_t pos, std::uint32_t data) {
        retain(data);
        closure(next, pc, pos, data);
    }

    // Moves thread t over the byte at pos into `next`; true when t is a match (the step ends).
    bool step(thread& t, std::uint32_t pos, thread_list& next) {
        const instruction& in = code_[t.pc];
        switch (in.op) {
        case opcode::byte:
            if (streaming_ && pos == len_) open_end = true;
            if constexpr (Tracking) note_reach(pos);
            if (pos < len_ && s_[pos] == in.arg) add(next, t.pc + 1, pos + 1, t.data);
            return false;
        case opcode::byte_set:
            if (streaming_ && pos == len_) open_end = true;
            if constexpr (Tracking) note_reach(pos);
            if (pos < len_ && ctx_.byte_in_set(in.index, s_[pos])) add(next, t.pc + 1, pos + 1, t.data);
            return false;
        case opcode::klass_cp: {
            if (streaming_ && incomplete_char(pos)) open_end = true;
            if (pos >= len_) {
                if constexpr (Tracking) note_reach(pos);
                return false;
            }
            const decoded_char c = decode_utf8(s_, len_, pos);
            if constexpr (Tracking) note_reach(std::uint64_t{pos} + (c.valid ? c.length - 1 : 3));
            if (c.valid && ctx_.class_contains(in.index, c.cp)) {
                add(next, t.pc + 5 - c.length, pos + 1, t.data);
            }
            return false;
        }
        case opcode::possessive_byte:
        case opcode::possessive_set:
            if (in.x >= 0 && !no_captures_) {
                t.data = pool_.write(t.data, static_cast<std::uint32_t>(in.x), static_cast<std::int32_t>(pos));
                t.data = pool_.write(t.data, static_cast<std::uint32_t>(in.x) + 1, static_cast<std::int32_t>(pos + 1));
            }
            add(next, t.pc + 1, pos + 1, t.data);
            return false;
        case opcode::possessive_cp: {
            const decoded_char c = decode_utf8(s_, len_, pos);
            if (in.x >= 0 && !no_captures_) {
                t.data = pool_.write(t.data, static_cast<std::uint32_t>(in.x), static_cast<std::int32_t>(pos));
                t.data = pool_.write(t.data, static_cast<std::uint32_t>(in.x) + 1,
                                     static_cast<std::int32_t>(pos + c.length));
            }
            add(next, t.pc + 5 - c.length, pos + 1, t.data);
            return false;
        }
        case opcode::match: {
            slot_vector& out = *out_;
            if (no_captures_) {
                out[0] = static_cast<std::int32_t>(t.data);
                out[1] = static_cast<std::int32_t>(pos);
            } else {
                const std::int32_t* slots = pool_.slots(t.data);
                for (std::size_t k = 0; k < out.size(); ++k) out[k] = slots[k];
            }
            return true;
        }
        default:
            return false;
        }
    }

    thread_list& a_;
    thread_list& b_;
    slot_pool& pool_;
    small_vector<thread, 64>& stack_;
    match_context& ctx_;
    const program_view& prog_;
    const instruction* code_;
    const std::uint8_t* s_;
    std::uint32_t len_;
    bool no_captures_;
    bool streaming_;
    const failure_memo* drop_ = nullptr;
    std::uint32_t reach_ = 0;
    std::uint32_t start_ = 0;
    slot_vector* out_ = nullptr;
};

}  // namespace

bool pike_vm_match_threads(match_context& ctx, std::uint32_t start, slot_vector& out) {
    if (ctx.scratch != nullptr) {
        pike_vm<false> vm(ctx, false, ctx.scratch->pike());
        return vm.run(start, out);
    }
    pike_storage local;
    pike_vm<false> vm(ctx, false, local);
    return vm.run(start, out);
}

bool pike_vm_match_streaming(match_context& ctx, std::uint32_t start, slot_vector& out,
                             bool& open_end) {
    pike_storage local;
    pike_vm<false> vm(ctx, true, ctx.scratch != nullptr ? ctx.scratch->pike() : local);
    const bool matched = vm.run(start, out);
    open_end = vm.open_end;
    return matched;
}

bool pike_vm_match_reach(match_context& ctx, std::uint32_t start, slot_vector& out, std::uint32_t& reach) {
    pike_storage local;
    pike_vm<true> vm(ctx, false, ctx.scratch != nullptr ? ctx.scratch->pike() : local);
    const bool matched = vm.run(start, out);
    reach = vm.reach();
    return matched;
}

}  // namespace kestrel
