// Text forms used in matcher test messages: bytes with escapes, and a result's slots.
#pragma once

#include <string>

#include "kestrel/regex.h"

namespace match_text {

// Printable ASCII as it is (a backslash doubled), every other byte as \xHH.
inline std::string show(const std::string& bytes) {
    std::string out;
    for (unsigned char ch : bytes) {
        if (ch == '\\') {
            out += "\\\\";
        } else if (ch >= 0x20 && ch < 0x7f) {
            out.push_back(static_cast<char>(ch));
        } else {
            static const char* hex = "0123456789abcdef";
            out += "\\x";
            out.push_back(hex[ch >> 4]);
            out.push_back(hex[ch & 15]);
        }
    }
    return out;
}

// "-" for no match, else the slots joined by commas.
inline std::string slots(const kestrel::match_result& r) {
    if (!r.matched) return "-";
    std::string out;
    for (std::size_t i = 0; i < r.slots.size(); ++i) {
        if (i != 0) out += ',';
        out += std::to_string(r.slots[i]);
    }
    return out;
}

}  // namespace match_text
