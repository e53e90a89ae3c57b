# YAML tokens, for configuration files: comments, keys, quoted and plain scalars, block
# scalar indicators, anchors, aliases, tags and the flow punctuation.
#
# A key is a plain word followed by ":" and a blank or the line end. Plain scalars run to the
# line end or a " #" comment; the lines of a block scalar (| or >) are lexed as plain text.
# Tokens carry the line and column that indentation-aware tools need.
#: extensions .yaml .yml
whitespace	[ \t]+	skip
newline	\r?\n	skip
comment	(?<![^ \t\r\n])\#[^\r\n]*
punct.document	(?m)^(?:---|\.\.\.)(?=[ \t\r\n]|\z)
string	"(?:[^"\\]|\\[\s\S])*"
string	'(?:[^']|'')*'
name.key	[^\s#"'\[\]{},:&*!|>%@`-](?:[^\r\n:#]|:(?![ \t\r\n])|(?<![ \t])\#)*?(?=[ \t]*:(?:[ \t\r\n]|\z))
name.key	[-?:](?:[^\r\n:#]|:(?![ \t\r\n])|(?<![ \t])\#)+?(?=[ \t]*:(?:[ \t\r\n]|\z))
name.anchor	[&*][^\s\[\]{},]+
keyword.tag	![^\s\[\]{},]*
keyword.directive	(?m)^%[^\r\n]*
punct	[-?:](?=[ \t\r\n]|\z)|[,\[\]{}]
punct.block	[|>][-+0-9]*(?=[ \t]*(?:\#|\r?\n|\z))
text	(?:[^\s#,\[\]{}:]|:(?![ \t\r\n,\[\]{}]|\z)|(?<![ \t])\#)(?:[^\r\n:#]|:(?![ \t\r\n]|\z)|(?<![ \t])\#)*
punct	:
