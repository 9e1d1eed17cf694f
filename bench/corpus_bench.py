#!/usr/bin/env python3
"""Whole corpora on every core: batch cutting and the sparse encoder.

On the GSDSimp train sentences (about 110 bytes each) repeated to --mb
megabytes, prints in MB/s, with ratios against baselines measured in the
same run:

  per-call   `cut` once per sentence on one Python thread and on two threads
             sharing one object (the lock is kept for short sentences);
             and on one thread keeping every list, as cut_many does;
  cut_many   one thread against the per-call loops, and two threads against
             one;
  fit        SparseEncoder.fit on one and two threads, against the per-call
             cut plus BM25.train in Python on one thread;
  encode     encode_documents in the "indices", "csr" and "dict" formats on
             two threads, against the per-call cut plus encode_document;
  fields     fit and encode_documents ("indices") on two threads with the
             defaults (words and bigrams, folds, idf of documents) against
             the encoder of words alone (bigrams=0, no fold, idf of
             occurrences);
  memory     fit over a generator of --gen-mb megabytes, in a fresh
             process: the peak resident memory against the memory after
             construction (the segmenter) and after the fit (segmenter and
             model);
  merge      see bench/bm25_bench.py --only merge.

With --baseline-python PATH (an interpreter with an earlier razoduviva
installed, say a venv built from an older commit), it measures instead
cut_many, fit and encode_documents ("indices", "dict" and "csr") in both
interpreters, the runs alternating, best of --passes each, and prints this
build's speed over the baseline's.

It asserts no time. Usage:
  python bench/corpus_bench.py [--mb 20] [--gen-mb 1000] [--only SECTION]
  python bench/corpus_bench.py --baseline-python PATH [--mb 20] [--passes 5]
Run it with the interpreter that has razoduviva installed.
"""

import argparse
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from package_bench import best, gsdsimp_sentences, repeated  # noqa: E402


def rate(size, seconds):
    return size / seconds / 1e6


