#!/usr/bin/env bash
# A bounded fuzz run for CI: builds the fuzzers and runs each for a short
# time from the seed corpus; any crash, hang, leak or sanitizer report fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-30}
# A fixed seed and a bounded number of runs keep the CI run repeatable.
seed=${FUZZ_SEED:-1}
build="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DQDLGEN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_reader fuzz_run fuzz_dump fuzz_deflate fuzz_deflate_split
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$top/scripts/fuzz-seeds.sh" "$work/seeds"
for harness in reader run dump deflate deflate_split; do
  mkdir -p "$work/corpus-$harness"
  echo "fuzz_$harness: ${seconds}s"
  "$build/fuzz/fuzz_$harness" -max_total_time="$seconds" -seed="$seed" -runs="$(case $harness in reader) echo 2000000 ;; dump) echo 300000 ;; *) echo 30000 ;; esac)" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -dict="$top/fuzz/qdl.dict" -artifact_prefix="$work/" -print_final_stats=1 \
    "$work/corpus-$harness" "$work/seeds/$harness" >"$work/log-$harness" 2>&1 || {
      tail -60 "$work/log-$harness"
      mkdir -p "$top/build-fuzz/artifacts" && cp "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$top/build-fuzz/artifacts/" 2>/dev/null || true
      echo "fuzz_$harness found a problem"
      exit 1
    }
  grep -E "stat::number_of_executed_units|cov:" "$work/log-$harness" | tail -2
done
echo "fuzz smoke run: no findings"
