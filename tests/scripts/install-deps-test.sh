#!/usr/bin/env bash
# The installer's arguments, and that it installs only what is missing:
# dpkg-query, apt-get and sudo are stand-ins that record their calls.
source "$(dirname "$0")/assert.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# dpkg-query answers "installed" except for the packages in $work/missing.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
package=$(eval echo "\${$#}")
grep -qx "$package" "$WORK/missing" 2>/dev/null && exit 1
printf 'install ok installed'
STUB
printf '#!/bin/sh\necho "apt-get $*" >>"$WORK/calls"\n' >"$work/bin/apt-get"
printf '#!/bin/sh\necho "sudo $*" >>"$WORK/calls"\n"$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin"/*
export WORK=$work PATH="$work/bin:$PATH"
installer=$top/scripts/install-deps.sh

run() {  # run ARGS...: sets out, status, calls
  rm -f "$work/calls"
  status=0
  out=$("$installer" "$@" 2>&1) || status=$?
  calls=$(cat "$work/calls" 2>/dev/null || true)
}

for args in "" "--bogus" "--demo --test" "-d" "demo"; do
  # shellcheck disable=SC2086
  run $args
  expectEq "exit status for '$args'" "$status" 2
  expectMatch "usage line for '$args'" "$out" '^usage: install-deps.sh --demo \| --test \| --package \| --help$'
  expectEq "no apt-get call for '$args'" "$calls" ""
done

run --help
expectEq "--help exits 0" "$status" 0
for option in --demo --test --package --help; do
  expectMatch "--help describes $option" "$out" "^  $option "
done
expectEq "--help installs nothing" "$calls" ""

: >"$work/missing"
run --test
expectEq "all installed: exit 0" "$status" 0
expectMatch "all installed: says so" "$out" '^All .* are installed\.$'
expectEq "all installed: no apt-get call, no update" "$calls" ""

printf 'zlib1g-dev\ngcc-powerpc-linux-gnu\nclang\n' >"$work/missing"
run --demo
expectEq "demo: exit 0" "$status" 0
expectEq "demo: only its missing package" "$(grep -c install <<<"$calls")" 1
expectMatch "demo: lists are refreshed first" "$(head -1 <<<"$calls")" '(^| )apt-get update -qq$'
expectMatch "demo: installs zlib1g-dev alone" "$calls" 'apt-get install .* zlib1g-dev$'
expectNoMatch "demo: no cross compiler, no clang" "$calls" 'gcc-powerpc|clang'

run --test
expectMatch "test: installs the three missing ones" "$calls" 'apt-get install .* zlib1g-dev gcc-powerpc-linux-gnu clang$'
expectMatch "test: quiet apt" "$calls" 'install -y -qq --no-install-recommends'

QDLGEN_FUZZ_DEPS=0 run --test
expectMatch "test without fuzz packages: no clang" "$calls" 'apt-get install .* zlib1g-dev gcc-powerpc-linux-gnu$'

printf 'dpkg-dev\n' >"$work/missing"
run --package
expectMatch "package: dpkg-dev" "$calls" 'apt-get install .* dpkg-dev$'
finish
