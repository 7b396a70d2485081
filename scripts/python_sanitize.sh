#!/usr/bin/env bash
# Runs the Python tests against a build of the extension instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
# The instrumented module is built into its own directory (build/py-asan by
# default) and imported from there through PYTHONPATH; the normally
# installed module is neither rebuilt nor replaced. The interpreter itself is
# not instrumented, so the sanitizer runtimes are preloaded, and Python's own
# small-object allocator is switched off (PYTHONMALLOC=malloc) so that every
# Python object lives in sanitizer-checked memory: a reference released too
# early becomes a reported heap-use-after-free. Leak detection is off because
# the interpreter keeps memory at exit by design; reference leaks are the
# business of the tests themselves.
#
# Any sanitizer report ends the run with a failure.
#
# Environment: PYTHON (python3), BUILD_DIR (build/py-asan), JOBS (2),
# QUILLON_STRESS_SECONDS (2; the stress tests' budget per test),
# QUILLON_FUZZ_EXAMPLES (150; hostile-object programs per entry point), and
# PYTEST_ARGS (extra pytest arguments).
set -euo pipefail

cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
BUILD_DIR=${BUILD_DIR:-build/py-asan}
JOBS=${JOBS:-2}
PYTHON_PATH=$(command -v "$PYTHON")

generator=()
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
cmake -S . -B "$BUILD_DIR" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLON_BUILD_PYTHON=ON \
  -DBUILD_TESTING=OFF \
  -DQUILLON_SANITIZE=address,undefined \
  -DPython_EXECUTABLE="$PYTHON_PATH" >/dev/null
cmake --build "$BUILD_DIR" --target quillon -j "$JOBS"

# A directory holding nothing but the instrumented module.
stage="$BUILD_DIR/python"
rm -rf "$stage"
mkdir -p "$stage"
module=$(ls "$BUILD_DIR"/quillon*.so)
ln -s "$(realpath "$module")" "$stage/"

asan_runtime=$(gcc -print-file-name=libasan.so)
ubsan_runtime=$(gcc -print-file-name=libubsan.so)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

sanitized=(env PYTHONPATH="$stage" PYTHONMALLOC=malloc
  LD_PRELOAD="$asan_runtime $ubsan_runtime"
  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:strict_string_checks=1:check_initialization_order=1
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  QUILLON_STRESS_SECONDS="${QUILLON_STRESS_SECONDS:-2}"
  QUILLON_FUZZ_EXAMPLES="${QUILLON_FUZZ_EXAMPLES:-150}")

"${sanitized[@]}" "$PYTHON" -c '
import os, sys, quillon
if os.path.dirname(os.path.abspath(quillon.__file__)) != os.path.abspath(sys.argv[1]):
    sys.exit("imported " + quillon.__file__ + ", not the instrumented module")
' "$stage"

status=0
# shellcheck disable=SC2086
"${sanitized[@]}" "$PYTHON" -m pytest -q -p no:cacheprovider tests/python tests/stress ${PYTEST_ARGS:-} 2>&1 \
  | tee "$log" || status=$?

if grep -qE "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: (Address|UndefinedBehavior)Sanitizer" "$log"; then
  echo "python_sanitize: sanitizer report above" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "python_sanitize: tests failed (exit status $status)" >&2
  exit "$status"
fi
echo "python_sanitize: no sanitizer reports"
