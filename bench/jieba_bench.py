#!/usr/bin/env python3
"""Throughput, construction time and memory of razoduviva.Jieba from Python.

Uses the benchmark data of bench/generate_data.py (a dictionary of 350,000
entries, a small user dictionary and 12 MB of Chinese text, one document per
line), generating it when it is missing, and adds what the facade needs
beside the dictionary:

  hmm.txt   an HMM model trained on the segmented corpora (BMES labels of
            their words; unseen transitions at the score floor);
  idf_thuocl.txt  an idf for each word of the THU lexicon (as the shipped
            table is built), or with --idf dict idf_dict.txt, one for every
            dictionary word (the worst case for memory);
  stop.txt  the stopwords-iso Chinese list;
  empty.txt and hmm_min.txt, for the "dictionary alone" baseline: a facade
            over the same dictionaries with an empty idf table, no stop
            words and a one-character model.

Prints:
  - construction time and resident memory of the facade, each in a fresh
    interpreter, against the baseline above (what the HMM model, the
    keyword tables and the segmenters add over the dictionary);
  - cut and cut_for_search throughput in MB/s on one thread, and on 2
    threads sharing one object (scaling factor);
  - with --core (the jieba_core_bench program, built with
    -DRAZODUVIVA_BUILD_BENCHMARKS=ON), the same cuts in C++ without Python,
    and from the difference the share of the Python call spent converting
    arguments and results.

It asserts no time. Usage:
  python bench/jieba_bench.py [--data DIR] [--corpora DIR] [--core PATH]
Run it with the interpreter that has razoduviva installed.
"""

import argparse
import glob
import math
import os
import subprocess
import sys
import threading
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR = "-3.14e+100"
STATES = "BEMS"


def read_words(corpora):
    """Yields the word lists of the CoNLL-U and IOB2 files under `corpora`."""
    paths = sorted(glob.glob(os.path.join(corpora, "ud-chinese-*", "*.conllu")))
    paths += sorted(glob.glob(os.path.join(corpora, "uner-chinese-*", "*.iob2")))
    for path in paths:
        words = []
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                if not line:
                    if words:
                        yield words
                    words = []
                    continue
                if line.startswith("#"):
                    continue
                cols = line.split("\t")
                if len(cols) >= 2 and "-" not in cols[0] and "." not in cols[0] and cols[1]:
                    words.append(cols[1])
        if words:
            yield words


def listable(char):
    """Characters that can have an emission entry in the model file: the
    separators of the entry list, the comment mark and white space cannot."""
    return char not in ",:#" and not char.isspace()


