// The selection chain: one place that decides which matcher answers an anchored match.
//
// Every matcher of the engine returns exactly what the Pike VM returns; they differ only in
// what they cost and in which programs they can run.  The chain below asks, row by row, "can
// this matcher answer here?" and the first row that can, does.  Its order is cheapest first:
//
//   before  a leading class run then a lookaround: scan the run, test the lookaround at each
//           end from the longest back (shapes.cpp);
//   (A)     a pattern that starts with \A cannot match at any offset but 0;
//   1 - 7   the special shapes the analysis recognised: class runs, a possessive run with
//           literal ends, a literal string, a straight line of byte tests, a run of "any
//           character", an alternation of straight lines (shapes.cpp) - no threads at all;
//   8       the one-pass table, for programs with capture groups that it accepts, once the
//           regex has been used often enough to pay for building it (one_pass.cpp);
//   9       the bounded backtracker, when its visited map covers the attempt: the whole rest
//           of a short subject, or a window past the start on a long one (backtrack.cpp);
//           when the attempt leaves the window, the Pike VM's thread lists (pike_vm.cpp);
//           and the thread lists at once where a failed attempt on the same subject left
//           its proof in the caller's failure memo near this offset (failure_memo.h).
//
// A row that cannot answer falls through to the next; none raises.  The streaming match never
// comes here: it always runs the thread lists, which alone report `open_end`.
#include "kestrel/strategy.h"

#include "kestrel/backtrack.h"
#include "kestrel/lazy_engine.h"
#include "kestrel/one_pass.h"
#include "kestrel/shapes.h"

namespace kestrel {

namespace {

bool fail(const match_context& ctx, slot_vector& out) {
    out.assign(ctx.prog.slot_count, -1);
    return false;
}

// Rows 1 to 7, in order.
constexpr shape_row shape_rows[] = {
    shape_row::byte_class_run,  shape_row::code_point_class_run, shape_row::possessive_run,
    shape_row::literal_string,  shape_row::fixed_sequence,       shape_row::any_run,
    shape_row::straight_alternation,
};

}  // namespace

bool run_one_pass(const one_pass_table& table, match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const std::uint16_t width = ctx.prog.slot_count;
    const bool matched = table.run(pos, out, ctx.subject, ctx.length) >= 0;
    // The table knows only the slots its saves write; a group whose saves the compiler left
    // out (inside x{0}) keeps -1.
    if (out.size() < width) {
        slot_vector padded;
        padded.assign(width, -1);
        for (std::size_t i = 0; i < out.size(); ++i) padded[i] = out[i];
        out = padded;
    }
    return matched;
}

bool backtrack_or_threads(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    // Where an earlier attempt on this subject failed far ahead, the thread lists can stop at
    // what it proved (failure_memo.h), and the backtracker cannot.
    bool memo_near = false;
    if (ctx.scratch != nullptr && ctx.scratch->failures().any(ctx.subject, ctx.length)) {
        const failure_memo* memo = ctx.scratch->failures().of(ctx.prog.instructions.data, ctx.subject, ctx.length);
        memo_near = memo != nullptr && memo->near(pos);
    }
    if (!memo_near && backtrack_applies(ctx, pos)) {
        switch (backtrack_match(ctx, pos, out)) {
        case backtrack_outcome::matched: return true;
        case backtrack_outcome::no_match: return false;
        case backtrack_outcome::left_window: break;
        }
    }
    return pike_vm_match_threads(ctx, pos, out);
}

bool select_and_match(match_context& ctx, std::uint32_t pos, slot_vector& out) {
    const program_view& prog = ctx.prog;
    // Before the chain.
    if (shape_applies(prog, shape_row::run_then_lookahead)) {
        return run_shape(shape_row::run_then_lookahead, ctx, pos, out);
    }
    // (A): \A holds only at offset 0.
    if (prog.facts.anchor == anchor_kind::text_start && pos != 0) return fail(ctx, out);
    // Rows 1 to 7.
    for (const shape_row row : shape_rows) {
        if (shape_applies(prog, row)) return run_shape(row, ctx, pos, out);
    }
    // Row 8: the one-pass table, for a program with groups whose slots the caller wants, once
    // the regex has been used enough to pay for the table.
    if (!ctx.whole_only && prog.slot_count > 2 && ctx.lazy != nullptr && ctx.source != nullptr) {
        const one_pass_table* table = ctx.lazy->one_pass_after_uses(*ctx.source);
        if (table != nullptr && table->usable()) return run_one_pass(*table, ctx, pos, out);
    }
    // Row 9.
    return backtrack_or_threads(ctx, pos, out);
}

}  // namespace kestrel
