#!/usr/bin/env bash
# A long fuzz campaign: scripts/fuzz-long.sh SECONDS [reader|run|dump|deflate|deflate_split] [WORKERS]
# The corpus grows in build-fuzz/corpus-<harness> and is kept between runs;
# findings land in build-fuzz/artifacts/, the log in build-fuzz/logs-<harness>/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3600}
harness=${2:-run}
workers=${3:-2}
build="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DQDLGEN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_reader fuzz_run fuzz_dump fuzz_deflate fuzz_deflate_split
"$top/scripts/fuzz-seeds.sh" "$build/seeds" "$top/build/fixtures"
mkdir -p "$build/corpus-$harness" "$build/artifacts" "$build/logs-$harness"
cd "$build/logs-$harness"
# Fork mode keeps fuzzing after a finding: every crash, timeout or memory
# blow-up is written to artifacts/ and the campaign goes on to its end.
nice -n 19 "$build/fuzz/fuzz_$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -dict="$top/fuzz/qdl.dict" -artifact_prefix="$build/artifacts/" -fork="$workers" \
  -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 -print_final_stats=1 \
  "$build/corpus-$harness" "$build/seeds/$harness" > "fuzz-$(date +%Y%m%d-%H%M%S).log" 2>&1
