# JSON tokens (RFC 8259). Whitespace between tokens is skipped; everything else is a token.
# A text that is not JSON at the token level (a raw control character or a bad escape in a
# string, a lone minus, a bare word) stops the lexer where no rule matches.
#: extensions .json

whitespace	[ \t\n\r]+	skip
open.object	\{
close.object	\}
open.array	\[
close.array	\]
punct.name_separator	:
punct.value_separator	,
# Any character but the quote, the backslash and U+0000-U+001F, or one of the nine escapes.
string	"(?:[^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})*"
# No leading zeros, no leading plus, no bare fraction or exponent.
number	-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?
keyword.true	true
keyword.false	false
keyword.null	null
