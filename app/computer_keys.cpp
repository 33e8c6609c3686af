#include "app/computer_keys.h"

#include <algorithm>
#include <iterator>

namespace {

// Scan codes of the main block (set 1, as Windows reports them), none extended.
struct KeyNote {
  uint32_t scanCode;
  int32_t offset;
};
constexpr KeyNote kNoteKeys[] = {
    // Lower row C to E, the black keys in the row above it.
    {0x2C, 0},
    {0x1F, 1},
    {0x2D, 2},
    {0x20, 3},
    {0x2E, 4},
    {0x2F, 5},
    {0x22, 6},
    {0x30, 7},
    {0x23, 8},
    {0x31, 9},
    {0x24, 10},
    {0x32, 11},
    {0x33, 12},
    {0x26, 13},
    {0x34, 14},
    {0x27, 15},
    {0x35, 16},
    // Upper row from Q, an octave up, the black keys in the number row.
    {0x10, 12},
    {0x03, 13},
    {0x11, 14},
    {0x04, 15},
    {0x12, 16},
    {0x13, 17},
    {0x06, 18},
    {0x14, 19},
    {0x07, 20},
    {0x15, 21},
    {0x08, 22},
    {0x16, 23},
    {0x17, 24},
    {0x0A, 25},
    {0x18, 26},
    {0x0B, 27},
    {0x19, 28},
    {0x1A, 29},
    {0x0D, 30},
    {0x1B, 31}};

// F5 to F8: no dialog control answers them, and no note key is among them.
constexpr uint32_t kOctaveDown = 0x3F;
constexpr uint32_t kOctaveUp = 0x40;
constexpr uint32_t kVelocityDown = 0x41;
constexpr uint32_t kVelocityUp = 0x42;

constexpr int32_t kVelocities[] = {16, 32, 48, 64, 80, 100, 127};
constexpr int32_t kVelocitySteps = static_cast<int32_t>(std::size(kVelocities));

bool isControlKey(uint32_t scanCode) {
  return scanCode == kOctaveDown || scanCode == kOctaveUp || scanCode == kVelocityDown ||
         scanCode == kVelocityUp;
}

// Bit 30 of a key-down message: the key was already down (the keyboard's repeat).
bool isRepeat(uint32_t lParam) {
  return (lParam & (1u << 30)) != 0;
}

}  // namespace

ComputerKeys::ComputerKeys() : velocityStep_(0) {
  std::fill(std::begin(heldBy_), std::end(heldBy_), -1);
  while (kVelocities[velocityStep_] < kDefaultVelocity) ++velocityStep_;
}

int32_t ComputerKeys::noteOffset(uint32_t scanCode) {
  for (const KeyNote& key : kNoteKeys) {
    if (key.scanCode == scanCode) return key.offset;
  }
  return kNoNote;
}

int32_t ComputerKeys::velocity() const {
  return kVelocities[velocityStep_];
}

ComputerKeys::Outcome ComputerKeys::keyDown(uint32_t lParam, bool ctrlOrAlt) {
  Outcome outcome;
  const uint32_t scanCode = scanCodeOf(lParam);
  const int32_t offset = noteOffset(scanCode);
  if (ctrlOrAlt || (offset < 0 && !isControlKey(scanCode))) return outcome;
  outcome.taken = true;
  if (isRepeat(lParam)) return outcome;
  if (offset < 0) {
    const int32_t octave = octave_;
    const int32_t step = velocityStep_;
    if (scanCode == kOctaveDown) octave_ = std::max(octave_ - 1, kMinOctave);
    if (scanCode == kOctaveUp) octave_ = std::min(octave_ + 1, kMaxOctave);
    if (scanCode == kVelocityDown) velocityStep_ = std::max(velocityStep_ - 1, 0);
    if (scanCode == kVelocityUp) velocityStep_ = std::min(velocityStep_ + 1, kVelocitySteps - 1);
    outcome.shownChanged = octave != octave_ || step != velocityStep_;
    return outcome;
  }
  // A key down again without its release seen (taken by another window meanwhile)
  // ends its old note first.
  if (heldBy_[scanCode] >= 0) outcome = keyUp(lParam & ~(1u << 30), false);
  outcome.taken = true;
  const int32_t note = baseNote() + offset;
  if (note > 127) return outcome;
  heldBy_[scanCode] = note;
  if (holds_[note]++ == 0) {
    outcome.noteOn = note;
    outcome.velocity = velocity();
  }
  return outcome;
}

ComputerKeys::Outcome ComputerKeys::keyUp(uint32_t lParam, bool ctrlOrAlt) {
  Outcome outcome;
  const uint32_t scanCode = scanCodeOf(lParam);
  const int32_t note = heldBy_[scanCode];
  if (note >= 0) {
    // A held key's release always ends its note, modifiers or not.
    heldBy_[scanCode] = -1;
    if (--holds_[note] == 0) outcome.noteOff = note;
    outcome.taken = true;
    return outcome;
  }
  outcome.taken = !ctrlOrAlt && (noteOffset(scanCode) >= 0 || isControlKey(scanCode));
  return outcome;
}
