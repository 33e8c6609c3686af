#!/usr/bin/env bash
# The ASIO route through the project's virtual ASIO driver: with the driver registered
# the check box is enabled; checking it moves the audio to the driver (both name lines show
# the driver's name, both states "active") and the driver records the start-up tone; a
# reset request from the driver is answered by a reopen within one second with the tone
# going on; unchecking returns to the full-duplex route; ten toggles in a row leave one
# route running and no threads behind; Esc on the ASIO route releases the driver.
# Record on the ASIO route writes a file that holds, sample for sample, what the driver
# recorded over the same stretch (after the conversions to the driver's sample type and
# its WAV form); a recording whose program is killed midway is a playable file of all
# but its last second or so.
# Usage: test-asio.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=asio
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-asio.sh <build/windows dir>}" asio
driver_name="Tonbrik Virtual ASIO"
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
e2e_use_prefix "$SC_BUILD/e2e/prefix"

sc_install_virtual_asio

log="$SC_OUT/vasio.log"
recording="$SC_OUT/vasio.wav"
control="$SC_OUT/vasio.control"
export TONBRIK_VASIO_LOG=$(sc_winpath "$log") TONBRIK_VASIO_OUTPUT_WAV=$(sc_winpath "$recording")
export TONBRIK_VASIO_CONTROL_FILE=$(sc_winpath "$control")
rec_dir="$SC_OUT/recordings"
sc_record_into "$rec_dir"
sc_stage_program
sc_start
sc_check "full-duplex route at start" sc_shows $IDC_AUDIO_OUT_STATE active

