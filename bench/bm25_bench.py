"""Throughput of razoduviva.BM25 against a plain-Python BM25, and the time
and memory of dump/load for a large model.

    python bench/bm25_bench.py                 # everything, default sizes
    python bench/bm25_bench.py --docs 20000    # a quicker run
    python bench/bm25_bench.py --only file     # dump/load only

Each figure is the best of --repeat runs (3 by default). The corpus is
synthetic: document lengths uniform in 20..200 tokens, tokens
drawn from a Zipf law (s = 1.1) over a vocabulary of 50,000 words (half
ASCII, half CJK), once as str tokens and once as int ids. Both contenders
see the very same token objects; the plain-Python side runs first, so it
even gets the str hashes already cached.

The per-call split needs the C++ driver bench/bm25_core_bench.cpp (build it
with -DRAZODUVIVA_BUILD_BENCHMARKS=ON); see split() for the method.

Dump and load of a model with 1,000,000 distinct tokens each run in a fresh
interpreter; peak memory is the rise of the resident-set high-water mark
over the operation (reset through /proc/self/clear_refs where allowed).

Merge (--only merge) adds one model of --merge-tokens distinct tokens
(1,000,000 by default) to another of as many, half of them shared, and
compares the time with two ways to the same result measured in the same
run: training the second model's documents again, and adding its counts
into a dict of the first's in plain Python.
"""

import argparse
import gc
import json
import math
import os
import pickle
import subprocess
import sys
import tempfile
import time
from collections import Counter

import razoduviva


class PythonBM25:
    """The same formulas, Counter-based, as a Python engineer would write them."""

    def __init__(self, b=0.75, k1=1.2):
        self.b, self.k1 = b, k1
        self.counts = Counter()
        self.docs = 0
        self.total = 0
        self.average = 0.0

    def train(self, tokens):
        if not tokens:
            raise RuntimeError("trainning tokens_vec should not be empty")
        self.counts.update(tokens)
        self.docs += 1
        self.total += len(tokens)
        self.average = self.total / self.docs

    def train_ids(self, tokens):
        if not tokens:
            raise RuntimeError("trainning tokens_vec should not be empty")
        self.counts.update(map(str, tokens))  # ids are counted under their text
        self.docs += 1
        self.total += len(tokens)
        self.average = self.total / self.docs

    def encode_document(self, tokens):
        if not tokens:
            return {}
        K = ((len(tokens) / self.average) * self.b + (1 - self.b)) * self.k1
        return {t: c / (K + c) for t, c in sorted(Counter(tokens).items())}

    def encode_query(self, tokens):
        if not tokens:
            return {}
        n1 = self.docs + 1
        get = self.counts.get
        log = math.log
        weights = {t: log(n1 / (get(t, 1) + 0.5)) for t in sorted(set(tokens))}
        total = sum(weights.values())
        return {t: w / total for t, w in weights.items()}

    def encode_query_ids(self, tokens):
        if not tokens:
            return {}
        n1 = self.docs + 1
        get = self.counts.get
        log = math.log
        weights = {t: log(n1 / (get(str(t), 1) + 0.5)) for t in sorted(set(tokens))}
        total = sum(weights.values())
        return {t: w / total for t, w in weights.items()}


def make_corpus(docs, vocabulary, seed):
    import numpy as np

    rng = np.random.default_rng(seed)
    cjk = [chr(c) for c in range(0x4E00, 0x9FA5)]
    words = []
    for i in range(vocabulary):
        if i % 2:
            words.append("".join(cjk[(i * 7919 + k * 104729) % len(cjk)] for k in range(2 + i % 3)))
        else:
            words.append("w%x" % (i * 2654435761 % (1 << 32)))
    ids = list(range(vocabulary))
    ranks = np.arange(1, vocabulary + 1, dtype=np.float64)
    p = ranks ** -1.1
    p /= p.sum()
    lengths = rng.integers(20, 201, size=docs)
    flat = rng.choice(vocabulary, size=int(lengths.sum()), p=p).tolist()
    str_docs, id_docs = [], []
    start = 0
    for n in lengths.tolist():
        chunk = flat[start:start + n]
        start += n
        str_docs.append([words[r] for r in chunk])
        id_docs.append([ids[r] for r in chunk])
    return str_docs, id_docs


