// regex_error: builds the "regex_error at <position>: <message>" text once, at construction,
// so that what() never allocates and never fails.
#include "kestrel/regex_error.h"

#include <utility>

namespace kestrel {

regex_error::regex_error(std::string message, std::int32_t position)
    : message_(std::move(message)), position_(position) {
    what_ = "regex_error at " + std::to_string(position_) + ": " + message_;
}

}  // namespace kestrel
