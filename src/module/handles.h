// The native objects behind the module's capsules, and the conversions of token lists that
// every token-returning function shares.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "binding/ref.h"
#include "binding/typed_wrapper.h"
#include "tessel/lexer.h"
#include "tessel/stream.h"

namespace tessel::module {

inline constexpr const char* lexer_capsule = "tessel.lexer";
inline constexpr const char* scan_capsule = "tessel.scan";
inline constexpr const char* stream_capsule = "tessel.stream";
inline constexpr const char* bench_spans_capsule = "tessel.bench_spans";

// "tessel.lexer": the compiled lexer, shared with the streams made from it.
struct lexer_handle {
    std::shared_ptr<const tessel::lexer> lexer;
};

// "tessel.scan": a cursor over a text, holding the lexer's capsule and the text object.
struct scan_holder {
    morrow::binding::ref handle;
    morrow::binding::ref text;
    bool lexeme_bytes = false;
    tessel::scan_cursor cursor;
    tessel::scan_cursor end;       // permanently exhausted
    bool returned = false;         // the cursor's current token was handed out
};

// "tessel.stream": a token stream, holding the lexer's capsule.
struct stream_holder {
    morrow::binding::ref handle;
    std::unique_ptr<tessel::token_stream> stream;
    std::atomic<bool> busy{false};
    int chunk_type = -1;  // -1 none yet, 0 str, 1 bytes
    std::string window;   // the last bytes fed (an error's surroundings)
    std::uint64_t window_offset = 0;
};

// "tessel.bench_spans": the tokens of one text, lexed once, for benchmarks that time building
// Token objects alone.  The lexemes view the text, which the holder keeps alive.
struct bench_spans {
    morrow::binding::ref handle;
    morrow::binding::ref text;
    bool lexeme_bytes = false;
    std::vector<tessel::token> tokens;
};

// The lexer behind a handle looked up directly (the interpreter's capsule error otherwise).
const tessel::lexer* lexer_of(PyObject* handle) noexcept;

// Tokens to a list of Token objects; each mode's name object is made once per list.
PyObject* token_list(const tessel::lexer& lx, const std::vector<tessel::token>& tokens,
                     bool lexeme_bytes) noexcept;
PyObject* token_object(const tessel::lexer& lx, const tessel::token& tok, bool lexeme_bytes) noexcept;

// Raises LexError (or `error`) for a lexing error, with tokens when given.
PyObject* raise_lex_error(const tessel::lex_error& e, PyObject* tokens = nullptr) noexcept;

}  // namespace tessel::module

namespace morrow::binding {
// Typed wrappers take a lexer handle as `const lexer_handle&`.
template <>
struct arg_converter<tessel::module::lexer_handle> {
    static const tessel::module::lexer_handle& from(PyObject* obj) {
        return *static_cast<const tessel::module::lexer_handle*>(
            capsule_pointer(obj, tessel::module::lexer_capsule));
    }
};
}  // namespace morrow::binding
