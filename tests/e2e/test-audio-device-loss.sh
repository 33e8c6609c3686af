#!/usr/bin/env bash
# The sound device goes away and comes back while the program plays on the full-duplex
# route: PulseAudio's null sink is unloaded (Wine's mixer then just stops) and loaded
# again; then the whole server is killed and started again; then the sink is suspended
# and resumed (taken as lost for the storm of dropouts that follows). Meanwhile the
# window answers, both audio states read "inactive", the name lines say "(lost,
# retrying)", the health line "Audio device lost: retrying", and the program's CPU stays
# low; after the return the route plays again within 3 s and the start-up tone is back
# in the recording, with no touch of the window. Prints the time to notice the loss and
# the time to play again. With a second argument, the route the window plays on without
# ASIO, as stored in the registry before it starts (SystemAudio: WasapiShared, ...):
# the same losses, texts and returns on that route. A WASAPI stream on a suspended sink
# is not lost (its event comes on): there only its resumption is checked.
# Usage: test-audio-device-loss.sh <build/windows dir> [DirectSound|WasapiShared]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
system_audio=${2:-DirectSound}
E2E_NAME=audio-device-loss
[ "$system_audio" = DirectSound ] || E2E_NAME="audio-device-loss-$system_audio"
. "$here/lib/common.sh"
. "$here/lib/display.sh"
. "$here/lib/pulse.sh"
. "$here/lib/wine.sh"
. "$here/scenario.sh"

lost_text="Audio device lost: retrying"
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", b - a }'; }
# CPU seconds the program has used (user and system), from /proc.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f\n", ($14 + $15) / hz }' "/proc/$SC_PID/stat"; }
# The window answers when the probe reads a control within a second.
answers() {
  local start
  start=$(now)
  sc_probe --timeout 1000 get "$IDC_HEALTH" >/dev/null &&
    awk -v s="$(elapsed "$start" "$(now)")" 'BEGIN { exit !(s < 1.5) }'
}
# shows_prefix ID PREFIX SECONDS: the control's text begins with PREFIX within SECONDS.
shows_prefix() {
  local until=$((SECONDS + $3))
  while [ "$SECONDS" -le "$until" ]; do
    case "$(sc_text "$1")" in "$2"*) return 0 ;; esac
    sleep 0.2
  done
  return 1
}
# Each thread of the program: its id, CPU ticks (user and system) and name.
thread_ticks() {
  local t
  for t in /proc/"$SC_PID"/task/*; do
    awk -v tid="${t##*/}" '{ sub(/.*\) /, ""); print tid, $12 + $13 }' "$t/stat" 2>/dev/null |
      tr '\n' ' '
    tr -d ' \n' <"$t/comm" 2>/dev/null
    echo
  done
}
sink_module() { pactl list short modules | awk '$2 == "module-null-sink" { print $1; exit }'; }

# take_away HOW / bring_back HOW: the sink's module unloaded and loaded again, or the
# whole server killed and started again on the same socket and configuration.
take_away() {
  if [ "$1" = sink ]; then
    local module
    module=$(sink_module)
    [ -n "$module" ] || e2e_fail "no null sink module"
    pactl unload-module "$module" || e2e_fail "cannot unload the null sink"
  else
    pulseaudio -k || e2e_fail "cannot stop pulseaudio"
  fi
}
bring_back() {
  if [ "$1" = sink ]; then
    pactl load-module module-null-sink sink_name=vsink format=s16le rate=48000 channels=2 \
      >/dev/null || e2e_fail "cannot load the null sink again"
    pactl set-default-sink vsink
  else
    pulseaudio -n -F "$SC_OUT/pulse.pa" -D --exit-idle-time=-1 --realtime=yes --high-priority=yes \
      --log-target=file:"$SC_OUT/pulse.log" 2>>"$SC_OUT/pulse.log" ||
      e2e_fail "pulseaudio did not start again"
    e2e_wait_for 10 pactl info >/dev/null || e2e_fail "pulseaudio does not answer again"
    # The new server is as real-time as the first one was made.
    [ "$SC_REALTIME" = 0 ] || e2e_grant_realtime "$SC_PID" || e2e_log "real-time scheduling not granted again"
  fi
}

