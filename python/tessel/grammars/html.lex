# HTML tokens: tags with their attributes, comments, doctype and other declarations,
# character references and text.
#
# An opening "<name" enters the tag mode, where attribute names, "=", quoted or bare values
# are lexed, and ">" or "/>" leaves it. Text is lexed word by word; a "<" or "&" that starts no
# tag or reference is text too, as browsers read it. The bodies of script and style elements
# are lexed as text.
#: extensions .html .htm .xhtml
whitespace	[^\S\r\n]+	skip in=default,tag
newline	\r?\n|\r	skip in=default,tag
comment	<!--[\s\S]*?-->
preproc	<!(?:[A-Za-z][^>]*)?>|<!\[CDATA\[[\s\S]*?\]\]>|<\?[\s\S]*?\?>
tag	<[A-Za-z][\w:.-]*	push=tag
tag	</[A-Za-z][\w:.-]*[^\S]*>
tag	/?>	in=tag pop
attribute	[^\s"'<>/=]+	in=tag
op	=	in=tag
string	"[^"]*"|'[^']*'	in=tag
# A stray "/" or "<" inside a tag.
punct	[/<]	in=tag
escape	&(?:\#[0-9]+|\#[xX][0-9a-fA-F]+|[A-Za-z][A-Za-z0-9]*);
text	[^<&\s]+
text	[<&]
