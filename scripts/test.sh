#!/usr/bin/env bash
# Builds the project and runs every test: the GoogleTest suite and the pytest suite.
# The last line is a machine-readable summary: "TESTS PASSED: ..." or "TESTS FAILED: ...".
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARNWICK_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh" "$build" || { echo "TESTS FAILED: build failed"; exit 1; }
cd "$build"
if ctest --output-on-failure "$@"; then
  echo "TESTS PASSED: $(ctest -N | tail -n1)"
else
  echo "TESTS FAILED: see the output above"
  exit 1
fi
