#!/usr/bin/env python3
"""Retrieval quality of SparseEncoder's options on the shared legal set.

The set is ../shared/data/retrieval-stard (see its README): 58,654 statute
articles, each scored as its law's name, a space and its text, and 1,235
questions with the articles judged relevant. Every article is ranked for
every question by the exact dot product of the query and document vectors
(the "csr" vectors, columns renumbered to the ids the articles use; ties to
the earlier article), and the figures are the mean nDCG@10 (gain 1 per
judged article) and Recall@100.

Configurations: words alone as they were (no fold, idf of occurrences), the
bigram field at a few weights, each fold alone, the idf of documents, and
SparseEncoder()'s defaults; with --traditional, the same questions and
articles converted to traditional characters by OpenCC's s2t (pip install
opencc; used here only, never by the package), with and without the t2s
fold. Prints a table; asserts nothing.

Usage:
  python bench/retrieval_bench.py [--source DIR] [--traditional] [--quick]
Needs numpy and scipy; run it with the interpreter that has razoduviva
installed.
"""

import argparse
import gzip
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WORDS = dict(bigrams=0, idf="occurrences", nfkc=False, casefold=False, t2s=False)


def find_source(given):
    if given:
        return given
    folder = HERE
    for _ in range(5):
        candidate = os.path.join(folder, "shared", "data")
        if os.path.isdir(os.path.join(candidate, "retrieval-stard")):
            return candidate
        folder = os.path.dirname(folder)
    sys.exit("no shared/data/retrieval-stard found above %s: give --source DIR" % HERE)


def load(source):
    """(articles, questions, judged) with judged = {question index: {article index}}."""
    folder = os.path.join(source, "retrieval-stard")
    ids, articles = [], []
    with gzip.open(os.path.join(folder, "corpus.jsonl.gz"), "rt", encoding="utf-8") as f:
        for line in f:
            record = json.loads(line)
            ids.append(record["id"])
            articles.append(record["law"] + " " + record["text"])
    qids, questions = [], []
    with open(os.path.join(folder, "queries.train.tsv"), encoding="utf-8") as f:
        for line in f:
            if line.strip():
                qid, text = line.rstrip("\n").split("\t", 1)
                qids.append(qid)
                questions.append(text)
    where = {article: k for k, article in enumerate(ids)}
    position = {qid: k for k, qid in enumerate(qids)}
    judged = {}
    with open(os.path.join(folder, "qrels.train.txt"), encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if parts and int(parts[-1]) > 0:
                judged.setdefault(position[parts[0]], set()).add(where[" ".join(parts[2:-1])])
    return articles, questions, judged


def traditional(articles, questions):
    try:
        import opencc
    except ImportError:
        sys.exit("--traditional needs OpenCC for the conversion: pip install opencc")
    convert = opencc.OpenCC("s2t").convert
    return [convert(a) for a in articles], [convert(q) for q in questions]


def rank(documents, queries, k=100):
    """The best k articles per question by exact dot product, ties to the
    earlier article: the columns renumbered to the ids the articles use."""
    import numpy as np
    import scipy.sparse as sp

    columns = np.unique(documents.indices)
    docs = sp.csr_array((documents.data, np.searchsorted(columns, documents.indices),
                         documents.indptr), shape=(documents.shape[0], len(columns)))
    place = np.minimum(np.searchsorted(columns, queries.indices), len(columns) - 1)
    keep = columns[place] == queries.indices
    rows = np.repeat(np.arange(queries.shape[0]), np.diff(queries.indptr))
    qs = sp.csr_array((queries.data[keep], (rows[keep], place[keep])),
                      shape=(queries.shape[0], len(columns)))
    by_column = sp.csc_array(docs.T)
    best = np.empty((qs.shape[0], k), dtype=np.int64)
    for start in range(0, qs.shape[0], 128):
        scores = (qs[start:start + 128] @ by_column).toarray()
        best[start:start + 128] = np.argsort(-scores, axis=1, kind="stable")[:, :k]
    return best


def figures(best, judged):
    import numpy as np

    discounts = 1.0 / np.log2(np.arange(2, 12))
    ndcg, recall = [], []
    for q, relevant in judged.items():
        gains = np.array([1.0 if d in relevant else 0.0 for d in best[q][:10]])
        ndcg.append(float((gains * discounts).sum() / discounts[:min(len(relevant), 10)].sum()))
        recall.append(sum(1 for d in best[q] if d in relevant) / len(relevant))
    return float(np.mean(ndcg)), float(np.mean(recall))


def measure(razoduviva, options, articles, questions, judged):
    started = time.perf_counter()
    encoder = razoduviva.SparseEncoder(**options).fit(articles)
    documents = encoder.encode_documents(articles, format="csr")
    queries = encoder.encode_queries(questions, format="csr")
    ndcg, recall = figures(rank(documents, queries), judged)
    return ndcg, recall, time.perf_counter() - started


CONFIGURATIONS = [
    ("words alone, as before (bigrams=0, no fold, idf occurrences)", WORDS),
    ("  + idf documents", dict(WORDS, idf="documents")),
    ("  + bigrams=1", dict(WORDS, bigrams=1.0)),
    ("  + bigrams=2", dict(WORDS, bigrams=2.0)),
    ("  + bigrams=3", dict(WORDS, bigrams=3.0)),
    ("  + folds (nfkc, casefold, t2s)", dict(WORDS, nfkc=True, casefold=True, t2s=True)),
    ("  + bigrams=2, idf documents", dict(WORDS, bigrams=2.0, idf="documents")),
    ("SparseEncoder() defaults", {}),
    ("  mode='search'", dict(mode="search")),
    ("  stop_words=False", dict(stop_words=False)),
]
QUICK = {"words alone, as before (bigrams=0, no fold, idf occurrences)", "SparseEncoder() defaults"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", help="the shared data folder (default: found above bench/)")
    parser.add_argument("--traditional", action="store_true",
                        help="also the set in traditional characters (needs opencc)")
    parser.add_argument("--quick", action="store_true", help="the two headline rows only")
    args = parser.parse_args()

    import razoduviva

    articles, questions, judged = load(find_source(args.source))
    print("razoduviva %s: %d articles, %d questions (%d judged); nDCG@10 / Recall@100"
          % (razoduviva.__version__, len(articles), len(questions), len(judged)))
    rows = [(name, options) for name, options in CONFIGURATIONS
            if not args.quick or name in QUICK]
    for name, options in rows:
        ndcg, recall, seconds = measure(razoduviva, options, articles, questions, judged)
        print("  %-62s %.4f  %.4f   (%.0f s)" % (name, ndcg, recall, seconds))
    if args.traditional:
        t_articles, t_questions = traditional(articles, questions)
        print("the same in traditional characters (OpenCC s2t):")
        for name, options in (("SparseEncoder() defaults", {}),
                              ("  t2s=False", dict(t2s=False)),
                              ("words alone, as before", WORDS)):
            ndcg, recall, seconds = measure(razoduviva, options, t_articles, t_questions, judged)
            print("  %-62s %.4f  %.4f   (%.0f s)" % (name, ndcg, recall, seconds))


if __name__ == "__main__":
    main()