def timed(fn, items):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        for item in items:
            fn(item)
        return time.perf_counter() - start
    finally:
        gc.enable()


def row(name, tokens, ours, theirs):
    print(f"  {name:<28} {tokens / ours / 1e6:8.2f} M tok/s   plain Python "
          f"{tokens / theirs / 1e6:7.2f} M tok/s   ratio {theirs / ours:5.2f}x")


def best(repeat, make, items):
    """The best time of `repeat` runs of make() over items (a fresh callable each run)."""
    return min(timed(make(), items) for _ in range(repeat))


def throughput(str_docs, id_docs, repeat):
    tokens = sum(map(len, str_docs))
    queries = {"str": [doc[:8] for doc in str_docs[: len(str_docs) // 2]],
               "int": [doc[:8] for doc in id_docs[: len(id_docs) // 2]]}
    query_tokens = sum(map(len, queries["str"]))
    print(f"corpus: {len(str_docs)} documents, {tokens} tokens; "
          f"{len(queries['str'])} short queries, {query_tokens} tokens")
    for kind, docs in (("str", str_docs), ("int", id_docs)):
        print(f"{kind} tokens:")
        py, ours = PythonBM25(), razoduviva.BM25()
        py_query = py.encode_query if kind == "str" else py.encode_query_ids
        # Train a fresh model per run; the last ones trained stay for encoding.
        def fresh_py():
            nonlocal py
            py = PythonBM25()
            return py.train if kind == "str" else py.train_ids

        def fresh_ours():
            nonlocal ours
            ours = razoduviva.BM25()
            return ours.train

        t_py = best(repeat, fresh_py, docs)
        t_ours = best(repeat, fresh_ours, docs)
        row("train", tokens, t_ours, t_py)
        py_query = py.encode_query if kind == "str" else py.encode_query_ids
        sample = docs[: max(1, len(docs) // 4)]
        sample_tokens = sum(map(len, sample))
        t_py = best(repeat, lambda: py.encode_document, sample)
        t_ours = best(repeat, lambda: ours.encode_document, sample)
        row("encode_document", sample_tokens, t_ours, t_py)
        t_py = best(repeat, lambda: py_query, sample)
        t_ours = best(repeat, lambda: ours.encode_query, sample)
        row("encode_query (documents)", sample_tokens, t_ours, t_py)
        short = queries[kind]
        t_py = best(repeat, lambda: py_query, short)
        t_ours = best(repeat, lambda: ours.encode_query, short)
        row("encode_query (8 tokens)", query_tokens, t_ours, t_py)
        # Same answers, as a sanity check of the comparison.
        for doc in sample[:50]:
            a, b = ours.encode_query(doc), py_query(doc)
            assert list(a) == list(b) and all(abs(a[k] - b[k]) < 1e-9 for k in a)


def split(str_docs, core_bench):
    """Per-call cost split into argument conversion, model work and result.

    The model's own work is timed by the C++ driver bm25_core_bench on the
    same documents (no Python involved); train has no result to build, so
    its Python time less its C++ time is the cost of crossing the boundary
    with the argument; what remains of an encode call is the result dict.
    """
    docs = str_docs[: max(1, len(str_docs) // 10)]
    calls = len(docs)
    per = 1e6 / calls
    warm = razoduviva.BM25()  # caches each str's UTF-8 form, as later calls find it
    for doc in docs:
        warm.train(doc)
    t_train = t_document = t_query = float("inf")
    for _ in range(5):  # best of five, as the C++ driver does
        model = razoduviva.BM25()
        t_train = min(t_train, timed(model.train, docs))
        t_document = min(t_document, timed(model.encode_document, docs))
        t_query = min(t_query, timed(model.encode_query, docs))
    if not core_bench or not os.path.exists(core_bench):
        print(f"split: no C++ driver at {core_bench!r}; build it with "
              "cmake -S . -B build/bench -G Ninja -DRAZODUVIVA_BUILD_BENCHMARKS=ON && "
              "cmake --build build/bench")
        return
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".txt", delete=False) as f:
        for doc in docs:
            f.write(" ".join(doc))
            f.write("\n")
        corpus = f.name
    try:
        out = subprocess.run([core_bench, corpus], check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(corpus)
    core = {line.split()[0]: float(line.split()[1]) / 1e3 for line in out.splitlines()}
    convert = t_train * per - core["train"]
    print(f"per call ({sum(map(len, docs)) / calls:.0f} tokens, {calls} calls), microseconds:")
    print(f"  {'train':<16} total {t_train * per:6.2f} = conversion {convert:5.2f}"
          f" + model {core['train']:5.2f}")
    for name, total in (("encode_document", t_document), ("encode_query", t_query)):
        result = total * per - convert - core[name]
        print(f"  {name:<16} total {total * per:6.2f} = conversion {convert:5.2f}"
              f" + model {core[name]:5.2f} + result {result:5.2f}")


CHILD = r"""
import json, os, resource, sys, time
import razoduviva

def rss():
    fields = dict(l.split(':', 1) for l in open('/proc/self/status'))
    return int(fields['VmRSS'].split()[0]) * 1024, int(fields['VmHWM'].split()[0]) * 1024

def reset_peak():
    try:
        with open('/proc/self/clear_refs', 'w') as f:
            f.write('5')
        return True
    except OSError:
        return False

def trim():
    # Give freed heap pages back, so that an operation cannot hide its peak
    # in memory freed by an earlier step.
    import ctypes
    try:
        ctypes.CDLL('libc.so.6').malloc_trim(0)
    except (OSError, AttributeError):
        pass

op, path, tokens = sys.argv[1], sys.argv[2], int(sys.argv[3])
model = razoduviva.BM25()
if op == 'dump':
    build(model, tokens)
    trim()
    out = path + '.out'
    reset_ok = reset_peak()
    before, _ = rss()
    start = time.perf_counter()
    model.dump(out)
    elapsed = time.perf_counter() - start
    _, peak = rss()
    os.unlink(out)
else:
    text = open(path, encoding='utf-8').read()
    trim()
    reset_ok = reset_peak()
    before, _ = rss()
    start = time.perf_counter()
    model.load(text)
    elapsed = time.perf_counter() - start
    _, peak = rss()
print(json.dumps({'seconds': elapsed, 'rise': peak - before, 'peak': peak, 'reset': reset_ok}))
"""


BUILD = r"""
def build(model, tokens):
    # Documents of 1,000 distinct tokens each, half ASCII, half CJK.
    block = 1000
    for start in range(0, tokens, block):
        model.train([("t%d" % i) if i % 2 else ("词%d" % i)
                     for i in range(start, min(start + block, tokens))])
"""
exec(BUILD)


def file_ops(tokens):
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "big.json")
    model = razoduviva.BM25()
    build(model, tokens)
    model.dump(path)
    del model
    size = os.path.getsize(path)
    print(f"model file: {tokens} distinct tokens, {size / 1e6:.1f} MB")
    for op in ("dump", "load"):
        result = json.loads(
            subprocess.run([sys.executable, "-c", BUILD + CHILD, op, path, str(tokens)],
                           check=True, capture_output=True, text=True).stdout)
        note = "" if result["reset"] else " (high-water mark not resettable: upper bound)"
        print(f"  {op:<5} {result['seconds']:6.3f} s   peak memory +{result['rise'] / 1e6:6.1f} MB"
              f" (process peak {result['peak'] / 1e6:.1f} MB){note}")
    os.unlink(path)
    os.rmdir(folder)


def merge_ops(tokens, repeat):
    """BM25.merge of two models of `tokens` distinct tokens each, half shared."""
    def documents(first, last):
        # Documents of 1,000 distinct tokens each, as build() makes them.
        block = 1000
        return [[("t%d" % i) if i % 2 else ("词%d" % i) for i in range(start, min(start + block, last))]
                for start in range(first, last, block)]

    half = tokens // 2
    docs_a, docs_b = documents(0, tokens), documents(half, half + tokens)
    a, b = razoduviva.BM25(), razoduviva.BM25()
    for doc in docs_a:
        a.train(doc)
    for doc in docs_b:
        b.train(doc)
    a_state = pickle.dumps(a)
    print(f"merge: two models of {tokens} distinct tokens, {tokens - half} shared, "
          f"{tokens + half} in the result")

    def best_of(run):
        """The best time of run(copy of a) over `repeat` fresh copies, and the last copy."""
        times = []
        for _ in range(repeat):
            model = pickle.loads(a_state)
            gc.collect()
            start = time.perf_counter()
            run(model)
            times.append(time.perf_counter() - start)
        return min(times), model

    t_merge, merged = best_of(lambda model: model.merge(b))

    def train_again(model):
        for doc in docs_b:
            model.train(doc)

    t_train, retrained = best_of(train_again)
    assert pickle.dumps(merged) == pickle.dumps(retrained), "merge differs from training"
    t_self, _ = best_of(lambda model: model.merge(model))

    # The counts as dicts, the way a Python merge would hold them.
    counts_a, counts_b = Counter(), Counter()
    for doc in docs_a:
        counts_a.update(doc)
    for doc in docs_b:
        counts_b.update(doc)
    dict_times = []
    for _ in range(repeat):
        counts = dict(counts_a)
        gc.collect()
        start = time.perf_counter()
        get = counts.get
        for token, count in counts_b.items():
            counts[token] = get(token, 0) + count
        dict_times.append(time.perf_counter() - start)
    t_dict = min(dict_times)
    assert len(counts) == tokens + half

    def line(name, seconds):
        print(f"  {name:<34} {seconds:7.3f} s   {tokens / seconds / 1e6:6.1f} M tokens/s of the "
              f"second model   merge is {seconds / t_merge:5.1f}x faster")

    rate = tokens / t_merge / 1e6
    print(f"  {'BM25.merge':<34} {t_merge:7.3f} s   {rate:6.1f} M tokens/s of the second model")
    # Each token occurs once in these documents: the cheapest corpus to
    # train again. Training costs grow with the corpus, merging with the
    # vocabulary.
    line(f"training its {len(docs_b)} documents again", t_train)
    line("dict merge in plain Python", t_dict)
    print(f"  {'BM25.merge into itself':<34} {t_self:7.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--vocabulary", type=int, default=50_000)
    parser.add_argument("--file-tokens", type=int, default=1_000_000)
    parser.add_argument("--merge-tokens", type=int, default=1_000_000)
    parser.add_argument("--only", choices=["throughput", "split", "file", "merge"])
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    parser.add_argument("--core-bench", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "bench", "bm25_core_bench"),
        help="the C++ driver that times the model alone (for the per-call split)")
    args = parser.parse_args()
    print(f"razoduviva {razoduviva.__version__} {razoduviva._core.__file__}")
    if args.only in (None, "throughput", "split"):
        str_docs, id_docs = make_corpus(args.docs, args.vocabulary, args.seed)
        if args.only in (None, "throughput"):
            throughput(str_docs, id_docs, args.repeat)
        if args.only in (None, "split"):
            split(str_docs, args.core_bench)
        del str_docs, id_docs
    if args.only in (None, "file"):
        file_ops(args.file_tokens)
    if args.only in (None, "merge"):
        merge_ops(args.merge_tokens, args.repeat)


if __name__ == "__main__":
    main()
