"""Long streams stay in bounded memory; one handle serves several threads at once.

The long stream is 200 MiB (about 13 s on a 2-core machine); TESSEL_STREAM_MIB sets another
size, for example 20 for a quick local run.
"""

import os
import random
import threading

import pytest

import _tessel
import tessel

STREAM_MIB = int(os.environ.get("TESSEL_STREAM_MIB", "200"))
CHUNK = 64 * 1024
# Resident memory may move a little as the allocators settle; a stream that kept its text or
# leaked its tokens would grow by far more than this over the run.
RSS_MARGIN = 4 * 2**20

RULES = [
    (1, r"[A-Za-z_][A-Za-z0-9_]*", False),
    (2, r"[0-9]+(?:\.[0-9]+)?", False),
    (3, r"[ \t]+", True),
    (4, r"\n", True),
]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def make_block(rng, size):
    """About size bytes of words and numbers, each followed by blanks or a line feed, with its
    token count, line-feed count and longest token."""
    words = ["alpha", "beta_2", "x", "Gamma", "_", "delta_epsilon_zeta", "i", "k9"]
    parts, tokens, lines, longest, total = [], 0, 0, 0, 0
    while total < size:
        roll = rng.random()
        if roll < 0.5:
            word = rng.choice(words)
        elif roll < 0.8:
            word = str(rng.randint(0, 10**rng.randint(1, 12)))
        elif roll < 0.95:
            word = "%d.%d" % (rng.randint(0, 999), rng.randint(0, 99999))
        else:
            word = "ident_" * rng.randint(5, 40) + "end"  # a few long tokens
        sep = rng.choice([" ", " ", "  ", "\t", "\n", " \n", "\n\n    "])
        parts.append(word + sep)
        tokens += 1
        lines += sep.count("\n")
        longest = max(longest, len(word))
        total += len(word) + len(sep)
    return "".join(parts).encode(), tokens, lines, longest


def test_long_stream_keeps_a_bounded_buffer_and_memory():
    rng = random.Random(1234)
    block, block_tokens, block_lines, longest = make_block(rng, 1 << 20)
    blocks = STREAM_MIB
    total = len(block) * blocks
    twice = block + block
    lx = _tessel.compile(RULES)
    stream = _tessel.stream_start(lx)

    count, end, last_line = 0, 0, 1
    fed = 0
    baseline = peak = None
    while fed < total:
        start = fed % len(block)
        chunk = twice[start:start + min(CHUNK, total - fed)]
        toks = _tessel.stream_feed(stream, chunk)
        fed += len(chunk)
        if toks:
            first, last = toks[0], toks[-1]
            assert first.offset >= end
            count += len(toks)
            end = last.offset + len(last.lexeme)
            last_line = last.line
        del toks
        held = _tessel.stream_buffered(stream)
        # What is held is exactly the text after the last token returned, and so never more
        # than a chunk and the longest token (with the blanks before it).
        assert held == fed - end
        assert held <= CHUNK + longest + 8
        window_offset, window = _tessel.stream_window(stream)
        assert len(window) <= 2 * held + 16
        assert window_offset + len(window) == fed
        if fed >= 4 * CHUNK and baseline is None:
            baseline = peak = resident_bytes()
        elif baseline is not None and fed % (16 * CHUNK) == 0:
            peak = max(peak, resident_bytes())
    toks = _tessel.stream_finish(stream)
    count += len(toks)
    if toks:
        last_line = toks[-1].line
    peak = max(peak, resident_bytes())

    assert count == block_tokens * blocks
    # The text ends with a separator after its last token; line feeds after it are not counted.
    trailing = len(block) - len(block.rstrip(b" \t\n"))
    assert last_line == block_lines * blocks - block[len(block) - trailing:].count(b"\n") + 1
    assert _tessel.stream_buffered(stream) == 0
    assert peak - baseline < RSS_MARGIN, (
        "resident memory grew by %.1f MiB over a %d MiB stream" % ((peak - baseline) / 2**20, STREAM_MIB))


def test_stream_of_one_endless_token_holds_it_all():
    # The bound above is the undecided tail, not a fixed size: a token that never ends is held
    # whole, and returned whole by finish.
    lx = _tessel.compile(RULES)
    stream = _tessel.stream_start(lx)
    for i in range(1, 33):
        assert _tessel.stream_feed(stream, b"a" * 4096) == []
        assert _tessel.stream_buffered(stream) == i * 4096
    (tok,) = _tessel.stream_finish(stream)
    assert len(tok.lexeme) == 32 * 4096 and tok.offset == 0


# ---------------------------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------------------------

