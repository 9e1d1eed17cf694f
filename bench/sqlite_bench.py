"""The razoduviva FTS5 tokenizer against SQLite's own, on a legal retrieval set.

Each configuration indexes the same corpus in an FTS5 table of its own (one
database file each, one transaction) and answers the same questions with
MATCH and bm25(), the question's tokens quoted and joined with OR:

- trigram: SQLite's trigram tokenizer; the question's words (razoduviva's
  cut) of three or more characters, and apart from that the question's
  character triples (its best form is reported, the other in a note);
- unicode61: SQLite's default tokenizer on the raw text (a whole run of
  Chinese characters is one token): the baseline of the insert time;
- unicode61 over words: unicode61 on the text cut by razoduviva.Jieba and
  joined with spaces (cutting time reported apart);
- razoduviva, in default and search mode, with the folds off, and with the
  HMM step off;
- unicode61 over tokens: unicode61 on the razoduviva table's own tokens
  joined with spaces, so the same terms and postings: the query time of the
  razoduviva table against it is the tokenizer's own cost in a query.

Printed: nDCG@10 (gain 1 per judged article) and Recall@100, the insert
time (the best of --passes), the index size (the database file) and the
mean query time over the questions, with
the ratios the tokenizer is held to, all measured in this run. Nothing is
asserted. The data stays where it is: nothing of it is written anywhere
but the scratch folder, which is removed afterwards.

    python bench/sqlite_bench.py                       # the shared set
    python bench/sqlite_bench.py --queries 200 --only razoduviva,unicode61
"""

import argparse
import gzip
import json
import math
import os
import re
import shutil
import sys
import tempfile
import time

import razoduviva
import razoduviva.sqlite

DEFAULT_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                            "data", "retrieval-stard")

# name: (tokenize argument, text form, query form)
CONFIGS = {
    "trigram": ("trigram", "raw", "trigram"),
    "unicode61": ("unicode61", "raw", "words"),
    "unicode61-words": ("unicode61", "words", "words"),
    "razoduviva": ("razoduviva", "raw", "words"),
    "unicode61-tokens": ("unicode61", "tokens", "words"),
    "razoduviva-search": ("razoduviva mode search", "raw", "words"),
    "razoduviva-nofold": ("razoduviva nfkc off casefold off t2s off", "raw", "words"),
    "razoduviva-nohmm": ("razoduviva hmm off", "raw", "words"),
}

PUNCTUATION = re.compile(r"[\s\W_]+")


def connect(path):
    """A connection that has the razoduviva tokenizer: the interpreter's
    sqlite3 where it loads extensions, else apsw."""
    import sqlite3
    if hasattr(sqlite3.Connection, "enable_load_extension"):
        conn = sqlite3.connect(path, isolation_level=None)
        version = sqlite3.sqlite_version
    else:
        try:
            import apsw
        except ImportError:
            sys.exit("this Python's sqlite3 cannot load extensions: pip install apsw")
        conn = apsw.Connection(path)
        version = apsw.sqlite_lib_version() + " (apsw)"
    razoduviva.sqlite.load(conn)
    return conn, version


def read_set(folder):
    with gzip.open(os.path.join(folder, "corpus.jsonl.gz"), "rt", encoding="utf-8") as f:
        rows = [json.loads(line) for line in f]
    ids = [row["id"] for row in rows]
    texts = [row["law"] + " " + row["text"] for row in rows]
    questions = {}
    with open(os.path.join(folder, "queries.train.tsv"), encoding="utf-8") as f:
        for line in f:
            qid, _, text = line.rstrip("\n").partition("\t")
            questions[qid] = text
    judged = {}
    with open(os.path.join(folder, "qrels.train.txt"), encoding="utf-8") as f:
        for line in f:
            qid, _, doc, rel = line.split()
            if int(rel) > 0:
                judged.setdefault(qid, set()).add(doc)
    return ids, texts, [(q, questions[q], judged[q]) for q in questions if q in judged]


def quote(token):
    return '"' + token.replace('"', '""') + '"'


def match_expression(question, form, jieba):
    if form == "trigram":
        chars = PUNCTUATION.sub(" ", question).split()
        grams = {run[k:k + 3] for run in chars for k in range(len(run) - 2)}
        return " OR ".join(quote(g) for g in sorted(grams))
    words = {w for w in jieba.cut(question) if PUNCTUATION.sub("", w)}
    if form == "long-words":
        words = {w for w in words if len(w) >= 3}
    return " OR ".join(quote(w) for w in sorted(words))


def scores(ranked, judged):
    dcg = sum(1.0 / math.log2(i + 2) for i, doc in enumerate(ranked[:10]) if doc in judged)
    ideal = sum(1.0 / math.log2(i + 2) for i in range(min(10, len(judged))))
    return dcg / ideal, len(judged & set(ranked[:100])) / len(judged)


