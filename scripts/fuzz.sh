#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs each
# for a while on a corpus seeded from the examples, benchmarks and fuzz/seeds.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]      e.g. scripts/fuzz.sh 60 fuzz_lexer
# Crashes are written to build-fuzz/crashes/; turn each into a regression test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARNWICK_FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${1:-30}"
shift || true
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNWICK_FUZZ=ON -DTARNWICK_SANITIZE=ON -DTARNWICK_TESTS=OFF -DTARNWICK_PYTHON=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

mkdir -p "$build/crashes"
status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  # Seeds: committed per-target seeds, and for source-based targets every script we have.
  [ -d "$root/fuzz/seeds/$t" ] && cp -n "$root/fuzz/seeds/$t"/* "$corpus"/ 2>/dev/null || true
  case "$t" in
    fuzz_lexer|fuzz_compiler|fuzz_pipeline)
      for f in "$root"/examples/*.tw "$root"/bench/programs/*.tw "$root"/fuzz/seeds/scripts/*.tw; do
        [ -f "$f" ] && cp -n "$f" "$corpus/$(basename "$f")" || true
      done ;;
  esac
  echo "== $t (${seconds}s)"
  if ! ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$build/$t" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -timeout=10 \
      -artifact_prefix="$build/crashes/$t-" -print_final_stats=1 "$corpus" 2>"$build/$t.log"; then
    echo "   FAILED: see $build/$t.log and $build/crashes/"
    tail -n 30 "$build/$t.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$build/$t.log" | tail -n 2 | sed 's/^/   /'
  fi
done
exit $status
