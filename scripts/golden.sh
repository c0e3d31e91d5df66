#!/usr/bin/env bash
# Golden output of a qdlgen binary, for refactors that must not change
# behaviour.
#
#   scripts/golden.sh save QDLGEN OUTDIR [FIXTURE_DIR]
#       runs QDLGEN over every linked test fixture, the bundled example and
#       the fuzz regression inputs with a spread of options, and saves each
#       run's standard output, exit status, module and library bytes and any
#       file left behind into OUTDIR (one directory per run).
#   scripts/golden.sh compare DIR1 DIR2
#       compares two saved directories; exits 0 when they are identical.
#
# Runs take place in one fixed scratch directory (GOLDEN_SCRATCH, default
# /tmp/qdlgen-golden-$USER) so the full paths stored in FileInfo and printed
# in messages are the same for every binary compared; the program runs under
# the name "qdlgen" (its failure banner prints it). The build date and time in
# the usage text are replaced by a fixed word.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)

save() {
    local tool=$1 out=$2 fixtures=${3:-$top/build/fixtures}
    tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")
    local scratch=${GOLDEN_SCRATCH:-/tmp/qdlgen-golden-${USER:-user}}
    [ -d "$fixtures" ] || { echo "no fixture directory $fixtures" >&2; exit 2; }
    rm -rf "$out" && mkdir -p "$out"
    out=$(cd "$out" && pwd)
    export TARN_ROOT="$top/examples/sdk" GHS_ROOT="$top/examples/ghs" SOURCE_DATE_EPOCH=1700000000

    local inputs=("$fixtures"/*.elf "$top/examples/demo.elf")
    local options=("" "-z1" "-z2" "-z3" "-z4" "-z5" "-z6" "-z7" "-z8" "-z9" "-zx" "-f" "-old"
                   "-old -s" "-v" "-nolib" "-new" "-checknosda" "-d -h 100000 -stack 4096"
                   "-padall 20" "-sizedata 4096 -sizetext 8192 -sizeload 4096 -sizetemp 1024"
                   "-sizefileinfo 256 -t a=b -t cc=dd" "-x32 -warnemptyrela -v2 -v3"
                   "-dbg_source_root c:/src -l lib.a")
    local n=0 input opts
    for input in "${inputs[@]}"; do
        for opts in "${options[@]}"; do
            # shellcheck disable=SC2086
            runOne "$tool" "$out" "$scratch" "$input" $(printf '%s' "$opts")
            n=$((n + 1))
        done
    done
    # Inputs and command lines that fail.
    for input in "$top"/tests/fixtures/regressions/*.bin; do
        runOne "$tool" "$out" "$scratch" "$input"
        runOne "$tool" "$out" "$scratch" "$input" -old -s
        n=$((n + 2))
    done
    runOne "$tool" "$out" "$scratch" "$top/examples/demo.elf" -z0
    runOne "$tool" "$out" "$scratch" "$top/examples/demo.elf" -sizedata 10
    runOne "$tool" "$out" "$scratch" "$top/examples/demo.elf" -padall 10 -sizedata 1 -sizetext 1 -sizeload 1 -sizetemp 1
    runOne "$tool" "$out" "$scratch" "$top/examples/demo.elf" -bogus
    runOne "$tool" "$out" "$scratch" "$top/examples/demo.elf" "$top/examples/demo.elf"
    runOne "$tool" "$out" "$scratch" "$top/examples/demo.c"
    runOne "$tool" "$out" "$scratch" /nonexistent/file.elf
    runNoInput "$tool" "$out" "$scratch"
    TARN_ROOT= runOne "$tool" "$out" "$scratch" "$top/examples/demo.elf"
    n=$((n + 9))
    rm -rf "$scratch"
    echo "saved $n runs into $out"
}

# One run: INPUT is copied into the scratch directory and converted there.
runOne() {
    local tool=$1 out=$2 scratch=$3 input=$4
    shift 4
    local name
    name=$(basename "$input")
    local id="${name}__$(printf '%s' "$*" | tr ' /=' '__+')"
    [ -n "$*" ] || id="${name}__default"
    [ "$input" = /nonexistent/file.elf ] && name=/nonexistent/file.elf
    [ -z "${TARN_ROOT:-}" ] && id="${id}__notarnroot"
    rm -rf "$scratch" && mkdir -p "$scratch"
    local arg=$name
    if [ -f "$input" ]; then cp "$input" "$scratch/$name"; arg="$scratch/$name"; fi
    local args=()
    local a
    for a in "$@"; do
        if [ "$a" = "$top/examples/demo.elf" ]; then args+=("$scratch/$name"); else args+=("$a"); fi
    done
    (cd "$scratch" && exec -a qdlgen "$tool" "${args[@]}" "$arg" > "$scratch/.stdout")
    echo $? > "$scratch/.status"
    collect "$out/$id" "$scratch"
}

runNoInput() {
    local tool=$1 out=$2 scratch=$3
    rm -rf "$scratch" && mkdir -p "$scratch"
    (cd "$scratch" && exec -a qdlgen "$tool" -v > "$scratch/.stdout")
    echo $? > "$scratch/.status"
    collect "$out/no-input" "$scratch"
}

collect() {
    local dir=$1 scratch=$2
    mkdir -p "$dir"
    sed -E 's/\(QDL v1\.0 [A-Z][a-z]{2} [ 0-9]{2} [0-9]{4} [0-9:]{8}\)/(QDL v1.0 BUILD-TIME)/' \
        "$scratch/.stdout" > "$dir/stdout"
    cp "$scratch/.status" "$dir/status"
    (cd "$scratch" && find . -type f ! -name '.stdout' ! -name '.status' | sort) > "$dir/files"
    local f
    for f in "$scratch"/*.qdl "$scratch"/*.qdx "$scratch"/*.a; do
        [ -f "$f" ] && cp "$f" "$dir/"
    done
    return 0
}

compare() {
    if diff -r "$1" "$2" > /dev/null; then
        echo "identical: $(find "$1" -mindepth 1 -maxdepth 1 -type d | wc -l) runs"
        return 0
    fi
    diff -rq "$1" "$2" | head -50
    return 1
}

case "${1:-}" in
save) shift; save "$@" ;;
compare) shift; compare "$@" ;;
*) sed -n '2,17p' "$0"; exit 2 ;;
esac
