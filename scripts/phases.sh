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
  PHASE_TEXT=$1
  printf '%s... ' "$1"
}

phase_end() { # status [word said on success, default "done"] [log named on failure]
  local took
  took=$(elapsed $((SECONDS - PHASE_START)))
  if [ -n "${PHASE_LINES:-}" ]; then # progress lines were printed below the phase's text
    printf '    '
    PHASE_LINES=""
  fi
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

# watch_run log progress command...: runs the command with its output in log, inside a phase
# (after phase_begin), and shows meanwhile that it moves: on a terminal the phase's line is
# rewritten every second with what "progress log" says (the build's own "[ 42%]"); elsewhere a
# line is added every 20 s. Returns the command's status.
watch_run() {
  local log=$1 progress=$2 status=0 pid next now
  shift 2
  next=$(((SECONDS - PHASE_START) / 20 * 20 + 20)) # a phase may run more than one command
  mkdir -p "$(dirname "$log")"
  "$@" >"$log" 2>&1 </dev/null &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    now=$(elapsed $((SECONDS - PHASE_START)))
    if [ -t 1 ]; then
      printf '\r\033[K%s... %s (%s)' "$PHASE_TEXT" "$("$progress" "$log")" "$now"
    elif [ $((SECONDS - PHASE_START)) -ge $next ]; then
      next=$((next + 20))
      [ -n "${PHASE_LINES:-}" ] || echo
      PHASE_LINES=1
      echo "    $("$progress" "$log") ($now)"
    fi
  done
  wait "$pid" || status=$?
  [ ! -t 1 ] || printf '\r\033[K%s... ' "$PHASE_TEXT"
  return $status
}

# Progress read from a log: a build's last "[ 42%]" (make) or "[12/80]" (ninja).
build_progress() {
  local last
  last=$(grep -o -E '^\[ *[0-9]+%\]|^\[[0-9]+/[0-9]+\]' "$1" | tail -n 1 | tr -d ' ' || true)
  printf '%s' "${last:-configuring}"
}
# apt's: packages fetched, unpacked and set up so far.
apt_progress() {
  printf '%s fetched, %s unpacked, %s set up' "$(grep -c '^Get:' "$1" || true)" \
    "$(grep -c '^Unpacking ' "$1" || true)" "$(grep -c '^Setting up ' "$1" || true)"
}
