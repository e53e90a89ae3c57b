# JavaScript (ECMAScript 2023) tokens, for scripts and modules.
#
# A "/" starts a regular expression literal or is a division depending on what came before,
# so the grammar tracks it in two modes: default (an operand is expected: after an operator,
# an opening bracket, a keyword such as return, or at the start) and after (an operand just
# ended: after a name, a literal or a closing bracket), where "/" divides. Template literals
# are one token each, with their ${...} parts inside.
#: extensions .js .mjs .cjs
whitespace	[\s\x{feff}]+	skip in=default,after
comment	/\*[\s\S]*?\*/	in=default,after
comment	//[^\n\r\x{2028}\x{2029}]*	in=default,after
comment	\A\#![^\n]*
# Keywords after which an expression starts, then those that are operands themselves.
keyword	(?:await|case|delete|do|else|in|instanceof|new|of|return|throw|typeof|void|yield|break|catch|class|const|continue|debugger|default|export|extends|finally|for|function|if|import|let|switch|try|var|while|with)(?![\p{ID_Continue}$])	in=default,after set=default
keyword	(?:this|super|true|false|null|undefined)(?![\p{ID_Continue}$])	in=default,after set=after
name	\#?(?:[\p{ID_Start}$_]|\\u[0-9a-fA-F]{4}|\\u\{[0-9a-fA-F]+\})(?:[\p{ID_Continue}$\x{200c}\x{200d}]|\\u[0-9a-fA-F]{4}|\\u\{[0-9a-fA-F]+\})*	in=default,after set=after
number	(?:0[xX][0-9a-fA-F_]+|0[oO][0-7_]+|0[bB][01_]+|(?:[0-9][0-9_]*(?:\.[0-9_]*)?|\.[0-9][0-9_]*)(?:[eE][+-]?[0-9_]+)?)n?	in=default,after set=after
string	"(?:[^"\\\n\r]|\\[\s\S])*"	in=default,after set=after
string	'(?:[^'\\\n\r]|\\[\s\S])*'	in=default,after set=after
string.template	`(?:[^`\\]|\\[\s\S])*`	in=default,after set=after
string.regex	/(?![*/])(?:[^/\\\[\n\r]|\\[^\n\r]|\[(?:[^\]\\\n\r]|\\[^\n\r])*\])+/[A-Za-z]*	set=after
op	>>>=|\.\.\.|===|!==|\*\*=|<<=|>>=|>>>|=>|\?\?=|\|\|=|&&=|\?\?|\?\.|\+\+|--|\*\*|<<|>>|<=|>=|==|!=|&&|\|\||[-+*/%&|^]=|[-+*/%&|^!~<>=?:]	in=default,after set=default
open	[(\[{]	in=default,after set=default
close	[)\]]	in=default,after set=after
close	\}	in=default,after set=default
punct	[;,.]	in=default,after set=default
# A bare "@" (decorators) and "\" outside strings.
punct	[@\\]	in=default,after set=default
