"""Lexing many files in parallel: a process pool and a Dask cluster of worker processes, each
sent a pickled Lexer, must give the tokens the lexer gives in this process."""

import concurrent.futures
import multiprocessing
import os
import sys
import sysconfig
import threading

import pytest

import tessel


def lex_file(lexer, path):
    """The worker's job: lex one file, return what identifies its tokens."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    tokens = lexer.layout(lexer.tokenize(text, eof=True), source=text)
    return path, os.getpid(), [(t.kind, t.offset) for t in tokens]


@pytest.fixture(scope="module")
def corpus():
    folder = sysconfig.get_paths()["stdlib"]
    names = sorted(n for n in os.listdir(folder) if n.endswith(".py"))[:24]
    if len(names) < 4:
        pytest.skip("no standard-library sources found in " + folder)
    return [os.path.join(folder, n) for n in names]


@pytest.fixture(scope="module")
def lexer():
    return tessel.Lexer.bundled("python", columns="codepoints")


def expected(lexer, corpus):
    return {path: toks for path, _, toks in (lex_file(lexer, p) for p in corpus)}


def test_process_pool_over_files(lexer, corpus):
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        results = list(pool.map(lex_file, [lexer] * len(corpus), corpus))
    assert {path: toks for path, _, toks in results} == expected(lexer, corpus)
    assert os.getpid() not in {pid for _, pid, _ in results}


def test_dask_local_cluster_over_a_folder(lexer, corpus):
    distributed = pytest.importorskip("distributed")
    cloudpickle = pytest.importorskip("cloudpickle")
    # The workers are fresh processes that cannot import this test file: send the job by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=40) as cluster, \
                distributed.Client(cluster) as client:
            shared = client.scatter(lexer, broadcast=True)
            futures = client.map(lex_file, [shared] * len(corpus), corpus, pure=False)
            results = client.gather(futures)
            # Tokens come back from a worker as equal tokens.
            back = client.submit(lambda lx, text: lx.tokenize(text, eof=True), shared,
                                 "x = 'é'\n").result()
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    assert {path: toks for path, _, toks in results} == expected(lexer, corpus)
    assert os.getpid() not in {pid for _, pid, _ in results}
    assert back == lexer.tokenize("x = 'é'\n", eof=True)


def test_threads_share_one_lexer(lexer, corpus):
    # Large texts are lexed with the interpreter lock released; one lexer serves every thread.
    texts = []
    for path in corpus:
        with open(path, encoding="utf-8") as f:
            texts.append(f.read())
    want = [lexer.tokenize(t) for t in texts]
    got = [None] * len(texts)

    def work(i):
        got[i] = lexer.tokenize(texts[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(texts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == want
