#!/usr/bin/env bash
# The bash completions of qdlgen and qdldump: options, the files and
# directories their arguments take, the loader tag names of the SDK root.
source "$(dirname "$0")/assert.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p dir sdk/system/include
touch app.elf "with space.elf" mod.qdl lib.qdx imports.a notes.txt
printf '# tags\nSDK_VERSION=1\n  HEAP_TAG=3   # comment\nnot a tag\n' >sdk/system/include/qdl_tags.txt
source "$top/completions/qdlgen"
source "$top/completions/qdldump"

complete_() {  # complete_ FUNCTION WORD... : the candidates for the last word, sorted, one per line
  local function=$1; shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  "$function"
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
}
lines() { printf '%s\n' "$@"; }

expectEq "qdlgen: -s options" "$(complete_ _qdlgen qdlgen -s)" \
  "$(lines -s -sizedata -sizefileinfo -sizeload -sizetemp -sizetext -stack)"
expectEq "qdlgen: every option of the usage text" "$(complete_ _qdlgen qdlgen - | wc -l)" 30
expectEq "qdlgen: -z levels" "$(complete_ _qdlgen qdlgen -z | tr '\n' ' ')" "-z1 -z2 -z3 -z4 -z5 -z6 -z7 -z8 -z9 -zx "
expectEq "qdlgen: input files, spaces kept" "$(complete_ _qdlgen qdlgen -v w)" "with space.elf"
expectEq "qdlgen: -l takes a file" "$(complete_ _qdlgen qdlgen -l no)" "notes.txt"
expectEq "qdlgen: -dbg_source_root takes a directory" "$(complete_ _qdlgen qdlgen -dbg_source_root d)" "dir"
expectEq "qdlgen: a number after -stack" "$(complete_ _qdlgen qdlgen -stack "")" ""
expectEq "qdlgen: -t without TARN_ROOT" "$(complete_ _qdlgen qdlgen -t "")" ""
expectEq "qdlgen: -t takes the SDK's tag names" "$(TARN_ROOT=$work/sdk complete_ _qdlgen qdlgen -t "")" \
  "$(lines HEAP_TAG= SDK_VERSION=)"

expectEq "qdldump: modules, libraries, directories" "$(complete_ _qdldump qdldump "")" \
  "$(lines dir imports.a lib.qdx mod.qdl sdk)"
expectEq "qdldump: long options" "$(complete_ _qdldump qdldump --)" \
  "$(lines --check --diff --extract= --help --json --output= --unpack= --version)"
expectEq "qdldump: short options" "$(complete_ _qdldump qdldump - | grep '^-[a-zA-Z]$' | tr '\n' ' ')" "-V -c -h -j -o -u -x "
expectEq "qdldump: --unpack=FILE split at =" "$(complete_ _qdldump qdldump --unpack = no)" "notes.txt"
expectEq "qdldump: --unpack=FILE in one word" "$(complete_ _qdldump qdldump --unpack=no)" "--unpack=notes.txt"
expectEq "qdldump: -o takes any file" "$(complete_ _qdldump qdldump -o n)" "notes.txt"
expectEq "qdldump: --output=FILE" "$(complete_ _qdldump qdldump -x .text --output = n)" "notes.txt"
expectEq "qdldump: --diff takes modules" "$(complete_ _qdldump qdldump --diff mod.qdl l)" "lib.qdx"
expectEq "qdldump: a section name after -x" "$(complete_ _qdldump qdldump -x "")" ""
finish
