#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan and UBSan) and runs each for a
# fixed time on its seed corpus.
#
# Usage: bash tools/fuzz.sh [seconds per target | --total=seconds] [target ...]
#   targets default to all of fuzz/CMakeLists.txt; --total shares the time
#   among them (at least 3 s each); e.g.
#   bash tools/fuzz.sh 600 json_parser
#   bash tools/fuzz.sh --total=30
#
# New inputs that reach new code go to build/fuzz/corpus/<target>/ (the seeds
# in fuzz/corpus/ are only read); a crash or a broken property leaves its
# input in build/fuzz/artifacts/<target>/ and makes the script fail. To read
# what broke, replay the input: build/fuzz/fuzz/<target>_fuzzer <file>.
# The targets' own error lines are muted (-close_fd_mask=2); libFuzzer's
# report and the sanitizers' still come through.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-60}"
shift || true
build="$root/build/fuzz"

CXX="${FUZZ_CXX:-clang++}" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRAZODUVIVA_BUILD_FUZZERS=ON -DRAZODUVIVA_SANITIZE=address >/dev/null
cmake --build "$build" -j2

if (($#)); then
  targets=("$@")
else
  mapfile -t targets < <(cd "$build/fuzz" && ls -1 *_fuzzer | sed 's/_fuzzer$//')
fi
if [[ "$seconds" == --total=* ]]; then
  seconds=$((${seconds#--total=} / ${#targets[@]}))
  ((seconds >= 3)) || seconds=3
fi

status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  log="$build/$target.log"
  mkdir -p "$corpus" "$artifacts"
  options=()
  [[ -f "fuzz/dict/$target.dict" ]] && options+=(-dict="fuzz/dict/$target.dict")
  echo "== $target: ${seconds}s"
  if ! "$build/fuzz/${target}_fuzzer" "$corpus" "fuzz/corpus/$target" "${options[@]}" \
      -max_total_time="$seconds" -close_fd_mask=2 \
      -artifact_prefix="$artifacts/" -print_final_stats=1 -rss_limit_mb=2048 >"$log" 2>&1; then
    status=1
    echo "   FAILED; the report:"
    grep -v '^#' "$log" | tail -40
  fi
  grep -E 'stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb' "$log" |
    sed 's/^/   /'
done
exit "$status"
