// Native lexing throughput, lexer compile time and DFA memo memory, in the lexer core alone
// (tokens into a vector, no Python objects).
//
//   bench_lex lex GRAMMAR.lex TEXT [RUNS]      MB/s and token count, with the mode DFAs and
//                                              without them (dfa = requested, no modes),
//                                              interleaved, medians of RUNS (default 5), by
//                                              the wall clock and by the thread's CPU time;
//                                              the two token lists must be identical; the
//                                              DFA run both into a fresh list (tokenize)
//                                              and into one list reused across runs
//                                              (tokenize_into)
//   bench_lex stream GRAMMAR.lex TEXT CHUNK [RUNS]
//                                              a token stream fed the text in CHUNK-byte
//                                              chunks (tokens copied into a vector) against
//                                              eager tokenize, interleaved, medians; the two
//                                              token lists must be identical
//   bench_lex compile [RULES] [RUNS]           compile time of a generated grammar of RULES
//                                              rules (default 100) with its DFAs, median
//   bench_lex memo MB KIND                     peak memory of tokenize on a generated text of
//                                              MB megabytes whose failing tails the memo
//                                              records: KIND sparse (unterminated strings) or
//                                              dense (a 36-state literal failing every 37 bytes)
//
// Errors = token throughout, so a text the grammar does not fully cover still lexes to its end.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tessel/grammar/grammar.h"
#include "tessel/lexer.h"
#include "tessel/runtime.h"
#include "tessel/stream.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// CPU seconds of this thread: on a machine shared with other work, the time a run waited
// for a core does not count, so the figure moves less with the load than the wall clock.
double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::shared_ptr<const tessel::lexer> compile(std::vector<tessel::rule> rules, bool with_dfa) {
    tessel::lexer_options o;
    o.errors = tessel::error_policy::token;
    if (!with_dfa) o.dfa = tessel::dfa_choice::requested;
    return std::make_shared<const tessel::lexer>(std::move(rules), std::move(o));
}

int lex(const std::string& grammar_path, const std::string& text_path, int runs) {
    const tessel::grammar g = tessel::parse_grammar(read_file(grammar_path), grammar_path);
    const std::string text = read_file(text_path);
    const auto fast = compile(g.rules, true);
    const auto plain = compile(g.rules, false);
    std::vector<double> t_fast, t_plain, t_reused, cpu_fast, cpu_plain, cpu_reused;
    std::size_t tokens = 0;
    // The reused list: lexed into again and again, as a compiler or an editor re-lexing would,
    // so its storage is faulted in once (by a warm-up run outside the timings).
    std::vector<tessel::token> reused;
    tessel::tokenize_into(*fast, text, false, reused);
    const bool dfa_only = std::getenv("BENCH_LEX_DFA_ONLY") != nullptr;  // for profiling the fast path
    auto same_tokens = [](const std::vector<tessel::token>& x, const std::vector<tessel::token>& y) {
        return std::equal(x.begin(), x.end(), y.begin(), y.end(), [](const tessel::token& a, const tessel::token& b) {
            return a.kind == b.kind && a.lexeme.data() == b.lexeme.data() && a.lexeme.size() == b.lexeme.size() &&
                   a.pos == b.pos && a.mode == b.mode;
        });
    };
    for (int r = 0; r < runs; ++r) {
        auto t0 = clock_type::now();
        double c0 = thread_cpu_seconds();
        const std::vector<tessel::token> with_dfa = tessel::tokenize(*fast, text, false);
        t_fast.push_back(seconds_since(t0));
        cpu_fast.push_back(thread_cpu_seconds() - c0);
        tokens = with_dfa.size();
        t0 = clock_type::now();
        c0 = thread_cpu_seconds();
        tessel::tokenize_into(*fast, text, false, reused);
        t_reused.push_back(seconds_since(t0));
        cpu_reused.push_back(thread_cpu_seconds() - c0);
        if (!same_tokens(with_dfa, reused)) throw std::runtime_error("the fresh and the reused token lists disagree");
        if (dfa_only) continue;
        t0 = clock_type::now();
        c0 = thread_cpu_seconds();
        const std::vector<tessel::token> per_rule = tessel::tokenize(*plain, text, false);
        t_plain.push_back(seconds_since(t0));
        cpu_plain.push_back(thread_cpu_seconds() - c0);
        // The whole point of the fast path is that nothing changes: every token, every time.
        if (!same_tokens(with_dfa, per_rule)) throw std::runtime_error("the lexers with and without DFAs disagree on the tokens");
    }
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::string active;
    for (const std::string& m : fast->dfa_modes_active()) active += " " + m;
    std::printf("%s on %s: %.2f MB, %zu tokens, DFA modes:%s\n", grammar_path.c_str(), text_path.c_str(), mb,
                tokens, active.c_str());
    std::printf("  with DFAs     %8.3f s median  %8.1f MB/s   (CPU %8.3f s  %8.1f MB/s)  fresh list, slowest %.3f s\n",
                median(t_fast), mb / median(t_fast), median(cpu_fast), mb / median(cpu_fast),
                *std::max_element(t_fast.begin(), t_fast.end()));
    std::printf("  with DFAs     %8.3f s median  %8.1f MB/s   (CPU %8.3f s  %8.1f MB/s)  reused list\n",
                median(t_reused), mb / median(t_reused), median(cpu_reused), mb / median(cpu_reused));
    if (t_plain.empty()) return 0;
    std::printf("  per rule only %8.3f s median  %8.1f MB/s   (CPU %8.3f s  %8.1f MB/s)\n", median(t_plain),
                mb / median(t_plain), median(cpu_plain), mb / median(cpu_plain));
    std::printf("  ratio %.2fx (runs: %d, interleaved)\n", median(t_plain) / median(t_fast), runs);
    return 0;
}

