// regex: one compiled pattern as the lexer holds it, and its anchored match operations.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kestrel/lazy_engine.h"
#include "kestrel/pike_vm.h"
#include "kestrel/program.h"

namespace kestrel {

struct match_result {
    const std::uint8_t* subject = nullptr;
    std::uint32_t length = 0;
    slot_vector slots;  // byte offsets from the subject start; -1 unset
    bool matched = false;
    std::string_view pattern;
    const group_name_entry* groups = nullptr;
    std::size_t group_count = 0;

    // Slot i, or -1 when the result holds fewer slots.
    std::int32_t slot(std::size_t i) const noexcept {
        return i < slots.size() ? slots[i] : -1;
    }
    // Where the whole match ends (slot 1), -1 when there is none.
    std::int32_t end() const noexcept { return slot(1); }
};

struct streaming_match {
    match_result result;
    bool open_end = false;  // text appended to the subject could change the result
};

// Which matcher answered (or must answer) a call; `automatic` is the selection chain.
enum class matcher_choice : std::uint8_t {
    automatic,
    pike_vm,    // thread lists only
    backtrack,  // the bounded backtracker, where it applies
    one_pass,   // the one-pass table, where the program gets a usable one
    // One special shape, forced, where the analysis recorded it (the row numbers of shapes.h).
    byte_class_run,
    code_point_class_run,
    possessive_run,
    literal_string,
    fixed_sequence,
    any_run,
    straight_alternation,
    run_then_lookahead,
};

// What a caller reads of a match: every capture slot, or only the whole match (slots 0 and 1;
// the result may then hold just those two).  A lexer reads only where a match ends, and
// capture groups then cost nothing.
enum class captures : std::uint8_t { all, whole_match_only };

class regex {
public:
    // Parses and compiles pattern (UTF-8 text, no options); throws regex_error.
    explicit regex(std::string_view pattern);

    // Copies and moves share the compiled pattern, program and flags, which never change
    // after construction, so a lexer whose rules repeat a pattern holds its program once;
    // the lazy slot of a copy starts empty.
    regex(const regex& other);
    regex(regex&& other) noexcept;
    regex& operator=(const regex& other);
    regex& operator=(regex&& other) noexcept;

    // Anchored match at pos: the match the pattern's priority order picks among those that
    // start at pos.  pos beyond length gives an empty result (no slots, not matched).
    // `scratch`, when given, is storage the caller keeps between calls (match_context.h).
    match_result match(std::uint32_t pos, const std::uint8_t* subject, std::uint32_t length,
                       captures wanted = captures::all, match_scratch* scratch = nullptr) const;
    match_result match(std::uint32_t pos, std::string_view subject, captures wanted = captures::all) const {
        return match(pos, reinterpret_cast<const std::uint8_t*>(subject.data()),
                     static_cast<std::uint32_t>(subject.size()), wanted);
    }

    // The same match on the Pike VM only, with whether more text could change it.
    streaming_match match_streaming(std::uint32_t pos, const std::uint8_t* subject,
                                    std::uint32_t length, captures wanted = captures::all,
                                    match_scratch* scratch = nullptr) const;
    streaming_match match_streaming(std::uint32_t pos, std::string_view subject,
                                    captures wanted = captures::all) const {
        return match_streaming(pos, reinterpret_cast<const std::uint8_t*>(subject.data()),
                               static_cast<std::uint32_t>(subject.size()), wanted);
    }

    // The same match on the Pike VM, with the furthest offset it read to decide it in
    // `reach` (the subject's length when it saw the end).  Text changed only past `reach`
    // cannot change this answer.
    match_result match_reach(std::uint32_t pos, const std::uint8_t* subject, std::uint32_t length,
                             std::uint32_t& reach, captures wanted = captures::all,
                             match_scratch* scratch = nullptr) const;

    // A match by one chosen matcher, for tests and the developer tool.  `applied` says
    // whether that matcher could take the call (a backtracker call on a long subject cannot).
    match_result match_with(matcher_choice choice, std::uint32_t pos, const std::uint8_t* subject,
                            std::uint32_t length, bool* applied = nullptr,
                            std::uint64_t* steps = nullptr, captures wanted = captures::all) const;

    const std::string& pattern() const noexcept { return core_->pattern; }
    const program& prog() const noexcept { return core_->prog; }
    std::uint16_t flags() const noexcept { return core_->flags; }
    lazy_engine_slot& lazy_slot() const noexcept { return slot_; }

private:
    match_result empty_result(const std::uint8_t* subject, std::uint32_t length) const;
    void finish(match_result& r, const std::uint8_t* subject, std::uint32_t length) const;

    // What compilation produced, immutable and shared between copies.
    struct core {
        std::string pattern;
        program prog;
        std::uint16_t flags = 0;
    };
    std::shared_ptr<const core> core_;
    mutable lazy_engine_slot slot_;
};

}  // namespace kestrel
