#!/usr/bin/env bash
# A bounded fuzz run for CI: builds the fuzzers and runs each for a fixed
# number of inputs from the seed corpus; any crash, hang, leak or sanitizer
# report fails.
#
# A fixed seed and a fixed number of runs make the run repeatable: the same
# inputs are tried on every machine, so a clean run stays clean and a finding
# is found again by running the same command. The time limit only guards
# against a machine so slow that the runs would not end in CI's time; when it
# cuts a harness short, the run says so.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-120}
seed=${FUZZ_SEED:-1}
# About 15 to 25 seconds each on an idle 2-core machine.
runsFor() {
  case $1 in
    reader) echo 400000 ;;
    run) echo 20000 ;;
    dump) echo 15000 ;;
    deflate) echo 2000 ;;
    deflate_split) echo 250 ;;
  esac
}
build="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DQDLGEN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_reader fuzz_run fuzz_dump fuzz_deflate fuzz_deflate_split
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$top/scripts/fuzz-seeds.sh" "$work/seeds"
for harness in reader run dump deflate deflate_split; do
  mkdir -p "$work/corpus-$harness"
  runs=$(runsFor "$harness")
  echo "fuzz_$harness: $runs runs, seed $seed"
  "$build/fuzz/fuzz_$harness" -max_total_time="$seconds" -seed="$seed" -runs="$runs" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -dict="$top/fuzz/qdl.dict" -artifact_prefix="$work/" -print_final_stats=1 \
    "$work/corpus-$harness" "$work/seeds/$harness" >"$work/log-$harness" 2>&1 || {
      tail -60 "$work/log-$harness"
      mkdir -p "$top/build-fuzz/artifacts" && cp "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$top/build-fuzz/artifacts/" 2>/dev/null || true
      echo "fuzz_$harness found a problem"
      exit 1
    }
  grep -E "stat::number_of_executed_units|cov:" "$work/log-$harness" | tail -2
  if grep -q "Done [0-9]* runs in" "$work/log-$harness"; then :; else
    echo "fuzz_$harness: stopped by the ${seconds} s limit before its $runs runs"
  fi
done
echo "fuzz smoke run: no findings"
