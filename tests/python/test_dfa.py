"""The per-mode DFA fast path seen from Python: which rules and modes run on an automaton,
dfa_report, and tokens that do not change with it (including the cases where the automaton's
answer and a rule's own priority match differ)."""

import os

import pytest

import _tessel
import tessel

EOI = -2147483648
ASCII_ONLY = "on the DFA for ASCII text, per rule past a non-ASCII byte"


def lexed(lx, text, eof=False):
    return [(t.kind, t.lexeme, t.offset) for t in _tessel.tokenize(lx, text, eof)]


def both(rules, errors=None):
    """The lexer with every mode tried for a DFA, and the same lexer with none."""
    return (_tessel.compile(rules, (), errors, None, "auto"),
            _tessel.compile(rules, (), errors, None, "requested"))


def outcome(lx, text):
    try:
        return lexed(lx, text)
    except tessel.LexError as e:
        return ("error", str(e), e.offset)


@pytest.mark.parametrize("rules, text, expected, per_rule", [
    # a|ab keeps its priority match a; ab|a is its own longest and joins the DFA.
    ([(1, "a|ab", False), (2, "b", False)], "ab", [(1, "a", 0), (2, "b", 1)], [0]),
    ([(1, "ab|a", False), (2, "b", False)], "ab", [(1, "ab", 0)], []),
    ([(1, "a|ab", False), (2, "ab", False)], "ab", [(2, "ab", 0)], [0]),
    # Equal length: the lower rule index wins, on the DFA and across the two paths.
    ([(1, "if", False), (2, "[a-z]+", False)], "if", [(1, "if", 0)], []),
    ([(2, "[a-z]+", False), (1, "if", False)], "if", [(2, "if", 0)], []),
    ([(1, "a|ab", False), (2, "a", False)], "a", [(1, "a", 0)], [0]),
    # Assertions and lookarounds stay per rule; the start anchor holds only at offset 0.
    ([(1, "^x", False), (2, "[a-z]", False)], "xx", [(1, "x", 0), (2, "x", 1)], [0]),
    ([(1, "a\\b", False), (2, "[ab]", False)], "aba", [(2, "a", 0), (2, "b", 1), (1, "a", 2)], [0]),
    ([(1, "a(?=b)", False), (2, "[ab]", False)], "aab", [(2, "a", 0), (1, "a", 1), (2, "b", 2)], [0]),
    # Lazy repeats: the rule's own (shortest) match, per rule.
    ([(1, "<.*?>", False), (2, "[^<]", False)], "<a>b>", [(1, "<a>", 0), (2, "b", 3), (2, ">", 4)], [0]),
])
def test_edge_cases_with_and_without_the_dfa(rules, text, expected, per_rule):
    fast, plain = both(rules)
    assert lexed(fast, text) == expected
    assert lexed(plain, text) == expected
    assert _tessel.pike_rules(fast, "default") == per_rule
    assert _tessel.pike_rules(plain, "default") == list(range(len(rules)))


def test_a_mode_of_asserted_rules_has_no_dfa():
    lx = _tessel.compile([(1, "a\\b", False), (2, "(?<=a)b", False, ["m"]), (3, "x", False, ["m"])])
    assert _tessel.dfa_modes_active(lx) == ["m"]
    assert _tessel.pike_rules(lx, "default") == [0]
    assert _tessel.pike_rules(lx, "m") == [1]


def test_requested_builds_only_the_named_modes():
    rules = [(1, "a", False), (2, "b", False, ["m"]), (3, "c", False, ["n"])]
    assert _tessel.dfa_modes_active(_tessel.compile(rules, (), None, None, "requested")) == []
    assert _tessel.dfa_modes_active(_tessel.compile(rules, ["n", "m", "n"], None, None, "requested")) == ["m", "n"]
    assert _tessel.dfa_modes_active(_tessel.compile(rules)) == ["default", "m", "n"]
    for dfa in ("auto", "requested"):
        with pytest.raises(_tessel.error, match="^dfa_modes names an unknown mode: q$"):
            _tessel.compile(rules, ["q"], None, None, dfa)


def test_empty_matching_rule_on_the_dfa():
    fast, plain = both([(1, "a*", False), (2, "b", False)])
    assert _tessel.pike_rules(fast, "default") == []
    for lx in (fast, plain):
        assert lexed(lx, "aab") == [(1, "aa", 0), (2, "b", 2)]
        with pytest.raises(tessel.LexError, match="^zero-length match in mode 'default'"):
            _tessel.tokenize(lx, "c")


def test_mode_over_the_state_budget_falls_back_with_the_same_tokens():
    rules = [(1, "[ab]*a[ab]{12}", False), (2, "(?:[ab]{3})*b", False), (3, "(?:[ab]{5})*a", False),
             (4, "c", False)]
    fast, plain = both(rules)
    assert _tessel.dfa_modes_active(fast) == []
    (mode, placed), = _tessel.dfa_report(fast)
    assert mode == "default"
    assert {p[2] for p in placed} == {
        "DFA state count exceeded max_dfa_states; pattern is too complex for a DFA"}
    text = "ab" * 30 + "c" + "a" * 40 + "cbbbabbc"
    assert outcome(fast, text) == outcome(plain, text)


