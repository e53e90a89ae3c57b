# POSIX shell and bash tokens: words, quoted strings, variables, substitutions, operators
# and comments.
#
# A quoted string is one token even across lines (with "$var" and $(...) inside it); $( and
# ${ open their group, so what they hold is lexed as ordinary tokens. A "#" starts a comment
# only at the start of a word. Here-document bodies are lexed as ordinary words.
#: extensions .sh .bash
whitespace	[ \t]+	skip
newline	\r?\n	skip
continuation	\\\r?\n	skip
comment	(?<![^ \t\r\n;|&(){}])\#[^\r\n]*
string	'[^']*'
string	\$'(?:[^'\\]|\\[\s\S])*'
string	"(?:[^"\\]|\\[\s\S])*"
string.backtick	`(?:[^`\\]|\\[\s\S])*`
variable	\$(?:[A-Za-z_]\w*|[0-9#?$!@*-])
open	\$\(\(|\$\(|\$\{|\(|\{
close	\)\)|\)|\}
keyword	(?:if|then|else|elif|fi|case|esac|for|select|while|until|do|done|in|function|time|coproc|local|export|readonly|return|exit|set|unset|shift|trap|eval|exec|source)(?![^\s;|&()<>])
op	;;&|;;|;&|&&|\|\||\|&|<<<|<<-|<<|>>|<&|>&|<>|>\||&>>|&>|[|&;<>!]
escape	\\[\s\S]
name	(?:[^\s|&;<>()'"`$\\{}#]|\#)(?:[^\s|&;<>()'"`$\\{}]|\{(?=[^\s]))*|[{}#]
punct	\$
