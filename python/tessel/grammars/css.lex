# CSS tokens (CSS Syntax Level 3): selectors, properties, values and at-rules.
#
# Names cover identifiers with escapes, non-ASCII letters, vendor prefixes and custom
# properties (--name); #rgb colours and id selectors are name.hash; at-keywords are keywords;
# numbers carry their unit or percent sign; url(...) without quotes is one string.
#: extensions .css
whitespace	[ \t\r\n\f]+	skip
comment	/\*[\s\S]*?\*/
string	"(?:[^"\\\n]|\\[\s\S])*"
string	'(?:[^'\\\n]|\\[\s\S])*'
string.url	(?i:url)\((?:[^()"'\\\s]|\\.)*\)
keyword	@-?(?:[A-Za-z_]|[^\x00-\x7f])[\w-]*
number	[+-]?(?:[0-9]+(?:\.[0-9]+)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?(?:%|-?(?:[A-Za-z_]|[^\x00-\x7f])[\w-]*)?
name.hash	\#(?:[\w-]|[^\x00-\x7f]|\\[\s\S])+
name	(?:--|-?(?:[A-Za-z_]|[^\x00-\x7f]|\\[\s\S]))(?:[\w-]|[^\x00-\x7f]|\\[\s\S])*
op	[~|^$*]?=|[->+~*!/|&%<\\]
open	[(\[{]
close	[)\]}]
punct	[;:,.]
