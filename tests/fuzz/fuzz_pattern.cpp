// Fuzz target: pattern parsing and compilation.
//
// Property: any byte string given as a pattern either compiles into a program or is refused
// with a regex_error whose position lies inside the pattern (0 to its length) and whose
// message is not empty.  Nothing else may escape (no other exception type, no crash, no hang,
// no sanitizer report).  A compiled pattern must also survive the cheapest use: one anchored
// match at offset 0 of the pattern's own text, which walks the program once.
//
// Input: the pattern, at most max_pattern bytes (longer inputs are cut, so the fuzzer spends
// its time on syntax rather than on size limits that other tests cover).
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"

namespace {
constexpr std::size_t max_pattern = 512;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view pattern(reinterpret_cast<const char*>(data), std::min(size, max_pattern));
    try {
        const kestrel::regex re(pattern);
        const kestrel::match_result r = re.match(0, pattern);
        if (r.matched) {
            fuzz::check(r.end() >= 0 && static_cast<std::size_t>(r.end()) <= pattern.size(),
                        "a match of /" + fuzz::shown(pattern) + "/ ends outside its subject");
        }
    } catch (const kestrel::regex_error& e) {
        fuzz::check(e.position() >= 0 && static_cast<std::size_t>(e.position()) <= pattern.size(),
                    "regex_error at " + std::to_string(e.position()) + " outside /" + fuzz::shown(pattern) + "/");
        fuzz::check(!e.message().empty(), "regex_error without a message for /" + fuzz::shown(pattern) + "/");
    } catch (const std::bad_alloc&) {
        // Running out of memory is the one failure a pattern may cause besides its own error.
    } catch (const std::exception& e) {
        fuzz::fail(std::string("/") + fuzz::shown(pattern) + "/ raised something else: " + e.what());
    }
    return 0;
}
