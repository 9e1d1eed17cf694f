#!/usr/bin/env python3
"""Unpack the STARD retrieval set for bench/index_core_bench.cpp.

  python3 bench/prepare_stard.py /work/shared/data/retrieval-stard build/index-bench/stard

Writes OUT/corpus.txt (one article per line: law + " " + text, line breaks
inside an article turned into spaces) and OUT/queries.txt (one question per
line, in the order of queries.train.tsv). The data is for evaluation only:
keep it under build/, never in the repository.
"""

import gzip
import json
import os
import sys


def one_line(text):
    return " ".join(text.splitlines())


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    documents = 0
    with gzip.open(os.path.join(source, "corpus.jsonl.gz"), "rt", encoding="utf-8") as f, open(
        os.path.join(out, "corpus.txt"), "w", encoding="utf-8"
    ) as corpus:
        for line in f:
            article = json.loads(line)
            corpus.write(one_line(article["law"] + " " + article["text"]) + "\n")
            documents += 1
    queries = 0
    with open(os.path.join(source, "queries.train.tsv"), encoding="utf-8") as f, open(
        os.path.join(out, "queries.txt"), "w", encoding="utf-8"
    ) as out_queries:
        for line in f:
            line = line.rstrip("\r\n")
            if line:
                out_queries.write(one_line(line.split("\t", 1)[1]) + "\n")
                queries += 1
    print(f"{documents} articles, {queries} queries in {out}")


if __name__ == "__main__":
    main()
