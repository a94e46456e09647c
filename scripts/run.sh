#!/usr/bin/env bash
# Builds the project (when needed) and runs the tarnwick command line with the built modules:
#   scripts/run.sh examples/tour.tw        run a script
#   scripts/run.sh tokens FILE             any other subcommand of `python3 -m tarnwick`
# Build progress goes to standard error, and only when something is compiled; the script's own output
# stays alone on standard output.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARNWICK_BUILD_DIR:-$root/build}"
if ! compgen -G "$build/python/tarnwick_parser*.so" >/dev/null; then
  echo "tarnwick: building the engine in $build (the first time takes a few minutes)..." >&2
fi
TARNWICK_BUILD_TARGET=tarnwick_module "$root/scripts/build.sh" "$build" 2>&1 \
  | { grep --line-buffered -E '^\[ *[0-9]+%\] (Building|Linking)|error|warning' || true; } >&2
export PYTHONPATH="$build/python:$root${PYTHONPATH:+:$PYTHONPATH}"
exec "${TARNWICK_PYTHON:-python3}" -m tarnwick "$@"
