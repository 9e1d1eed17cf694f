"""Cutting one huge sentence made of a single repeated character.

Shows that the cost grows linearly: each size doubles the previous one, and
the ratio of user CPU time between neighbours should stay near 2 (a
quadratic step would give 4). System time is reported apart: it is the
kernel's work of mapping fresh memory (one page fault per 4 KiB touched),
whose cost per page can grow with the machine's memory pressure. Each size
runs in a fresh process, so that the peak resident memory it reports is
that sentence's own; the figure per input byte is the peak less the
process's resident size before the cut.

Usage:
    python bench/long_sentence_bench.py                    # 中 and a, 100 to 400 MB
    python bench/long_sentence_bench.py --chars 中 --mb 50 100 200 400 --mode search

Uses the bundled dictionary (razoduviva.data). Prints figures, asserts
nothing.
"""

import argparse
import json
import resource
import subprocess
import sys
import time


def worker(char, megabytes, mode):
    import razoduviva
    import razoduviva.data

    jieba = razoduviva.Jieba(**razoduviva.data.paths())
    count = int(megabytes * 1_000_000) // len(char.encode())
    sentence = char * count
    before_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    cut = jieba.cut if mode == "normal" else jieba.cut_for_search
    usage = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    words = cut(sentence)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    peak_kb = after.ru_maxrss
    print(
        json.dumps(
            {
                "bytes": len(sentence.encode()),
                "runes": count,
                "words": len(words),
                "seconds": seconds,
                "user_seconds": after.ru_utime - usage.ru_utime,
                "sys_seconds": after.ru_stime - usage.ru_stime,
                "page_faults": after.ru_minflt - usage.ru_minflt,
                "before_mb": before_kb / 1024,
                "peak_mb": peak_kb / 1024,
            }
        )
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--chars", nargs="+", default=["中", "a"])
    parser.add_argument("--mb", nargs="+", type=float, default=[100, 200, 400])
    parser.add_argument("--mode", choices=["normal", "search"], default="normal")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], float(args.worker[1]), args.worker[2])
        return

    print(f"mode: {args.mode}; sizes in MB of UTF-8; one fresh process per size")
    print(f"{'char':>4} {'MB':>7} {'runes':>11} {'words':>11} {'wall s':>7} {'user s':>7} "
          f"{'x prev':>6} {'sys s':>7} {'faults':>9} {'peak MB':>8} {'B/byte':>6}")
    for char in args.chars:
        previous = None
        for megabytes in args.mb:
            out = subprocess.run(
                [sys.executable, __file__, "--worker", char, str(megabytes), args.mode],
                capture_output=True, text=True,
            )
            if out.returncode != 0:
                print(f"{char!r:>4} {megabytes:7.0f} failed ({out.returncode}): "
                      f"{out.stderr.strip()[-200:]}")
                break
            r = json.loads(out.stdout)
            ratio = f"{r['user_seconds'] / previous:6.2f}" if previous else f"{'':>6}"
            per_byte = (r["peak_mb"] - r["before_mb"]) * 1024 * 1024 / r["bytes"]
            print(f"{char:>4} {r['bytes'] / 1e6:7.0f} {r['runes']:11d} {r['words']:11d} "
                  f"{r['seconds']:7.2f} {r['user_seconds']:7.2f} {ratio} "
                  f"{r['sys_seconds']:7.2f} {r['page_faults']:9d} {r['peak_mb']:8.0f} "
                  f"{per_byte:6.1f}")
            previous = r["user_seconds"]


if __name__ == "__main__":
    main()
