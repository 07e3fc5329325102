# Sourced by the scripts: one line per phase ("text... done (12 s)"), the output of quiet phases
# in a log file under ${BUILD_DIR:-build}/logs, and the log's last lines when a phase fails.

LOGS=${BUILD_DIR:-build}/logs

# Seconds -> "42 s" or "3 min 12 s".
elapsed() {
  if [ "$1" -ge 60 ]; then
    printf '%d min %d s' $(($1 / 60)) $(($1 % 60))
  else
    printf '%d s' "$1"
  fi
}

phase_begin() { # text
  PHASE_START=$SECONDS
  printf '%s... ' "$1"
}

phase_end() { # status [word said on success, default "done"] [log named on failure]
  local took
  took=$(elapsed $((SECONDS - PHASE_START)))
  if [ "$1" -eq 0 ]; then
    echo "${2:-done} ($took)"
    return 0
  fi
  echo "FAILED ($took)"
  if [ -n "${3:-}" ]; then
    tail -n 25 "$3" | sed 's/^/    /'
    echo "    full output: $3"
  fi
  return "$1"
}

# quiet_phase text log command...: runs the command with its output in log.
quiet_phase() {
  local text=$1 log=$2 status=0
  shift 2
  mkdir -p "$(dirname "$log")"
  phase_begin "$text"
  "$@" >"$log" 2>&1 </dev/null || status=$?
  phase_end "$status" done "$log"
}
