# TOML 1.0 tokens: configuration files such as pyproject.toml and Cargo.toml.
#
# Keys are names (bare keys) or strings (quoted keys); tables are open/close brackets around
# keys. Numbers cover integers, floats, inf/nan and the date-time forms (a date and a time
# separated by a space are two tokens). Multi-line strings are one token each.
#: extensions .toml
whitespace	[ \t]+	skip
newline	\r?\n	skip
comment	\#[^\r\n]*
string	"""(?:[^"\\]|\\[\s\S]|"{1,2}(?!"))*"{3,5}
string	'''(?:[^']|'{1,2}(?!'))*'{3,5}
string	"(?:[^"\\\r\n]|\\.)*"
string	'[^'\r\n]*'
keyword	true|false
number	[+-]?(?:inf|nan)|[+-]?[0-9](?:[0-9A-Za-z_:.]|[-+](?=[0-9]))*
name	[A-Za-z0-9_-]+
open	[\[{]
close	[\]}]
punct	[=,.]