def run(name, tokenize, folder, texts, passes=1):
    """A database holding the table of `texts`, the best insert time of
    `passes` (each into a new table, in one transaction), and its size."""
    rows = [(k + 1, text) for k, text in enumerate(texts)]
    best = float("inf")
    for attempt in range(passes):
        path = os.path.join(folder, name + ".db")
        if os.path.exists(path):
            os.remove(path)
        conn, _ = connect(path)
        conn.execute("PRAGMA journal_mode=OFF")
        conn.execute("PRAGMA synchronous=OFF")
        conn.execute("CREATE VIRTUAL TABLE docs USING fts5(body, tokenize=%s)"
                     % ("'" + tokenize.replace("'", "''") + "'"))
        start = time.perf_counter()
        conn.execute("BEGIN")
        conn.executemany("INSERT INTO docs(rowid, body) VALUES (?, ?)", rows)
        conn.execute("COMMIT")
        best = min(best, time.perf_counter() - start)
        if attempt + 1 < passes:
            conn.close()
    pages = next(iter(conn.execute("PRAGMA page_count")))[0]
    page_size = next(iter(conn.execute("PRAGMA page_size")))[0]
    return conn, best, pages * page_size


def own_tokens(conn, count):
    """Each document's tokens in the table, joined with spaces."""
    conn.execute("CREATE VIRTUAL TABLE temp.vocab USING fts5vocab(main, docs, instance)")
    tokens = [[] for _ in range(count)]
    for doc, term in conn.execute("SELECT doc, term FROM temp.vocab ORDER BY doc, offset"):
        tokens[doc - 1].append(term)
    return [" ".join(t) for t in tokens]


def evaluate(conn, ids, queries, form, jieba):
    ndcg = recall = 0.0
    spent = 0.0
    for _, question, judged in queries:
        expression = match_expression(question, form, jieba)
        start = time.perf_counter()
        ranked = [row[0] for row in conn.execute(
            "SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT 100",
            (expression,))] if expression else []
        spent += time.perf_counter() - start
        n, r = scores([ids[rowid - 1] for rowid in ranked], judged)
        ndcg += n
        recall += r
    count = len(queries)
    return ndcg / count, recall / count, spent / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.environ.get("RAZODUVIVA_STARD", DEFAULT_DATA))
    parser.add_argument("--queries", type=int, default=0, help="the first N questions (0: all)")
    parser.add_argument("--only", default="", help="comma-separated configurations")
    parser.add_argument("--passes", type=int, default=3, help="inserts timed, the best kept")
    args = parser.parse_args()

    ids, texts, queries = read_set(args.data)
    if args.queries:
        queries = queries[:args.queries]
    names = [n for n in CONFIGS if not args.only or n in args.only.split(",")]
    _, version = connect(":memory:")
    size_mb = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    print("corpus: %d articles, %.1f MB; %d questions; SQLite %s; load average %.2f"
          % (len(texts), size_mb, len(queries), version, os.getloadavg()[0]))

    jieba = razoduviva.Jieba()
    words = tokens = None
    results = {}
    folder = tempfile.mkdtemp(prefix="sqlite-bench-")
    try:
        for name in names:
            tokenize, text_form, query_form = CONFIGS[name]
            extra = ""
            if text_form == "words":
                if words is None:
                    start = time.perf_counter()
                    cut = jieba.cut_many(texts, threads=1)
                    cutting = time.perf_counter() - start
                    words = [" ".join(w) for w in cut]
                extra = "  (cutting beforehand: %.2f s on one thread)" % cutting
            if text_form == "tokens" and tokens is None:
                conn, _, _ = run("tokens", "razoduviva", folder, texts)
                tokens = own_tokens(conn, len(texts))
                conn.close()
            conn, insert, size = run(name, tokenize, folder,
                                     {"raw": texts, "words": words, "tokens": tokens}[text_form],
                                     args.passes)
            if name == "razoduviva" and tokens is None:
                tokens = own_tokens(conn, len(texts))
            ndcg, recall, per_query = evaluate(conn, ids, queries, query_form, jieba)
            note = ""
            if name == "trigram":
                other = evaluate(conn, ids, queries, "long-words", jieba)
                if other[0] > ndcg:
                    note = "  (character triples: nDCG@10 %.3f, Recall@100 %.3f)" % (ndcg, recall)
                    ndcg, recall, per_query = other
                else:
                    note = "  (its words of 3+ characters: nDCG@10 %.3f, Recall@100 %.3f)" % other[:2]
            conn.close()
            results[name] = (ndcg, recall, insert, size, per_query)
            print("%-18s nDCG@10 %.3f  Recall@100 %.3f  insert %6.2f s  index %6.1f MB  "
                  "query %6.2f ms%s%s" % (name, ndcg, recall, insert, size / 1e6,
                                         per_query * 1e3, extra, note))
            sys.stdout.flush()
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    def ratio(a, b, k):
        if a in results and b in results:
            return "%.3f" % (results[a][k] / results[b][k])
        return "-"

    print()
    for mine in ("razoduviva", "razoduviva-search", "razoduviva-nofold", "razoduviva-nohmm"):
        if mine not in results:
            continue
        print("%s: nDCG@10 / trigram %s (aim 1.15)  Recall@100 / trigram %s (aim 1.25)  "
              "insert / unicode61 %s (aim 2 at most)  index / trigram %s (aim below 1)  "
              "query / unicode61-tokens %s, / unicode61-words %s, / unicode61 %s (aim 2 at most)"
              % (mine, ratio(mine, "trigram", 0), ratio(mine, "trigram", 1),
                 ratio(mine, "unicode61", 2), ratio(mine, "trigram", 3),
                 ratio(mine, "unicode61-tokens", 4), ratio(mine, "unicode61-words", 4),
                 ratio(mine, "unicode61", 4)))


if __name__ == "__main__":
    main()