def bench_per_call(jieba, sentences, size, passes):
    half = sentences[: len(sentences) // 2]

    def one():
        for s in sentences:
            jieba.cut(s)

    def kept():
        return [jieba.cut(s) for s in sentences]

    def two():
        def run(part):
            for s in part:
                jieba.cut(s)
        threads = [threading.Thread(target=run, args=(p,))
                   for p in (half, sentences[len(half):])]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    a, b, c = best(one, passes), best(two, passes), best(kept, passes)
    print("== per-call cut, %d sentences of %.0f bytes on average"
          % (len(sentences), size / len(sentences)))
    print("  1 thread  %6.1f MB/s" % rate(size, a))
    print("  2 threads %6.1f MB/s   ratio to 1 thread %.2f" % (rate(size, b), a / b))
    print("  1 thread, keeping every list (as cut_many returns them) %6.1f MB/s" % rate(size, c))
    return a, c


def bench_cut_many(jieba, sentences, size, passes, loops):
    one = best(lambda: jieba.cut_many(sentences, threads=1), passes)
    two = best(lambda: jieba.cut_many(sentences, threads=2), passes)
    print("== cut_many")
    print("  1 thread  %6.1f MB/s   ratio to the per-call loop keeping the lists %.2f "
          "(dropping them %.2f)" % (rate(size, one), loops[1] / one, loops[0] / one))
    print("  2 threads %6.1f MB/s   ratio to 1 thread %.2f" % (rate(size, two), one / two))


def bench_fit(razoduviva, jieba, sentences, size, passes):
    def baseline():
        model = razoduviva.BM25()
        for s in sentences:
            words = jieba.cut(s)
            if words:
                model.train(words)

    base = best(baseline, passes)
    print("== SparseEncoder.fit (baseline: cut + BM25.train per sentence, 1 thread, %.1f MB/s)"
          % rate(size, base))
    for threads in (1, 2):
        seconds = best(lambda: razoduviva.SparseEncoder(jieba, threads=threads).fit(sentences),
                       passes)
        print("  %d thread%s %6.1f MB/s   ratio to the baseline %.2f"
              % (threads, "s" if threads > 1 else " ", rate(size, seconds), base / seconds))


def bench_encode(razoduviva, jieba, sentences, size, passes):
    encoder = razoduviva.SparseEncoder(jieba, threads=2).fit(sentences)
    model = encoder.model
    tokens = [encoder.tokens(s) for s in sentences]

    def baseline():
        for s in sentences:
            model.encode_document(encoder.tokens(s))

    base = best(baseline, passes)
    print("== encode_documents on 2 threads (baseline: tokens + encode_document per sentence, "
          "1 thread, %.1f MB/s)" % rate(size, base))
    formats = ["indices", "dict"]
    try:
        import scipy  # noqa: F401
        formats.insert(1, "csr")
    except ImportError:
        print("  (no SciPy: csr not measured)")
    for fmt in formats:
        seconds = best(lambda: encoder.encode_documents(sentences, format=fmt), passes)
        print("  %-8s %6.1f MB/s   ratio to the baseline %.2f"
              % (fmt, rate(size, seconds), base / seconds))
    del tokens


# The encoder of words alone: the settings before the bigram field and folds.
WORDS = dict(bigrams=0, idf="occurrences", nfkc=False, casefold=False, t2s=False)


def bench_fields(razoduviva, jieba, sentences, size, passes):
    print("== the defaults against words alone (%s), 2 threads"
          % ", ".join("%s=%r" % item for item in WORDS.items()))
    seconds = {}
    for name, options in (("words alone", WORDS), ("defaults", {})):
        encoder = razoduviva.SparseEncoder(jieba, threads=2, **options)
        fit = best(lambda: razoduviva.SparseEncoder(jieba, threads=2, **options).fit(sentences),
                   passes)
        encoder.fit(sentences)
        encode = best(lambda: encoder.encode_documents(sentences), passes)
        seconds[name] = fit, encode
    for k, what in enumerate(("fit", "encode_documents")):
        words, defaults = seconds["words alone"][k], seconds["defaults"][k]
        print("  %-16s words alone %6.1f MB/s, defaults %6.1f MB/s   ratio %.2f"
              % (what, rate(size, words), rate(size, defaults), words / defaults))


MEMORY = r"""
import os, sys, time
import razoduviva

def rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) / 1024
lines = [l for l in open(sys.argv[1], encoding="utf-8").read().split("\n") if l]
target = int(float(sys.argv[2]) * 1e6)
start = rss("VmRSS:")
jieba = razoduviva.Jieba()
segmenter = rss("VmRSS:")

def texts():
    made, n = 0, 0
    while made < target:
        for line in lines:
            # A token of its own every few lines, so that the vocabulary
            # grows with the corpus as a real one does.
            text = line if n % 8 else line + " w%d" % n
            made += len(text.encode("utf-8"))
            n += 1
            yield text
            if made >= target:
                return

t = time.perf_counter()
encoder = razoduviva.SparseEncoder(jieba).fit(texts())
seconds = time.perf_counter() - t
after = rss("VmRSS:")
peak = rss("VmHWM:")
print("%.0f %.0f %.0f %.0f %.1f %d" % (start, segmenter, after, peak, seconds,
                                       encoder.model.encode_query(["w1"]) and 0))
"""


def bench_memory(lines, megabytes):
    import tempfile

    with tempfile.NamedTemporaryFile("w", suffix=".txt", encoding="utf-8", delete=False) as f:
        f.write("\n".join(lines))
    try:
        out = subprocess.run([sys.executable, "-c", MEMORY, f.name, str(megabytes)], check=True,
                             capture_output=True, text=True).stdout.split()
    finally:
        os.unlink(f.name)
    start, segmenter, after, peak, seconds = map(float, out[:5])
    print("== fit over a generator of %.0f MB, in a fresh process (%.1f MB/s)"
          % (megabytes, megabytes / seconds))
    print("  resident memory: %.0f MB after import, %.0f MB with the segmenter, %.0f MB after "
          "the fit (segmenter and model)" % (start, segmenter, after))
    print("  peak %.0f MB: %.0f MB above segmenter and model" % (peak, peak - after))


# One pass of the batch calls, in a child interpreter: seconds per call.
AGAINST = r"""
import json, sys, time
import razoduviva
sentences = json.load(open(sys.argv[1], encoding="utf-8"))
jieba = razoduviva.Jieba()
# The encoder of words alone in both builds, where this one knows other
# settings (a build before them has no other).
try:
    razoduviva.SparseEncoder(jieba, bigrams=0)
    words = dict(bigrams=0, idf="occurrences", nfkc=False, casefold=False, t2s=False)
except TypeError:
    words = {}
encoder = razoduviva.SparseEncoder(jieba, threads=2, **words).fit(sentences)
calls = {
    "cut_many, 1 thread": lambda: jieba.cut_many(sentences, threads=1),
    "cut_many, 2 threads": lambda: jieba.cut_many(sentences, threads=2),
    "fit, 1 thread": lambda: razoduviva.SparseEncoder(jieba, threads=1, **words).fit(sentences),
    "fit, 2 threads": lambda: razoduviva.SparseEncoder(jieba, threads=2, **words).fit(sentences),
    "encode indices, 2 threads": lambda: encoder.encode_documents(sentences),
    "encode dict, 2 threads": lambda: encoder.encode_documents(sentences, format="dict"),
    "encode csr, 2 threads": lambda: encoder.encode_documents(sentences, format="csr"),
}
out = {}
for name, call in calls.items():
    t = time.perf_counter()
    call()
    out[name] = time.perf_counter() - t
print(json.dumps(out))
"""


def bench_against(baseline_python, sentences, size, passes):
    import json
    import tempfile

    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8", delete=False) as f:
        json.dump(sentences, f, ensure_ascii=False)
    best_of = {}
    try:
        for _ in range(passes):
            for python in (baseline_python, sys.executable):
                out = subprocess.run([python, "-c", AGAINST, f.name], check=True,
                                     capture_output=True, text=True).stdout
                for name, seconds in json.loads(out).items():
                    key = (python, name)
                    best_of[key] = min(best_of.get(key, float("inf")), seconds)
    finally:
        os.unlink(f.name)
    print("== this build against %s, best of %d, alternating" % (baseline_python, passes))
    for python, name in [k for k in best_of if k[0] == sys.executable]:
        old, new = best_of[(baseline_python, name)], best_of[(python, name)]
        print("  %-26s %6.1f MB/s against %6.1f   ratio %.3f"
              % (name, rate(size, new), rate(size, old), old / new))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", help="the shared data folder (default: found beside the repository)")
    parser.add_argument("--mb", type=float, default=20.0, help="megabytes of text (default 20)")
    parser.add_argument("--gen-mb", type=float, default=1000.0,
                        help="megabytes the memory section streams (default 1000)")
    parser.add_argument("--passes", type=int, default=3, help="best of N (default 3)")
    parser.add_argument("--only", choices=("per-call", "cut_many", "fit", "encode", "fields",
                                           "memory"))
    parser.add_argument("--baseline-python", metavar="PATH",
                        help="compare the batch calls with the razoduviva of this interpreter")
    args = parser.parse_args()

    import razoduviva

    lines = gsdsimp_sentences(args.source)
    sentences = repeated(lines, args.mb)
    size = sum(len(s.encode("utf-8")) for s in sentences)
    print("razoduviva %s; %.1f MB of text; load average %.2f %.2f %.2f"
          % ((razoduviva.__version__, size / 1e6) + os.getloadavg()))
    if args.baseline_python:
        bench_against(args.baseline_python, sentences, size, args.passes)
        return
    jieba = razoduviva.Jieba()
    loop = None
    if args.only in (None, "per-call", "cut_many"):
        loop = bench_per_call(jieba, sentences, size, args.passes)
    if args.only in (None, "cut_many"):
        bench_cut_many(jieba, sentences, size, args.passes, loop)
    if args.only in (None, "fit"):
        bench_fit(razoduviva, jieba, sentences, size, args.passes)
    if args.only in (None, "encode"):
        bench_encode(razoduviva, jieba, sentences, size, args.passes)
    if args.only in (None, "fields"):
        bench_fields(razoduviva, jieba, sentences, size, args.passes)
    if args.only in (None, "memory"):
        bench_memory(lines, args.gen_mb)


if __name__ == "__main__":
    main()