def train_hmm(corpora, path):
    start = Counter()
    trans = Counter()
    emit = {s: Counter() for s in STATES}
    for words in read_words(corpora):
        labels = []
        chars = []
        for word in words:
            if len(word) == 1:
                labels.append("S")
            else:
                labels.extend("B" + "M" * (len(word) - 2) + "E")
            chars.extend(word)
        start[labels[0]] += 1
        for a, b in zip(labels, labels[1:]):
            trans[a, b] += 1
        for label, char in zip(labels, chars):
            emit[label][char] += 1

    def log(count, total):
        return f"{math.log(count / total):.6f}" if count else FLOOR

    lines = ["# start: B E M S"]
    lines.append(" ".join(log(start[s], sum(start.values())) for s in STATES))
    lines.append("# transitions from B, E, M, S")
    for a in STATES:
        total = sum(trans[a, b] for b in STATES)
        lines.append(" ".join(log(trans[a, b], total) for b in STATES))
    lines.append("# emissions of B, E, M, S")
    for s in STATES:
        total = sum(emit[s].values())
        entries = [(c, n) for c, n in emit[s].most_common() if listable(c)]
        lines.append(",".join(f"{c}:{log(n, total)}" for c, n in entries))
    with open(path + ".part", "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(path + ".part", path)


def prepare(args):
    d = args.data
    if not all(os.path.exists(os.path.join(d, n)) for n in ("dict.txt", "user.txt", "text.txt")):
        subprocess.run(
            [sys.executable, os.path.join(HERE, "generate_data.py"), "--data", args.corpora, "--out", d],
            check=True,
        )
    if not os.path.exists(os.path.join(d, "hmm.txt")):
        train_hmm(args.corpora, os.path.join(d, "hmm.txt"))
    idf = os.path.join(d, f"idf_{args.idf}.txt")
    if not os.path.exists(idf):
        if args.idf == "thuocl":
            # Document frequencies of the THU lexicon, as the shipped idf table
            # is built: about 157,000 words.
            dfs = {}
            for path in sorted(glob.glob(os.path.join(args.corpora, "thuocl", "data", "*.txt"))):
                with open(path, encoding="utf-8") as f:
                    for line in f:
                        cols = line.split()
                        if len(cols) == 2 and cols[1].isdigit():
                            dfs[cols[0]] = max(dfs.get(cols[0], 0), int(cols[1]))
        else:
            # Every dictionary word: the worst case for memory.
            dfs = {}
            with open(os.path.join(d, "dict.txt"), encoding="utf-8") as f:
                for line in f:
                    word, freq, _ = line.rstrip("\n").split(" ")
                    dfs[word] = max(1.0, float(freq))
        top = max(dfs.values())
        with open(idf + ".part", "w", encoding="utf-8", newline="\n") as f:
            for word, df in dfs.items():
                f.write(f"{word} {math.log(2 * top / max(1, df)):.6f}\n")
        os.replace(idf + ".part", idf)
    if not os.path.exists(os.path.join(d, "stop.txt")):
        source = os.path.join(args.corpora, "stopwords-iso-zh", "stopwords-zh.txt")
        words = []
        if os.path.exists(source):
            with open(source, encoding="utf-8") as f:
                words = [w for w in f.read().split("\n") if w]
        with open(os.path.join(d, "stop.txt"), "w", encoding="utf-8", newline="\n") as f:
            f.write("".join(w + "\n" for w in words))
    with open(os.path.join(d, "empty.txt"), "w", encoding="utf-8"):
        pass
    with open(os.path.join(d, "hmm_min.txt"), "w", encoding="utf-8", newline="\n") as f:
        f.write("0 0 0 0\n" * 5 + "一:0\n" * 4)


def paths(d, idf, baseline=False):
    return dict(
        dict_path=os.path.join(d, "dict.txt"),
        hmm_path=os.path.join(d, "hmm_min.txt" if baseline else "hmm.txt"),
        user_dict_path=os.path.join(d, "user.txt"),
        idf_path=os.path.join(d, "empty.txt" if baseline else f"idf_{idf}.txt"),
        stop_word_path=os.path.join(d, "empty.txt" if baseline else "stop.txt"),
    )


CONSTRUCT = r"""
import json, sys, time
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
import razoduviva
before = rss()
t = time.perf_counter()
j = razoduviva.Jieba(**json.loads(sys.argv[1]))
seconds = time.perf_counter() - t
print(json.dumps({"seconds": seconds, "bytes": rss() - before}))
"""


def construct(kwargs):
    import json

    out = subprocess.run(
        [sys.executable, "-c", CONSTRUCT, json.dumps(kwargs)], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def cut_all(method, lines):
    for line in lines:
        method(line)


def timed(fn, *a):
    """Wall time and CPU time of the calling thread (which does the cutting
    itself, the interpreter lock released or not)."""
    t = time.perf_counter()
    c = time.thread_time()
    fn(*a)
    return time.perf_counter() - t, time.thread_time() - c


def threaded(method, lines, n):
    chunks = [lines[i::n] for i in range(n)]
    threads = [threading.Thread(target=cut_all, args=(method, c)) for c in chunks]
    t = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return time.perf_counter() - t


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default=os.path.join(HERE, "..", "build", "bench-data"))
    parser.add_argument("--corpora", default="/work/shared/data")
    parser.add_argument("--core", help="path of the jieba_core_bench program")
    parser.add_argument("--idf", choices=("thuocl", "dict"), default="thuocl",
                        help="idf table: the THU lexicon's words (as shipped) or every dictionary word")
    parser.add_argument("--repeat", type=int, default=3, help="best of N runs per figure")
    args = parser.parse_args()
    args.data = os.path.abspath(args.data)
    os.makedirs(args.data, exist_ok=True)
    prepare(args)

    import razoduviva

    with open(os.path.join(args.data, "dict.txt"), encoding="utf-8") as f:
        entries = sum(1 for _ in f)
    with open(os.path.join(args.data, "text.txt"), encoding="utf-8") as f:
        lines = f.read().split("\n")
    mb = sum(len(line.encode("utf-8")) for line in lines) / 1e6
    with open(paths(args.data, args.idf)["idf_path"], encoding="utf-8") as f:
        idf_lines = sum(1 for _ in f)
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores (figures are wall time unless said)")
    print(f"data: {entries} dictionary entries, {idf_lines} idf lines, "
          f"{mb:.1f} MB of text in {len(lines)} documents")

    full = min((construct(paths(args.data, args.idf)) for _ in range(args.repeat)), key=lambda r: r["seconds"])
    base = min((construct(paths(args.data, args.idf, True)) for _ in range(args.repeat)), key=lambda r: r["seconds"])
    print(f"construction: facade {full['seconds']:.3f} s, {full['bytes'] / 2**20:.1f} MiB resident "
          f"({full['bytes'] / entries:.0f} bytes per entry)")
    print(f"  dictionary alone (empty keyword tables, minimal model): {base['seconds']:.3f} s, "
          f"{base['bytes'] / 2**20:.1f} MiB")
    print(f"  the facade adds {(full['bytes'] - base['bytes']) / 2**20:.1f} MiB = "
          f"{100 * (full['bytes'] - base['bytes']) / base['bytes']:.1f}% over the dictionary")

    j = razoduviva.Jieba(**paths(args.data, args.idf))
    # Each call pays a fixed cost (argument conversion, two hand-overs of the
    # interpreter lock) that matters for short documents, so the threaded
    # figures are given for the documents as they are and for documents of
    # 100 lines joined.
    joined = ["".join(lines[i:i + 100]) for i in range(0, len(lines), 100)]
    results = {}
    for name in ("cut", "cut_for_search"):
        method = getattr(j, name)
        cut_all(method, lines[:2000])  # warm up
        for label, docs in ((f"{mb * 1e6 / len(lines):.0f} B", lines),
                            (f"{mb * 1e6 / len(joined):.0f} B", joined)):
            runs = [timed(cut_all, method, docs) for _ in range(args.repeat)]
            one = min(wall for wall, _ in runs)
            cpu = min(cpu for _, cpu in runs)
            two = min(threaded(method, docs, 2) for _ in range(args.repeat))
            results.setdefault(name, cpu)
            print(f"{name}, documents of {label}: 1 thread {mb / one:.1f} MB/s "
                  f"({mb / cpu:.1f} MB/s of CPU time); 2 threads {mb / two:.1f} MB/s (x{one / two:.2f})")

    if args.core:
        out = subprocess.run(
            [args.core, *(paths(args.data, args.idf)[k] for k in ("dict_path", "hmm_path", "user_dict_path", "idf_path",
                                                         "stop_word_path")),
             os.path.join(args.data, "text.txt")],
            check=True, capture_output=True, text=True,
        ).stdout
        core = dict(line.split("=", 1) for line in out.split() if "=" in line)
        for name, key in (("cut", "cut_seconds"), ("cut_for_search", "cut_for_search_seconds")):
            seconds = float(core[key])
            print(f"{name} in C++ (words as spans, no Python): {mb / seconds:.1f} MB/s of CPU time; "
                  f"conversion share of the Python call: {100 * (1 - seconds / results[name]):.0f}%")


if __name__ == "__main__":
    main()
