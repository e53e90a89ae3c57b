// The docstrings of the module functions, registered with each function exactly as they
// stand here: the first line of each is the function's signature line.
#pragma once

namespace tessel::module::doc {

inline constexpr const char* compile =
    "compile(rules, dfa_modes=(), errors='raise', columns='bytes', dfa='auto')\n"
    "Compile an ordered list of rules into a lexer handle.\n"
    "\n"
    "Args:\n"
    "    rules (sequence): Each rule is (kind:int, pattern:str, skip:bool) and may\n"
    "        carry two optional fields: in_mode (a sequence of mode-name str; empty\n"
    "        means the default mode) and action (None, or a transition tuple\n"
    "        (\"push\", mode) / (\"set\", mode) / (\"pop\",)).\n"
    "    dfa_modes (sequence): Mode names to accelerate with a DFA fast path. Best-\n"
    "        effort: an un-DFA-able mode silently stays on Pike (see dfa_modes_active).\n"
    "    errors (str): 'raise' (default, unchanged: raise at the first unlexable byte)\n"
    "        or 'token' (recover, emitting one ERROR-kind token per unlexable run).\n"
    "    columns (str): the unit a token's column is counted in — 'bytes' (default,\n"
    "        unchanged), 'codepoints', or 'utf16' (the LSP unit). Read it back with\n"
    "        column_unit(handle); the position does not carry it.\n"
    "\n"
    "Returns:\n"
    "    capsule: An opaque compiled-lexer handle for tokenize()/scan_start().\n"
    "\n"
    "Raises:\n"
    "    error: If a pattern is an invalid regex, a transition targets an empty mode,\n"
    "        or dfa_modes names an unknown mode.\n"
    "    ValueError: If errors is not 'raise' or 'token'.";

inline constexpr const char* dfa_modes_active =
    "dfa_modes_active(handle) -> list[str]\n"
    "The mode names with at least one rule on a DFA (a mode where no rule can be --\n"
    "an un-DFA-able assertion, or a match() that is not the longest -- is absent).";

inline constexpr const char* pike_rules =
    "pike_rules(handle, mode) -> list[int]\n"
    "The indices of the rules of mode that run on the per-rule path.";

inline constexpr const char* column_unit =
    "column_unit(handle) -> str\n"
    "The unit each token's column is counted in: 'bytes', 'codepoints', or 'utf16'.\n"
    "Positions do not carry the unit; the lexer declares it here.";

inline constexpr const char* end_of =
    "end_of(handle, text, lexeme, offset, line, column) -> (offset, line, column)\n"
    "Where the token with this lexeme and start ends in text, under the lexer's column unit.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If lexeme is not the bytes of text at offset.";

inline constexpr const char* tokenize =
    "tokenize(handle, text, eof=False)\n"
    "Eagerly tokenize text with a compiled-lexer handle.\n"
    "\n"
    "Args:\n"
    "    handle (capsule): A handle from compile().\n"
    "    text (str): The source to tokenize.\n"
    "    eof (bool): Append a terminal end_of_input token.\n"
    "\n"
    "Returns:\n"
    "    list: (kind, lexeme, offset, line, column, mode) tuples, skip matches omitted.\n"
    "\n"
    "Raises:\n"
    "    error: If some position is matched by no rule (carrying .offset/.line/.column).";

inline constexpr const char* scan_start =
    "scan_start(handle, text, eof=False)\n"
    "Begin a lazy scan; returns a cursor capsule for scan_next().\n"
    "\n"
    "Args:\n"
    "    handle (capsule): A handle from compile().\n"
    "    text (str): The source to scan.\n"
    "    eof (bool): Yield a terminal end_of_input token.\n"
    "\n"
    "Returns:\n"
    "    capsule: A scan cursor; pass it to scan_next().\n"
    "\n"
    "Raises:\n"
    "    error: If the first position is matched by no rule.";

inline constexpr const char* scan_next =
    "scan_next(cursor)\n"
    "Return the next token tuple from a scan cursor, or None at the end.\n"
    "\n"
    "Args:\n"
    "    cursor (capsule): A cursor from scan_start().\n"
    "\n"
    "Returns:\n"
    "    tuple | None: (kind, lexeme, offset, line, column, mode), or None when exhausted.\n"
    "\n"
    "Raises:\n"
    "    error: If some position is matched by no rule (after earlier tokens are yielded).";

inline constexpr const char* stream_start =
    "stream_start(handle)\n"
    "Begin a stream over text fed in pieces; returns a stream capsule for stream_feed().\n"
    "\n"
    "Args:\n"
    "    handle (capsule): A handle from compile().\n"
    "\n"
    "Returns:\n"
    "    capsule: A stream at the start of the text.";

inline constexpr const char* stream_feed =
    "stream_feed(stream, chunk)\n"
    "Append chunk and return the tokens no text still to come can change.\n"
    "\n"
    "Args:\n"
    "    stream (capsule): A stream from stream_start().\n"
    "    chunk (str | bytes): The next piece of the text, of the first chunk's type.\n"
    "\n"
    "Returns:\n"
    "    list: Tokens in source order, positions in the whole text, skip matches omitted.\n"
    "\n"
    "Raises:\n"
    "    error: Where tokenize would raise on the whole text, once the text decides it\n"
    "        (carrying .offset/.line/.column), or after stream_finish().\n"
    "    TypeError: If chunk is not str or bytes, or not the first chunk's type.";

inline constexpr const char* stream_finish =
    "stream_finish(stream)\n"
    "End the text and return the tokens that remain.\n"
    "\n"
    "Args:\n"
    "    stream (capsule): A stream from stream_start().\n"
    "\n"
    "Returns:\n"
    "    list: The remaining tokens in source order.\n"
    "\n"
    "Raises:\n"
    "    error: Where tokenize would raise on the whole text, or when called twice.";

inline constexpr const char* stream_buffered =
    "stream_buffered(stream) -> int\n"
    "The bytes the stream holds: from the first token not yet returned to the end of what was fed.";

inline constexpr const char* stream_window =
    "stream_window(stream) -> (offset, bytes)\n"
    "The last bytes fed and the offset of the first in the whole text (an error's surroundings).";

inline constexpr const char* parse_grammar =
    "parse_grammar(text, origin='<string>') -> (rules, names)\n"
    "Parse a .lex grammar (tessel/grammar) into compile()-ready rule tuples and their names.\n"
    "\n"
    "Raises:\n"
    "    GrammarError: On a malformed line or an invalid pattern (.line, .column, .cause).";

inline constexpr const char* layout =
    "layout(tokens, insignificant=(), source=None, tabs='columns')\n"
    "Insert NEWLINE/INDENT/DEDENT tokens from indentation (mode-aware).\n"
    "\n"
    "Args:\n"
    "    tokens (sequence): An end_of_input-terminated sequence of\n"
    "        (kind, lexeme, offset, line, column, mode) tuples.\n"
    "    insignificant (sequence): Mode names whose tokens carry no layout\n"
    "        structure (Layout Awareness Level A); empty is the positional pass.\n"
    "    source (str | None): The text the tokens were lexed from (UTF-8 offsets).\n"
    "    tabs (str): 'columns' (a tab is one column) or 'python' (CPython's rule,\n"
    "        which needs source).\n"
    "\n"
    "Returns:\n"
    "    list: The layout-aware tuples (still end_of_input-terminated).\n"
    "\n"
    "Raises:\n"
    "    error: On a dedent to an indentation no open block used, or tabs and spaces mixed\n"
    "        so that a level is ambiguous under tabs='python' (with .offset/.line/.column).\n"
    "    ValueError: On an unknown tabs, tabs='python' without source, or a token beyond source.";

inline constexpr const char* token_iterator =
    "TokenIterator(handle, text, eof=False)\n"
    "Iterate over the tokens of text, lexed natively a batch at a time.\n"
    "\n"
    "Args:\n"
    "    handle (capsule): A handle from compile().\n"
    "    text (str | bytes): The source to tokenize.\n"
    "    eof (bool): End with a terminal end_of_input token.\n"
    "\n"
    "Yields the tokens tokenize() would return, in order. A lexing error is raised\n"
    "when the iteration reaches it, after every token before it was yielded; the\n"
    "iterator is then exhausted.";

inline constexpr const char* bench_spans =
    "_bench_spans(handle, text, eof=False)\n"
    "Benchmarks only: lex text once and keep its tokens for _bench_floor().";

inline constexpr const char* bench_floor =
    "_bench_floor(spans, iterate=False)\n"
    "Benchmarks only: build Token objects from spans kept by _bench_spans(), without\n"
    "lexing: a list like tokenize()'s, or (iterate true) a TokenIterator over them.";

}  // namespace tessel::module::doc
