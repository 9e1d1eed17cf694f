#!/usr/bin/env bash
# Builds the C++ benchmark, generates its data (a 350,000-entry dictionary
# and 12 MB of text from the corpora in /work/shared/data, or DATA=...), and
# prints load time, resident memory per entry and cut throughput.
# Usage: bash bench/run_segment_bench.sh [extra segment_bench arguments]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
out="build/bench-data"
if [[ ! -s "$out/dict.txt" || ! -s "$out/text.txt" ]]; then
  python3 bench/generate_data.py --data "${DATA:-/work/shared/data}" --out "$out"
fi
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DRAZODUVIVA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/bench --target segment_bench
build/bench/bench/segment_bench "$out/dict.txt" "$out/text.txt" "$@"
