# How the scripts run the pytest suite. Source it; it defines functions only.

# Runs the pytest command "$@". pytest exits 5 when a selection is empty (a -k that
# matches no serial test): no failure.
pytest_run() {
  local rc=0
  "$@" || rc=$?
  [ "$rc" -eq 5 ] && return 0
  return "$rc"
}

# The whole suite with the pytest command "$@" (run from tests' parent; extra pytest
# arguments in the array PYTEST_ARGS): first the tests that may share both cores, then
# those marked serial (leak, descriptor and exit checks), alone.
whole_suite() {
  pytest_run "$@" -n 2 -m "not serial" tests "${PYTEST_ARGS[@]}"
  pytest_run "$@" -m serial tests "${PYTEST_ARGS[@]}"
}
