# C tokens (C17 and C23 keywords, GNU spellings), for source files and headers.
#
# Comments are tokens (so that highlighting shows them); blanks, line ends and backslash
# line joins are skipped. A preprocessor directive is its "#name" word; the rest of the line
# is lexed as ordinary tokens, so an <header.h> is op, name, punct, name, op. Numbers follow
# the preprocessing-number rule (digits, letters, dots, digit separators and signed
# exponents), so every literal the compiler reads is one token.
#: extensions .c .h
whitespace	[ \t\f\v\r]+	skip
newline	\n	skip
continuation	\\\r?\n	skip
comment	/\*[\s\S]*?\*/
comment	//(?:[^\n\\]|\\\r?\n|\\.)*
preproc	\#[ \t]*[A-Za-z_]\w*
keyword	(?:auto|break|case|char|const|continue|default|do|double|else|enum|extern|float|for|goto|if|inline|int|long|register|restrict|return|short|signed|sizeof|static|struct|switch|typedef|union|unsigned|void|volatile|while|_Alignas|_Alignof|_Atomic|_Bool|_Complex|_Generic|_Imaginary|_Noreturn|_Static_assert|_Thread_local|alignas|alignof|bool|constexpr|false|nullptr|static_assert|thread_local|true|typeof|typeof_unqual|__asm__|__attribute__|__extension__|__inline|__inline__|__restrict|__restrict__|__typeof__|__volatile__|asm)
name	[A-Za-z_$]\w*
number	\.?[0-9](?:[eEpP][+-]|'[0-9A-Za-z_]|[0-9A-Za-z_.])*
string	(?:u8|[LuU])?"(?:[^"\\\n]|\\[\s\S])*"
string	(?:u8|[LuU])?'(?:[^'\\\n]|\\[\s\S])+'
op	->|\+\+|--|<<=|>>=|<<|>>|<=|>=|==|!=|&&|\|\||[-+*/%&|^]=|\#\#|\.\.\.|[-+*/%&|^~!<>=?:#.]
open	[(\[{]
close	[)\]}]
punct	[;,]
# Backslashes and stray characters in the text of #error and #warning lines.
punct	[\\@`]