# lose_and_return HOW: one loss of the sound device and its return, checked and timed.
lose_and_return() {
  local how=$1 went noticed cpu_before cpu returned active wav seconds ch
  e2e_log "--- the device goes away: $how"
  went=$(now)
  take_away "$how"
  sc_check "$how: the health line says the device is lost" sc_shows $IDC_HEALTH "$lost_text" 5000
  noticed=$(elapsed "$went" "$(now)")
  e2e_log "$how: time to notice the loss: $noticed s (the health line, read by the probe)"
  sc_check "$how: audio in inactive" sc_shows $IDC_AUDIO_IN_STATE inactive 1000
  sc_check "$how: audio out inactive" sc_shows $IDC_AUDIO_OUT_STATE inactive 1000
  sc_check "$how: the name line says lost" sc_shows $IDC_AUDIO_OUT_NAME "$name (lost, retrying)" 1000
  sc_screenshot "lost-$how"

  # While lost, across a few reopening tries: CPU and answers.
  cpu_before=$(cpu_seconds)
  sleep 6
  cpu=$(awk -v a="$cpu_before" -v b="$(cpu_seconds)" 'BEGIN { printf "%.1f\n", (b - a) * 100 / 6 }')
  e2e_log "$how: CPU while lost: $cpu %"
  sc_check_timing "$how: CPU under 5 % while lost" awk -v c="$cpu" 'BEGIN { exit !(c < 5) }'
  sc_check_timing "$how: the window answers while lost" answers
  sc_check "$how: still lost: the health line" sc_shows $IDC_HEALTH "$lost_text" 1000
  sc_check "$how: still lost: audio out inactive" sc_shows $IDC_AUDIO_OUT_STATE inactive 1000

  bring_back "$how"
  returned=$(now)
  sc_check "$how: audio out active again" sc_shows $IDC_AUDIO_OUT_STATE active 6000
  active=$(elapsed "$returned" "$(now)")
  # Recorded once the program plays again: a recorder that came first would be the
  # sink's first user, and the sink would render ahead for it as if unused.
  wav="$SC_OUT/after-$how.wav"
  $(e2e_realtime_prefix) parecord --device=vsink.monitor --latency-msec=20 --file-format=wav \
    --rate=48000 --channels=2 --format=s16le "$wav" 2>"$wav.log" &
  E2E_RECORDER_PID=$!
  e2e_wait_for 10 e2e_file_grows "$wav" && e2e_note_wav_wall "$wav" || e2e_log "parecord does not record"
  sc_check "$how: audio in active again" sc_shows $IDC_AUDIO_IN_STATE active 1000
  sc_check "$how: the name line as before" sc_shows $IDC_AUDIO_OUT_NAME "$name" 1000
  sc_check "$how: the health line shows the load again" shows_prefix $IDC_HEALTH "Load " 2
  sc_check_timing "$how: the window answers" answers
  # Six seconds: Wine's mixer stops for 60 ms now and then on an idle machine, and the
  # two windows such a stall touches must stay within the cap of 5 % (0.2 s of 4 s did
  # not).
  sleep 6
  e2e_stop_recording
  sc_screenshot "back-$how"

  # The reopened stream plays at once, so the state tells when sound is back; the
  # recording (whose first bytes come only once the sink carries sound, so its start
  # says nothing of when that was) must hold the tone throughout.
  e2e_log "$how: time to play again after the return: $active s (state \"active\")"
  sc_check_timing "$how: playing again within 3 s of the return" awk -v a="$active" 'BEGIN { exit !(a <= 3) }'
  seconds=$(sc_wav_seconds "$wav")
  e2e_log "$how: recorded $seconds s after the return"
  for ch in 0 1; do
    sc_check "$how: channel $ch: the start-up tone is back" \
      sc_has_tone "$wav" 0.2 "$(sc_add "$seconds" -0.2)" $ch 1114.08 2 0.04 0.06
  done
}