// A grammar of `count` rules as a lexer author writes them: keywords, operators, literals,
// identifiers, numbers, strings, comments and blanks, all in one mode.
std::vector<tessel::rule> generated_rules(int count) {
    std::vector<std::string> patterns = {"[ \\t\\r\\n]+", "#[^\\n]*", "[A-Za-z_][A-Za-z0-9_]*",
                                         "[0-9]+(?:\\.[0-9]+)?(?:[eE][-+]?[0-9]+)?", "0[xX][0-9a-fA-F]+",
                                         "\"(?:[^\"\\\\\\n]|\\\\.)*\"", "'(?:[^'\\\\\\n]|\\\\.)*'"};
    static const char* ops[] = {"\\+", "-", "\\*", "/", "%", "==", "!=", "<=", ">=", "<", ">", "&&", "\\|\\|",
                                "!", "=", "\\+=", "-=", "\\*=", "/=", "\\(", "\\)", "\\[", "\\]", "\\{", "\\}",
                                ";", ",", "\\.", "::", ":", "->", "=>", "\\?", "<<", ">>", "&", "\\|", "\\^", "~"};
    for (const char* op : ops) patterns.push_back(op);
    for (int k = 0; static_cast<int>(patterns.size()) < count; ++k) {
        std::string kw;
        for (int n = k + 1; n > 0; n /= 7) kw += static_cast<char>('a' + (n * 5 + k) % 26);
        patterns.push_back(kw + "kw" + std::to_string(k));
    }
    patterns.resize(static_cast<std::size_t>(count));
    std::vector<tessel::rule> rules;
    for (int i = 0; i < count; ++i) {
        const std::string& p = patterns[static_cast<std::size_t>(i)];
        rules.push_back(tessel::rule{i, p, kestrel::regex(p), i < 2, {}, std::nullopt});
    }
    return rules;
}

int compile_time(int count, int runs) {
    std::vector<double> with, patterns_only;
    std::size_t states = 0;
    for (int r = 0; r < runs; ++r) {
        auto t0 = clock_type::now();
        std::vector<tessel::rule> rules = generated_rules(count);
        patterns_only.push_back(seconds_since(t0));
        const auto lx = compile(std::move(rules), true);
        with.push_back(seconds_since(t0));
        if (lx->dfa_modes_active().size() != 1) throw std::runtime_error("the generated grammar got no DFA");
        states = lx->placements().at(0).rules.size();
    }
    std::printf("a generated grammar of %d rules (%zu in mode default):\n", count, states);
    std::printf("  patterns compiled            %8.2f ms median\n", median(patterns_only) * 1e3);
    std::printf("  patterns + lexer with DFAs   %8.2f ms median (runs: %d)\n", median(with) * 1e3, runs);
    return 0;
}

long peak_rss_kb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

