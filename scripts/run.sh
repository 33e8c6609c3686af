#!/usr/bin/env bash
# Starts Tonbrik (the Makefile has built it). On Windows it runs the executable
# itself; on Linux it runs it under Wine, in a prefix under the build folder,
# on a virtual display when there is no display, and with a virtual sound card
# that records the program's audio output to a WAV file when there is no sound
# card. Ctrl+C (or closing the window) stops everything it started.
set -uo pipefail
. "$(dirname "$0")/../tests/e2e/lib/fixed_layout.sh"

# Ctrl+C at a terminal reaches the whole foreground process group, make included,
# and make reports an interrupted recipe as an error. Running in a process group
# of our own that holds the terminal keeps the key press ours: we stop what we
# started and end with status 0.
if [ -t 0 ] && [ -z "${TONBRIK_RUN_OWN_GROUP:-}" ]; then
  set -m
  TONBRIK_RUN_OWN_GROUP=1 "$0" "$@"
  exit $?
fi

cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/windows"
exe="$build/app/Tonbrik.exe"

case "$(uname -s)" in
  MINGW* | MSYS* | CYGWIN*)
    # The program looks for its sounds below the folder it starts in.
    mkdir -p "$build/run" && cd "$build/run" && exec "$exe"
    ;;
esac

E2E_NAME=run
E2E_DETACH=setsid
. "$root/tests/e2e/lib/common.sh"
. "$root/tests/e2e/lib/display.sh"
. "$root/tests/e2e/lib/pulse.sh"
. "$root/tests/e2e/lib/wine.sh"

# Ctrl+C closes the window as Esc does, so the program shuts down in order (its streams
# stop, an opt-in trace is written); the cleanups end it by force only if it has not
# ended a few seconds later.
stop_program() {
  local tries
  [ -n "${E2E_PROGRAM_PID:-}" ] || return 0
  for tries in 1 2 3; do
    e2e_not_running "$E2E_PROGRAM_PID" && return 0
    # Esc closes whatever window of the program is in front, a settings box first.
    WINEDEBUG=-all timeout 5 wine "$build/tools/ui_probe.exe" --timeout 1000 key esc \
      >/dev/null 2>&1
    e2e_wait_program 2 && return 0
  done
  echo "Tonbrik did not end after Esc; ending it."
}
trap 'echo; stop_program; echo "Tonbrik stopped."; exit 0' INT TERM

[ -f "$exe" ] || e2e_fail "no $exe: run 'make windows' first"
command -v wine >/dev/null || e2e_fail "Wine is not installed: run 'make deps'"
run="$build/run"
mkdir -p "$run"

# A sound server or ALSA card that Wine can reach.
has_sound() {
  if command -v pactl >/dev/null && pactl info >/dev/null 2>&1; then return 0; fi
  ls /dev/snd/pcmC*p >/dev/null 2>&1
}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  e2e_start_display "$run"
  echo "No display: Tonbrik runs on the virtual display $DISPLAY (Xvfb)."
  echo "  See it with: import -display $DISPLAY -window root tonbrik.png"
fi

export WINEPREFIX="$build/wineprefix" WINEARCH=win64
if [ ! -f "$WINEPREFIX/.tonbrik-ready" ]; then
  echo "First start: creating the Wine prefix $WINEPREFIX (takes a few seconds)."
  e2e_create_prefix "$WINEPREFIX"
fi
e2e_on_exit "WINEDEBUG=-all wineserver -k"

if has_sound; then
  # Let Wine choose the desktop's own sound system.
  WINEDEBUG=-all wine reg delete 'HKCU\Software\Wine\Drivers' /v Audio /f >/dev/null 2>&1
else
  e2e_start_pulse "$run"
  WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f >/dev/null 2>&1
  e2e_start_recording "$run/tonbrik-output.wav"
  echo "No sound card: audio output is recorded to $run/tonbrik-output.wav"
  echo "  (a private PulseAudio null sink; the file is complete once Tonbrik stops)"
fi

cd "$run"
e2e_start_program "$run/tonbrik.log" "$exe"
echo "Tonbrik is running (Wine log: $run/tonbrik.log)."
# Wine gives the time-critical audio thread no real-time scheduling of the host; where
# we may (as root), grant it to the program and its wineserver once the audio runs,
# so other busy processes cannot make the sound break up.
if [ "$(id -u)" = 0 ] && command -v chrt >/dev/null; then
  (sleep 3 && e2e_grant_realtime "$E2E_PROGRAM_PID" &&
    echo "Real-time scheduling granted to Tonbrik and its wineserver.") &
fi
echo "Stop it with Esc or by closing its window, or press Ctrl+C here."
while ! e2e_not_running "$E2E_PROGRAM_PID"; do sleep 0.2; done
wait "$E2E_PROGRAM_PID"
status=$?
echo "Tonbrik ended (status $status)."
exit "$status"
