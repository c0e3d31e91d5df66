# Step runner shared by scripts/demo and scripts/test (sourced, not run).
# Each step prints one line to the terminal; what its commands print goes to
# a log file of its own under build/logs/RUN/. A failed step names itself and
# its log and shows the log's last lines.
#
#   stepsBegin RUN COUNT   start a run of COUNT steps
#   runStep NAME CMD...    run a step; a failure ends the run
#   checkStep NAME CMD...  run a step; a failure is remembered, the run goes on
#   stepsEnd               the closing line; exit status 1 if a check failed
#
# STEP_LOG holds the current step's log path while it runs.

stepTop=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
stepRun=""
stepCount=0
stepIndex=0
stepStart=0
stepFailures=()
STEP_LOG=""

stepsBegin() {
  stepRun=$1
  stepCount=$2
  stepIndex=0
  stepFailures=()
  stepStart=$SECONDS
  local dir="$stepTop/build/logs/$stepRun"
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "$stepRun: $stepCount steps, logs in build/logs/$stepRun/"
}

stepLogFor() {  # stepLogFor NAME -> the log path of step NAME
  local slug
  slug=$(printf '%s' "$1" | tr -c 'A-Za-z0-9+' '-' | tr -s '-' | sed 's/-$//')
  printf '%s/build/logs/%s/%02d-%s.log' "$stepTop" "$stepRun" "$stepIndex" "$slug"
}

stepExec() {  # stepExec NAME CMD... -> the command's status; prints the step line
  local name=$1; shift
  stepIndex=$((stepIndex + 1))
  STEP_LOG=$(stepLogFor "$name")
  printf '[%d/%d] %s ... ' "$stepIndex" "$stepCount" "$name"
  local began=$SECONDS status=0
  # In a subshell: a step that is a function may end itself with exit.
  ("$@") >"$STEP_LOG" 2>&1 </dev/null || status=$?
  if [ "$status" -eq 0 ]; then
    echo "ok ($((SECONDS - began)) s)"
  else
    echo "FAILED (exit $status, $((SECONDS - began)) s)"
  fi
  return "$status"
}

stepFailed() {  # stepFailed NAME STATUS: which step failed, where its log is
  local relative=${STEP_LOG#"$stepTop"/}
  echo "$stepRun: step \"$1\" failed with exit status $2; its log is $relative; last lines:"
  tail -n "${STEP_TAIL:-25}" "$STEP_LOG" | sed 's/^/  | /'
}

runStep() {
  local name=$1 status=0
  stepExec "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    stepFailed "$name" "$status"
    echo "$stepRun: FAILED after $((SECONDS - stepStart)) s"
    exit 1
  fi
}

checkStep() {
  local name=$1 status=0
  stepExec "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    stepFailed "$name" "$status"
    stepFailures+=("$name")
  fi
  return 0
}

stepsEnd() {
  local elapsed=$((SECONDS - stepStart))
  if [ ${#stepFailures[@]} -ne 0 ]; then
    local joined
    joined=$(printf '"%s", ' "${stepFailures[@]}")
    echo "$stepRun: FAILED in $elapsed s: ${joined%, }"
    exit 1
  fi
  echo "$stepRun: all $stepCount steps passed in $elapsed s"
}
