#!/usr/bin/env bash
# The step runner of scripts/demo and scripts/test: one line per step, the
# commands' output kept in the step's log, a failed step named with its log
# and the log's tail; a failed check lets the run go on but fails it.
source "$(dirname "$0")/assert.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A copy of the runner in a tree of its own, so its logs land in $work/build.
mkdir -p "$work/scripts"
cp "$top/scripts/steps.sh" "$work/scripts/"

runSteps() {  # runSteps BODY: runs BODY after sourcing the runner; sets out, status
  status=0
  out=$(bash -c "source '$work/scripts/steps.sh'; $1" 2>&1) || status=$?
}

runSteps 'stepsBegin trial 2
runStep "first step" sh -c "echo chatter; echo more chatter >&2"
runStep "second step" true
stepsEnd'
expectEq "passing run: exit 0" "$status" 0
expectEq "passing run: four lines" "$(wc -l <<<"$out")" 4
expectMatch "passing run: header names the logs" "$out" '^trial: 2 steps, logs in build/logs/trial/$'
expectMatch "passing run: step line" "$out" '^\[1/2\] first step \.\.\. ok \([0-9]+ s\)$'
expectMatch "passing run: closing line" "$out" '^trial: all 2 steps passed in [0-9]+ s$'
expectNoMatch "passing run: no chatter on the terminal" "$out" 'chatter'
log=$work/build/logs/trial/01-first-step.log
expectEq "the step's output in its log" "$(cat "$log" 2>&1)" "$(printf 'chatter\nmore chatter')"

runSteps 'stepsBegin trial 3
runStep "build it" sh -c "seq 1 40; exit 3"
runStep "never reached" true'
expectEq "failed step: exit 1" "$status" 1
expectMatch "failed step: its line" "$out" '^\[1/3\] build it \.\.\. FAILED \(exit 3, [0-9]+ s\)$'
expectMatch "failed step: named with its log" "$out" '^trial: step "build it" failed with exit status 3; its log is build/logs/trial/01-build-it.log; last lines:$'
expectMatch "failed step: the tail of its log" "$out" '^  \| 40$'
expectNoMatch "failed step: only the tail" "$out" '^  \| 15$'
expectNoMatch "failed step: the run stops" "$out" 'never reached'
expectMatch "failed step: closing line" "$out" '^trial: FAILED after [0-9]+ s$'
[ -e "$work/build/logs/trial/01-first-step.log" ] && echo "FAIL an earlier run's logs are kept" && failures=$((failures + 1))

runSteps 'stepsBegin trial 3
checkStep "tests A" false
checkStep "tests B" true
checkStep "tests C" sh -c "exit 4"
stepsEnd'
expectEq "failed checks: exit 1" "$status" 1
expectMatch "failed checks: the run goes on" "$out" '^\[2/3\] tests B \.\.\. ok'
expectMatch "failed checks: both named at the end" "$out" '^trial: FAILED in [0-9]+ s: "tests A", "tests C"$'

runSteps 'stepsBegin trial 2
check() { echo checking; exit 5; }
checkStep "a function that exits" check
echo "the runner goes on"
stepsEnd'
expectMatch "a step that exits: ends only the step" "$out" '^\[1/2\] a function that exits \.\.\. FAILED \(exit 5,'
expectMatch "a step that exits: the runner goes on" "$out" '^the runner goes on$'
finish