def test_a_long_failing_tail_is_lexed_the_same_from_every_offset():
    # An unterminated string of 10,000 letters: the DFA's scan from the quote reads to the end
    # and records the tail; every letter after it then starts a scan that stops at once.
    rules = [(1, '"[a-z]*"', False), (2, "[a-z]", False), (3, '"', False)]
    fast, plain = both(rules, "token")
    text = '"' + "q" * 10000
    assert lexed(fast, text) == lexed(plain, text) == [(3, '"', 0)] + [(2, "q", i) for i in range(1, 10001)]


def test_dfa_report_names_every_rule_and_why():
    rules, names = tessel.load_grammar("python")
    report = dict(_tessel.dfa_report(_tessel.compile(rules)))
    assert list(report) == ["default", "bracket", "continued"]
    default = {r: (where, why) for r, where, why in report["default"]}
    for r, (where, why) in default.items():
        # A rule on the DFA has no reason unless it is there only for ASCII text.
        assert (where == "per-rule") == (why != "" and not why.startswith(ASCII_ONLY)), (r, where, why)
    by_name = {}
    for r, (where, why) in default.items():
        by_name.setdefault(names[rules[r][0]], set()).add(where)
    # Every string, number, operator, bracket, blank, comment and newline rule runs on the DFA;
    # names (Unicode identifier classes, far beyond the DFA's byte budget) run on it through
    # their ASCII part and per rule past a non-ASCII byte.
    for kind in ("string", "number", "op", "open", "close", "whitespace", "comment", "newline"):
        assert by_name[kind] == {"dfa"}, kind
    assert by_name["name"] == {"dfa"}
    why = next(why for r, (w, why) in default.items() if names[rules[r][0]] == "name")
    assert why.startswith(ASCII_ONLY) and "byte expansion is too large" in why
    # Only the rules with a start anchor or a look-ahead stay per rule in the top mode.
    lx = _tessel.compile(rules)
    assert [names[rules[r][0]] for r in _tessel.pike_rules(lx, "default")] == ["continuation", "continuation"]
    lx = _tessel.compile(rules, (), None, None, "requested")
    assert all(w == "per-rule" and "dfa_modes" in why
               for _, placed in _tessel.dfa_report(lx) for _, w, why in placed)


def test_json_runs_entirely_on_the_dfa():
    rules, _ = tessel.load_grammar("json")
    lx = _tessel.compile(rules)
    assert _tessel.dfa_modes_active(lx) == ["default"]
    assert _tessel.pike_rules(lx, "default") == []


def test_dfa_report_rejects_what_is_not_a_lexer():
    with pytest.raises(TypeError):
        _tessel.dfa_report()
    with pytest.raises(ValueError):
        _tessel.dfa_report(None)
    assert _tessel.dfa_report.__doc__.startswith("dfa_report(handle) -> ")


def streamed(lx, text, chunk):
    s = _tessel.stream_start(lx)
    out = []
    for i in range(0, len(text), chunk):
        out += _tessel.stream_feed(s, text[i:i + chunk])
    out += _tessel.stream_finish(s)
    return [(t.kind, t.lexeme, t.offset) for t in out]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="building an automaton up to its 65,536-state budget takes minutes under the sanitizer")
def test_a_keyword_set_over_the_state_budget_goes_to_a_literal_trie():
    # 100,000 keywords make a trie of some 111,000 states, over the automaton's budget: the
    # keywords go to a literal trie and the automaton keeps the other rules.  A keyword given
    # twice answers with its first rule; a keyword and an identifier of the same length give
    # the keyword (the lower rule); a longer identifier beats a keyword it starts with.  The
    # last rule, with its lookahead, stays per rule.
    keywords = [(i + 1, "kw%05d" % i, False) for i in range(100_000)]
    rules = keywords + [(500_000, "kw00042", False), (200_000, "[a-z][a-z0-9]*", False),
                        (200_001, r"\s+", True), (200_002, r"(?=\w)\w", False)]
    fast, plain = both(rules, "token")
    report = dict(_tessel.dfa_report(fast))["default"]
    assert {why for _, where, why in report[:100_001]} == {
        "a literal, on the mode's literal trie (an automaton of all the mode's rules passed its state budget)"}
    assert report[100_001][1] == "dfa"
    assert _tessel.pike_rules(fast, "default") == [100_003]
    text = "kw00042 kw99999 kw0004 kw000421 kw9 kw12345x kwé kw12 kw00000 é_kw1 kw77777"
    want = lexed(plain, text)
    assert lexed(fast, text) == want
    assert want[:4] == [(43, "kw00042", 0), (100_000, "kw99999", 8), (200_000, "kw0004", 16),
                        (200_000, "kw000421", 23)]
    # The trie's open end: a keyword cut by a chunk boundary waits for the rest.
    for chunk in (1, 3, 7):
        assert streamed(fast, text, chunk) == want


