# The demo's policy steps, sourced by scripts/demo (its variables and helpers in scope): the
# administrator's two values written and cleared, a setup run under them, and a download from a
# server that names a folder outside AllowedDestinations.
set_policy() { # both values, then read back: each must be there as REG_MULTI_SZ
  local value
  echo "demo: the administrator's policy ($POLICY_KEY, as the templates write it):"
  wine reg add "$POLICY_KEY" /v TrustedSigners /t REG_MULTI_SZ /d "$THUMBPRINT" /f \
    >>"$IO/wine-reg.log" 2>&1 9>&- </dev/null
  wine reg add "$POLICY_KEY" /v AllowedDestinations /t REG_MULTI_SZ \
    /d "$ALLOWED_DESTINATION" /f >>"$IO/wine-reg.log" 2>&1 9>&- </dev/null
  wine reg query "$POLICY_KEY" >"$IO/policy.txt" 2>&1 9>&- </dev/null || true
  for value in TrustedSigners AllowedDestinations; do
    if grep -q "$value[[:space:]]*REG_MULTI_SZ" "$IO/policy.txt"; then
      echo "    $value = $(tr -d '\r' <"$IO/policy.txt" |
        sed -n "s/.*$value[[:space:]]*REG_MULTI_SZ[[:space:]]*//p")"
    else
      echo "    $value: not set as REG_MULTI_SZ (see $IO/policy.txt)"
      status=1
    fi
  done
}
clear_policy() {
  wine reg delete "$POLICY_KEY" /f >>"$IO/wine-reg.log" 2>&1 9>&- </dev/null || true
}
signed_run() { # served file, expected: started | refused
  local mark_text
  cp "$1" "$SERVE/usr/orvane/bin/Setup.exe"
  rm -f "$MARK" "$IO/signed.exit"
  phase_begin "  setup run with $(basename "$1") ($2 expected)"
  wine "$WIN_BIN/robot.exe" launch "$(winpath "$IO/signed.pid")" \
    "$(hex 'C:\orvane\bin\Install.exe -N -I "127.0.0.1"')" "$(hex 'C:\work')" \
    "$(winpath "$IO/signed.exit")" >>"$IO/launch-signed.log" 2>&1 9>&- </dev/null &
  PIDS+=($!)
  for i in $(seq 1 120); do
    [ -s "$IO/signed.exit" ] && { [ "$2" = refused ] || [ -s "$MARK" ]; } && break
    sleep 0.5
  done
  sleep 1
  mark_text=$(cat "$MARK" 2>/dev/null || true)
  local as_expected=no
  if [ "$2" = started ]; then [ -z "$mark_text" ] || as_expected=yes; fi
  if [ "$2" = refused ]; then [ -n "$mark_text" ] || as_expected=yes; fi
  if [ -s "$IO/signed.exit" ] && [ $as_expected = yes ]; then
    phase_end 0 "$2, as expected"
  else
    phase_end 1 || true
    status=1
  fi
  # Install.result's fields (tab-separated in the file) and the policy's Install.log line.
  echo "    Install.result: $(tr -d '\r' <"$(drive_c)/orvane/bin/Install.result" | cut -f1,4 |
    sed 's/\t/ | /g')"
  echo "    Install.log:    $(grep -a -E 'Signed|Untrusted' "$(drive_c)/orvane/bin/Install.log" |
    tail -n 1 | tr -d '\r')"
}
# Under the same policy, a server that names a folder outside AllowedDestinations: a second
# reference server, in the first one's place, sends C:\elsewhere\ as FILE_DESTINATION. The
# download with a user is refused with its box before any file is made.
destination_run() {
  local box text elsewhere
  kill "$REFSERVER" 2>/dev/null || true
  wait "$REFSERVER" 2>/dev/null || true
  "$REFSERVER_BIN" --root "$SERVE" --log "$DEMO/refserver.log" --destination 'C:\elsewhere\' \
    >"$IO/refserver-elsewhere.out" 2>&1 9>&- </dev/null &
  REFSERVER=$!
  PIDS+=($!)
  wait_for_line "$IO/refserver-elsewhere.out" "listening on" || { status=1; return; }
  mkdir -p "$(drive_c)/elsewhere"
  rm -f "$(drive_c)/elsewhere/notes.txt" "$IO/elsewhere.exit"
  COMMAND='C:\orvane\bin\Install.exe -EFTP -F "notes.txt" -I "127.0.0.1"'
  phase_begin "  download to a folder outside AllowedDestinations: $COMMAND"
  wine "$WIN_BIN/robot.exe" launch "$(winpath "$IO/elsewhere.pid")" "$(hex "$COMMAND")" \
    "$(hex 'C:\work')" "$(winpath "$IO/elsewhere.exit")" >"$IO/launch-elsewhere.log" 2>&1 9>&- \
    </dev/null &
  PIDS+=($!)
  box=$(robot wait "$(hex '#32770')" "$(hex 'ERROR')" 30000 | handle_of)
  text=""
  # The box's text: its longest static (id 0xFFFF, or -1), the robot's escapes undone.
  [ -z "$box" ] || text=$(printf '%b' "$(robot info "$box" | awk -F'\t' \
    '$1 == "C" && ($3 == 65535 || $3 == -1) && length($6) > length(t) { t = $6 } END { print t }')")
  if [ -n "$box" ]; then
    shoot "destination-refused" "download from a server that names C:\\elsewhere\\: the \
refusal's box (AllowedDestinations lists C:\\KLV\\transfer only)" || true
    robot click "$box" 1 >/dev/null
  fi
  for i in $(seq 1 60); do
    [ -s "$IO/elsewhere.exit" ] && break
    sleep 0.5
  done
  elsewhere=$(on_drive_c 'elsewhere\notes.txt')
  if [ "$text" = 'ERROR Destination Not Allowed: C:\elsewhere\notes.txt' ] &&
    [ -s "$IO/elsewhere.exit" ] && [ -z "$elsewhere" ]; then
    phase_end 0 "refused, as expected, and no file in C:\\elsewhere"
    echo "    the box (caption \"ERROR\"): $text"
  else
    phase_end 1 || true
    echo "    the box: ${text:-none}; exit: $(cat "$IO/elsewhere.exit" 2>/dev/null || echo none);" \
      "file left: ${elsewhere:-none}"
    status=1
  fi
}
