#!/usr/bin/env bash
# Builds the C++ tests with ThreadSanitizer and runs those that put runtimes on several threads at once.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARNWICK_TSAN_BUILD_DIR:-$root/build-tsan}"
TARNWICK_BUILD_TARGET=tarnwick_tests "$root/scripts/build.sh" "$build" -DTARNWICK_TSAN=ON -DTARNWICK_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo || { echo "TSAN TESTS FAILED: build failed"; exit 1; }
if TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$build/tarnwick_tests" --gtest_brief=1 \
    --gtest_filter='RuntimeThreads.*'; then
  echo "TSAN TESTS PASSED"
else
  echo "TSAN TESTS FAILED"
  exit 1
fi
