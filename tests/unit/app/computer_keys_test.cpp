#include "app/computer_keys.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A key message's lParam: the scan code, and bit 30 for a key already down.
uint32_t key(uint32_t scanCode, bool repeat = false) {
  return 1u | (scanCode << 16) | (repeat ? 1u << 30 : 0u);
}

// Where a key sits, and what it prints on two layouts: the same physical keys play
// the same notes whatever they print.
struct PhysicalKey {
  uint32_t scanCode;
  char qwerty;
  char azerty;
  int32_t note;  // at the default octave, -1 for none
};
constexpr PhysicalKey kKeys[] = {
    {0x2C, 'Z', 'W', 60},       {0x1F, 'S', 'S', 61},  {0x2D, 'X', 'X', 62}, {0x32, 'M', ',', 71},
    {0x33, ',', ';', 72},       {0x10, 'Q', 'A', 72},  {0x03, '2', 'e', 73}, {0x11, 'W', 'Z', 74},
    {0x1B, ']', '$', 91},       {0x1E, 'A', 'Q', -1},  {0x39, ' ', ' ', -1}, {0x0F, '\t', '\t', -1},
    {0x01, '\x1b', '\x1b', -1}, {0x1C, '\r', '\r', -1}};

TEST(ComputerKeys, NotesFollowWhereAKeySitsNotWhatItPrints) {
  for (const PhysicalKey& physical : kKeys) {
    ComputerKeys keys;
    const auto down = keys.keyDown(key(physical.scanCode), false);
    EXPECT_EQ(down.noteOn, physical.note) << physical.qwerty << " / " << physical.azerty;
    // Tab, Esc, Enter, space and the other keys stay the dialog's.
    EXPECT_EQ(down.taken, physical.note >= 0) << physical.qwerty;
  }
  // The keypad's "/" (extended) is not the main "/" (the lower row's E).
  ComputerKeys keys;
  EXPECT_EQ(keys.keyDown(key(0x35), false).noteOn, 76);
  EXPECT_FALSE(keys.keyDown(key(0x35) | 1u << 24, false).taken);
  // With Ctrl or Alt held a key is a shortcut, not a note.
  EXPECT_FALSE(keys.keyDown(key(0x2C), true).taken);
}

TEST(ComputerKeys, RepeatIsIgnoredAndAKeyEndsTheNoteItBegan) {
  ComputerKeys keys;
  EXPECT_EQ(keys.keyDown(key(0x2C), false).noteOn, 60);
  const auto repeat = keys.keyDown(key(0x2C, true), false);
  EXPECT_TRUE(repeat.taken);
  EXPECT_EQ(repeat.noteOn, -1);
  EXPECT_EQ(repeat.noteOff, -1);
  // F6 moves the octave up and F8 the velocity while Z is held; Z still ends C4.
  EXPECT_TRUE(keys.keyDown(key(0x40), false).shownChanged);
  EXPECT_TRUE(keys.keyDown(key(0x42), false).shownChanged);
  EXPECT_FALSE(keys.keyDown(key(0x42, true), false).shownChanged);
  const auto c5 = keys.keyDown(key(0x2D), false);
  EXPECT_EQ(c5.noteOn, 74);
  EXPECT_EQ(c5.velocity, 127);
  EXPECT_EQ(keys.keyUp(key(0x2C), true).noteOff, 60);  // a modifier pressed meanwhile
  // Two keys play C5 (",", and Q an octave lower): it ends with the last of them.
  ComputerKeys both;
  EXPECT_EQ(both.keyDown(key(0x33), false).noteOn, 72);
  EXPECT_EQ(both.keyDown(key(0x10), false).noteOn, -1);
  EXPECT_EQ(both.keyUp(key(0x33), false).noteOff, -1);
  EXPECT_EQ(both.keyUp(key(0x10), false).noteOff, 72);
}

TEST(ComputerKeys, LosingTheKeyboardEndsEveryHeldNoteOnce) {
  ComputerKeys keys;
  keys.keyDown(key(0x2C), false);
  keys.keyDown(key(0x33), false);
  keys.keyDown(key(0x10), false);
  std::vector<int32_t> ended;
  keys.releaseAll([&](int32_t note) { ended.push_back(note); });
  EXPECT_EQ(ended, (std::vector<int32_t>{60, 72}));
  // The keys' releases, seen later, end nothing more.
  EXPECT_EQ(keys.keyUp(key(0x2C), false).noteOff, -1);
  ended.clear();
  keys.releaseAll([&](int32_t note) { ended.push_back(note); });
  EXPECT_TRUE(ended.empty());
}

}  // namespace
