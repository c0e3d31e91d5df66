#!/usr/bin/env bash
# Converts the bundled example with -v: the module and its import library
# are written into BUILD/demo.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/$build/demo"
mkdir -p "$out"
cp "$top/examples/demo.elf" "$out/demo.elf"
export TARN_ROOT="$top/examples/sdk"
export GHS_ROOT="$top/examples/ghs"
set +e
"$top/$build/qdlgen" -v "$out/demo.elf"
status=$?
set -e
echo
echo "qdlgen exited with $status; output in $out:"
ls -l "$out"
exit $status
