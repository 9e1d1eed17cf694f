#!/usr/bin/env bash
# Runs the Python test suite against an extension built with AddressSanitizer
# and UndefinedBehaviorSanitizer (GCC), with LeakSanitizer checking at exit.
# Any report fails the run; logs go to build/python-asan/log.*.
#
# Usage: bash tools/sanitize_python.sh      (PYTHON=... selects the interpreter)
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded, and PYTHONMALLOC=malloc sends every Python allocation through
# them, so that a leaked object shows up as leaked memory. The Spark tests
# are left out: the Java runtime they start does not run with the sanitizer
# runtimes preloaded.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python="${PYTHON:-python3}"
out="$root/build/python-asan"
venv="$out/venv"

mkdir -p "$out"
rm -f "$out"/log.*
[[ -x "$venv/bin/python" ]] || "$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q -r requirements-test.txt
"$venv/bin/python" -m pip install -q --no-build-isolation \
  -C cmake.define.RAZODUVIVA_SANITIZE=address -C cmake.build-type=RelWithDebInfo \
  -C build-dir=build/python-asan/wheel .

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
status=0
# The imports of NumPy and of the vector-database clients (pydantic_core,
# orjson) leave objects that nothing frees. Their frames are out of reach of
# the fast unwinder (the interpreter has no frame pointers), so the tests
# that import them run apart, with the slow unwinder and the suppressions in
# tools/lsan-python.supp.
numpy_test="tests/test_corpus.py::test_csr_holds_the_indices_form"
apart=("$root/$numpy_test" "$root/tests/test_index.py" "$root/tests/test_vector_db.py")
sanitized() {
  (cd "$scratch" &&
    LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=1:log_path=$out/log$1" \
    LSAN_OPTIONS="suppressions=$root/tools/lsan-python.supp:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$out/log" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir="$root" "${@:2}")
}
sanitized "" "$root/tests" --ignore="$root/tests/test_spark.py" \
  --ignore="$root/tests/test_index.py" --ignore="$root/tests/test_vector_db.py" \
  --deselect="$numpy_test" || status=$?
sanitized ":fast_unwind_on_malloc=0" "${apart[@]}" || status=$?
if compgen -G "$out/log.*" >/dev/null; then
  echo "sanitizer reports:"
  cat "$out"/log.*
  status=1
else
  echo "no sanitizer reports"
fi
exit "$status"
