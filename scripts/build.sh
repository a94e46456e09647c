#!/usr/bin/env bash
# Configures (once) and builds the project. Usage: scripts/build.sh [BUILD_DIR] [extra cmake args...]
# TARNWICK_BUILD_TARGET=name builds one target only (scripts/run.sh builds just the Python module).
# The extension is built for the Debian CPython 3.11 (/usr/bin/python3), whose pytest runs the tests;
# the same module also loads in any other CPython 3.11.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
py="${TARNWICK_PYTHON:-/usr/bin/python3}"
[ -x "$py" ] || py="$(command -v python3)"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DPython3_EXECUTABLE="$py" "$@" >/dev/null
fi
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" ${TARNWICK_BUILD_TARGET:+--target "$TARNWICK_BUILD_TARGET"}
