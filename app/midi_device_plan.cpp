#include "app/midi_device_plan.h"

#include "app/device_settings.h"

namespace {

// "(first available)": the usual device when it exists, else the first one.
int firstAvailable(const std::vector<std::wstring>& names, int defaultIndex) {
  if (names.empty()) return kNoMidiDevice;
  return defaultIndex < static_cast<int>(names.size()) ? defaultIndex : 0;
}

}  // namespace

MidiSideTarget midiSideTarget(const std::vector<std::wstring>& names, const std::wstring& choice,
                              int defaultIndex, bool fallBack) {
  const ResolvedChoice resolved = resolveChoice(names, choice);
  if (resolved.index >= 0) return {resolved.index, false};
  if (resolved.missing && !fallBack) return {kNoMidiDevice, true};
  return {firstAvailable(names, defaultIndex), resolved.missing};
}

MidiSideCheck checkMidiSide(const std::vector<std::wstring>& names, const MidiSide& side,
                            int defaultIndex, int place) {
  MidiSideCheck check;
  check.key = side.key;
  if (side.open && place >= 0 && place < static_cast<int>(names.size())) {
    // Where its handle says it is: its key follows it.
    check.key = choiceOf(names, place);
  } else {
    // Where that is not known (or the handle no longer answers), by its key.
    check.gone = side.open && resolveChoice(names, side.key).missing;
  }
  const MidiSideTarget target = midiSideTarget(names, side.choice, defaultIndex, false);
  // A chosen device that is missing leaves the side as it is: whatever stands in for
  // it stays, and a lost side stays closed. A device that was tried and refused is
  // not tried again until the lists change.
  if (target.index < 0) return check;
  const std::wstring wanted = choiceOf(names, target.index);
  // Identical devices are told apart only by their places, which a replug changes: a
  // twin of the open device never takes its place.
  if (side.open && !check.gone && parseChoice(wanted).name == parseChoice(check.key).name) {
    return check;
  }
  check.reopen = check.gone || side.lost || wanted != check.key;
  return check;
}

bool midiSideWaiting(const std::vector<std::wstring>& names, const MidiSide& side,
                     int defaultIndex) {
  return side.lost || midiSideTarget(names, side.choice, defaultIndex, false).index < 0;
}

void noteMidiSideOpened(MidiSide& side, const std::vector<std::wstring>& names, int tried,
                        int openIndex) {
  if (tried >= 0 || !side.lost) side.key = choiceOf(names, tried);
  side.open = openIndex >= 0;
  if (side.open) side.lost = false;
}

void noteMidiSideLost(MidiSide& side) {
  if (side.open) side.lostKey = side.key;
  side.open = false;
  side.lost = true;
}

std::wstring midiSideLine(const std::vector<std::wstring>& names, const MidiSide& side,
                          int openIndex, bool missing) {
  std::wstring line;
  if (openIndex >= 0) {
    line = shownChoice(choiceOf(names, openIndex));
  } else if (side.lost) {
    // Not `key`: a stand-in tried since (the first available device) may have refused.
    line = shownChoice(side.lostKey) + L" (lost, retrying)";
  }
  if (missing && !side.lost) {
    if (line.empty()) line = L"(none)";
    line += L" (" + shownChoice(side.choice) + L" not found)";
  }
  return line;
}

bool MidiDeviceWatch::due(uint64_t nowMs, bool waiting) {
  bool check = false;
  if (settleAtMs_ != 0 && nowMs >= settleAtMs_) {
    settleAtMs_ = 0;
    check = true;
  }
  if (!beatStarted_ || (waiting && !wasWaiting_)) {
    // The beat counts from the first look, and again from when the waiting began.
    beatStarted_ = true;
    lastCheckMs_ = nowMs;
  } else if (nowMs - lastCheckMs_ >= kRetryMs) {
    check = true;
  }
  wasWaiting_ = waiting;
  if (check) lastCheckMs_ = nowMs;
  return check;
}
