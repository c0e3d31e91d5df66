#!/usr/bin/env bash
# The reasons of skipped tests, read from a ctest log as ctest 3.25 writes it.
source "$(dirname "$0")/assert.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/LastTest.log" <<'LOG'
Start testing: Dec 09 18:55 UTC
----------------------------------------------------------
1/4 Testing: Files.Unreadable
1/4 Test: Files.Unreadable
Command: "/b/qdlgen_tests" "--gtest_filter=Files.Unreadable"
Output:
----------------------------------------------------------
Running main() from gmock_main.cc
[ RUN      ] Files.Unreadable
/src/tests/FilesTest.cpp:80: Skipped
root reads every file

[  SKIPPED ] Files.Unreadable (0 ms)
<end of output>
Test time =   0.01 sec
----------------------------------------------------------
Test Pass Reason:
Skip regular expression found in output. Regex=[\[  SKIPPED \]]
----------------------------------------------------------

2/4 Testing: Files.Readable
2/4 Test: Files.Readable
Output:
----------------------------------------------------------
[ RUN      ] Files.Readable
/src/tests/FilesTest.cpp:90: Skipped
a message of a test that then passed is no skip
[       OK ] Files.Readable (0 ms)
<end of output>
Test Passed.
----------------------------------------------------------

3/4 Testing: Toolchain.Missing
3/4 Test: Toolchain.Missing
Output:
----------------------------------------------------------
[ RUN      ] Toolchain.Missing
/src/tests/ToolchainTest.cpp:12: Skipped
the toolchain
is not installed
[  SKIPPED ] Toolchain.Missing (0 ms)
<end of output>
Test Pass Reason:
Skip regular expression found in output. Regex=[\[  SKIPPED \]]
----------------------------------------------------------

4/4 Testing: Bare.Skip
4/4 Test: Bare.Skip
Output:
----------------------------------------------------------
[ RUN      ] Bare.Skip
/src/tests/BareTest.cpp:5: Skipped

[  SKIPPED ] Bare.Skip (0 ms)
<end of output>
Test Pass Reason:
Skip regular expression found in output. Regex=[\[  SKIPPED \]]
End testing: Dec 09 18:55 UTC
LOG
expected=$(printf '%s\n' \
  'Skipped Files.Unreadable: root reads every file' \
  'Skipped Toolchain.Missing: the toolchain is not installed' \
  'Skipped Bare.Skip: (no reason given)')
out=$(sh "$top/tests/skip-reasons.sh" "$work")
expectEq "one line per skipped test, with its reason" "$out" "$expected"

# While ctest runs the log of this run is LastTest.log.tmp; LastTest.log is
# the previous run's.
mv "$work/LastTest.log" "$work/LastTest.log.tmp"
printf '1/1 Test: Old.Skip\nSkip regular expression found in output.\n' >"$work/LastTest.log"
out=$(sh "$top/tests/skip-reasons.sh" "$work")
expectEq "the log of the running ctest is read" "$out" "$expected"

status=0
out=$(sh "$top/tests/skip-reasons.sh" "$work/no-such-dir") || status=$?
expectEq "no log: nothing printed" "$out" ""
expectEq "no log: exit 0 (ctest reports a failing post-test command)" "$status" 0
finish
