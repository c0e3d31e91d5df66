#!/bin/sh
# Prints why each skipped test skipped: ctest shows only "***Skipped", and the
# reason that GTEST_SKIP() gave is left in ctest's log. ctest runs this after
# the tests (CTEST_CUSTOM_POST_TEST in the build's CTestCustom.cmake):
#   skip-reasons.sh BUILD/Testing/Temporary
# While it runs, ctest is still writing this run's log as LastTest.log.tmp
# (renamed to LastTest.log when ctest ends); LastTest.log is then the
# previous run's.
dir=${1:?usage: skip-reasons.sh BUILD/Testing/Temporary}
log=$dir/LastTest.log.tmp
[ -r "$log" ] || log=$dir/LastTest.log
[ -r "$log" ] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); reason = ""; inOutput = 0; inReason = 0; next }
  /^Output:$/ { inOutput = 1; next }
  /^<end of output>$/ { inOutput = 0; inReason = 0; next }
  inOutput && /: Skipped$/ { inReason = 1; next }
  inReason && (/^$/ || /^\[  SKIPPED \]/) { inReason = 0; next }
  inReason { reason = (reason == "" ? $0 : reason " " $0); next }
  /^Skip regular expression found in output/ {
    printf "Skipped %s: %s\n", name, (reason == "" ? "(no reason given)" : reason)
  }
' "$log"
exit 0
