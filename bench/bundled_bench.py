#!/usr/bin/env python3
"""Figures for the bundled data and the command line.

Prints:
  - the time to construct razoduviva.Jieba on the bundled data and the
    resident memory it takes (each in a fresh interpreter, best of --repeat);
  - cut throughput in MB/s on the GSDSimp train text repeated to --cut-mb MB
    (10 by default), on one thread and on two threads sharing one object,
    calling cut once per line and once per 64 KiB block of lines (as the
    command line does);
  - `python -m razoduviva cut` on that text, with --threads 1 and 2;
  - `python -m razoduviva train` on the text repeated to --train-mb MB
    (100 by default), with --threads 1 and 2 and without (every core): wall
    time, CPU time (user + sys) and CPU utilisation (CPU time over wall
    time; 2.0 is both cores busy), and peak resident memory;
  - `python -m razoduviva encode` of the --cut-mb text with that model, the
    same ways, and with --format indices.

The machine's load average is printed before and after, since other work on
the machine slows every figure. Nothing is asserted. The GSDSimp text is found
like tools/build_data.py finds its sources: --source, else
$RAZODUVIVA_DATA_SOURCES, else the nearest shared/data folder beside the
repository. Usage (with the interpreter that has razoduviva installed):

  python bench/bundled_bench.py [--cut-mb 10] [--train-mb 100] [--repeat 3]
"""

import argparse
import importlib.machinery
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
BLOCK = 1 << 16

CONSTRUCT = r"""
import json, time
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
import razoduviva, razoduviva.data
before = rss()
t = time.perf_counter()
j = razoduviva.Jieba(**razoduviva.data.paths())
seconds = time.perf_counter() - t
print(json.dumps({"seconds": seconds, "added": rss() - before, "total": rss()}))
"""


def build_data_script():
    path = os.path.join(HERE, "..", "tools", "build_data.py")
    loader = importlib.machinery.SourceFileLoader("build_data", path)
    module = types.ModuleType("build_data")
    module.__file__ = path
    loader.exec_module(module)
    return module


def gsdsimp_text(source):
    """The GSDSimp train sentences, one per line."""
    bd = build_data_script()
    root = source or bd.default_source()
    path = os.path.join(root, *bd.GSDSIMP_TRAIN)
    if not os.path.exists(path):
        sys.exit("no GSDSimp train file at %s; give --source DIR" % path)
    return bd.read_texts(path)