IDENTIFIER = "[\\p{XID_Start}_]\\p{XID_Continue}*"


@pytest.mark.parametrize("text", [
    "\u00e9t\u00e9 = 1",                 # a non-ASCII first character
    "caf\u00e9 + x",                      # last
    "na\u00efve",                         # middle
    "if\u00e9 = else\u4e16",             # after a keyword prefix
    "\U0001d400 = 2",                     # a letter outside the BMP
    "'\u00e9' x",                         # inside a string no identifier is alive
    "a\u00b7b \u00b7a",                  # a middle dot continues an identifier, never starts one
    "ifx\u0301 if\n\u00e9",             # a combining mark continues
])
@pytest.mark.parametrize("columns", ["bytes", "codepoints", "utf16"])
def test_non_ascii_identifiers_lex_as_on_the_per_rule_path(text, columns):
    rules = [(1, "if|else", False), (2, IDENTIFIER, False), (3, "[0-9]+", False), (4, "[ \\n]+", True),
             (5, "'[^'\\n]*'", False), (6, "[=+]", False)]
    fast = _tessel.compile(rules, (), "token", columns, "auto")
    plain = _tessel.compile(rules, (), "token", columns, "requested")
    assert _tessel.pike_rules(fast, "default") == []
    full = [(t.kind, t.lexeme, t.offset, t.line, t.column) for t in _tessel.tokenize(fast, text, True)]
    assert full == [(t.kind, t.lexeme, t.offset, t.line, t.column) for t in _tessel.tokenize(plain, text, True)]
    # The same through a stream fed a character at a time.
    s = _tessel.stream_start(fast)
    streamed = []
    for ch in text:
        streamed += _tessel.stream_feed(s, ch)
    streamed += _tessel.stream_finish(s)
    assert [(t.kind, t.lexeme, t.offset, t.line, t.column) for t in streamed] == full[:-1]


def test_identifiers_keep_their_non_ascii_characters():
    rules = [(1, "if", False), (2, IDENTIFIER, False), (3, " ", True)]
    fast = _tessel.compile(rules, (), None, "codepoints")
    assert [(t.kind, t.lexeme, t.column) for t in _tessel.tokenize(fast, "if\u00e9 caf\u00e9 if")] == [
        (2, "if\u00e9", 1), (2, "caf\u00e9", 5), (1, "if", 10)]


UNICODE_PIECES = [IDENTIFIER, "\\p{L}+", "\\w+", "[a-c]+", "a", "ab", "\u00e9", "[^ab]", "'[^']*'",
                  "\\p{Lu}\\p{Ll}*", "[\u00e9-\u4e16]", "b|ba", " "]
TEXT_PIECES = ["a", "b", "c", "'", " ", "\u00e9", "\u4e16", "A", "\u00c9", "\U0001d400", "\u0301", "_"]


def tokens_or_error(fn):
    try:
        return [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in fn()]
    except tessel.LexError as e:
        return ("error", str(e), e.offset)


@pytest.mark.parametrize("seed", range(4))
def test_random_unicode_grammars_lex_the_same_with_and_without_the_dfa(seed):
    # Rules with classes too large for the automaton (which then run on it through their ASCII
    # part) among ordinary ones, texts of ASCII and non-ASCII characters, str and bytes, eager
    # and streamed in random pieces: the same tokens and errors as with no automaton at all.
    import random
    rng = random.Random(seed)
    for _ in range(40):
        rules = [(k + 1, rng.choice(UNICODE_PIECES) + (rng.choice(UNICODE_PIECES) if rng.random() < 0.3 else ""),
                  rng.random() < 0.2) for k in range(rng.randint(2, 5))]
        errors = rng.choice(["raise", "token"])
        columns = rng.choice(["bytes", "codepoints", "utf16"])
        fast = _tessel.compile(rules, (), errors, columns, "auto")
        plain = _tessel.compile(rules, (), errors, columns, "requested")
        for _ in range(6):
            text = "".join(rng.choice(TEXT_PIECES) for _ in range(rng.randint(0, 14)))
            for subject in (text, text.encode()):
                expected = tokens_or_error(lambda: _tessel.tokenize(plain, subject))
                assert tokens_or_error(lambda: _tessel.tokenize(fast, subject)) == expected, (rules, subject)

                def streamed():
                    s = _tessel.stream_start(fast)
                    out, at = [], 0
                    while at < len(subject):
                        n = rng.randint(1, 4)
                        out += _tessel.stream_feed(s, subject[at:at + n])
                        at += n
                    return out + _tessel.stream_finish(s)
                assert tokens_or_error(streamed) == expected, (rules, subject)
