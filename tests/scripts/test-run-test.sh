#!/usr/bin/env bash
# scripts/test as CI sees it: ctest's closing summary of both builds on the
# terminal, the failures named, a non-zero exit when a build's tests fail or
# the fuzz run finds something. cmake, ctest and the installer are stand-ins.
source "$(dirname "$0")/assert.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/scripts" "$work/bin"
cp "$top/scripts/test" "$top/scripts/steps.sh" "$work/tree/scripts/"
printf '#!/bin/sh\necho "installer $*"\n' >"$work/tree/scripts/install-deps.sh"
printf '#!/bin/sh\necho "fuzz_run: 60s"\n[ -e "$WORK/fuzz-fails" ] && exit 1\necho "fuzz smoke run: no findings"\n' \
  >"$work/tree/scripts/fuzz-smoke.sh"
printf '#!/bin/sh\necho "cmake $*"\n' >"$work/bin/cmake"
# ctest fails in the build named in $WORK/failing.
cat >"$work/bin/ctest" <<'STUB'
#!/bin/sh
dir=$2
for i in $(seq 1 30); do echo "$i/30 Test #$i: Suite.Case$i ... Passed"; done
echo
if [ "$(cat "$WORK/failing" 2>/dev/null)" = "$(basename "$dir")" ]; then
  echo "97% tests passed, 1 tests failed out of 30"
  echo
  echo "The following tests FAILED:"
  echo "	 7 - Suite.Case7 (Failed)"
  echo "Errors while running CTest"
  exit 8
fi
echo "100% tests passed, 0 tests failed out of 30"
echo
echo "Total Test time (real) =   1.00 sec"
STUB
chmod +x "$work/bin"/* "$work/tree/scripts"/*
export WORK=$work PATH="$work/bin:$PATH"

run() { status=0; out=$("$work/tree/scripts/test" 2>&1) || status=$?; }

run
expectEq "all pass: exit 0" "$status" 0
expectEq "all pass: both summaries" "$(grep -c '^100% tests passed, 0 tests failed out of 30$' <<<"$out")" 2
expectMatch "all pass: the fuzz result" "$out" '^  fuzz smoke run: no findings$'
expectMatch "all pass: closing line" "$out" '^test: all 6 steps passed in [0-9]+ s$'
expectEq "all pass: as many step lines as steps" "$(grep -c '^\[[1-6]/6\] ' <<<"$out")" 6
expectNoMatch "all pass: no test chatter" "$out" 'Suite.Case'
expectEq "all pass: short" "$(wc -l <<<"$out")" 13

echo build >"$work/failing"
run
expectEq "release fails: exit 1" "$status" 1
expectMatch "release fails: its summary" "$out" '^97% tests passed, 1 tests failed out of 30$'
expectMatch "release fails: the failed test" "$out" 'Suite.Case7 \(Failed\)$'
expectMatch "release fails: the log named" "$out" '^test: step "ctest \(release\)" failed with exit status 8; its log is build/logs/test/03-ctest-release.log$'
expectMatch "release fails: the sanitizer build still runs" "$out" '^100% tests passed, 0 tests failed out of 30$'
expectMatch "release fails: closing line" "$out" '^test: FAILED in [0-9]+ s: "ctest \(release\)"$'

echo build-asan >"$work/failing"
touch "$work/fuzz-fails"
run
expectEq "sanitizer build and fuzz fail: exit 1" "$status" 1
expectMatch "sanitizer build and fuzz fail: both named" "$out" '^test: FAILED in [0-9]+ s: "ctest \(ASan\+UBSan\)", "fuzz smoke run \(fixed runs per fuzzer\)"$'
finish
