#!/usr/bin/env bash
# Prints the README's tables of result codes, made from the enums that name them
# (audio/audio_result.h, midi/midi_result.h), so the two cannot drift apart.
# Usage: scripts/result-codes.sh            print the tables
#        scripts/result-codes.sh --check    fail if README.md does not hold them
set -euo pipefail
cd "$(dirname "$0")/.."

# One table from the enum lines "Name = value,  // meaning" (a meaning may go on in
# comment lines below it).
table() {
  local title=$1 header=$2
  echo "$title"
  echo
  echo "| Code | Name | Meaning |"
  echo "|---|---|---|"
  awk '
    function flush() { if (name != "") printf "| %s | `%s` | %s |\n", value, name, meaning; name = "" }
    /^enum / { inside = 1; next }
    inside && /^};/ { flush(); inside = 0; next }
    inside && /^ *[A-Za-z]+ = -?[0-9]+,/ {
      flush()
      line = $0
      sub(/^ */, "", line)
      name = line; sub(/ .*/, "", name)
      value = line; sub(/^[A-Za-z]+ = /, "", value); sub(/,.*/, "", value)
      meaning = ""
      if (index(line, "//") > 0) { meaning = substr(line, index(line, "//") + 3) }
      if (meaning == "") meaning = "success"
      next
    }
    inside && /^ *\/\/ / { text = $0; sub(/^ *\/\/ /, "", text); meaning = meaning " " text }
  ' "$header"
  echo
}

tables() {
  table "Audio engines (\`DsoundDuplex\`, \`AsioHost\`, \`WasapiDuplex\`; text: \`audioResultText\`):" \
    audio/audio_result.h
  table "MIDI port (\`MidiPort\`; text: \`midiResultText\`):" midi/midi_result.h
}

if [ "${1:-}" = "--check" ]; then
  expected=$(tables)
  actual=$(sed -n '/<!-- result-codes: begin -->/,/<!-- result-codes: end -->/p' README.md |
    sed '1d;$d')
  if [ "$expected" != "$actual" ]; then
    echo "README.md's result-code tables differ from the enums; regenerate them with"
    echo "scripts/result-codes.sh and paste them between the result-codes markers."
    diff <(echo "$expected") <(echo "$actual") || true
    exit 1
  fi
  exit 0
fi
tables
