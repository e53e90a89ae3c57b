// The tokenizing runtime: the longest match at a position, the one-token step, and eager
// tokenizing of a whole text.
//
// At each position the runtime looks up the current mode's dispatch lists for the byte there
// (list b, then list 256 for rules whose first byte the analysis does not know), runs each
// candidate's anchored match, and keeps the longest; on equal length the lower rule index
// wins.  Each rule contributes the match its own pattern prefers (a|ab contributes a), not its
// longest.  The winner's transition (push, pop, set) changes the mode stack; the token, unless
// the rule skips, carries the mode that was current when it matched, so a push token belongs
// to the outer mode and a pop token to the inner one.
//
// Where nothing matches, errors = raise throws lex_error at the cursor.  Errors = token makes
// one error token of the whole unlexable run: the run ends at the first later position where
// some rule matches something non-empty.  Positions whose byte starts no rule of the mode (and
// no rule has an unknown first byte) are crossed without running any matcher, a whole stretch
// at a time.  An empty best match is an error under both policies, since a rule that never
// advances would loop forever; so are pushing past max_mode_depth and popping the root.
//
// The step is written once, as a template over whether it serves a stream.  The stream's form
// must say "undecided" whenever text not yet fed could change its answer: it asks each
// candidate's streaming match whether its result is still open, and stops at the end of the
// buffer.  The eager form compiles to the same loop without those checks.  The streaming form
// also logs every mode change so the stream can undo a step it could not finish.
//
// The per-mode DFA (mode_dfa.cpp): where the current mode has an automaton, the longest
// match asks it first, with the run's memo for that mode, and the per-rule path runs only the
// rules of the mode's per-rule set; the two answers are combined by the same rule (longer,
// then lower index).  Where no rule of that set can begin with the byte at the offset, the
// automaton's answer stands alone.  An automaton that escapes (a non-ASCII byte inside a rule
// it holds only as an ASCII stand-in) leaves that offset to every rule's own matcher.  The
// automaton's open end joins the stream's undecided answer.  Memos live as long as the run's
// subject: one tokenize, one scan, one stream call.
//
// Look-ahead extents: a run that asks for them (run_state::reach) learns, per step, the
// furthest offset any matcher read to decide it: the automaton's stop, each candidate's
// reach on the Pike VM (which alone reports it, so the selection chain is bypassed while
// recording), the bytes an error run crosses, and the end of the subject when the step saw
// it.  An editor re-lexes a token only when an edit touches text at or before that offset.
//
// Costs: no allocation per token (the token vector of `tokenize` aside); messages are built
// only when an error is thrown.  Limits: a text of at most max_text_bytes, a mode stack of at
// most max_mode_depth entries.
//
// Tests: tests/cpp/test_tokenize.cpp; the streaming form also tests/cpp/test_stream.cpp.
#include <algorithm>
#include <new>
#include <optional>
#include <string>

#include "tessel/position.h"
#include "tessel/runtime.h"
#include "tessel/step.h"

