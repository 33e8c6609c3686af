#!/usr/bin/env bash
# The ASIO route when the driver goes wrong, on the project's virtual driver: it stops
# calling back ("stall"), every call fails ("vanish"), its stop fails, and its stop
# never returns ("hang"). In each case the window keeps answering, the health line and
# the name lines say the device is lost, and once the driver answers again the route
# plays again on its own; the buffers of a driver whose stop failed are not disposed
# while it streams on; a driver whose stop hangs while it calls on keeps the
# full-duplex route from opening beside it until it lets go; Esc ends the program
# then; a driver that hangs in createBuffers is given up, and the window says so
# within its one-second wait. Logs the time from each fault to the window saying so, and from the driver's
# return to sound in its recording. A recording made through the three outages goes on
# after each, and counts them and their missing time, not padded, in its status line and
# its file's note.
# Usage: test-asio-faults.sh <build/windows dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
E2E_NAME=asio-faults
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

sc_setup "${1:?usage: test-asio-faults.sh <build/windows dir>}" asio-faults
driver_name="Tonbrik Virtual ASIO"
lost_line="Audio device lost: retrying"
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

now_ms() { echo $(($(date +%s%N) / 1000000)); }
count() {
  local n
  n=$(grep -c "$1" "$log" 2>/dev/null)
  echo "${n:-0}"
}
# A command for the driver; the driver deletes the file once it has read it.
tell() {
  e2e_wait_for 3 test ! -e "$control" || e2e_log "the previous command was not taken"
  echo "$1" >"$control"
}
started_since() { [ "$(count "^start:")" -gt "$1" ]; }
checked_is() { sc_control_has $IDC_ASIO checked "$1"; }
route_is_asio() {
  sc_shows $IDC_AUDIO_OUT_STATE active "${1:-3000}" && sc_shows $IDC_AUDIO_OUT_NAME "$driver_name" 1000
}
shows_lost() {
  sc_shows $IDC_HEALTH "$lost_line" "${1:-3000}" && sc_shows $IDC_AUDIO_OUT_STATE inactive 1000 &&
    sc_shows $IDC_AUDIO_OUT_NAME "$driver_name (lost, retrying)" 1000
}
# The window answers a question within a second (a probe start included).
answers() { sc_probe --timeout 1000 get $IDC_HEALTH | grep -q 'text='; }
recording_bytes() { stat -c %s "$recording" 2>/dev/null || echo 0; }
# Waits until the recording grows again and prints the milliseconds since $1.
recording_resumes() {
  local since=$1 size
  size=$(recording_bytes)
  while [ $(($(now_ms) - since)) -lt 8000 ]; do
    sleep 0.02
    if [ "$(recording_bytes)" -gt "$size" ]; then
      sleep 0.05
      [ "$(recording_bytes)" -gt "$size" ] && {
        echo $(($(now_ms) - since))
        return 0
      }
    fi
    size=$(recording_bytes)
  done
  return 1
}
tone_goes_on() {
  local seconds
  seconds=$(sc_wav_seconds "$recording")
  sc_has_tone "$recording" "$(sc_add "$seconds" -1.0)" "$(sc_add "$seconds" -0.2)" 0 1114.08 2 0.04 0.06
}

sc_control_has $IDC_ASIO enabled 1 || e2e_fail "the ASIO check box is disabled with the driver registered"
sc_probe click $IDC_ASIO >/dev/null
e2e_wait_for 5 checked_is 1 || e2e_log "the check box did not flip"
sc_check "on the ASIO route" route_is_asio
sleep 1.5
# What a probe's start adds to the times below: a wait for a text already shown.
asked=$(now_ms)
sc_shows $IDC_AUDIO_OUT_NAME "$driver_name" 1000
e2e_log "a probe answers in $(($(now_ms) - asked)) ms"

record_status_has() { sc_text $IDC_RECORD_STATUS | grep -q "$1"; }
sc_probe click $IDC_RECORD >/dev/null
sc_check "recording before the faults" e2e_wait_for 3 record_status_has "^Recording "
recording_from=$(date +%s.%N)

# A driver that goes wrong and comes back: the window says so and plays again.
for fault in stall vanish hang; do
  told=$(now_ms)
  tell "$fault"
  if shows_lost 5000; then
    e2e_log "$fault: lost shown $(($(now_ms) - told)) ms after the fault (probe start included)"
  else
    sc_check "$fault: health line \"$lost_line\", name line lost, state inactive" false
  fi
  sc_screenshot "$fault"
  # Two retries while the driver is still down.
  sleep 4.5
  sc_check_timing "$fault: the window answers while the driver is down" answers
  sc_check "$fault: still shown lost" shows_lost 1000
  told=$(now_ms)
  tell back
  if resumed=$(recording_resumes "$told"); then
    e2e_log "$fault: sound again $resumed ms after the driver came back"
  else
    sc_check "$fault: the driver records again after it came back" false
  fi
  sc_check "$fault: route active again with the driver's name" route_is_asio 4000
  sleep 1.2
  sc_check "$fault: tone goes on" tone_goes_on