int memo(double megabytes, const std::string& kind) {
    const auto n = static_cast<std::size_t>(megabytes * 1e6);
    std::string text;
    text.reserve(n + 64);
    std::vector<tessel::rule> rules;
    auto add = [&](const std::string& p) {
        const auto i = static_cast<std::int32_t>(rules.size());
        // Skip rules: no token vector, so what tokenize holds is the memos.
        rules.push_back(tessel::rule{i, p, kestrel::regex(p), true, {}, std::nullopt});
    };
    if (kind == "sparse") {
        // Lines of words with an unmatched quote: every quote starts a scan through the rest of
        // the line (one state, inside the string) that dies at the newline.
        add("\"[^\"\\n]*\"");
        add("[a-z]+");
        add("[ \\n\"]");
        const std::string line = "abc def \"ghi jkl mno pqr stu vwx yz abc def ghi jkl mno pqr\n";
        while (text.size() < n) text += line;
    } else {
        // A 36-byte prefix of a 37-byte literal, again and again: every scan from a letter
        // walks up to 36 distinct states and dies on "?".
        add("abcdefghijklmnopqrstuvwxyz0123456789!");
        add("[a-z0-9?]");
        while (text.size() < n) text += "abcdefghijklmnopqrstuvwxyz0123456789?";
    }
    const long before = peak_rss_kb();
    const auto lx = compile(rules, true);
    const auto t0 = clock_type::now();
    const std::size_t tokens = tessel::tokenize(*lx, text, false).size();
    const double secs = seconds_since(t0);
    const long after = peak_rss_kb();
    const double token_mb = static_cast<double>(tokens * sizeof(tessel::token)) / 1e6;
    std::printf("memo %s: %.1f MB text, %zu tokens in %.2f s\n", kind.c_str(), static_cast<double>(text.size()) / 1e6,
                tokens, secs);
    std::printf("  peak RSS before tokenize %.1f MB, after %.1f MB; the token vector alone is %.1f MB\n",
                static_cast<double>(before) / 1024, static_cast<double>(after) / 1024, token_mb);
    std::printf("  so tokenize's own peak beyond text and tokens: about %.1f MB\n",
                static_cast<double>(after - before) / 1024 - token_mb);
    return 0;
}

}  // namespace

int stream(const std::string& grammar_path, const std::string& text_path, std::size_t chunk, int runs) {
    const tessel::grammar g = tessel::parse_grammar(read_file(grammar_path), grammar_path);
    const std::string text = read_file(text_path);
    const auto lx = compile(g.rules, true);
    if (chunk == 0) throw std::runtime_error("the chunk size must be at least 1");
    std::vector<double> t_eager, t_stream;
    std::size_t tokens = 0;
    // A streamed token's lexeme views the stream's buffer, valid until the next call: compare
    // kinds, positions, modes and lexeme lengths.
    auto same = [](const tessel::token& a, const tessel::token& b) {
        return a.kind == b.kind && a.pos == b.pos && a.mode == b.mode && a.lexeme.size() == b.lexeme.size();
    };
    for (int r = 0; r < runs; ++r) {
        double c0 = thread_cpu_seconds();
        const std::vector<tessel::token> eager = tessel::tokenize(*lx, text, false);
        t_eager.push_back(thread_cpu_seconds() - c0);
        tokens = eager.size();
        c0 = thread_cpu_seconds();
        tessel::token_stream s(lx);
        std::vector<tessel::token> streamed;
        streamed.reserve(eager.size());
        for (std::size_t at = 0; at < text.size(); at += chunk) {
            for (const tessel::token& t : s.feed(std::string_view(text).substr(at, chunk))) streamed.push_back(t);
        }
        for (const tessel::token& t : s.finish()) streamed.push_back(t);
        t_stream.push_back(thread_cpu_seconds() - c0);
        if (!std::equal(eager.begin(), eager.end(), streamed.begin(), streamed.end(), same)) {
            throw std::runtime_error("the stream and eager tokenize disagree on the tokens");
        }
    }
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("%s on %s: %.2f MB, %zu tokens, %zu-byte chunks\n", grammar_path.c_str(), text_path.c_str(), mb,
                tokens, chunk);
    std::printf("  eager     %8.3f s CPU median  %8.1f MB/s\n", median(t_eager), mb / median(t_eager));
    std::printf("  stream    %8.3f s CPU median  %8.1f MB/s\n", median(t_stream), mb / median(t_stream));
    std::printf("  stream / eager %.2fx (runs: %d, interleaved)\n", median(t_stream) / median(t_eager), runs);
    return 0;
}

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> a(argv + 1, argv + argc);
        if (a.size() >= 3 && a[0] == "lex") return lex(a[1], a[2], a.size() > 3 ? std::stoi(a[3]) : 5);
        if (!a.empty() && a[0] == "compile") {
            return compile_time(a.size() > 1 ? std::stoi(a[1]) : 100, a.size() > 2 ? std::stoi(a[2]) : 21);
        }
        if (a.size() == 3 && a[0] == "memo") return memo(std::stod(a[1]), a[2]);
        if (a.size() >= 4 && a[0] == "stream") {
            return stream(a[1], a[2], static_cast<std::size_t>(std::stoul(a[3])), a.size() > 4 ? std::stoi(a[4]) : 5);
        }
        std::cerr << "usage: bench_lex lex GRAMMAR TEXT [RUNS] | stream GRAMMAR TEXT CHUNK [RUNS] | compile [RULES] [RUNS] | memo MB sparse|dense\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "bench_lex: " << e.what() << '\n';
        return 1;
    }
}
