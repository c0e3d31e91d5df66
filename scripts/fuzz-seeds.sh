#!/usr/bin/env bash
# Seeds for the fuzzers: the real GNU-built inputs of the tree, each once per
# command line of the run harness (its first byte picks the command line).
#   fuzz-seeds.sh OUTDIR [FIXTUREDIR]
# FIXTUREDIR adds the ELF files linked there (build/fixtures: exports, calls
# into other modules, small data, TLS, both byte orders).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$1
extra=${2:-}
mkdir -p "$out/reader" "$out/run" "$out/dump" "$out/deflate" "$out/deflate_split"
n=0
for elf in "$top/examples/demo.elf" "$top"/tests/fixtures/*/*.elf "$top"/tests/fixtures/*.elf ${extra:+"$extra"/*.elf}; do
  [ -f "$elf" ] || continue
  cp "$elf" "$out/reader/seed-$n"
  for pick in 0 1 2 3 4 5 6 7; do
    { printf "\\x0$pick"; cat "$elf"; } > "$out/run/seed-$n-$pick"
  done
  # The deflate harness: a level byte, a tiling byte, then the bytes.
  for pick in 1 6 9; do
    { printf "\\x0$pick\\x00"; head -c 60000 "$elf"; } > "$out/deflate/seed-$n-$pick"
    { printf "\\x0$pick\\xa0"; head -c 3000 "$elf"; } > "$out/deflate/seed-$n-$pick-tiled"
    { printf "\\x0$pick\\x0$pick\\x01\\xff"; head -c 40000 "$elf"; } > "$out/deflate_split/seed-$n-$pick"
  done
  n=$((n + 1))
done
# The minimised findings of earlier campaigns, for their own harness.
for bin in "$top"/tests/fixtures/regressions/*.bin; do
  [ -f "$bin" ] || continue
  case $(basename "$bin") in
    reader-*) cp "$bin" "$out/reader/" ;;
    run-*) cp "$bin" "$out/run/" ;;
    deflate-*) cp "$bin" "$out/deflate/" ;;
    deflate_split-*) cp "$bin" "$out/deflate_split/" ;;
  esac
done
# Modules and import libraries for the dump harness, made by a built qdlgen
# (QDLGEN, or build/qdlgen) from the same inputs, compressed and stored.
tool=${QDLGEN:-$top/build/qdlgen}
if [ -x "$tool" ]; then
  work=$(mktemp -d)
  n=0
  for elf in "$top/examples/demo.elf" "$top"/tests/fixtures/*/*.elf ${extra:+"$extra"/*.elf}; do
    [ -f "$elf" ] || continue
    for opts in "" "-zx"; do
      rm -rf "$work"/*
      cp "$elf" "$work/in.elf"
      (cd "$work" && TARN_ROOT="$top/examples/sdk" GHS_ROOT="$top/examples/ghs" "$tool" $opts in.elf >/dev/null 2>&1) || true
      for made in "$work"/in.qdl "$work"/in.qdx "$work"/in.a; do
        [ -f "$made" ] && cp "$made" "$out/dump/seed-$n-$(basename "$made")"
      done
      n=$((n + 1))
    done
  done
  rm -rf "$work"
fi