# suspend_and_resume: the sink suspended, then resumed. The playing stream's mixer goes
# on at two thirds of the pace, unheard, with a storm of dropouts: lost, as a device gone.
suspend_and_resume() {
  local went
  e2e_log "--- the sink is suspended"
  went=$(now)
  pactl suspend-sink vsink 1 || e2e_fail "cannot suspend the sink"
  if [ "$system_audio" != DirectSound ]; then
    sleep 3
    e2e_log "suspended: the health line reads \"$(sc_text $IDC_HEALTH)\""
    pactl suspend-sink vsink 0 || e2e_fail "cannot resume the sink"
    sc_check "resumed: audio out active" sc_shows $IDC_AUDIO_OUT_STATE active 6000
    sc_check "resumed: the health line shows the load" shows_prefix $IDC_HEALTH "Load " 3
    return
  fi
  sc_check "suspended: the health line says the device is lost" sc_shows $IDC_HEALTH "$lost_text" 6000
  e2e_log "suspended: time to notice the loss: $(elapsed "$went" "$(now)") s (the health line)"
  sc_check "suspended: the name line says lost" sc_shows $IDC_AUDIO_OUT_NAME "$name (lost, retrying)" 1000
  # Still suspended, a stream opened on a later try plays on as far as the device tells
  # (Wine's mixer goes on at nearly the full pace): its CPU is that of a stream that plays,
  # which moves with the machine's load, so it is logged beside the figure while playing,
  # with the threads that took most, not checked against a limit.
  local cpu_before cpu
  thread_ticks >"$SC_OUT/threads-before.txt"
  cpu_before=$(cpu_seconds)
  sleep 6
  cpu=$(awk -v a="$cpu_before" -v b="$(cpu_seconds)" 'BEGIN { printf "%.1f\n", (b - a) * 100 / 6 }')
  e2e_log "suspended: CPU while suspended: $cpu % (while playing: $playing_cpu %)"
  thread_ticks | awk 'NR == FNR { before[$1] = $2; next } { print $2 - before[$1], $1, $3 }' \
    "$SC_OUT/threads-before.txt" - | sort -rn | head -n 4 | while read -r ticks tid comm; do
    e2e_log "suspended: thread $tid ($comm): $ticks ticks in 6 s"
  done
  pactl suspend-sink vsink 0 || e2e_fail "cannot resume the sink"
  sc_check "resumed: audio out active again" sc_shows $IDC_AUDIO_OUT_STATE active 6000
  sc_check "resumed: the health line shows the load again" shows_prefix $IDC_HEALTH "Load " 3
}

sc_setup "${1:?usage: test-audio-device-loss.sh <build/windows dir> [system audio]}" "$E2E_NAME"
e2e_start_display "$SC_OUT"
e2e_start_pulse "$SC_OUT"
# A null sink nobody uses renders 2 s ahead, and a stream that joins it waits that out
# (PulseAudio rewinds the sink only by the new stream's latency): after each return, Wine's
# PulseAudio driver saw no play time for up to 2 s, went on taking a period per 15 ms
# event meanwhile, and then wrote 25 ms of silence for the underflow. A sink suspended
# while unused starts afresh for its first user, as a sound card plays from its start.
echo "load-module module-suspend-on-idle timeout=0" >>"$SC_OUT/pulse.pa"
pactl load-module module-suspend-on-idle timeout=0 >/dev/null ||
  e2e_fail "cannot have the sink suspended while unused"
e2e_use_prefix "$SC_BUILD/e2e/prefix"
if [ "$system_audio" != DirectSound ]; then
  settings_key='HKCU\Software\Tonbrik\Settings'
  WINEDEBUG=-all wine reg add "$settings_key" /v SystemAudio /t REG_SZ /d "$system_audio" /f \
    >/dev/null 2>&1 || e2e_fail "cannot choose $system_audio"
  e2e_on_exit "WINEDEBUG=-all wine reg delete '$settings_key' /v SystemAudio /f >/dev/null 2>&1"
fi
sc_stage_program
e2e_on_exit "e2e_stop_recording"
sc_start
sc_check "audio out active" sc_shows $IDC_AUDIO_OUT_STATE active
name=$(sc_text $IDC_AUDIO_OUT_NAME)
# The recordings after each return come once the wineserver has saved the registry the
# program's start changed, which stalls every Wine thread (sc_wait_registry_saved).
sc_wait_registry_saved
playing_cpu=$(cpu_seconds)
sleep 6
playing_cpu=$(awk -v a="$playing_cpu" -v b="$(cpu_seconds)" 'BEGIN { printf "%.1f\n", (b - a) * 100 / 6 }')
e2e_log "CPU while playing: $playing_cpu %"
lose_and_return sink
lose_and_return server
suspend_and_resume
sc_probe key esc --wait-exit >/dev/null || e2e_log "Esc did not end the program"
e2e_wait_program 10 || sc_check "the program ended" false

# Wine's DirectSound complains once per reopening try while the sink is away.
sc_check "no error from Wine" test -z "$(e2e_wine_errors "$SC_OUT/tonbrik.log" |
  grep -v ':err:dsound:DSOUND_ReopenDevice')"
sc_finish
