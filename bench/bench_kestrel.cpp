// Benchmarks of the engine on typical lexer rules.
//
//   construct/<rule>           parse + compile + analyse one rule (what compiling a lexer costs)
//   match/<rule>/<matcher>     one anchored match at offset 0 of a typical token
//   linear/<pattern>/<n>       a pattern that backtracking engines take exponential or
//                              quadratic time on, over n and 2n bytes: the time must double
//   inside/<rule>/<matcher>    the same token in the middle of a 1 MB text, matched at its
//                              offset: what a lexer pays per token in a large file
//   captures/<rule>/<matcher>  rules with capture groups at offset 0 (one-pass territory)
//
// Matchers: auto (the selection chain, what the lexer uses; with capture groups it moves to
// the one-pass table after 8,192 calls), pike (the thread lists forced), backtrack (the
// bounded backtracker forced), onepass (the one-pass table forced).  The forced Pike VM is the peer of every row:
// quote the ratios auto/pike and backtrack/pike from one run, not absolute times alone.
//
// Run: cmake -DTESSEL_BUILD_BENCH=ON ... && ninja kestrel_bench &&
//      ./bench/kestrel_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

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
    };
    return r;
}

// Rules whose capture groups make them no-captures no longer; the subject holds a token.
const std::vector<rule>& capture_rules() {
    static const std::vector<rule> r = {
        {"key_value", "([a-z_]+)=(\\d+)", "timeout=3000, retries=5"},
        {"hex_literal", "(0[xX])([0-9a-fA-F]+)", "0x7fff_ffff"},
        {"quoted", "\"([^\"\\\\]*)\"", "\"a quoted string\", next"},
        {"dotted_name", "([A-Za-z_]\\w*)(?:\\.([A-Za-z_]\\w*))*", "os.path.join(a, b)"},
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

// The rule's token at the middle of a 1 MB text of spaces.
void inside(benchmark::State& state, const rule* r, kestrel::matcher_choice choice) {
    const kestrel::regex re(r->pattern);
    std::string text(500000, ' ');
    const auto offset = static_cast<std::uint32_t>(text.size());
    text += r->subject;
    text += std::string(500000, ' ');
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto len = static_cast<std::uint32_t>(text.size());
    if (!re.match_with(choice, offset, s, len).matched) {
        state.SkipWithError("the rule does not match its token");
        return;
    }
    for (auto _ : state) {
        auto m = re.match_with(choice, offset, s, len);
        benchmark::DoNotOptimize(m.slots.data());
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
        benchmark::RegisterBenchmark((std::string("inside/") + r.name + "/auto").c_str(), inside, &r,
                                     kestrel::matcher_choice::automatic);
        benchmark::RegisterBenchmark((std::string("inside/") + r.name + "/pike").c_str(), inside, &r,
                                     kestrel::matcher_choice::pike_vm);
    }
    for (const rule& r : capture_rules()) {
        benchmark::RegisterBenchmark((std::string("captures/") + r.name + "/auto").c_str(), match, &r,
                                     kestrel::matcher_choice::automatic);
        benchmark::RegisterBenchmark((std::string("captures/") + r.name + "/pike").c_str(), match, &r,
                                     kestrel::matcher_choice::pike_vm);
        benchmark::RegisterBenchmark((std::string("captures/") + r.name + "/onepass").c_str(), match, &r,
                                     kestrel::matcher_choice::one_pass);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