namespace tessel {

namespace {

// The most tokens tokenize reserves room for up front (640 MB of address space).
constexpr std::size_t max_token_reserve = std::size_t{1} << 24;

using detail::run_state;
using detail::step_result;

// Calls visit(r) for every per-rule candidate of `mode` at `offset`: the rules the mode's
// dispatch lists name for the byte there and those whose first byte is unknown, or with an
// automaton `md`, those of its per-rule set.
template <class Visit>
void for_each_candidate(const lexer& lx, std::uint32_t mode, const mode_dfa* md, const std::uint8_t* subject,
                        std::uint32_t offset, Visit&& visit) {
    const dispatch_table& table = lx.dispatch(mode);
    const std::vector<rule>& rules = lx.rules();
    // With an automaton, a short per-rule set is walked itself (each rule's first bytes
    // tested), so that rules on the automaton or its trie cost nothing here however many
    // share the byte; a long one through the dispatch lists.
    const bool own_list = md != nullptr && md->per_rule.size() <= 16;
    const std::uint8_t b = subject[offset];
    const dispatch_table::list lists[2] = {own_list ? dispatch_table::list(md->per_rule) : table[b],
                                           own_list ? dispatch_table::list() : table[no_first_byte_list]};
    for (const dispatch_table::list list : lists) {
        for (const std::uint32_t r : list) {
            if (own_list) {
                const kestrel::analysis& facts = rules[r].regex.prog().facts;
                if (facts.first_bytes_known && !facts.first_bytes.test(b)) continue;
            } else if (md != nullptr && !md->on_per_rule_path(r)) {
                continue;
            }
            visit(r);
        }
    }
}

// Keeps rule r's match of n bytes in `best` when it is longer, or as long and earlier.
void keep_better(best_match& best, std::uint32_t r, std::uint32_t n) noexcept {
    if (!best.found || n > best.length || (n == best.length && r < best.rule)) best = best_match{true, r, n, false};
}

// Runs the per-rule candidates of `mode` at `offset` (see for_each_candidate) and keeps the
// best in `best`.  With `reach`, on the Pike VM, raising it to what each one read.
void per_rule_path(const lexer& lx, std::uint32_t mode, const mode_dfa* md, const std::uint8_t* subject,
                   std::uint32_t length, std::uint32_t offset, kestrel::match_scratch& scratch, best_match& best,
                   std::uint32_t* reach) {
    const std::vector<rule>& rules = lx.rules();
    for_each_candidate(lx, mode, md, subject, offset, [&](std::uint32_t r) {
        kestrel::match_result m;
        if (reach != nullptr) {
            std::uint32_t got = 0;
            m = rules[r].regex.match_reach(offset, subject, length, got, kestrel::captures::whole_match_only,
                                           &scratch);
            if (got > *reach) *reach = got;
        } else {
            m = rules[r].regex.match(offset, subject, length, kestrel::captures::whole_match_only, &scratch);
        }
        if (m.matched) keep_better(best, r, static_cast<std::uint32_t>(m.end()) - offset);
    });
}

// The automaton's answer and the per-rule path's, joined: longer, then the lower rule.
best_match joined(const dfa_answer& d, const best_match& p) noexcept {
    if (!p.found || (d.found && (d.length > p.length || (d.length == p.length && d.rule <= p.rule)))) {
        return best_match{d.found, d.rule, d.length, d.open_end};
    }
    best_match b = p;
    b.open_end = d.open_end;
    return b;
}

// The longest match in `mode` at `offset`, in eager lexing.
bool decide_match(const lexer& lx, std::uint32_t mode, const std::uint8_t* subject, std::uint32_t length,
                  std::uint32_t offset, dfa_memos& memos, best_match& best, std::uint32_t* reach) {
    best = best_match{};
    const mode_dfa* md = lx.automaton(mode);
    if (md == nullptr) {
        per_rule_path(lx, mode, nullptr, subject, length, offset, memos.scratch(subject, length), best, reach);
        return true;
    }

    const dfa_answer d = match_mode_dfa(*md, offset, subject, length, memos.of(mode));
    if (reach != nullptr && d.reach > *reach) *reach = d.reach;
    if (d.escaped) {
        // Non-ASCII text inside a rule the automaton holds only as its ASCII stand-in: this
        // offset goes wholly to the rules' own matchers, as in a mode with no automaton.
        per_rule_path(lx, mode, nullptr, subject, length, offset, memos.scratch(subject, length), best, reach);
        return true;
    }
    if (!md->any_per_rule || !md->needs_per_rule(subject[offset])) {
        best = best_match{d.found, d.rule, d.length, d.open_end};
        return true;
    }
    best_match p;
    per_rule_path(lx, mode, md, subject, length, offset, memos.scratch(subject, length), p, reach);
    best = joined(d, p);
    return true;
}

// The stream's per-rule candidates: all of them the first time (over the per-rule set of
// `md`, or every rule of the mode when md is null), afterwards only those still open.  Keeps
// in pending.decided the best of those whose answer is final and in pending.open the others;
// returns whether none is open.  When `final`, every answer is final.
bool stream_candidates(const lexer& lx, std::uint32_t mode, const mode_dfa* md, const std::uint8_t* subject,
                       std::uint32_t length, std::uint32_t offset, bool final, kestrel::match_scratch& scratch,
                       detail::pending_step& pending) {
    const std::vector<rule>& rules = lx.rules();
    // Runs rule r; true when its answer may still change.
    auto still_open = [&](std::uint32_t r) {
        kestrel::match_result m;
        if (final) {
            m = rules[r].regex.match(offset, subject, length, kestrel::captures::whole_match_only, &scratch);
        } else {
            kestrel::streaming_match sm = rules[r].regex.match_streaming(
                offset, subject, length, kestrel::captures::whole_match_only, &scratch);
            if (sm.open_end) return true;
            m = std::move(sm.result);
        }
        if (m.matched) keep_better(pending.decided, r, static_cast<std::uint32_t>(m.end()) - offset);
        return false;
    };
    if (!pending.rules_known) {
        pending.decided = best_match{};
        pending.open.clear();
        for_each_candidate(lx, mode, md, subject, offset, [&](std::uint32_t r) {
            if (still_open(r)) pending.open.push_back(r);
        });
        pending.rules_known = true;
    } else {
        // Those whose answer is now final leave the list.
        pending.open.erase(std::remove_if(pending.open.begin(), pending.open.end(),
                                          [&](std::uint32_t r) { return !still_open(r); }),
                           pending.open.end());
    }
    return pending.open.empty();
}

// The longest match in a stream, or false when (not final) more text could change it.  What
// the matchers learned is kept in `pending` while the answer is open, and a later call at the
// same mode and offset goes on from it: the automaton reads on from where its scan stopped,
// and only the per-rule candidates still open run again.  So a token that stays undecided
// over many chunks costs its automaton one read of each byte.  The per-rule candidates wait
// while the automaton's answer is open, since no answer can be given before it settles.
bool decide_streaming(const lexer& lx, std::uint32_t mode, const std::uint8_t* subject, std::uint32_t length,
                      std::uint32_t offset, bool final, dfa_memos& memos, best_match& best,
                      detail::pending_step& pending) {
    best = best_match{};
    if (!(pending.match && pending.mode == mode && pending.offset == offset)) {
        pending.clear_match();
        pending.mode = mode;
        pending.offset = offset;
    }
    const mode_dfa* md = lx.automaton(mode);
    dfa_answer d;
    bool rules_wanted = true;
    const mode_dfa* rule_set = nullptr;  // null: every rule of the mode
    if (md != nullptr) {
        if (pending.scan_made) {
            d = pending.read_on(*md, subject, length);
        } else {
            d = match_mode_dfa(*md, offset, subject, length, memos.of(mode));
            pending.bytes_examined += d.scanned;
            if (!final && d.open_end && !d.escaped && md->automaton) {
                // The memo's answer does not say where its scan stood at the end: scan again,
                // keeping the state, so that the next chunk is read from there on.
                pending.scan = md->automaton->begin_scan(offset);
                pending.scan_made = true;
                d = pending.read_on(*md, subject, length);
            }
        }
        if (d.escaped) {
            // The automaton cannot answer here: every rule runs on its own matcher, and the
            // automaton is not asked again for this offset.
            if (!pending.scan_made) {
                pending.scan = md->automaton->begin_scan(offset);
                pending.scan.stopped = kestrel::dfa_scan::stop::escaped;
                pending.scan_made = true;
            }
            if (pending.rules_known && !pending.rules_all) pending.rules_known = false;
            pending.rules_all = true;
        } else {
            if (!final && d.open_end) {
                pending.match = true;
                return false;
            }
            rules_wanted = md->any_per_rule && md->needs_per_rule(subject[offset]);
            rule_set = md;
        }
    }
    if (rules_wanted &&
        !stream_candidates(lx, mode, rule_set, subject, length, offset, final, memos.scratch(subject, length),
                           pending)) {
        pending.match = true;
        return false;
    }
    if (md == nullptr || d.escaped) {
        best = pending.decided;
    } else if (!rules_wanted) {
        best = best_match{d.found, d.rule, d.length, d.open_end};
    } else {
        best = joined(d, pending.decided);
    }
    pending.clear_match();
    return true;
}

// The step's longest match: the stream's or the eager one.
template <bool Streaming>
bool decide(const lexer& lx, std::uint32_t mode, run_state& run, bool final, dfa_memos& memos, best_match& best) {
    if constexpr (Streaming) {
        return decide_streaming(lx, mode, run.subject, run.length, run.cursor.offset, final, memos, best,
                                *run.pending);
    } else {
        return decide_match(lx, mode, run.subject, run.length, run.cursor.offset, memos, best, run.reach);
    }
}

std::string entered_at(const mode_entry& e) {
    return std::to_string(e.entered.line) + ":" + std::to_string(e.entered.column);
}

position absolute(const run_state& run, position p) noexcept {
    p.offset += run.base;
    return p;
}

std::string_view view(const run_state& run, std::uint32_t from, std::uint32_t to) noexcept {
    return std::string_view(reinterpret_cast<const char*>(run.subject) + from, to - from);
}

template <bool Streaming>
step_result step(const lexer& lx, run_state& run, token& out, bool final) {
    const std::uint8_t* const s = run.subject;
    const std::uint32_t len = run.length;
    const column_unit unit = lx.columns();
    std::vector<mode_entry>& stack = *run.stack;
    position& cursor = run.cursor;
    // A run that keeps no memos still needs one per mode for the length of this step.
    std::optional<dfa_memos> local;
    dfa_memos& memos = run.memos != nullptr ? *run.memos : local.emplace(lx.mode_count(), len);

    // The error run from `start` (the cursor past its first byte): up to the next position
    // where a rule matches something.
    auto error_run = [&](const position start, const std::uint32_t mode) -> step_result {
        const dispatch_table& table = lx.dispatch(mode);
        const kestrel::byte_set& opening = lx.opening_bytes(mode);
        const bool no_unknown = table[no_first_byte_list].empty();
        [[maybe_unused]] bool open = false;  // a match at the cursor is undecided
        while (cursor.offset < len) {
            if (no_unknown && !opening.test(s[cursor.offset])) {
                std::uint32_t q = cursor.offset + 1;
                while (q < len && !opening.test(s[q])) ++q;
                if (run.reach != nullptr && q > *run.reach) *run.reach = q;
                if constexpr (Streaming) run.pending->bytes_examined += q - cursor.offset;
                advance_position(s, len, cursor, q - cursor.offset, unit);
                continue;
            }
            best_match next;
            if (!decide<Streaming>(lx, mode, run, final, memos, next)) {
                open = true;
                break;
            }
            if (next.found && next.length > 0) break;
            advance_position(s, len, cursor, 1, unit);
        }
        if constexpr (Streaming) {
            if (open || (!final && cursor.offset == len)) {
                // Undecided: the next call goes on from the cursor.
                run.pending->error_run = true;
                run.pending->error_start = start;
                return step_result::undecided;
            }
            run.pending->error_run = false;
        }
        if (run.reach != nullptr && cursor.offset == len) *run.reach = len;  // the run met the end
        out = token{error_kind, view(run, start.offset, cursor.offset), absolute(run, start), mode};
        return step_result::token;
    };
    if constexpr (Streaming) {
        if (run.pending->error_run) return error_run(run.pending->error_start, stack.back().mode);
    }

    while (cursor.offset < len) {
        const std::uint32_t mode = stack.back().mode;
        best_match best;
        if (!decide<Streaming>(lx, mode, run, final, memos, best)) return step_result::undecided;

        if (!best.found) {
            if (lx.errors() == error_policy::raise) {
                throw lex_error("no rule matches in mode '" + shown_mode_name(lx.mode_name(mode)) + "' (entered at " +
                                    entered_at(stack.back()) + ")",
                                absolute(run, cursor));
            }
            const position start = cursor;
            advance_position(s, len, cursor, 1, unit);
            return error_run(start, mode);
        }

        if (best.length == 0) {
            throw lex_error("zero-length match in mode '" + shown_mode_name(lx.mode_name(mode)) +
                                "' (rule never advances)",
                            absolute(run, cursor));
        }

        const position start = cursor;
        advance_position(s, len, cursor, best.length, unit);
        const rule& r = lx.rules()[best.rule];
        if (r.action) {
            switch (r.action->kind) {
                case transition_kind::push:
                    if (stack.size() >= max_mode_depth) {
                        throw lex_error("cannot push another mode: the mode stack is " +
                                            std::to_string(max_mode_depth) +
                                            " deep (tessel::max_mode_depth)",
                                        absolute(run, start));
                    }
                    stack.push_back(mode_entry{r.action->target_index, absolute(run, start)});
                    break;
                case transition_kind::pop:
                    if (stack.size() == 1) {
                        throw lex_error("cannot pop the mode stack: already at the root mode",
                                        absolute(run, start));
                    }
                    stack.pop_back();
                    break;
                case transition_kind::set:
                    stack.back().mode = r.action->target_index;
                    break;
            }
        }
        if (!r.skip) {
            out = token{r.kind, view(run, start.offset, cursor.offset), absolute(run, start), mode};
            return step_result::token;
        }
    }

    if (Streaming && !final) return step_result::undecided;
    if (run.reach != nullptr) *run.reach = len;  // the step saw the end
    if (stack.size() > 1) {
        const mode_entry top = stack.back();
        if (lx.errors() == error_policy::raise) {
            throw lex_error("unterminated mode '" + shown_mode_name(lx.mode_name(top.mode)) + "' (entered at " +
                                entered_at(top) + ")",
                            top.entered);
        }
        stack.resize(1);
        out = token{error_kind, view(run, cursor.offset, cursor.offset), absolute(run, cursor), top.mode};
        return step_result::token;
    }
    return step_result::end;
}

// The eager loop for the positions the automata decide alone: lexes from the cursor while
// the current mode has an automaton, the per-rule path has no candidate at the cursor's byte,
// and the automaton finds a non-empty match whose transition can be made; returns at the
// first position where one of these fails (or at the end), leaving that token to the general
// step.  Each token it makes is the one the general step would make, built the same way; it
// only skips what the step re-reads per token by holding it while the mode stays the same:
// the mode's automaton, memo and candidate bytes, and each automaton rule's packed action
// (kind, skip, transition) in place of the full rule.  The cursor lives in registers while
// the mode lasts.
//
// A stream's call (Streaming, not final) also stops at a match whose end more text could
// still move (the automaton's open end), leaving it to the general step, which keeps the scan
// for the next chunk.
template <bool Streaming>
void lex_on_automata(const lexer& lx, run_state& run, forward_positions& positions, std::vector<token>& tokens,
                     bool final = true) {
    const std::uint8_t* const s = run.subject;
    const std::uint32_t len = run.length;
    std::vector<mode_entry>& stack = *run.stack;
    dfa_memos& memos = *run.memos;
    position at = run.cursor;
    for (bool more = true; more && at.offset < len;) {
        const std::uint32_t mode = stack.back().mode;
        const mode_dfa* const md = lx.automaton(mode);
        // A mode with no automaton, or with a literal trie beside it, is the general step's.
        if (md == nullptr || !md->automaton || md->literals) break;
        const kestrel::dfa& automaton = *md->automaton;
        kestrel::dfa_memo& memo = memos.of(mode);
        const dfa_rule_action* const actions = md->dfa_actions.data();
        const bool gated = md->any_per_rule;
        const kestrel::byte_set gate = md->per_rule_bytes;
        for (;;) {
            if (at.offset >= len || (gated && gate.test(s[at.offset]))) {
                more = false;
                break;
            }
            kestrel::dfa_longest m;
            if constexpr (Streaming) {
                const kestrel::dfa_match_result r = automaton.match(at.offset, memo, s, len);
                run.pending->bytes_examined += r.scanned;
                if (r.matched && (final || !r.open_end)) {
                    m.rule = r.rule;
                    m.length = r.length;
                }
            } else {
                m = automaton.longest(at.offset, memo, s, len);
            }
            // An error, an empty match or an escape: the general step answers it.
            if (m.rule < 0) {
                more = false;
                break;
            }
            const dfa_rule_action a = actions[m.rule];
            // The refusals are the general step's to report, with its messages.
            if ((a.action == dfa_rule_action::push && stack.size() >= max_mode_depth) ||
                (a.action == dfa_rule_action::pop && stack.size() == 1)) {
                more = false;
                break;
            }
            const position start = at;
            positions.advance(at, m.length);
            if (a.skip == 0) tokens.push_back(token{a.kind, view(run, start.offset, at.offset), absolute(run, start), mode});
            if (a.action != dfa_rule_action::none) {
                switch (a.action) {
                    case dfa_rule_action::push:
                        stack.push_back(mode_entry{a.target, absolute(run, start)});
                        break;
                    case dfa_rule_action::pop:
                        stack.pop_back();
                        break;
                    default:
                        stack.back().mode = a.target;
                        break;
                }
                if (stack.back().mode != mode) break;  // fetch the new mode's automaton
            }
        }
    }
    run.cursor = at;
}

}  // namespace

namespace detail {

step_result next_token(const lexer& lx, run_state& run, token& out) {
    return step<false>(lx, run, out, true);
}

step_result next_token_streaming(const lexer& lx, run_state& run, token& out, bool final) {
    return step<true>(lx, run, out, final);
}

void lex_decided_on_automata(const lexer& lx, run_state& run, forward_positions& positions,
                             std::vector<token>& tokens, bool final) {
    lex_on_automata<true>(lx, run, positions, tokens, final);
}

}  // namespace detail

best_match longest_match(const lexer& lx, std::uint32_t mode, const std::uint8_t* subject,
                         std::uint32_t length, std::uint32_t offset) {
    best_match best;
    dfa_memos memos(lx.mode_count(), length);
    if (offset < length) decide_match(lx, mode, subject, length, offset, memos, best, nullptr);
    return best;
}

bool next_token(const lexer& lx, const std::uint8_t* subject, std::uint32_t length,
                position& cursor, std::vector<mode_entry>& stack, token& out) {
    dfa_memos memos(lx.mode_count(), length);
    run_state run{subject, length, 0, cursor, &stack, &memos};
    const step_result r = detail::next_token(lx, run, out);
    cursor = run.cursor;
    return r == step_result::token;
}

namespace {

void tokenize_unguarded(const lexer& lx, std::string_view subject, bool eof, std::vector<token>& tokens) {
    std::vector<mode_entry> stack{mode_entry{}};
    dfa_memos memos(lx.mode_count(), static_cast<std::uint32_t>(subject.size()));
    run_state run{reinterpret_cast<const std::uint8_t*>(subject.data()),
                  static_cast<std::uint32_t>(subject.size()), 0, position{}, &stack, &memos};
    forward_positions positions(run.subject, run.length, lx.columns(), 0);
    token t;
    for (;;) {
        lex_on_automata<false>(lx, run, positions, tokens);
        if (detail::next_token(lx, run, t) != step_result::token) break;
        tokens.push_back(t);
    }
    if (eof) {
        tokens.push_back(token{end_of_input_kind, subject.substr(subject.size()), run.cursor, 0});
    }
}

}  // namespace

void tokenize_into(const lexer& lx, std::string_view subject, bool eof, std::vector<token>& tokens) {
    check_text_length(subject.size());
    tokens.clear();
    // Room for one token per 4 bytes (source code and data mostly hold fewer) spares the list
    // its doublings, each a copy of every token so far into fresh memory, which cost more than
    // the lexing of a large text.  What is reserved and never written stays address space
    // only.  A list that already has the room (a caller re-lexing into the same list) keeps
    // its storage, already faulted in.  Should even the reservation be refused, the list grows
    // as it needs.
    const std::size_t guess = std::min<std::size_t>(subject.size() / 4, max_token_reserve);
    if (tokens.capacity() < guess) {
        try {
            tokens.reserve(guess);
        } catch (const std::bad_alloc&) {
        }
    }
    try {
        tokenize_unguarded(lx, subject, eof, tokens);
    } catch (...) {
        tokens.clear();  // a failed run leaves no half list behind
        throw;
    }
}

std::vector<token> tokenize(const lexer& lx, std::string_view subject, bool eof) {
    std::vector<token> tokens;
    tokenize_into(lx, subject, eof, tokens);
    return tokens;
}

}  // namespace tessel
