# SQL tokens (ISO SQL with PostgreSQL's additions), for scripts and schema files.
#
# Keywords are matched without regard to case; quoted identifiers are names; '...' strings
# (with '' inside), E'...' escapes and $$...$$ bodies are strings. A $tag$ quote is a token of
# its own and its body is lexed as SQL (the reader cannot pair tags). Lines starting with a
# backslash are psql commands.
#: extensions .sql
whitespace	[ \t\r\n\f]+	skip
comment	--[^\n]*
comment	/\*[\s\S]*?\*/
string	[eE]'(?:[^'\\]|\\[\s\S]|'')*'
string	(?:[nN]|[uU]&)?'(?:[^']|'')*'
string	\$\$[\s\S]*?\$\$
punct.dollar	\$[A-Za-z_]\w*\$
name	(?:[uU]&)?"(?:[^"]|"")*"
keyword	(?i:select|from|where|insert|into|values|update|set|delete|create|alter|drop|table|view|index|unique|primary|foreign|key|references|constraint|check|default|not|null|and|or|in|is|like|ilike|between|exists|as|on|join|inner|left|right|full|outer|cross|natural|using|group|by|order|having|limit|offset|union|all|distinct|case|when|then|else|end|begin|commit|rollback|transaction|grant|revoke|to|with|recursive|returns|return|returning|function|procedure|language|trigger|before|after|for|each|row|execute|declare|if|elsif|loop|while|schema|sequence|type|cast|true|false|asc|desc|cascade|restrict|replace|or|do|immutable|stable|volatile|strict|security|definer|invoker|extension|comment|owner|add|column|rename|database|role|user|temporary|temp|only|lateral|window|over|partition|fetch|next|first|last|rows|nulls|collate|conflict|nothing|instead|rule|operator|aggregate|domain|policy|enable|disable|exception|raise|notice|perform|into|out|inout|variadic|setof)(?!\w)
name	[\p{L}_][\p{L}\p{N}_$]*
variable	:[A-Za-z_]\w*|\$[0-9]+|@@?[A-Za-z_]\w*|:'[^'\n]*'|:"[^"\n]*"
number	(?:[0-9][0-9_]*(?:\.[0-9_]*)?|\.[0-9][0-9_]*)(?:[eE][+-]?[0-9]+)?|0[xX][0-9a-fA-F_]+
preproc	(?m)^\\[^\n]*
op	::|[-+*/<>=~!@#%^&|`?]+
open	[(\[{]
close	[)\]}]
punct	[;,.:]
