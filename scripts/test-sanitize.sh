#!/usr/bin/env bash
# Builds with AddressSanitizer + UndefinedBehaviorSanitizer and runs the whole suite: the C++ tests
# (leak detection on) and pytest with the sanitizer runtime preloaded into the Python interpreter.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARNWICK_ASAN_BUILD_DIR:-$root/build-asan}"
"$root/scripts/build.sh" "$build" -DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
  || { echo "TESTS FAILED: sanitizer build failed"; exit 1; }
status=0
UBSAN_OPTIONS=print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 "$build/tarnwick_tests" --gtest_brief=1 || status=1
asan_rt="$(gcc -print-file-name=libasan.so)"
ubsan_rt="$(gcc -print-file-name=libubsan.so)"
PYTHONMALLOC=malloc LD_PRELOAD="$asan_rt:$ubsan_rt" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  PYTHONPATH="$build/python:$root" TARNWICK_BUILD_DIR="$build" TARNWICK_SANITIZED=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/tests/python" || status=1
if [ $status -eq 0 ]; then echo "SANITIZED TESTS PASSED"; else echo "SANITIZED TESTS FAILED"; fi
exit $status
