# Sourced by the end-to-end shell tests: `check` prints one line per condition and counts the failed
# ones in `failures`, whose total the test ends with.
failures=0
check() {  # check <description> <condition command...>
  local what=$1
  shift
  if "$@"; then echo "ok: ${what}"; else echo "FAILED: ${what}"; failures=$(( failures + 1 )); fi
}
