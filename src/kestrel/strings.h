// Small text helpers shared by the parser and the dumps.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kestrel {

// Joins pieces into one string with a single allocation (messages and dump lines).
inline std::string join(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (auto part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (auto part : parts) out += part;
    return out;
}

}  // namespace kestrel
