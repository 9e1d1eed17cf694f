#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the C++ and Python tests.
# Usage: bash tools/run_tests.sh        (PYTHON=... selects the interpreter)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python="${PYTHON:-python3}"
# The Python tests run from a scratch folder: make a relative path absolute.
[[ "$python" == */* ]] && python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")"

# System packages: GoogleTest for the C++ units; clang and its runtimes for
# the sanitizer builds and the fuzz targets.
need=()
for pkg in libgtest-dev cmake ninja-build g++ clang libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
fi

"$python" -m pip install -q -r requirements-test.txt

echo "== C++ unit tests"
cmake -S . -B build/tests -G Ninja -DRAZODUVIVA_BUILD_TESTS=ON
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure

echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRAZODUVIVA_BUILD_TESTS=ON -DRAZODUVIVA_SANITIZE=address
cmake --build build/asan
ctest --test-dir build/asan --output-on-failure

echo "== Concurrent cuts under ThreadSanitizer"
CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRAZODUVIVA_BUILD_TESTS=ON -DRAZODUVIVA_SANITIZE=thread
cmake --build build/tsan --target JiebaStressTest
# Without address randomisation: clang 14's TSan cannot map its shadow
# memory under the wider randomisation of recent kernels.
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R build/tsan/tests/cpp/JiebaStressTest

echo "== Fuzz targets, briefly, on their seed corpus"
bash tools/fuzz.sh --total=30

echo "== Python tests"
"$python" -m pip install -q .
# Run from a scratch folder so that the installed package is what is tested.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && "$python" -m pytest -q -p no:cacheprovider --rootdir="$root" "$root/tests")