def repeated(lines, megabytes):
    """The lines repeated until they hold at least `megabytes` MB."""
    size = sum(len(line.encode("utf-8")) + 1 for line in lines)
    times = max(1, -(-int(megabytes * 1e6) // size))
    return lines * times


def blocks_of(lines):
    """Lines joined by line feeds into blocks of about BLOCK bytes."""
    out, current, size = [], [], 0
    for line in lines:
        current.append(line)
        size += len(line.encode("utf-8")) + 1
        if size >= BLOCK:
            out.append("\n".join(current))
            current, size = [], 0
    if current:
        out.append("\n".join(current))
    return out


def cut_all(method, texts):
    for text in texts:
        method(text)


def wall(fn, *args):
    t = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t


def threaded(method, texts, n):
    parts = [texts[i::n] for i in range(n)]
    threads = [threading.Thread(target=cut_all, args=(method, p)) for p in parts]
    t = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return time.perf_counter() - t


def peak_rss(pid):
    """VmHWM of a running process in bytes, or None once it is gone. Read
    from /proc rather than from wait4's ru_maxrss, which also counts the
    pages the child shared with this (large) process before its exec."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def run_cli(args, stdin_path):
    """(wall seconds, user + sys seconds, peak resident bytes) of one run."""
    with open(stdin_path, "rb") as stdin:
        t = time.perf_counter()
        proc = subprocess.Popen([sys.executable, "-m", "razoduviva", *args], stdin=stdin,
                                stdout=subprocess.DEVNULL)
        peak = [0]

        def watch():
            while proc.returncode is None:
                value = peak_rss(proc.pid)
                if value is None:
                    return
                peak[0] = max(peak[0], value)
                time.sleep(0.02)

        watcher = threading.Thread(target=watch)
        watcher.start()
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - t
        proc.returncode = os.waitstatus_to_exitcode(status)
        watcher.join()
    if proc.returncode:
        sys.exit("razoduviva %s failed with status %d" % (" ".join(args), proc.returncode))
    return seconds, usage.ru_utime + usage.ru_stime, peak[0]


# The thread options of the train and encode runs: none is every core.
THREADS = (["--threads", "1"], ["--threads", "2"], [])


def shown(options):
    return " ".join(options) or "(every core)"


def load():
    one, five, _ = os.getloadavg()
    return "load average %.2f (1 min), %.2f (5 min) on %d cores" % (one, five, os.cpu_count())


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", help="folder of the data sources (shared/data)")
    parser.add_argument("--cut-mb", type=float, default=10.0)
    parser.add_argument("--train-mb", type=float, default=100.0)
    parser.add_argument("--repeat", type=int, default=3, help="best of N runs per figure")
    args = parser.parse_args()

    import razoduviva
    import razoduviva.data

    print("before: " + load())
    sentences = gsdsimp_text(args.source)
    lines = repeated(sentences, args.cut_mb)
    mb = sum(len(line.encode("utf-8")) + 1 for line in lines) / 1e6
    print("text: GSDSimp train, %d sentences repeated to %.1f MB (%d lines)"
          % (len(sentences), mb, len(lines)))

    runs = []
    for _ in range(args.repeat):
        out = subprocess.run([sys.executable, "-c", CONSTRUCT], check=True,
                             capture_output=True, text=True).stdout
        runs.append(json.loads(out))
    best = min(runs, key=lambda r: r["seconds"])
    print("Jieba on the bundled data: constructed in %.3f s (best of %d); it adds %.1f MiB "
          "resident, %.1f MiB for the whole interpreter"
          % (best["seconds"], args.repeat, best["added"] / 2**20, best["total"] / 2**20))

    jieba = razoduviva.Jieba(**razoduviva.data.paths())
    blocks = blocks_of(lines)
    cut_all(jieba.cut, lines[:2000])  # warm up
    for name, texts in (("a call per line", lines), ("a call per 64 KiB block", blocks)):
        one = min(wall(cut_all, jieba.cut, texts) for _ in range(args.repeat))
        two = min(threaded(jieba.cut, texts, 2) for _ in range(args.repeat))
        print("cut, %s: 1 thread %.1f MB/s; 2 threads %.1f MB/s (x%.2f)"
              % (name, mb / one, mb / two, one / two))
    del jieba

    with tempfile.TemporaryDirectory() as tmp:
        cut_path = os.path.join(tmp, "cut.txt")
        with open(cut_path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        for threads in ("1", "2"):
            best = min((run_cli(["cut", "--threads", threads], cut_path)
                        for _ in range(args.repeat)), key=lambda r: r[0])
            print("python -m razoduviva cut --threads %s < %.0f MB: %.2f s, %.1f MB/s "
                  "including start-up; CPU %.2f s (%.2f cores busy), peak %.0f MiB (best of %d)"
                  % (threads, mb, best[0], mb / best[0], best[1], best[1] / best[0],
                     best[2] / 2**20, args.repeat))

        train_lines = repeated(sentences, args.train_mb)
        train_path = os.path.join(tmp, "train.txt")
        with open(train_path, "w", encoding="utf-8") as f:
            f.write("\n".join(train_lines) + "\n")
        train_mb = os.path.getsize(train_path) / 1e6
        model = os.path.join(tmp, "model.json")
        for options in THREADS:
            seconds, cpu, peak = min((run_cli(["train", *options, "-o", model, "-"], train_path)
                                      for _ in range(args.repeat)), key=lambda r: r[0])
            print("python -m razoduviva train %s on %.0f MB (%d documents): %.1f s "
                  "wall, %.1f MB/s; CPU %.1f s = %.2f cores busy; peak %.0f MiB (best of %d)"
                  % (shown(options), train_mb, len(train_lines), seconds, train_mb / seconds,
                     cpu, cpu / seconds, peak / 2**20, args.repeat))

        # encode prints a JSON object per line, one json.dumps each: that
        # part runs on the interpreter's thread whatever --threads says.
        for options in THREADS + (["--format", "indices"],):
            seconds, cpu, peak = min((run_cli(["encode", model, *options], cut_path)
                                      for _ in range(args.repeat)), key=lambda r: r[0])
            print("python -m razoduviva encode %s < %.0f MB: %.2f s, %.1f MB/s including "
                  "start-up; CPU %.2f s (%.2f cores busy), peak %.0f MiB (best of %d)"
                  % (shown(options), mb, seconds, mb / seconds, cpu, cpu / seconds,
                     peak / 2**20, args.repeat))
    print("after: " + load())


if __name__ == "__main__":
    main()
