// The computer's keys as a music keyboard, chosen by where a key sits (its scan code),
// never by what it prints, so every layout plays the same physical keys: the row
// from the key right of the left Shift ("Z" on QWERTY, "W" on AZERTY, "Y" on QWERTZ)
// is C to E, with the black keys in the row above it ("S", "D", ...); the row from
// Q is the octave above, with its black keys in the number row. F5 and F6 shift the
// octave down and up, F7 and F8 the velocity. Kept free of the window so it is
// tested natively; the window feeds it the key messages it is handed first.
#pragma once

#include <cstdint>

class ComputerKeys {
 public:
  ComputerKeys();

  // The lower row's C at the default octave: C4, 261.63 Hz at the default pitch.
  static constexpr int32_t kDefaultBaseNote = 60;
  static constexpr int32_t kMinOctave = -4;
  static constexpr int32_t kMaxOctave = 3;
  static constexpr int32_t kDefaultVelocity = 100;

  // A key's scan code as a key message's lParam carries it (bits 16-23), with
  // 0x100 for the extended bit (24): the numeric keypad's "/" is not the main "/".
  static uint32_t scanCodeOf(uint32_t lParam) {
    return ((lParam >> 16) & 0xFFu) | (((lParam >> 24) & 1u) << 8);
  }
  static constexpr int32_t kNoNote = -1;
  // Semitones above the lower row's C that a key plays, or kNoNote for none.
  static int32_t noteOffset(uint32_t scanCode);

  // What a key message did. `taken`: it is the keyboard's and goes no further (the
  // dialog never sees it); a note to start (with `velocity`) or to end, -1 for none;
  // `shownChanged`: the octave or velocity changed.
  struct Outcome {
    bool taken = false;
    int32_t noteOn = -1;
    int32_t velocity = 0;
    int32_t noteOff = -1;
    bool shownChanged = false;
  };
  // `lParam` as WM_KEYDOWN / WM_KEYUP carry it; `ctrlOrAlt`: either is held, which
  // leaves the key to the dialog (a shortcut, or AltGr typing).
  Outcome keyDown(uint32_t lParam, bool ctrlOrAlt);
  Outcome keyUp(uint32_t lParam, bool ctrlOrAlt);
  // Ends every note the keys hold, calling `noteOff(note)` once for each: for a
  // window that loses the keyboard and will never see those keys' release.
  template <class NoteOff>
  void releaseAll(NoteOff&& noteOff) {
    for (int32_t& note : heldBy_) {
      if (note < 0) continue;
      if (--holds_[note] == 0) noteOff(note);
      note = -1;
    }
  }

  int32_t octave() const { return octave_; }
  int32_t velocity() const;
  // The note the lower row's C plays now.
  int32_t baseNote() const { return kDefaultBaseNote + 12 * octave_; }

 private:
  static constexpr int32_t kScanCodes = 512;
  // The note each key holds, -1 for none; a key keeps its note until released
  // however the octave moved meanwhile.
  int32_t heldBy_[kScanCodes];
  // How many keys hold each note (the lower row's upper end and the upper row's
  // start play the same notes): it sounds until the last of them is released.
  uint8_t holds_[128] = {};
  int32_t octave_ = 0;
  int32_t velocityStep_;
};