done
status=$(sc_text $IDC_RECORD_STATUS)
e2e_log "record status: $status"
sc_check "the recording went on through three gaps" grep -q "^Recording .* gaps 3 (" <<<"$status"
sc_probe click $IDC_RECORD >/dev/null
recorded_for=$(awk -v a="$recording_from" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
e2e_wait_for 3 record_status_has "^Saved " || e2e_log "the recording did not end"
ours=$(ls -t "$rec_dir"/*.wav 2>/dev/null | head -n1)
note=$(grep -ao "Gaps without sound: [0-9]*, [0-9.]* s missing" "$ours" | head -n1)
seconds=$(soxi -D "$ours" 2>/dev/null)
e2e_log "recorded for $recorded_for s: the file holds ${seconds:-nothing} s; its note: $note"
missing=$(sed -n 's/.*: 3, \([0-9.]*\) s missing/\1/p' <<<"$note")
sc_check "the file's note counts the three gaps" test -n "$missing"
sc_check "the file holds the time played, its gaps left out (within 1.5 s)" \
  awk -v s="${seconds:-0}" -v m="${missing:-0}" -v r="$recorded_for" \
  'BEGIN { d = s + m - r; exit !(m > 5 && d < 1.5 && d > -1.5) }'
sc_check "no buffers disposed while the driver streamed" test "$(count "still streaming")" -eq 0
sc_check "no driver call from inside a callback" test "$(count "inside a callback")" -eq 0

# A stop that fails on a reset request: the stream goes on, so its buffers stay and
# the route is lost until a later stop succeeds.
tell failstop
tell reset
sc_check "failing stop: lost shown" shows_lost 5000
sc_check "failing stop: the stop was refused" grep -q "stop: refused" "$log"
sleep 2.5
sc_check "failing stop: no buffers disposed while the driver streamed" \
  test "$(count "still streaming")" -eq 0
starts=$(count "^start:")
tell back
sc_check "failing stop: reopened once the stop succeeds" e2e_wait_for 5 started_since "$starts"
sc_check "failing stop: route active" route_is_asio 4000
sc_check "failing stop: no driver call from inside a callback" test "$(count "inside a callback")" -eq 0
sleep 1.2
sc_check "failing stop: tone goes on" tone_goes_on

# A stop that hangs while the driver calls on: leaving the ASIO route does not open the
# full-duplex route beside it; that opens once the driver lets go.
tell hangstop
sc_probe click $IDC_ASIO >/dev/null
e2e_wait_for 5 checked_is 0 || e2e_log "the check box did not flip"
sc_check "hanging stop: lost shown, nothing opened beside the driver" shows_lost 5000
sc_check "hanging stop: the driver calls on" grep -q "stop: hangs" "$log"
sleep 2.5
sc_check "hanging stop: still shown lost after a retry" shows_lost 1000
tell back
sc_check "hanging stop: the full-duplex route plays once the driver let go" \
  sc_shows $IDC_AUDIO_OUT_STATE active 5000
sc_probe click $IDC_ASIO >/dev/null
e2e_wait_for 5 checked_is 1 || e2e_log "the check box did not flip"
sc_check "hanging stop: back on the ASIO route" route_is_asio 4000

# Esc while the driver's stop never returns and the driver calls on.
tell hangstop
sleep 0.5
pressed=$(now_ms)
exit_line=$(sc_probe --timeout 5000 key esc --wait-exit | grep '^exited')
e2e_log "Esc with the driver's stop hung: ${exit_line:-no exit} after $(($(now_ms) - pressed)) ms"
sc_check "Esc ends the program while the driver's stop hangs ($exit_line)" test -n "$exit_line"

# A driver that hangs in a call other than its stop (createBuffers, as the route is
# chosen): the window answers again after its bounded wait, says the driver does not
# answer, and never asks it anything again in this run.
sc_start
tell hangbuffers
clicked=$(now_ms)
sc_probe --timeout 5000 click $IDC_ASIO >/dev/null
if sc_shows $IDC_AUDIO_OUT_NAME "$driver_name (does not answer)" 3000; then
  e2e_log "hanging createBuffers: shown $(($(now_ms) - clicked)) ms after the click"
else
  sc_check "hanging createBuffers: the name line says the driver does not answer" false
fi
sc_check_timing "hanging createBuffers: the window answers within a second" answers
sc_check "hanging createBuffers: state inactive" sc_shows $IDC_AUDIO_OUT_STATE inactive 1000
sc_check "hanging createBuffers: the driver hung" grep -q "^buffers: hangs" "$log"
# The calls the program made on the driver, as the driver logs them.
driver_lines() { grep -c -E "^(create|init|createBuffers|start|stop|disposeBuffers|release|controlPanel)\b" "$log"; }
asked=$(driver_lines)
tell back
sleep 2.5
sc_check "hanging createBuffers: not asked again once back (2 s retry beat passed)" \
  test "$(driver_lines)" -eq "$asked"
sc_check "hanging createBuffers: still says so" \
  sc_shows $IDC_AUDIO_OUT_NAME "$driver_name (does not answer)" 1000
exit_line=$(sc_probe --timeout 5000 key esc --wait-exit | grep '^exited')
sc_check "hanging createBuffers: Esc ends the program ($exit_line)" test -n "$exit_line"

sc_finish
