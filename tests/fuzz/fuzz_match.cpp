// Fuzz target: every matcher gives the Pike VM's answer.
//
// The Pike VM is the engine's reference.  For a pattern that compiles and a subject, at every
// start offset of the subject, these must all return the Pike VM's result (whether it
// matched, and then every capture slot): the automatic selection (`match`), the bounded
// backtracker where it takes the call, every special-shape matcher that the analysis
// recorded for the pattern, and the streaming match on the whole subject.  The streaming
// match is also checked against its promise on every prefix of the subject from offset 0: a
// prefix whose result it reports as closed (no open end) must give the result of the whole
// subject, since the rest of the subject is one possible continuation.  Calls with a scratch
// bound to the subject, at every offset in both directions, must agree too: their failure
// memo carries what earlier attempts proved from one call to the next.
//
// Input: the pattern, a NUL, then the subject (at most max_pattern and max_subject bytes; a
// pattern that does not compile ends the run).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "shape_matchers.h"
#include "kestrel/match_context.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"

namespace {

constexpr std::size_t max_pattern = 160;
constexpr std::size_t max_subject = 64;

using kestrel::match_result;
using kestrel::matcher_choice;

std::string shown(const match_result& r, std::size_t slots) {
    if (!r.matched) return "no match";
    std::string out = "slots";
    for (std::size_t i = 0; i < slots; ++i) out += " " + std::to_string(r.slot(i));
    return out;
}

bool same(const match_result& a, const match_result& b, std::size_t slots) {
    if (a.matched != b.matched) return false;
    if (!a.matched) return true;
    for (std::size_t i = 0; i < slots; ++i) {
        if (a.slot(i) != b.slot(i)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzz::split_at_nul(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string_view pattern = parts.first, rest = parts.second;
    if (pattern.size() > max_pattern) return 0;
    // Held in a string; an empty subject is passed as a null pointer with length 0, which C++
    // callers may do and every matcher must take.
    const std::string subject_bytes(rest.substr(0, std::min(rest.size(), max_subject)));
    const std::string_view subject = subject_bytes.empty() ? std::string_view() : std::string_view(subject_bytes);
    std::optional<kestrel::regex> re;
    try {
        re.emplace(pattern);
    } catch (const kestrel::regex_error&) {
        return 0;
    }
    const auto* s = reinterpret_cast<const std::uint8_t*>(subject.data());
    const auto n = static_cast<std::uint32_t>(subject.size());
    const std::size_t slots = re->prog().slot_count;
    auto where = [&](std::uint32_t at) {
        return "/" + fuzz::shown(pattern) + "/ on \"" + fuzz::shown(subject) + "\" at " + std::to_string(at);
    };
    auto agree = [&](const char* name, std::uint32_t at, const match_result& got, const match_result& want) {
        if (!same(got, want, slots)) {
            fuzz::fail(where(at) + ": " + name + " gives " + shown(got, slots) + ", the Pike VM " + shown(want, slots));
        }
    };

    for (std::uint32_t at = 0; at <= n; ++at) {
        const match_result reference = re->match_with(matcher_choice::pike_vm, at, s, n);
        agree("match", at, re->match(at, s, n), reference);
        bool applied = false;
        const match_result bt = re->match_with(matcher_choice::backtrack, at, s, n, &applied);
        if (applied) agree("backtrack", at, bt, reference);
        for (const auto& [choice, name] : match_text::shape_matchers) {
            const match_result r = re->match_with(choice, at, s, n, &applied);
            if (applied) agree(name, at, r, reference);
        }
        const match_result op = re->match_with(matcher_choice::one_pass, at, s, n, &applied);
        if (applied) agree("one_pass", at, op, reference);
        // Asked for the whole match only, the chain gives the same whole match.
        const match_result w = re->match(at, s, n, kestrel::captures::whole_match_only);
        if (w.matched != reference.matched || (w.matched && (w.slot(0) != reference.slot(0) || w.slot(1) != reference.slot(1)))) {
            fuzz::fail(where(at) + ": the whole-match-only chain gives " + shown(w, 2) + ", the Pike VM " +
                       shown(reference, 2));
        }
        agree("match_streaming", at, re->match_streaming(at, s, n).result, reference);
    }

    // With a scratch bound to the subject, failed attempts leave what they proved for later
    // ones (the failure memo): trying every offset upwards, as a lexer does, then downwards,
    // must still give the Pike VM's answer at each.
    kestrel::match_scratch bound;
    bound.failures().bind(s, n);
    for (std::uint32_t k = 0; k <= 2 * n + 1; ++k) {
        const std::uint32_t at = k <= n ? k : 2 * n + 1 - k;
        agree("match with a bound scratch", at, re->match(at, s, n, kestrel::captures::all, &bound),
              re->match_with(matcher_choice::pike_vm, at, s, n));
    }

    const match_result whole = re->match_with(matcher_choice::pike_vm, 0, s, n);
    for (std::uint32_t k = 0; k < n; ++k) {
        const kestrel::streaming_match m = re->match_streaming(0, s, k);
        if (!m.open_end && !same(m.result, whole, slots)) {
            fuzz::fail(where(0) + ": the prefix of " + std::to_string(k) + " bytes is closed with " +
                       shown(m.result, slots) + " but the whole subject gives " + shown(whole, slots));
        }
    }
    return 0;
}