THREAD_RULES = [
    (1, r"[A-Za-z_\u00e9][A-Za-z0-9_\u00e9]*", False),
    (2, r"[0-9]+", False),
    (3, r"[ \t\n]+", True),
    (4, r'"', False, None, ("push", "string")),
    (5, r'[^"\\]+', False, ["string"]),
    (6, r"\\.", False, ["string"]),
    (7, r'"', False, ["string"], ("pop",)),
    (8, r"[(){}=+*/-]", False),
]


def thread_texts():
    rng = random.Random(99)
    pieces = ["word", "\u00e9t\u00e9", "x1", "42", " ", "\n", "\t", '"a \\" b\U0001F600"', "(",
              ")", "=", "+", '"line\nbreak"']
    texts = []
    for i in range(8):
        text = "".join(rng.choice(pieces) for _ in range(rng.randint(3000, 12000)))
        if i % 4 == 3:
            text += " $ never lexed"  # some fail, at the end
        texts.append(text if i % 2 else text.encode())
    assert all(len(t.encode() if isinstance(t, str) else t) >= 4096 for t in texts)
    return texts


def outcome(lx, text):
    try:
        return [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in _tessel.tokenize(lx, text)]
    except tessel.LexError as e:
        return ("error", str(e), e.offset, e.line, e.column)


@pytest.mark.parametrize("policy", ["raise", "token"])
def test_threads_share_one_handle(policy):
    lx = _tessel.compile(THREAD_RULES, (), policy, "utf16")
    texts = thread_texts()
    expected = [outcome(lx, text) for text in texts]
    assert any(isinstance(e, tuple) for e in expected) == (policy == "raise")
    results = {}
    failures = []
    barrier = threading.Barrier(4)

    def work(worker):
        try:
            barrier.wait()
            for round_ in range(3):
                # Each thread walks the texts in its own order, so different texts overlap.
                order = list(range(len(texts)))
                random.Random(worker * 10 + round_).shuffle(order)
                for i in order:
                    results[(worker, round_, i)] = outcome(lx, texts[i])
        except BaseException as exc:  # reported by the main thread
            failures.append(exc)

    threads = [threading.Thread(target=work, args=(w,)) for w in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    assert len(results) == 4 * 3 * len(texts)
    for (worker, round_, i), got in results.items():
        assert got == expected[i], "thread %d, round %d, text %d" % (worker, round_, i)


def test_threads_with_their_own_streams_over_one_handle():
    lx = _tessel.compile(THREAD_RULES, (), "token", "codepoints")
    texts = [t.encode() if isinstance(t, str) else t for t in thread_texts()]
    expected = [outcome(lx, text) for text in texts]
    results = {}
    failures = []

    def work(worker):
        try:
            for i in range(worker, len(texts), 4):
                stream = _tessel.stream_start(lx)
                data, got = texts[i], []
                step = 4096 + 517 * worker  # chunks long enough to release the lock
                for at in range(0, len(data), step):
                    got += _tessel.stream_feed(stream, data[at:at + step])
                got += _tessel.stream_finish(stream)
                results[i] = [(t.kind, t.lexeme, t.offset, t.line, t.column, t.mode) for t in got]
        except BaseException as exc:
            failures.append(exc)

    threads = [threading.Thread(target=work, args=(w,)) for w in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    assert [results[i] for i in range(len(texts))] == expected


def test_a_stream_busy_in_one_thread_refuses_another():
    lx = _tessel.compile(RULES + [(5, r"#[^\n]*", True)])
    stream = _tessel.stream_start(lx)
    # 2 MB of long comments: the feeding thread spends a while without the lock, and returns
    # few tokens.
    lines = 1000
    chunk = (b"word #" + b"c" * 2000 + b"\n") * lines
    fed = []

    def feed():
        fed.extend(_tessel.stream_feed(stream, chunk))

    worker = threading.Thread(target=feed)
    worker.start()
    refused = calls = 0
    while worker.is_alive():
        # Both calls are harmless when they get in before or after the worker's feed.
        for call in (lambda: _tessel.stream_buffered(stream), lambda: _tessel.stream_feed(stream, b"")):
            calls += 1
            try:
                call()
            except RuntimeError as exc:
                assert str(exc) == "a stream is being fed by another thread"
                refused += 1
    worker.join()
    assert refused > 0, "none of %d calls met the busy stream" % calls
    # The refused calls left the stream as it was.
    toks = fed + _tessel.stream_finish(stream)
    assert len(toks) == lines
    assert toks[-1].lexeme == b"word" and toks[-1].offset == len(chunk) - 2007
