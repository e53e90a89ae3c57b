# Markdown (CommonMark with the common GitHub additions), for README files and documents.
#
# Headings, fenced and inline code, emphasis, links, images, HTML tags and escapes are tokens;
# the rest is text, one word at a time, and any other character is a text token by itself
# (in Markdown every character is valid text).
#: extensions .md .markdown
whitespace	[^\S\r\n]+	skip
newline	\r?\n|\r	skip
heading	(?m)^[ ]{0,3}\#{1,6}(?:[ \t][^\r\n]*)?$
heading.underline	(?m)^[ ]{0,3}(?:=+|-+)[ \t]*$
string.code	(?m)^[ ]{0,3}```[^\r\n]*\r?\n(?:[\s\S]*?\r?\n)?[ ]{0,3}```+[ \t]*$
string.code	(?m)^[ ]{0,3}~~~[^\r\n]*\r?\n(?:[\s\S]*?\r?\n)?[ ]{0,3}~~~+[ \t]*$
string.code	``[^\r\n]+?``|`[^`\r\n]+`
markup.strong	\*\*(?=\S)[^*\r\n]*?\*\*|__(?=\S)[^_\r\n]*?__
markup.emphasis	\*(?=[^\s*])[^*\r\n]*?\*|(?<!\w)_(?=[^\s_])[^_\r\n]*?_(?!\w)
markup.link	!?\[[^\]\r\n]*\](?:\([^)\r\n]*\)|\[[^\]\r\n]*\])?
markup.link	<(?:https?|ftp|mailto):[^>\s]*>
tag	</?[A-Za-z][\w-]*(?:\s[^<>]*)?/?>|<!--[\s\S]*?-->
escape	\\[!-/:-@\[-`{-~]
punct.list	(?m)^[ \t]*(?:[-*+]|[0-9]{1,9}[.)])(?=[ \t])
punct.quote	(?m)^[ ]{0,3}>
text	[^\s`*_\[\]<>!\\#~=-]+
text	\S
