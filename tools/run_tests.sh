#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the C++ and Python tests,
# the Python tests again on Python 3.13 when it is on the machine.
# Usage: bash tools/run_tests.sh        (PYTHON=... selects the interpreter)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python="${PYTHON:-python3}"
# The Python tests run from a scratch folder: make a relative path absolute.
[[ "$python" == */* ]] && python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")"

# System packages: GoogleTest for the C++ units; clang and its runtimes for
# the sanitizer builds and the fuzz targets; the sqlite3 shell, which a
# SQLite test runs; a Java runtime for the Spark tests, unless one is there
# already.
need=()
for pkg in libgtest-dev cmake ninja-build g++ clang libclang-rt-14-dev sqlite3; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
command -v java >/dev/null 2>&1 || need+=(default-jre-headless)
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
cmake --build build/tsan --target JiebaStressTest OrderedChunksTest BatchTest
# Without address randomisation: clang 14's TSan cannot map its shadow
# memory under the wider randomisation of recent kernels.
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R build/tsan/tests/cpp/JiebaStressTest
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R build/tsan/tests/cpp/OrderedChunksTest
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R build/tsan/tests/cpp/BatchTest

echo "== Fuzz targets, briefly, on their seed corpus"
bash tools/fuzz.sh --total=30

echo "== Python tests"
"$python" -m pip install -q .
# Run from a scratch folder so that the installed package is what is tested.
scratch="$(mktemp -d)"
scratch313=""
trap 'rm -rf "$scratch" ${scratch313:+"$scratch313"}' EXIT
(cd "$scratch" && "$python" -m pytest -q -p no:cacheprovider --rootdir="$root" "$root/tests")

echo "== The README's Python examples under mypy --strict"
"$python" tools/check_readme_types.py

# A Python 3.13 interpreter that runs: python3.13 on PATH (a pyenv shim there
# fails unless 3.13 is selected, hence the check), else a pyenv-installed one.
find_python313() {
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}" candidate
  if command -v pyenv >/dev/null 2>&1; then
    pyenv_root="$(pyenv root 2>/dev/null || echo "$pyenv_root")"
  fi
  for candidate in "$(command -v python3.13 2>/dev/null)" \
      "$pyenv_root"/versions/3.13*/bin/python3.13 /root/.pyenv/versions/3.13*/bin/python3.13; do
    if [[ -x "$candidate" ]] &&
        "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

echo "== Python tests on Python 3.13"
if "$python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
  echo "skipped: the run above was on Python 3.13 already"
elif python313="$(find_python313)"; then
  # A venv of its own under build/; the package builds in build/cp313-...
  # (pyproject's build-dir is per wheel tag), apart from the 3.11 build.
  venv="$root/build/venv-3.13"
  [[ -x "$venv/bin/python" ]] || "$python313" -m venv "$venv"
  "$venv/bin/python" -m pip install -q -r requirements-test.txt
  "$venv/bin/python" -m pip install -q .
  scratch313="$(mktemp -d)"
  (cd "$scratch313" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir="$root" "$root/tests")
else
  echo "skipped: no Python 3.13 interpreter found (python3.13 on PATH or under pyenv)"
fi
