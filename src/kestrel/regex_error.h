// regex_error: the engine's one exception type.
//
// Every failure of pattern parsing and program compilation is reported by throwing a
// regex_error carrying the bare message and the byte offset in the pattern where the parser
// stood (0 for errors raised by the compiler, which works on the whole tree).  what() reads
// "regex_error at <position>: <message>"; readers that lay out their own text (the grammar
// reader, for instance) use position() and message() separately.  The type is copyable: the
// copy duplicates both strings, so an error can be kept after the pattern is gone.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrel {

class regex_error : public std::exception {
public:
    regex_error(std::string message, std::int32_t position);

    const char* what() const noexcept override { return what_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    std::int32_t position() const noexcept { return position_; }

private:
    std::string message_;
    std::string what_;
    std::int32_t position_;
};

}  // namespace kestrel
