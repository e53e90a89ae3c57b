// The regex object and the choice of matcher.
//
// A regex owns its pattern text, its program (with the analysis facts) and its flags, all
// immutable after construction, plus the lazy slot that is filled on first need.  `match`
// makes a match_context for the call and hands it to the selection chain (strategy.cpp),
// which picks the cheapest matcher that can answer; every matcher returns what the Pike VM
// returns, so the choice changes only the speed.
#include "kestrel/regex.h"

#include "kestrel/backtrack.h"
#include "kestrel/compiler.h"
#include "kestrel/shapes.h"
#include "kestrel/strategy.h"

namespace kestrel {

namespace {

shape_row shape_of(matcher_choice choice) {
    switch (choice) {
    case matcher_choice::byte_class_run: return shape_row::byte_class_run;
    case matcher_choice::code_point_class_run: return shape_row::code_point_class_run;
    case matcher_choice::possessive_run: return shape_row::possessive_run;
    case matcher_choice::literal_string: return shape_row::literal_string;
    case matcher_choice::fixed_sequence: return shape_row::fixed_sequence;
    case matcher_choice::any_run: return shape_row::any_run;
    case matcher_choice::straight_alternation: return shape_row::straight_alternation;
    default: return shape_row::run_then_lookahead;
    }
}

}  // namespace

regex::regex(std::string_view pattern) {
    compiled_pattern c = compile_pattern(pattern);
    core_ = std::make_shared<const core>(core{std::move(c.pattern), std::move(c.prog), c.flags});
}

regex::regex(const regex& other) : core_(other.core_) {}

// A moved-from regex keeps sharing the core, so it stays a valid regex.
regex::regex(regex&& other) noexcept : core_(other.core_) {}

regex& regex::operator=(const regex& other) {
    if (this != &other) {
        slot_ = lazy_engine_slot();  // whatever was built belonged to the old program
        core_ = other.core_;
    }
    return *this;
}

regex& regex::operator=(regex&& other) noexcept {
    if (this != &other) {
        slot_ = lazy_engine_slot();
        core_ = other.core_;
    }
    return *this;
}

match_result regex::empty_result(const std::uint8_t* subject, std::uint32_t length) const {
    match_result r;
    r.subject = subject;
    r.length = length;
    return r;
}

void regex::finish(match_result& r, const std::uint8_t* subject, std::uint32_t length) const {
    r.subject = subject;
    r.length = length;
    r.pattern = core_->pattern;
    r.groups = core_->prog.group_names.data();
    r.group_count = core_->prog.group_names.size();
}

match_result regex::match(std::uint32_t pos, const std::uint8_t* subject, std::uint32_t length,
                          captures wanted, match_scratch* scratch) const {
    if (pos > length) return empty_result(subject, length);
    match_result r;
    match_context ctx(make_view(core_->prog), &slot_, subject, length);
    ctx.whole_only = wanted == captures::whole_match_only;
    ctx.scratch = scratch;
    ctx.source = &core_->prog;
    r.matched = select_and_match(ctx, pos, r.slots);
    if (scratch != nullptr) scratch->work += ctx.steps;
    finish(r, subject, length);
    return r;
}

streaming_match regex::match_streaming(std::uint32_t pos, const std::uint8_t* subject,
                                       std::uint32_t length, captures wanted,
                                       match_scratch* scratch) const {
    streaming_match m;
    if (pos > length) {
        m.result = empty_result(subject, length);
        return m;
    }
    match_context ctx(make_view(core_->prog), &slot_, subject, length);
    ctx.whole_only = wanted == captures::whole_match_only;
    ctx.scratch = scratch;
    m.result.matched = pike_vm_match_streaming(ctx, pos, m.result.slots, m.open_end);
    if (scratch != nullptr) scratch->work += ctx.steps;
    finish(m.result, subject, length);
    return m;
}

match_result regex::match_reach(std::uint32_t pos, const std::uint8_t* subject, std::uint32_t length,
                                std::uint32_t& reach, captures wanted, match_scratch* scratch) const {
    if (pos > length) {
        reach = length;
        return empty_result(subject, length);
    }
    match_result r;
    match_context ctx(make_view(core_->prog), &slot_, subject, length);
    ctx.whole_only = wanted == captures::whole_match_only;
    ctx.scratch = scratch;
    r.matched = pike_vm_match_reach(ctx, pos, r.slots, reach);
    if (scratch != nullptr) scratch->work += ctx.steps;
    finish(r, subject, length);
    return r;
}

match_result regex::match_with(matcher_choice choice, std::uint32_t pos, const std::uint8_t* subject,
                               std::uint32_t length, bool* applied, std::uint64_t* steps,
                               captures wanted) const {
    if (applied != nullptr) *applied = true;
    if (pos > length) return empty_result(subject, length);
    match_result r;
    match_context ctx(make_view(core_->prog), &slot_, subject, length);
    ctx.whole_only = wanted == captures::whole_match_only;
    ctx.source = &core_->prog;
    switch (choice) {
    case matcher_choice::automatic:
        r.matched = select_and_match(ctx, pos, r.slots);
        break;
    case matcher_choice::pike_vm:
        r.matched = pike_vm_match_threads(ctx, pos, r.slots);
        break;
    case matcher_choice::one_pass: {
        // The table is made at once here, without waiting for the uses the chain waits for.
        const one_pass_table& table = slot_.one_pass(core_->prog);
        if (table.usable()) {
            r.matched = run_one_pass(table, ctx, pos, r.slots);
        } else if (applied != nullptr) {
            *applied = false;
        }
        break;
    }
    case matcher_choice::backtrack:
        // Only where the backtracker answers by itself: its window may not cover the attempt.
        if (backtrack_applies(ctx, pos)) {
            const backtrack_outcome o = backtrack_match(ctx, pos, r.slots);
            r.matched = o == backtrack_outcome::matched;
            if (o == backtrack_outcome::left_window) {
                r.slots.clear();
                if (applied != nullptr) *applied = false;
            }
        } else if (applied != nullptr) {
            *applied = false;
        }
        break;
    default: {
        const shape_row row = shape_of(choice);
        if (shape_applies(ctx.prog, row)) {
            r.matched = run_shape(row, ctx, pos, r.slots);
        } else if (applied != nullptr) {
            *applied = false;
        }
        break;
    }
    }
    if (steps != nullptr) *steps = ctx.steps;
    finish(r, subject, length);
    return r;
}

}  // namespace kestrel
