// kestrel-dev: a developer's window into the engine.
//
//   kestrel-dev tree PATTERN            the syntax tree
//   kestrel-dev program PATTERN         the program, its tables and the analysis facts
//   kestrel-dev bytes PATTERN [--assertions] [--max N]
//                                       the program lowered to bytes (asserts kept only
//                                       with --assertions; N instructions of class
//                                       expansion at most, 20000 by default), its byte
//                                       sets and byte classes
//   kestrel-dev onepass PATTERN         the one-pass table the regex would build, or why
//                                       it is refused
//   kestrel-dev match [-m MATCHER] [-e] PATTERN SUBJECT [OFFSET]
//                                       one anchored match: the slots, or "nomatch"
//   kestrel-dev batch                   one case per line on standard input (below)
//   kestrel-dev dfa PATTERN...          the DFA of the patterns (rule r is the r-th), with
//                                       each pattern's longest-agreement answer
//
// A pattern that does not compile prints its regex_error.  With -e, SUBJECT may spell bytes
// as \xHH, \n, \t, \r, \0 and \\.  MATCHER is auto (the selection chain), pike (thread lists
// only), backtrack, streaming, or one special shape forced: byte_class_run,
// code_point_class_run, possessive_run, literal_string, fixed_sequence, any_run,
// straight_alternation, run_then_lookahead.
//
// Batch mode serves the differential tests: each input line is tab-separated,
//   compile <TAB> PATTERN_HEX
//   MATCHER <TAB> PATTERN_HEX <TAB> SUBJECT_HEX <TAB> OFFSET
// (pattern and subject hex-encoded so that any byte can be carried) and gets one line back:
//   ok | error <TAB> POSITION <TAB> MESSAGE | na (the matcher cannot take the case)
//   | nomatch | match <TAB> SLOT,SLOT,...   with <TAB> open / <TAB> closed after the
//   last two for the streaming matcher.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/agreement_check.h"
#include "kestrel/byte_program.h"
#include "kestrel/dfa.h"
#include "kestrel/one_pass.h"
#include "kestrel/parser.h"
#include "kestrel/program_dump.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"
#include "kestrel/syntax_dump.h"

namespace {

using kestrel::matcher_choice;

const std::map<std::string, matcher_choice>& matcher_names() {
    static const std::map<std::string, matcher_choice> names = {
        {"auto", matcher_choice::automatic},
        {"pike", matcher_choice::pike_vm},
        {"backtrack", matcher_choice::backtrack},
        {"onepass", matcher_choice::one_pass},
        {"byte_class_run", matcher_choice::byte_class_run},
        {"code_point_class_run", matcher_choice::code_point_class_run},
        {"possessive_run", matcher_choice::possessive_run},
        {"literal_string", matcher_choice::literal_string},
        {"fixed_sequence", matcher_choice::fixed_sequence},
        {"any_run", matcher_choice::any_run},
        {"straight_alternation", matcher_choice::straight_alternation},
        {"run_then_lookahead", matcher_choice::run_then_lookahead},
    };
    return names;
}

std::optional<std::string> from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int v = 0;
        for (std::size_t k = i; k < i + 2; ++k) {
            const char c = hex[k];
            int d = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return std::nullopt;
            v = v * 16 + d;
        }
        out.push_back(static_cast<char>(v));
    }
    return out;
}

std::string unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out.push_back(s[i]);
            continue;
        }
        const char c = s[++i];
        if (c == 'n') out.push_back('\n');
        else if (c == 't') out.push_back('\t');
        else if (c == 'r') out.push_back('\r');
        else if (c == '0') out.push_back('\0');
        else if (c == 'x' && i + 2 < s.size() + 0 && from_hex(s.substr(i + 1, 2))) {
            out += *from_hex(s.substr(i + 1, 2));
            i += 2;
        } else out.push_back(c);
    }
    return out;
}

std::string describe(const kestrel::match_result& r) {
    if (!r.matched) return "nomatch";
    std::string out = "match\t";
    for (std::size_t i = 0; i < r.slots.size(); ++i) {
        if (i != 0) out += ',';
        out += std::to_string(r.slots[i]);
    }
    return out;
}

// Runs one case; "na" when the matcher cannot take it.
std::string run(const kestrel::regex& re, const std::string& matcher, const std::string& subject,
                std::uint32_t offset) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(subject.data());
    const auto len = static_cast<std::uint32_t>(subject.size());
    if (matcher == "streaming") {
        auto m = re.match_streaming(offset, s, len);
        return describe(m.result) + (m.open_end ? "\topen" : "\tclosed");
    }
    auto it = matcher_names().find(matcher);
    if (it == matcher_names().end()) return "error\t-1\tunknown matcher " + matcher;
    bool applied = true;
    auto r = re.match_with(it->second, offset, s, len, &applied);
    return applied ? describe(r) : "na";
}

std::string error_line(const kestrel::regex_error& e) {
    return "error\t" + std::to_string(e.position()) + "\t" + e.message();
}

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return parts;
}

int batch() {
    std::string line;
    std::string cached_pattern;
    std::unique_ptr<kestrel::regex> cached;
    std::optional<kestrel::regex_error> cached_error;
    while (std::getline(std::cin, line)) {
        const std::vector<std::string> f = split_tabs(line);
        const auto pattern = f.size() >= 2 ? from_hex(f[1]) : std::nullopt;
        if (!pattern || (f[0] != "compile" && f.size() != 4)) {
            std::cout << "error\t-1\tbad batch line\n";
            continue;
        }
        if (!cached || *pattern != cached_pattern || cached_error) {
            cached.reset();
            cached_error.reset();
            cached_pattern = *pattern;
            try {
                cached = std::make_unique<kestrel::regex>(*pattern);
            } catch (const kestrel::regex_error& e) {
                cached_error = e;
            }
        }
        if (cached_error) {
            std::cout << error_line(*cached_error) << '\n';
        } else if (f[0] == "compile") {
            std::cout << "ok\n";
        } else {
            const auto subject = from_hex(f[2]);
            if (!subject) {
                std::cout << "error\t-1\tbad batch line\n";
                continue;
            }
            std::cout << run(*cached, f[0], *subject,
                             static_cast<std::uint32_t>(std::stoul(f[3]))) << '\n';
        }
        std::cout.flush();
    }
    return 0;
}

// bytes PATTERN [--assertions] [--max N]
int bytes_command(const std::vector<std::string>& args) {
    bool assertions = false;
    std::uint32_t max = 20000;
    std::optional<std::string> pattern;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--assertions") {
            assertions = true;
        } else if (args[i] == "--max" && i + 1 < args.size()) {
            const std::string& n = args[++i];
            if (n.empty() || n.size() > 9 ||
                n.find_first_not_of("0123456789") != std::string::npos) {
                std::cerr << "kestrel-dev: --max wants a number of instructions\n";
                return 2;
            }
            max = static_cast<std::uint32_t>(std::stoul(n));
        } else if (!pattern) {
            pattern = args[i];
        } else {
            return -1;
        }
    }
    if (!pattern) return -1;
    kestrel::regex re(*pattern);
    std::cout << kestrel::dump_byte_program(kestrel::lower_to_bytes(re.prog(), assertions, max));
    return 0;
}

int usage() {
    std::cerr << "usage: kestrel-dev tree PATTERN | program PATTERN | "
                 "bytes PATTERN [--assertions] [--max N] | onepass PATTERN | "
                 "match [-m MATCHER] [-e] PATTERN SUBJECT [OFFSET] | batch | dfa PATTERN...\n";
    return 2;
}

// The automaton of the patterns, or the dfa_error that refuses them.
int dump_automaton(const std::vector<std::string>& patterns) {
    std::vector<kestrel::regex> regexes;
    for (const std::string& p : patterns) regexes.emplace_back(p);
    std::vector<const kestrel::program*> programs;
    for (std::size_t r = 0; r < regexes.size(); ++r) {
        programs.push_back(&regexes[r].prog());
        std::cout << "rule " << r << " /" << patterns[r] << "/: longest_agreement_check ";
        try {
            std::cout << kestrel::agreement_name(kestrel::longest_agreement_check(regexes[r].prog())) << '\n';
        } catch (const kestrel::dfa_error& e) {
            std::cout << "refused: " << e.what() << '\n';
        }
    }
    try {
        const kestrel::dfa d(programs);
        std::cout << kestrel::dump_dfa(d);
    } catch (const kestrel::dfa_error& e) {
        std::cout << "dfa_error: " << e.what() << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage();
    const std::string command = args[0];
    try {
        if (command == "batch") return batch();
        if (command == "dfa" && args.size() >= 2) return dump_automaton({args.begin() + 1, args.end()});
        if (command == "tree" && args.size() == 2) {
            std::cout << kestrel::dump_syntax(kestrel::parse_pattern(args[1]), args[1]);
            return 0;
        }
        if (command == "program" && args.size() == 2) {
            kestrel::regex re(args[1]);
            std::cout << kestrel::dump_program(re.prog());
            return 0;
        }
        if (command == "bytes") {
            const int rc = bytes_command(args);
            return rc < 0 ? usage() : rc;
        }
        if (command == "onepass" && args.size() == 2) {
            kestrel::regex re(args[1]);
            std::cout << kestrel::dump_one_pass(kestrel::build_one_pass(re.prog()));
            return 0;
        }
        if (command == "match") {
            std::string matcher = "auto";
            bool escapes = false;
            std::vector<std::string> rest;
            for (std::size_t i = 1; i < args.size(); ++i) {
                if (args[i] == "-m" && i + 1 < args.size()) {
                    matcher = args[++i];
                } else if (args[i] == "-e") {
                    escapes = true;
                } else {
                    rest.push_back(args[i]);
                }
            }
            if (rest.size() < 2 || rest.size() > 3) return usage();
            const std::string subject = escapes ? unescape(rest[1]) : rest[1];
            const std::uint32_t offset = rest.size() == 3 ? static_cast<std::uint32_t>(std::stoul(rest[2])) : 0;
            kestrel::regex re(rest[0]);
            std::cout << run(re, matcher, subject, offset) << '\n';
            return 0;
        }
    } catch (const kestrel::regex_error& e) {
        std::cout << e.what() << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "kestrel-dev: " << e.what() << '\n';
        return 2;
    }
    return usage();
}
