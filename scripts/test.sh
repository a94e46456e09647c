#!/usr/bin/env bash
# Builds the project and runs every test: the GoogleTest suite and the pytest suite.
# The last line is a machine-readable summary of the individual tests of both suites:
#   "TESTS PASSED: ran N, passed N, failed 0, skipped N" or "TESTS FAILED: ran N, passed N, failed N, skipped N".
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARNWICK_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh" "$build" || { echo "TESTS FAILED: build failed"; exit 1; }
cd "$build"
reports="$build/test-reports"
rm -rf "$reports" && mkdir -p "$reports"
# Both runners write JUnit XML, which the summary counts.
GTEST_OUTPUT="xml:$reports/gtest.xml" PYTEST_ADDOPTS="--junitxml=$reports/pytest.xml ${PYTEST_ADDOPTS:-}" \
  ctest --output-on-failure "$@"
status=$?
counts="$(/usr/bin/python3 - "$reports" <<'PY'
import glob, sys
import xml.etree.ElementTree as ET
ran = failed = skipped = 0
for path in glob.glob(sys.argv[1] + "/*.xml"):
    for case in ET.parse(path).getroot().iter("testcase"):
        ran += 1
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("result") == "skipped" or case.get("status") == "notrun":
            skipped += 1
print(f"ran {ran}, passed {ran - failed - skipped}, failed {failed}, skipped {skipped}")
PY
)"
if [ "$status" -eq 0 ]; then
  echo "TESTS PASSED: $counts"
else
  echo "TESTS FAILED: $counts (see the output above)"
  exit 1
fi
