// Benchmarks of the engine on typical lexer rules.
//
//   construct/<rule>           parse + compile + analyse one rule (what compiling a lexer costs)
//   match/<rule>/<matcher>     one anchored match at offset 0 of a typical token
//   linear/<pattern>/<n>       a pattern that backtracking engines take exponential or
//                              quadratic time on, over n and 2n bytes: the time must double
//
// Matchers: auto (the selection chain, what the lexer uses), pike (the thread lists forced),
// backtrack (the bounded backtracker forced), onepass (the one-pass table's run alone, on the
// rules that get a usable table; the capture-group rules are there for it).  The forced Pike VM is the peer of every row:
// quote the ratios auto/pike and backtrack/pike from one run, not absolute times alone.
//
// Run: cmake -DTESSEL_BUILD_BENCH=ON ... && ninja kestrel_bench &&
//      ./bench/kestrel_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "kestrel/one_pass.h"
#include "kestrel/regex.h"

namespace {

struct rule {
    const char* name;
    std::string pattern;
    std::string subject;  // a token the rule matches, with text after it
};

std::string keyword_alternation() {
    const char* words[] = {
        "abstract", "and", "as", "assert", "async", "await", "break", "case", "catch", "class",
        "const", "continue", "def", "default", "del", "do", "elif", "else", "enum", "except",
        "export", "extends", "false", "final", "finally", "for", "from", "func", "global", "if",
        "import", "in", "interface", "is", "lambda", "let", "match", "module", "new", "nonlocal",
        "not", "null", "or", "package", "pass", "private", "protected", "public", "raise",
        "return", "static", "struct", "super", "switch", "this", "throw", "true", "try", "type",
        "var", "while", "with", "yield"};
    std::string p = "(?:";
    for (std::size_t i = 0; i < sizeof(words) / sizeof(words[0]); ++i) {
        if (i != 0) p += '|';
        p += words[i];
    }
    return p + ")\\b";
}

const std::vector<rule>& rules() {
    static const std::vector<rule> r = {
        {"identifier", "[A-Za-z_][A-Za-z0-9_]*", "parse_expression(x, y)"},
        {"number", "\\d+(?:\\.\\d+)?(?:[eE][+-]?\\d+)?", "6.02214076e23;"},
        {"string", "\"(?:[^\"\\\\\\n]|\\\\.)*\"", "\"hello, \\\"world\\\"\\n\" + x"},
        {"line_comment", "#[^\\n]*", "# a comment that runs to the end of the line\nx = 1"},
        {"keywords", keyword_alternation(), "while True:"},
        {"unicode_word", "\\w+", "na\xc3\xafve_caf\xc3\xa9 = 1"},
        // Rules with capture groups, which the one-pass table serves.
        {"assignment", "([A-Za-z_][A-Za-z0-9_]*)[ \\t]*=[ \\t]*([0-9]+)", "count = 42;"},
        {"key_value", "\"([^\"\\n]*)\":([0-9]+)", "\"name\":12,"},
        {"version", "v(\\d+)\\.(\\d+)\\.(\\d+)", "v10.4.127 "},
        {"date", "([0-9]{4})-([0-9]{2})-([0-9]{2})", "2026-12-08T09:45"},
    };
    return r;
}

void construct(benchmark::State& state, const rule* r) {
    for (auto _ : state) {
        kestrel::regex re(r->pattern);
        benchmark::DoNotOptimize(re.prog().instructions.data());
    }
}

void match(benchmark::State& state, const rule* r, kestrel::matcher_choice choice) {
    const kestrel::regex re(r->pattern);
    const auto* s = reinterpret_cast<const std::uint8_t*>(r->subject.data());
    const auto len = static_cast<std::uint32_t>(r->subject.size());
    bool applied = true;
    if (!re.match_with(choice, 0, s, len, &applied).matched || !applied) {
        state.SkipWithError("the rule does not match its subject with this matcher");
        return;
    }
    for (auto _ : state) {
        auto m = re.match_with(choice, 0, s, len);
        benchmark::DoNotOptimize(m.slots.data());
    }
}

void one_pass(benchmark::State& state, const rule* r) {
    const kestrel::regex re(r->pattern);
    const kestrel::one_pass_table table = kestrel::build_one_pass(re.prog());
    const auto* s = reinterpret_cast<const std::uint8_t*>(r->subject.data());
    const auto len = static_cast<std::uint32_t>(r->subject.size());
    kestrel::slot_vector out;
    if (table.run(0, out, s, len) != re.match(0, s, len).end()) {
        state.SkipWithError("the one-pass table disagrees with the selection chain");
        return;
    }
    for (auto _ : state) {
        auto end = table.run(0, out, s, len);
        benchmark::DoNotOptimize(end);
        benchmark::DoNotOptimize(out.data());
    }
}

struct hard_case {
    const char* name;
    const char* pattern;
    char fill;
    char last;  // the subject is n - 1 fills then this byte
};

const hard_case hard_cases[] = {
    {"nested_plus_dollar", "(a+)+$", 'a', 'b'},
    {"overlapping_alternation", "(a|aa)*b", 'a', 'a'},
    {"nested_plus_y", "(x+x+)+y", 'x', 'x'},
    {"empty_loop", "(?:a*)*b", 'a', 'a'},
    {"lookbehind_run", "(?:(?<=a{0,9}a)a|a)*b", 'a', 'a'},
};

void linear(benchmark::State& state, const hard_case* c) {
    const kestrel::regex re(c->pattern);
    std::string subject(static_cast<std::size_t>(state.range(0)) - 1, c->fill);
    subject.push_back(c->last);
    const auto* s = reinterpret_cast<const std::uint8_t*>(subject.data());
    for (auto _ : state) {
        auto m = re.match_with(kestrel::matcher_choice::pike_vm, 0, s,
                               static_cast<std::uint32_t>(subject.size()));
        benchmark::DoNotOptimize(m.slots.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

const bool registered = [] {
    for (const hard_case& c : hard_cases) {
        benchmark::RegisterBenchmark((std::string("linear/") + c.name).c_str(), linear, &c)
            ->Arg(100000)
            ->Arg(200000)
            ->Unit(benchmark::kMillisecond);
    }
    for (const rule& r : rules()) {
        benchmark::RegisterBenchmark((std::string("construct/") + r.name).c_str(), construct, &r);
        const std::pair<const char*, kestrel::matcher_choice> matchers[] = {
            {"auto", kestrel::matcher_choice::automatic},
            {"pike", kestrel::matcher_choice::pike_vm},
            {"backtrack", kestrel::matcher_choice::backtrack},
        };
        for (const auto& [name, choice] : matchers) {
            benchmark::RegisterBenchmark((std::string("match/") + r.name + "/" + name).c_str(),
                                         match, &r, choice);
        }
        if (kestrel::build_one_pass(kestrel::regex(r.pattern).prog()).usable()) {
            benchmark::RegisterBenchmark((std::string("match/") + r.name + "/onepass").c_str(),
                                         one_pass, &r);
        }
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
