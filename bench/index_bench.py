#!/usr/bin/env python3
"""Speed and size of razoduviva.Index, against baselines measured in the
same run.

Run by hand, with the interpreter that has razoduviva installed. It needs
numpy and scipy, and for one baseline bm25s with its numba backend, which
are in none of the project's requirements files (bm25s needs only numpy; do
not install any of its extras):

    pip install bm25s numba

Without them that column is skipped, and the script says so.

On the shared legal set (../shared/data/retrieval-stard: 58,654 articles,
1,235 questions, repeated to time), with SparseEncoder() (--words:
SparseEncoder(bigrams=0), the encoder of words alone) fitted on the
articles:
- search_many, k=10, on one and two threads: queries/s from the question
  texts (their encoding included), best of --rounds rounds; against
  - bm25s with its numba backend, compiled before timing, over the same
    tokens: each text's word tokens and bigram tokens as the encoder makes
    them, token ids looked up beforehand (its tokenization is not timed);
  - exact SciPy products over renumbered columns (compact_columns, the
    documents' transpose made once), the top k by argpartition, on the
    encoded queries (one thread: SciPy's products use one);
- add from text on two threads, MB/s of UTF-8, against encode_documents
  (format="csr") alone;
- bytes per stored (document, token) pair, in memory and in the file;
- every question's hits against exhaustive scoring with SciPy, over the
  stored (float32) weights.

With --synthetic N (default 1,000,000; 0 skips it): N documents, each a run
of 10 to 30 consecutive words of the GSDSimp training sentences (punctuation
left out), joined, and queries that are runs of 3 to 10 words of its dev
sentences: add, file size, Index.load (mapped and read; with the segmenter
loaded beforehand and from nothing), search, and the exactness check.

Prints figures and ratios; asserts nothing.

Usage:
  python bench/index_bench.py [--source DIR] [--synthetic N] [--rounds R]
                              [--work DIR] [--words]
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from retrieval_bench import find_source, load  # noqa: E402 (the bench folder's own)

K = 10


def best(rounds, run):
    """The best time of `rounds` calls of run(), and its last result."""
    seconds, result = float("inf"), None
    for _ in range(rounds):
        started = time.perf_counter()
        result = run()
        seconds = min(seconds, time.perf_counter() - started)
    return seconds, result


def megabytes(texts):
    return sum(len(t.encode("utf-8")) for t in texts) / 1e6


# -- baselines --------------------------------------------------------------


def scipy_search(docs, queries, k, count=False):
    """The exact top k of each query row against the columns of `docs` (the
    documents' transpose), equal scores to the earlier document, as the
    index orders them: (ids, scores,
    hits) with ids and scores of shape (queries, k), and with `count` hits,
    the number of documents scoring above 0 (those sharing a token: the
    encoder's weights are positive)."""
    import numpy as np

    count = queries.shape[0]
    ids = np.zeros((count, k), dtype=np.int64)
    scores = np.zeros((count, k))
    hits = np.zeros(count, dtype=np.int64)
    rows = max(1, min(64, 8_000_000 // docs.shape[1]))
    for start in range(0, count, rows):
        block = (queries[start:start + rows] @ docs).toarray()
        kth = -np.partition(-block, k - 1, axis=1)[:, k - 1]
        for row in range(block.shape[0]):
            chosen = np.flatnonzero(block[row] >= kth[row])  # ties at the k-th place too
            order = np.lexsort((chosen, -block[row, chosen]))[:k]
            ids[start + row] = chosen[order]
            scores[start + row] = block[row, chosen[order]]
        if count:
            hits[start:start + rows] = (block > 0).sum(axis=1)
    return ids, scores, hits


def exhaustive(encoder, texts, questions, k):
    """Exhaustive scoring with SciPy over the float32 weights the index
    stores: each question's best k as [(row, score), ...], and score(q,
    row), the score of any document."""
    import numpy as np
    import razoduviva

    docs = encoder.encode_documents(texts, format="csr")
    queries = encoder.encode_queries(questions, format="csr")
    docs.data = docs.data.astype(np.float32).astype(np.float64)
    (docs, queries), _ = razoduviva.compact_columns(docs, queries)
    ids, scores, hits = scipy_search(docs.T.tocsr(), queries, k, count=True)
    best = [list(zip(ids[q, :min(k, hits[q])].tolist(), scores[q, :min(k, hits[q])].tolist()))
            for q in range(len(questions))]
    return best, lambda q, row: float((docs[[row]] @ queries[[q]].T).toarray()[0, 0])


def compare(found, expected, score):
    """(identical, tied, different): the queries whose hits are the
    exhaustive ones (ids in order, scores within 1e-12), those whose hits
    differ only among scores equal within 1e-12 (each hit scoring what the
    exhaustive k-th place does there), and the others' positions. Ids are
    the rows of the documents."""
    def near(a, b):
        return abs(a - b) <= 1e-12 * max(1.0, abs(b))

    identical, tied, different = 0, 0, []
    for q, (hits, wanted) in enumerate(zip(found, expected)):
        close = len(hits) == len(wanted) and all(near(s, w) for (_, s), (_, w) in zip(hits, wanted))
        if close and [i for i, _ in hits] == [i for i, _ in wanted]:
            identical += 1
        elif close and all(near(s, score(q, i)) for i, s in hits):
            tied += 1
        else:
            different.append(q)
    return identical, tied, different


def bm25s_baseline(encoder, texts, queries, rounds):
    """bm25s (numba) queries/s on one and two threads over the encoder's
    tokens, or None when it cannot be imported."""
    try:
        import bm25s
        import numba  # noqa: F401 (the backend)
    except ImportError:
        return None

    def tokens(text):
        if not encoder.bigrams:
            return encoder.tokens(text)
        return encoder.tokens(text) + ["\x01" + b for b in encoder.tokens(text, bigrams=True)]

    retriever = bm25s.BM25(backend="numba")
    retriever.index([tokens(t) for t in texts], show_progress=False)
    vocabulary = retriever.vocab_dict
    ids = []
    for question in queries:
        found = [vocabulary[t] for t in tokens(question) if t in vocabulary]
        ids.append(found or [vocabulary[""]])
    rates = {}
    for threads in (1, 2):
        retriever.retrieve(ids[:50], k=K, show_progress=False, n_threads=threads)  # compiles
        seconds, _ = best(rounds, lambda: retriever.retrieve(ids, k=K, show_progress=False,
                                                             n_threads=threads))
        rates[threads] = len(ids) / seconds
    return rates


# -- the runs ---------------------------------------------------------------


def measure(name, encoder, texts, questions, rounds, work):
    import numpy as np
    import razoduviva

    print("== %s: %s documents (%.1f MB), %s queries" % (
        name, format(len(texts), ","), megabytes(texts), format(len(questions), ",")))
    encoder.threads = 2
    add_seconds, index = best(rounds, lambda: _added(razoduviva, encoder, texts))
    encode_seconds, _ = best(rounds, lambda: encoder.encode_documents(texts, format="csr"))
    mb = megabytes(texts)
    print("  add from text, 2 threads: %.1f MB/s; encode_documents(format='csr') alone %.1f MB/s"
          " (add at %.2fx)" % (mb / add_seconds, mb / encode_seconds, encode_seconds / add_seconds))
    stats = index._stats()
    pairs = stats["postings"]
    path = os.path.join(work, name + ".index")
    save_seconds, _ = best(1, lambda: index.save(path))
    file_bytes = os.path.getsize(path)
    held = razoduviva.Index.load(path, mmap=False)._stats()["held_bytes"]
    print("  %s stored pairs (%.1f per document); bytes per pair: %.2f in memory as added "
          "(%d segments), %.2f as loaded, %.2f in the file (postings alone 8)" % (
              format(pairs, ","), pairs / len(texts), stats["held_bytes"] / pairs,
              stats["segments"], held / pairs, file_bytes / pairs))
    jieba = razoduviva.Jieba()
    mapped, _ = best(3, lambda: razoduviva.Index.load(path, jieba=jieba))
    read, _ = best(3, lambda: razoduviva.Index.load(path, mmap=False, jieba=jieba))
    cold, loaded = best(1, lambda: razoduviva.Index.load(path))
    core, _ = best(3, lambda: _core_load(razoduviva, path))
    print("  save %.3f s (%.0f MB); Index.load: mapped %.3f s, read %.3f s (the segmenter given); "
          "mapped %.3f s from nothing (the bundled segmenter loaded too); the index file alone "
          "%.3f s" % (save_seconds, file_bytes / 1e6, mapped, read, cold, core))

    as_added, _ = best(rounds, lambda: index.search_many(questions, k=K, threads=1))
    rates = {}
    for threads in (1, 2):
        seconds, found = best(rounds, lambda: loaded.search_many(questions, k=K, threads=threads))
        rates[threads] = len(questions) / seconds
    encoder.threads = 1
    query_seconds, _ = best(rounds, lambda: encoder.encode_queries(questions, format="csr"))
    print("  search_many k=%d from text, the index loaded: 1 thread %s q/s, 2 threads %s q/s "
          "(%.2fx one); as added, 1 thread %s q/s; encoding the queries alone, 1 thread %s q/s" % (
              K, format(round(rates[1]), ","), format(round(rates[2]), ","), rates[2] / rates[1],
              format(round(len(questions) / as_added), ","),
              format(round(len(questions) / query_seconds), ",")))
    return loaded, rates, found


def _added(razoduviva, encoder, texts):
    index = razoduviva.Index(encoder)
    index.add(texts)
    return index


def _core_load(razoduviva, path):
    index = razoduviva._core.Index()
    index._load(path, True)  # the blob (the encoder's file text) is read, not parsed
    return index


def stard(source, rounds, work, settings):
    import numpy as np
    import razoduviva

    articles, questions, _ = load(source)
    encoder = razoduviva.SparseEncoder(threads=2, **settings).fit(articles)
    repeated = questions * 8
    index, rates, found = measure("stard", encoder, articles, repeated, rounds, work)

    bm25s = bm25s_baseline(encoder, articles, repeated, rounds)
    if bm25s is None:
        print("  bm25s: not installed (pip install bm25s numba, no extras): column skipped")
    else:
        print("  bm25s (numba) on the same tokens: 1 thread %s q/s, 2 threads %s q/s; "
              "search_many on 1 thread at %.2fx (aim 3x)" % (
                  format(round(bm25s[1]), ","), format(round(bm25s[2]), ","),
                  rates[1] / bm25s[1]))

    docs = encoder.encode_documents(articles, format="csr")
    queries = encoder.encode_queries(questions, format="csr")
    (docs, queries), _ = razoduviva.compact_columns(docs, queries)
    transposed = docs.T.tocsr()
    seconds, _ = best(rounds, lambda: scipy_search(transposed, queries, K))
    scipy_rate = len(questions) / seconds
    print("  exact SciPy products over renumbered columns, top %d: %s q/s; search_many on 1 "
          "thread at %.1fx (aim 10x); 2 threads at %.2fx one (aim 1.8x)" % (
              K, format(round(scipy_rate), ","), rates[1] / scipy_rate, rates[2] / rates[1]))
    report_exactness(found[:len(questions)], exhaustive(encoder, articles, questions, K))


def report_exactness(found, exhaustive_hits):
    expected, score = exhaustive_hits
    identical, tied, different = compare(found, expected, score)
    print("  against exhaustive scoring (SciPy, float32 weights): %d of %d queries identical, "
          "%d differ only in the order of scores equal within 1e-12, %d differ%s" % (
              identical, len(found), tied, len(different),
              (" (queries %s)" % different[:10]) if different else ""))


def gsd_words(path):
    """The sentences of an iob2 file as lists of words, punctuation left out."""
    sentences, words = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                if words:
                    sentences.append(words)
                words = []
            elif not line.startswith("#"):
                word = line.split("\t")[1]
                if not all(unicodedata.category(c).startswith("P") for c in word):
                    words.append(word)
    if words:
        sentences.append(words)
    return sentences


def synthetic(source, count, rounds, work, settings):
    import razoduviva

    folder = os.path.join(source, "uner-chinese-gsdsimp")
    train = [w for s in gsd_words(os.path.join(folder, "zh_gsdsimp-ud-train.iob2")) for w in s]
    dev = [w for s in gsd_words(os.path.join(folder, "zh_gsdsimp-ud-dev.iob2")) for w in s]
    rng = random.Random(42)

    def run(words, shortest, longest):
        length = rng.randint(shortest, longest)
        start = rng.randrange(len(words) - length)
        return "".join(words[start:start + length])

    started = time.perf_counter()
    texts = [run(train, 10, 30) for _ in range(count)]
    questions = [run(dev, 3, 10) for _ in range(2000)]
    encoder = razoduviva.SparseEncoder(threads=2, **settings).fit(texts)
    print("(synthetic corpus made and fitted in %.0f s)" % (time.perf_counter() - started))
    index, rates, found = measure("synthetic", encoder, texts, questions, rounds, work)
    report_exactness(found, exhaustive(encoder, texts, questions, K))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", help="the shared data folder (default: found above bench/)")
    parser.add_argument("--synthetic", type=int, default=1_000_000,
                        help="documents of the synthetic corpus (0: none)")
    parser.add_argument("--rounds", type=int, default=3, help="timed rounds, the best kept")
    parser.add_argument("--work", help="folder for the index files (default: a temporary one)")
    parser.add_argument("--words", action="store_true",
                        help="the encoder of words alone (bigrams=0) instead of the default")
    args = parser.parse_args()
    settings = {"bigrams": 0} if args.words else {}

    import razoduviva

    source = find_source(args.source)
    work = args.work or tempfile.mkdtemp(prefix="index-bench-")
    os.makedirs(work, exist_ok=True)
    print("razoduviva %s, %d cores available" % (razoduviva.__version__,
                                                   len(os.sched_getaffinity(0))))
    try:
        stard(source, args.rounds, work, settings)
        if args.synthetic:
            synthetic(source, args.synthetic, args.rounds, work, settings)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
