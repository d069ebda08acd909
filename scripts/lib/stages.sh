# Named, timed stages for the scripts: `stage NAME COMMAND...` runs the command, and at exit
# a table shows how long each stage took and which one failed. Source it.

STAGE_LINES=()
STAGE_STARTED=$SECONDS

stage() {
  local name=$1 started=$SECONDS rc=0
  shift
  echo "== stage: $name"
  # A subshell outside any `||`, so that `set -e` holds inside the stage's functions too.
  set +e
  (
    set -e
    "$@"
  )
  rc=$?
  set -e
  STAGE_LINES+=("$(printf '%6ss  %s%s' "$((SECONDS - started))" "$name" \
    "$([ "$rc" -eq 0 ] || echo "  FAILED (exit status $rc)")")")
  return "$rc"
}

stage_summary() {
  local rc=$?
  [ "${#STAGE_LINES[@]}" -gt 0 ] || return "$rc"
  echo "== stage timings"
  printf '%s\n' "${STAGE_LINES[@]}"
  printf '%6ss  %s\n' "$((SECONDS - STAGE_STARTED))" "in all"
  return "$rc"
}
trap stage_summary EXIT
