#!/usr/bin/env bash
# Builds the project (when needed) and runs the tarnwick command line with the built modules:
#   scripts/run.sh examples/tour.tw        run a script
#   scripts/run.sh tokens FILE             any other subcommand of `python3 -m tarnwick`
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARNWICK_BUILD_DIR:-$root/build}"
TARNWICK_BUILD_TARGET=tarnwick_module "$root/scripts/build.sh" "$build" >/dev/null
export PYTHONPATH="$build/python:$root${PYTHONPATH:+:$PYTHONPATH}"
exec "${TARNWICK_PYTHON:-python3}" -m tarnwick "$@"
