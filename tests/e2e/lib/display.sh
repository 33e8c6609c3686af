# A private X display on Xvfb, on a display number the server picks itself.
# Sets DISPLAY and E2E_XVFB_PID.

e2e_start_display() {
  local dir=$1 size=${2:-1024x768x24}
  if [ -n "${E2E_KEEP_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; then
    return 0
  fi
  command -v Xvfb >/dev/null || e2e_fail "Xvfb is not installed"
  mkdir -p "$dir"
  local numberFile="$dir/xvfb.display"
  rm -f "$numberFile"
  $E2E_DETACH Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp -noreset 3>"$numberFile" \
    >"$dir/xvfb.log" 2>&1 &
  E2E_XVFB_PID=$!
  e2e_on_exit "e2e_kill_pid $E2E_XVFB_PID"
  e2e_wait_for 10 test -s "$numberFile" || e2e_fail "Xvfb did not start (see $dir/xvfb.log)"
  export DISPLAY=":$(head -n1 "$numberFile")"
  e2e_log "display $DISPLAY (Xvfb pid $E2E_XVFB_PID)"
}

# Saves the whole screen, or the rectangle "left top width height", as PNG.
e2e_screenshot() {
  local out=$1 rect=${2:-}
  local full="${out%.png}.full.png"
  import -display "$DISPLAY" -window root "$full" || return 1
  if [ -n "$rect" ]; then
    set -- $rect
    convert "$full" -crop "${3}x${4}+${1}+${2}" +repage "$out" || return 1
    rm -f "$full"
  else
    mv "$full" "$out"
  fi
}
