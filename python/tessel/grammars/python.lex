# Python 3 tokens.
#
# Tokens: name, number, string, op, open, close. Blanks, comments, physical newlines and
# backslash continuations are skip rules: the logical-line structure is rebuilt afterwards by
#
#     layout(tokens, insignificant=("bracket", "continued"), source=text, tabs="python")
#
# which inserts NEWLINE, INDENT and DEDENT where CPython's tokenizer does. Pass the decoded
# text (no byte order mark) and lex with columns="codepoints" to get CPython's columns + 1.
#
# Modes:
#   default    the top level of a logical line.
#   bracket    inside ( [ or {. Every token rule applies, an opening bracket pushes again and a
#              closing one pops, so the tokens of a bracketed span carry no layout and its
#              newlines do not end the logical line.
#   continued  the first token after a backslash continuation. That token is lexed here, so it
#              too carries no layout, and its rule pops straight back.
#
#: layout insignificant=bracket,continued tabs=python
#: extensions .py .pyi .pyw
#
# Token rules are written twice: once for default and bracket, once for continued with pop.
# The lexer keeps the longest match and, on a tie, the earlier rule.

whitespace	[ \t\f]+	skip in=default,bracket,continued
comment	#[^\r\n]*	skip in=default,bracket
# A line holding only a backslash (after blanks) joins nothing: the line after it starts a
# logical line of its own, so the newline before such lines takes them in.
newline	\r?\n(?:[ \t\f]*\\\r?\n)*	skip in=default,bracket

# The same at the very start of the text (form feeds may come first); this rule must stay
# ahead of the next, which it ties.
continuation	\A\f*\\\r?\n(?:[ \t\f]*\\\r?\n)*	skip
# A backslash ending a line at the top level, with a token on the next line: that token is lexed
# in continued. Followed by a blank line, a comment, another backslash or the end of the text,
# the backslash is a plain skip: the line (and so the logical line) ends there. The blanks that
# start the next line belong to the match, so that the look-ahead is a single character.
continuation	\\\r?\n[ \t\f]*(?=[^ \t\f\r\n#\\])	skip push=continued
continuation	\\\r?\n	skip in=default,bracket

# Identifiers: Unicode XID, as in the language reference (plus the underscore).
name	[\p{XID_Start}_]\p{XID_Continue}*	in=default,bracket

# Numbers, alternatives in the order: point floats (optionally with exponent and j), integers
# with j, exponent floats, hex/binary/octal, then decimal integers. A decimal integer with a
# leading zero stops after the zeros, as in CPython's tokenize ("0777" is 0 then 777).
number	(?:[0-9](?:_?[0-9])*\.(?:[0-9](?:_?[0-9])*)?|\.[0-9](?:_?[0-9])*)(?:[eE][-+]?[0-9](?:_?[0-9])*)?[jJ]?|[0-9](?:_?[0-9])*(?:[eE][-+]?[0-9](?:_?[0-9])*)?[jJ]|[0-9](?:_?[0-9])*[eE][-+]?[0-9](?:_?[0-9])*|0[xX](?:_?[0-9a-fA-F])+|0[bB](?:_?[01])+|0[oO](?:_?[0-7])+|0(?:_?0)*|[1-9](?:_?[0-9])*	in=default,bracket

# Strings with any legal prefix (r, u, b, f and the pairs rb/br/fr/rf, any case), one token
# each, f-strings included. Triple-quoted bodies may hold newlines and up to two quotes in a
# row; single-quoted bodies end at a bare newline but may continue after a backslash. The four
# quotings are four rules of one kind rather than one alternation: at any start at most one of
# them gives the longest match, so the tokens are the same, and each is small enough for the
# mode's DFA (the alternation's byte expansion is not).
string	(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?'''(?:[^'\\]|\\(?:\r\n|[\s\S])|'{1,2}(?:[^'\\]|\\(?:\r\n|[\s\S])))*'''	in=default,bracket
string	(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?"""(?:[^"\\]|\\(?:\r\n|[\s\S])|"{1,2}(?:[^"\\]|\\(?:\r\n|[\s\S])))*"""	in=default,bracket
string	(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?'(?:[^'\\\n]|\\(?:\r\n|[\s\S]))*'	in=default,bracket
string	(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?"(?:[^"\\\n]|\\(?:\r\n|[\s\S]))*"	in=default,bracket

# Operators and delimiters other than brackets, longest first.
op	\*\*=|\.\.\.|//=|<<=|>>=|!=|%=|&=|\*\*|\*=|\+=|-=|->|//|/=|:=|<<|<=|==|>=|>>|@=|\^=|\|=|[%&*+,\-./:;<=>@^|~]	in=default,bracket

open	[(\[{]	in=default,bracket push=bracket
close	[)\]}]	in=bracket pop
# An unbalanced closing bracket at the top level is still a token; the parser reports it.
close	[)\]}]

# The first token after a continuation.
name	[\p{XID_Start}_]\p{XID_Continue}*	in=continued pop
number	(?:[0-9](?:_?[0-9])*\.(?:[0-9](?:_?[0-9])*)?|\.[0-9](?:_?[0-9])*)(?:[eE][-+]?[0-9](?:_?[0-9])*)?[jJ]?|[0-9](?:_?[0-9])*(?:[eE][-+]?[0-9](?:_?[0-9])*)?[jJ]|[0-9](?:_?[0-9])*[eE][-+]?[0-9](?:_?[0-9])*|0[xX](?:_?[0-9a-fA-F])+|0[bB](?:_?[01])+|0[oO](?:_?[0-7])+|0(?:_?0)*|[1-9](?:_?[0-9])*	in=continued pop
string	(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?'''(?:[^'\\]|\\(?:\r\n|[\s\S])|'{1,2}(?:[^'\\]|\\(?:\r\n|[\s\S])))*'''	in=continued pop
string	(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?"""(?:[^"\\]|\\(?:\r\n|[\s\S])|"{1,2}(?:[^"\\]|\\(?:\r\n|[\s\S])))*"""	in=continued pop
string	(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?'(?:[^'\\\n]|\\(?:\r\n|[\s\S]))*'	in=continued pop
string	(?:[rRuUbBfF]|[rR][bBfF]|[bBfF][rR])?"(?:[^"\\\n]|\\(?:\r\n|[\s\S]))*"	in=continued pop
op	\*\*=|\.\.\.|//=|<<=|>>=|!=|%=|&=|\*\*|\*=|\+=|-=|->|//|/=|:=|<<|<=|==|>=|>>|@=|\^=|\|=|[%&*+,\-./:;<=>@^|~]	in=continued pop
# An opening bracket takes the place of continued on the mode stack; its closing bracket pops it.
open	[(\[{]	in=continued set=bracket
