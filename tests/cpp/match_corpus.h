// Reading the shared matcher corpus (tests/data/match_corpus.txt; its header describes the
// format), for every test that runs matchers over it.
#pragma once

#include <cctype>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#ifndef TESSEL_TEST_DATA_DIR
#error "TESSEL_TEST_DATA_DIR must name the tests/data folder"
#endif

namespace match_corpus {

struct corpus_case {
    int line = 0;
    std::string pattern;
    std::string subject;
    std::uint32_t offset = 0;
    bool matches = false;
    std::vector<std::int32_t> slots;  // when matches
    std::optional<bool> open_end;
};

// Undoes the file's escapes: \\ \t \n \r \xHH.  Anything else is an error in the file.
inline std::optional<std::string> unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out.push_back(field[i]);
            continue;
        }
        if (i + 1 >= field.size()) return std::nullopt;
        const char c = field[++i];
        switch (c) {
        case '\\': out.push_back('\\'); break;
        case 't': out.push_back('\t'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 'x': {
            if (i + 2 >= field.size()) return std::nullopt;  // two digits must follow the x
            const std::string hex = field.substr(i + 1, 2);
            if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
                return std::nullopt;
            }
            out.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return out;
}

inline std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// Reads the corpus; a malformed line is reported and skipped (and fails the test).
inline std::vector<corpus_case> load_corpus(std::vector<std::string>& problems) {
    const std::string path = std::string(TESSEL_TEST_DATA_DIR) + "/match_corpus.txt";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problems.push_back("cannot open " + path);
        return {};
    }
    std::vector<corpus_case> cases;
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = split(line, '\t');
        auto bad = [&](const std::string& why) {
            problems.push_back("line " + std::to_string(lineno) + ": " + why);
        };
        if (f.size() != 4 && f.size() != 5) {
            bad("expected 4 or 5 tab-separated fields");
            continue;
        }
        corpus_case c;
        c.line = lineno;
        const auto pattern = unescape(f[0]);
        const auto subject = unescape(f[1]);
        if (!pattern || !subject) {
            bad("bad escape");
            continue;
        }
        c.pattern = *pattern;
        c.subject = *subject;
        if (f[2].empty() || f[2].find_first_not_of("0123456789") != std::string::npos) {
            bad("bad offset");
            continue;
        }
        c.offset = static_cast<std::uint32_t>(std::stoul(f[2]));
        if (f[3] != "-") {
            c.matches = true;
            bool ok = true;
            for (const std::string& v : split(f[3], ',')) {
                if (v.empty() || v.find_first_not_of("-0123456789") != std::string::npos) ok = false;
                else c.slots.push_back(static_cast<std::int32_t>(std::stol(v)));
            }
            if (!ok || c.slots.size() < 2 || c.slots.size() % 2 != 0) {
                bad("bad slot list");
                continue;
            }
        }
        if (f.size() == 5) {
            if (f[4] != "open" && f[4] != "closed") {
                bad("fifth field must be open or closed");
                continue;
            }
            c.open_end = f[4] == "open";
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

}  // namespace match_corpus
