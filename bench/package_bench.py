#!/usr/bin/env python3
"""The cost of the segmenter's everyday features on the bundled data.

Prints, with the GSDSimp train sentences (about 110 bytes each) repeated to
--mb megabytes:

  cut     `cut` and `cut_for_search` throughput on one thread, one call per
          sentence, in this interpreter and, with --baseline-python, in
          another one that has an earlier razoduviva installed (say, a venv
          built from an older commit); the runs alternate between the two,
          best of --passes each, and the ratio is this one's speed over the
          baseline's;
  words   the cost of add_word on a Jieba of the bundled data: one call, the
          first cut after a run of calls (which builds the edited
          dictionary), and the cut speed afterwards against the untouched
          object;
  pickle  the size of the pickles of both classes and the time to load them
          in a fresh interpreter.

It asserts no time. Usage:
  python bench/package_bench.py [--baseline-python PATH] [--mb 10] [--passes 5]
Run it with the interpreter that has razoduviva installed.
"""

import argparse
import json
import os
import pickle
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bundled_bench import build_data_script  # noqa: E402


def best(fn, passes):
    """The shortest of `passes` runs of fn(), in seconds."""
    times = []
    for _ in range(passes):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def gsdsimp_sentences(source=None):
    """The GSDSimp train sentences, one per item."""
    bd = build_data_script()
    path = os.path.join(source or bd.default_source(), *bd.GSDSIMP_TRAIN)
    if not os.path.exists(path):
        sys.exit("no GSDSimp train file at %s; give --source DIR" % path)
    return bd.read_texts(path)


def repeated(lines, megabytes):
    size = sum(len(line.encode("utf-8")) for line in lines)
    return lines * max(1, -(-int(megabytes * 1e6) // size))


# ---------------------------------------------------------------------------
# Runs in a child interpreter: one pass of per-call cuts, in MB/s.

WORKER = r"""
import json, sys, time
import razoduviva, razoduviva.data
sentences = json.load(open(sys.argv[1], encoding="utf-8"))
size = sum(len(s.encode("utf-8")) for s in sentences)
jieba = razoduviva.Jieba(**razoduviva.data.paths())
out = {}
for name in ("cut", "cut_for_search"):
    method = getattr(jieba, name)
    best = float("inf")
    for _ in range(int(sys.argv[2])):
        t = time.perf_counter()
        for s in sentences:
            method(s)
        best = min(best, time.perf_counter() - t)
    out[name] = size / best / 1e6
print(json.dumps(out))
"""


def cut_speed(python, sentence_file, passes):
    done = subprocess.run([python, "-c", WORKER, sentence_file, str(passes)], check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout)


def bench_cut(args, sentences):
    print("== cut, one thread, one call per sentence (%.1f MB, %d sentences)"
          % (sum(len(s.encode()) for s in sentences) / 1e6, len(sentences)))
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8", delete=False) as f:
        json.dump(sentences, f, ensure_ascii=False)
    try:
        pythons = [("this", sys.executable)]
        if args.baseline_python:
            pythons.append(("baseline", args.baseline_python))
        best = {label: {} for label, _ in pythons}
        for _ in range(args.rounds):
            for label, python in pythons:
                for name, speed in cut_speed(python, f.name, args.passes).items():
                    best[label][name] = max(best[label].get(name, 0.0), speed)
    finally:
        os.unlink(f.name)
    for name in ("cut", "cut_for_search"):
        line = "  %-15s %6.1f MB/s" % (name, best["this"][name])
        if args.baseline_python:
            line += "   baseline %6.1f MB/s   ratio %.3f" % (
                best["baseline"][name], best["this"][name] / best["baseline"][name])
        print(line)


def timed_cut(jieba, sentences, passes=3):
    size = sum(len(s.encode("utf-8")) for s in sentences)
    best = float("inf")
    for _ in range(passes):
        t = time.perf_counter()
        for s in sentences:
            jieba.cut(s)
        best = min(best, time.perf_counter() - t)
    return size / best / 1e6


def bench_words(sentences):
    import razoduviva

    print("== add_word on the bundled data")
    plain = razoduviva.Jieba()
    sample = sentences[:20000]
    base_speed = timed_cut(plain, sample)
    # Words from the text itself: each adjacent pair of cut words.
    pairs = []
    for s in sentences[:5000]:
        words = plain.cut(s)
        pairs += [a + b for a, b in zip(words, words[1:])
                  if a.strip() and b.strip() and not {a, b} & {"，", "。"}]
    pairs = list(dict.fromkeys(pairs))
    for count in (1, 100, 10000):
        jieba = razoduviva.Jieba()
        t = time.perf_counter()
        for word in pairs[:count]:
            jieba.add_word(word)
        added = time.perf_counter() - t
        t = time.perf_counter()
        jieba.cut(sentences[0])
        first = time.perf_counter() - t
        speed = timed_cut(jieba, sample)
        print("  %5d words: add_word %6.2f us per call; first cut after them %7.2f ms; "
              "cut %5.1f MB/s (untouched: %5.1f, ratio %.3f)"
              % (count, added / count * 1e6, first * 1e3, speed, base_speed, speed / base_speed))


LOAD = r"""
import pickle, sys, time
data = open(sys.argv[1], "rb").read()
import razoduviva
t = time.perf_counter()
pickle.loads(data)
print(time.perf_counter() - t)
"""


def bench_pickle(sentences):
    import razoduviva
    import razoduviva.data

    print("== pickles (load: in a fresh interpreter, after import)")
    jieba = razoduviva.Jieba()
    model = razoduviva.BM25()
    for s in sentences:
        model.train(jieba.cut(s))
    edited = razoduviva.Jieba()
    edited.add_word("北京学习")
    with tempfile.TemporaryDirectory() as scratch:
        user = os.path.join(scratch, "user.txt")
        with open(user, "w", encoding="utf-8") as f:
            f.write("北京学习 10 n\n")
        by_value = razoduviva.Jieba(user_dict_path=user)
        cases = [("BM25 of %d sentences" % len(sentences), model), ("Jieba() (bundled data)", jieba),
                 ("Jieba() + add_word", edited), ("Jieba(user_dict_path=...)", by_value)]
        for label, obj in cases:
            data = pickle.dumps(obj)
            path = os.path.join(scratch, "obj.pickle")
            with open(path, "wb") as f:
                f.write(data)
            loads = min(float(subprocess.run([sys.executable, "-c", LOAD, path], check=True,
                                             capture_output=True, text=True).stdout)
                        for _ in range(3))
            print("  %-28s %10d bytes   loads in %6.3f s" % (label, len(data), loads))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline-python", help="an interpreter with an earlier razoduviva")
    parser.add_argument("--source", help="the shared data folder (default: found beside the repository)")
    parser.add_argument("--mb", type=float, default=10.0, help="megabytes of text (default 10)")
    parser.add_argument("--passes", type=int, default=3, help="passes per run (default 3)")
    parser.add_argument("--rounds", type=int, default=3, help="alternating runs (default 3)")
    parser.add_argument("--only", choices=("cut", "words", "pickle"), help="one section only")
    args = parser.parse_args()
    lines = gsdsimp_sentences(args.source)
    sentences = repeated(lines, args.mb)
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    if args.only in (None, "cut"):
        bench_cut(args, sentences)
    if args.only in (None, "words"):
        bench_words(sentences)
    if args.only in (None, "pickle"):
        bench_pickle(lines)


if __name__ == "__main__":
    main()
