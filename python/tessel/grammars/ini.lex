# INI and setup.cfg-style configuration: [sections], key = value (or key: value) lines,
# comments starting a line with ; or #, and indented continuation lines.
#
# A value is the rest of its line after the = or :, blanks included; a line without either is
# a name (a bare key or a continuation line).
#: extensions .ini .cfg .conf .desktop .service
whitespace	[ \t]+	skip
newline	\r?\n	skip
comment	(?m)^[ \t]*[;#][^\r\n]*
heading.section	(?m)^[ \t]*\[[^\]\r\n]*\][^\r\n]*
name.key	[^\s=:;#\[][^=:\r\n]*|[;#\[][^\r\n]*
string.value	(?<=[=:])[^\r\n]+
op	[=:]
