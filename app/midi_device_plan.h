// Which MIDI device each side (input, output) should have open as devices come and
// go, and when the window reads the device lists again. Window-free, so it can be
// tested natively; the window acts on the answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "midi/midi_port.h"

// One side of MIDI as the window last left it. Keys are in the stored form of
// device_settings.h: name and occurrence.
struct MidiSide {
  std::wstring choice;   // "" for "(first available)"
  std::wstring key;      // the device last opened or tried; "" for none
  bool open = false;     // `key` is open now
  bool lost = false;     // `lostKey` went away while open, and nothing opened since
  std::wstring lostKey;  // the device that went away: the name line shows it while
                         // stand-ins are tried
};

// The device index to open for a side (kNoMidiDevice: none) and whether the chosen device is
// missing. A chosen device that is missing is replaced by the default only when
// `fallBack` is set (at start-up and after the Settings box, where the name line says
// so); after a loss the side stays closed until that very device is back.
struct MidiSideTarget {
  int index = kNoMidiDevice;
  bool missing = false;
};
MidiSideTarget midiSideTarget(const std::vector<std::wstring>& names, const std::wstring& choice,
                              int defaultIndex, bool fallBack);

// What a fresh reading of the device list means for one side.
struct MidiSideCheck {
  bool gone = false;    // the device open now is no longer listed
  bool reopen = false;  // the device the side should have is present, and not open
                        // or not the one last tried
  std::wstring key;     // the open device's key today, for the side to keep
};
// `place` is where the open device stands in `names` today, as its handle tells
// (kNoMidiDevice when that is not known): identical names shift their occurrences as a
// twin before the open device goes or comes back, so only the place tells which of
// them is open.
MidiSideCheck checkMidiSide(const std::vector<std::wstring>& names, const MidiSide& side,
                            int defaultIndex, int place = kNoMidiDevice);

// A side is waiting for a device: lost, its chosen device missing, or no device at all.
bool midiSideWaiting(const std::vector<std::wstring>& names, const MidiSide& side,
                     int defaultIndex);

// After an open on the side was tried: `tried` is the index asked for (kNoMidiDevice:
// none), `openIndex` the device open now. What was tried is remembered, so a device
// that refused is not tried again and again; a lost side keeps the name of what it
// lost until something opens.
void noteMidiSideOpened(MidiSide& side, const std::vector<std::wstring>& names, int tried,
                        int openIndex);
// The open device went away.
void noteMidiSideLost(MidiSide& side);
// The side's name line: the device open now (`openIndex`), or the one lost; `missing`
// adds that the chosen device was not found, e.g. "Keys (Pads not found)", or
// "(none) (Pads not found)" when no device stands in.
std::wstring midiSideLine(const std::vector<std::wstring>& names, const MidiSide& side,
                          int openIndex, bool missing);

// When to read the lists again: once things have settled after the system announces
// a device change (each announcement starts the wait again), and on a steady beat, for
// open devices too: an output nothing is sent on shows its loss only in the list, and
// not every system announces it. The beat starts afresh when a side begins to wait.
class MidiDeviceWatch {
 public:
  static constexpr uint64_t kSettleMs = 500;
  static constexpr uint64_t kRetryMs = 2000;

  void deviceChanged(uint64_t nowMs) { settleAtMs_ = nowMs + kSettleMs; }
  // True when the lists are to be read now; each answer true starts the beat again.
  bool due(uint64_t nowMs, bool waiting);

 private:
  uint64_t settleAtMs_ = 0;  // 0: no change announced
  uint64_t lastCheckMs_ = 0;
  bool beatStarted_ = false;
  bool wasWaiting_ = false;
};
