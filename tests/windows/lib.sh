# Shared by the shell end-to-end scripts: pass/fail bookkeeping, a virtual X display, and waiting for
# a dialog window. Source it; call finish at the end.

passed=0
failed=0

# check NAME EXPECTED ACTUAL: one pass or one failure, with both values shown on failure.
check() {
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

# check_same_files NAME EXPECTED_DIR ACTUAL_DIR: every file of EXPECTED_DIR whose name matches the glob
# $4 (default *) exists in ACTUAL_DIR with the same bytes.
check_same_files() {
  local name=$1 expected=$2 actual=$3 pattern=${4:-*} file count=0
  for file in "${expected}"/${pattern}; do
    [ -f "${file}" ] || continue
    count=$((count + 1))
    if cmp -s "${file}" "${actual}/$(basename "${file}")"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "FAILED: ${name}: $(basename "${file}") differs or is missing"
    fi
  done
  [ "${count}" -gt 0 ] || { failed=$((failed + 1)); echo "FAILED: ${name}: no expected files in ${expected}"; }
}

# Console output of Windows programs ends its lines with CR LF.
strip_cr() { tr -d '\r' < "$1"; }

finish() {
  echo "${passed} passed, ${failed} failed"
  [ "${failed}" -eq 0 ]
}

# Starts Xvfb on a free display and exports DISPLAY; stop_display ends it.
start_display() {
  local number
  for number in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X${number}" ] || [ -e "/tmp/.X${number}-lock" ] || break
  done
  Xvfb ":${number}" -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":${number}"
  local tries
  for tries in $(seq 1 50); do
    [ -S "/tmp/.X11-unix/X${number}" ] && return 0
    sleep 0.1
  done
  echo "Xvfb did not start"; return 1
}
stop_display() {
  [ -n "${xvfb_pid:-}" ] && kill "${xvfb_pid}" 2> /dev/null && wait "${xvfb_pid}" 2> /dev/null
  xvfb_pid=
  return 0
}

# wait_for_window TITLE PID: prints the id of the first visible window with that title, waiting up to
# 60 s while process PID runs.
wait_for_window() {
  local tries window
  for tries in $(seq 1 300); do
    window=$(xdotool search --onlyvisible --name "$1" 2> /dev/null | head -n 1)
    [ -n "${window}" ] && { echo "${window}"; return 0; }
    kill -0 "$2" 2> /dev/null || return 1
    sleep 0.2
  done
  return 1
}

# answer_dialog TITLE PID STEPS...: waits for the dialog of process PID, focuses it, types each step
# that does not start with "key:" and presses each key named after "key:". A dialog that has not
# finished drawing can drop keys, so the steps are played again (up to three times) while PID still
# runs and its dialog is still open 10 s later.
answer_dialog() {
  local title=$1 pid=$2 window step attempt tries
  shift 2
  for attempt in 1 2 3; do
    if ! window=$(wait_for_window "${title}" "${pid}"); then
      kill -0 "${pid}" 2> /dev/null && echo "no window titled ${title}"
      return 0  # the caller checks how the program ended
    fi
    sleep 2  # a freshly mapped dialog may still drop keys
    xdotool windowfocus --sync "${window}" 2> /dev/null || true
    for step in "$@"; do
      case "${step}" in
        key:*) xdotool key "${step#key:}" ;;
        *) xdotool type --delay 20 "${step}" ;;
      esac
      sleep 0.3
    done
    for tries in $(seq 1 50); do
      kill -0 "${pid}" 2> /dev/null || return 0
      xdotool search --onlyvisible --name "${title}" > /dev/null 2>&1 || return 0  # answered
      sleep 0.2
    done
  done
}
