#!/bin/sh
# Registers the virtual ASIO driver in a fresh Wine prefix and checks that a host can
# instantiate it and that it calls back at the buffer period.
# Usage: wine_check.sh <build dir holding tonbrik_vasio.dll and vasio_check.exe>
set -eu
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/vasio.XXXXXX)
trap 'WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
# A short path: hosts probe the server file with OpenFile, which takes under 128 characters.
mkdir -p "$WINEPREFIX/drive_c/vasio"
cp "$build/tonbrik_vasio.dll" "$build/vasio_check.exe" "$build/asio_host_check.exe" \
  "$WINEPREFIX/drive_c/vasio/"
wine regsvr32 /s 'C:\vasio\tonbrik_vasio.dll'
wine reg query 'HKLM\SOFTWARE\ASIO\Tonbrik Virtual ASIO' /v CLSID
export TONBRIK_VASIO_OUTPUT_WAV='C:\vasio\out.wav' TONBRIK_VASIO_LOG='C:\vasio\driver.log'
status=0
wine 'C:\vasio\vasio_check.exe' || status=$?
cat "$WINEPREFIX/drive_c/vasio/driver.log" | tr -d '\r'
wav="$WINEPREFIX/drive_c/vasio/out.wav"
if [ $status -eq 0 ] && command -v soxi >/dev/null; then
  soxi "$wav"
  # Output 1 is input 1 looped back: the driver's 440 Hz test tone at half scale.
  sox "$wav" -n remix 1 stat 2>&1 | grep -E 'Maximum amplitude|Rough +frequency'
fi
# Requests to the host: a size change through the control file, a timed reset.
if [ $status -eq 0 ]; then
  echo "buffersize 512" > "$WINEPREFIX/drive_c/vasio/control.txt"
  TONBRIK_VASIO_CONTROL_FILE='C:\vasio\control.txt' TONBRIK_VASIO_RESET_AFTER_MS=500 \
    VASIO_CHECK_EXPECT_REQUESTS=1 TONBRIK_VASIO_OUTPUT_WAV= \
    wine 'C:\vasio\vasio_check.exe' || status=$?
  tail -n 4 "$WINEPREFIX/drive_c/vasio/driver.log" | tr -d '\r'
fi
# The program's own host: the rack's start-up tone (about 1114 Hz, amplitude 0.05
# x 0.999) on both outputs, and a reopen after a timed reset request.
if [ $status -eq 0 ]; then
  rm -f "$wav"
  TONBRIK_VASIO_RESET_AFTER_MS=1000 wine 'C:\vasio\asio_host_check.exe' || status=$?
  if [ $status -eq 0 ] && command -v sox >/dev/null; then
    sox "$wav" -n trim 0.5 remix 2 stat 2>&1 | grep -E 'Maximum amplitude|Rough +frequency'
  fi
fi
# A buffer-size change: the host reloads the driver, which then prefers the new size.
if [ $status -eq 0 ]; then
  TONBRIK_VASIO_SIZE_CHANGE_AFTER_MS=500 TONBRIK_VASIO_CHANGED_SIZE=512 \
    ASIO_HOST_CHECK_EXPECT_FRAMES=512 TONBRIK_VASIO_OUTPUT_WAV= \
    wine 'C:\vasio\asio_host_check.exe' || status=$?
fi
wine regsvr32 /u /s 'C:\vasio\tonbrik_vasio.dll'
if wine reg query 'HKLM\SOFTWARE\ASIO\Tonbrik Virtual ASIO' >/dev/null 2>&1; then
  echo "FAIL: still registered after unregistering"
  status=1
fi
exit $status