count() {
  local n
  n=$(grep -c "$1" "$log" 2>/dev/null)
  echo "${n:-0}"
}
route_is_asio() {
  sc_shows $IDC_AUDIO_IN_STATE active 3000 && sc_shows $IDC_AUDIO_OUT_STATE active 3000 && sc_shows $IDC_AUDIO_IN_NAME "$driver_name" 3000 &&
    sc_shows $IDC_AUDIO_OUT_NAME "$driver_name" 3000
}
route_is_duplex() {
  sc_shows $IDC_AUDIO_IN_STATE active 3000 && sc_shows $IDC_AUDIO_OUT_STATE active 3000 &&
    [ -n "$(sc_text $IDC_AUDIO_OUT_NAME)" ] && [ "$(sc_text $IDC_AUDIO_OUT_NAME)" != "$driver_name" ]
}
# A click is posted, so the probe's next question may overtake it: wait for the box to
# flip; the window answers the texts only once the switch it started has finished.
checked_is() { sc_control_has $IDC_ASIO checked "$1"; }
threads() { ls "/proc/$SC_PID/task" 2>/dev/null | wc -l; }
record_status_has() { sc_text $IDC_RECORD_STATUS | grep -q "$1"; }
newest_recording() { ls -t "$rec_dir"/*.wav 2>/dev/null | head -n1; }
running_streams() { pactl list short sink-inputs 2>/dev/null | wc -l; }

# Nothing below can work without the check box.
sc_control_has $IDC_ASIO enabled 1 || e2e_fail "the ASIO check box is disabled with the driver registered"
sc_probe click $IDC_ASIO >/dev/null
e2e_wait_for 5 checked_is 1 || e2e_log "the check box did not flip"
sc_check "checked: ASIO route with the driver's name" route_is_asio
sc_check "check box checked" sc_control_has $IDC_ASIO checked 1
sleep 2
seconds=$(sc_wav_seconds "$recording")
for ch in 0 1; do
  sc_check "driver records the start-up tone on ch $ch" \
    sc_has_tone "$recording" "$(sc_add "$seconds" -1.5)" "$(sc_add "$seconds" -0.25)" $ch 1114.08 2 0.04 0.06
done

sc_probe click $IDC_RECORD >/dev/null
sc_check "Record: the status line shows the recording" e2e_wait_for 3 record_status_has "^Recording "
sleep 3
sc_probe click $IDC_RECORD >/dev/null
sc_check "Record again: the status line names the saved file" \
  e2e_wait_for 3 record_status_has "^Saved Tonbrik [0-9-]* [0-9-]*\.wav, 0:0[2-4]"
e2e_log "status line: $(sc_text $IDC_RECORD_STATUS)"
ours=$(newest_recording)
match=$("$SC_ANALYSIS" match --type Int32LSB "$ours" "$recording" 2>&1)
e2e_log "$match"
sc_check "the recording is what the driver played, sample for sample" \
  grep -q "^match offset=[0-9]* frames=1[0-9][0-9][0-9][0-9][0-9] " <<<"$match"

starts=$(count "^start:")
requested=$(date +%s%N)
echo reset >"$control"
reopened=""
while [ $(( ($(date +%s%N) - requested) / 1000000 )) -lt 3000 ]; do
  if [ "$(count "^start:")" -gt "$starts" ]; then
    reopened=$(( ($(date +%s%N) - requested) / 1000000 ))
    break
  fi
  sleep 0.05
done
e2e_log "reopened ${reopened:-never} ms after the reset request"
sc_check "reset request answered" grep -q "^asioMessage 3 " "$log"
sc_check_timing "reopened within one second" test -n "$reopened" -a "${reopened:-9999}" -le 1000
sleep 1.5
seconds=$(sc_wav_seconds "$recording")
sc_check "tone goes on after the reopen" \
  sc_has_tone "$recording" "$(sc_add "$seconds" -1.2)" "$(sc_add "$seconds" -0.2)" 0 1114.08 2 0.04 0.06

sc_probe click $IDC_ASIO >/dev/null
e2e_wait_for 5 checked_is 0 || e2e_log "the check box did not flip"
sc_check "unchecked: back on the full-duplex route" route_is_duplex
sc_check "driver stopped" e2e_wait_for 3 test "$(count "^stop")" -ge "$(count "^start:")"
sleep 1
threads_before=$(threads)
for i in 1 2 3 4 5 6 7 8 9 10; do
  sc_probe click $IDC_ASIO >/dev/null
  want=$((i % 2))
  e2e_wait_for 5 checked_is $want || e2e_log "toggle $i: check box not $want"
  sc_shows $IDC_AUDIO_OUT_STATE active 5000 || e2e_log "toggle $i: audio not active"
done
sc_check "after ten toggles: full-duplex route" route_is_duplex
sleep 1
threads_after=$(threads)
e2e_log "threads before the toggles: $threads_before, after: $threads_after"
sc_check "no thread left behind by the toggles" test "$threads_after" -le "$threads_before"
sc_check "driver not running" test "$(count "^stop")" -ge "$(count "^start:")"
sc_check "exactly one stream on the sound device" test "$(running_streams)" -eq 1

sc_probe click $IDC_ASIO >/dev/null
e2e_wait_for 5 checked_is 1 || e2e_log "the check box did not flip"
sc_check "on ASIO again" route_is_asio
releases=$(count "^release")
exit_line=$(sc_probe --timeout 5000 key esc --wait-exit | grep '^exited')
sc_check_timing "Esc ends the program within 5 s ($exit_line)" test -n "$exit_line"
sc_check "driver stopped, buffers disposed and driver released at exit" \
  e2e_wait_for 3 test "$(count "^release")" -gt "$releases"
tail -n 4 "$log" >&2 2>/dev/null

# A recording (on the full-duplex route the program starts on) ended by killing the
# program: the header was brought up to date at least every second.
sc_start
sc_shows $IDC_AUDIO_OUT_STATE active 5000 || e2e_log "audio not active after the restart"
sc_probe key alt+r >/dev/null
sc_check "Alt+R starts a recording" e2e_wait_for 3 record_status_has "^Recording "
recorded_from=$(date +%s.%N)
sleep 4
WINEDEBUG=-all wineserver -k
killed_after=$(awk -v a="$recorded_from" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
killed=$(newest_recording)
seconds=$(soxi -D "$killed" 2>/dev/null)
e2e_log "killed after ${killed_after} s of recording: soxi reads ${seconds:-nothing} s from $killed"
sc_check "the killed recording is playable, within 2 s of the run" \
  awk -v s="${seconds:-x}" -v r="$killed_after" 'BEGIN { exit !(s + 0 > 0 && s <= r + 0.1 && s >= r - 2) }'

sc_finish
