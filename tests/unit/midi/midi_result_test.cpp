#include "midi/midi_result.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// The numbers are part of the port's interface: the window and stored logs rely on them.
TEST(MidiResult, EveryCodeHasItsFixedValueAndItsOwnText) {
  const std::pair<MidiResult, int32_t> codes[] = {
      {MidiOk, 0},
      {MidiDirectMusicFailed, -1},
      {MidiBadDeviceIndex, -2},
      {MidiOutputUnavailable, -3},
      {MidiInputUnavailable, -4},
      {MidiNoRack, -5},
      {MidiInputStreamFailed, -7},
      {MidiWorkerTerminated, -9},
  };
  std::set<std::string> texts;
  for (const auto& [code, value] : codes) {
    EXPECT_EQ(static_cast<int32_t>(code), value);
    const std::string text = midiResultText(code);
    EXPECT_NE(text, "unknown result") << value;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), std::size(codes));
  for (const int32_t unused : {-6, -8, -10, 1}) {
    EXPECT_STREQ(midiResultText(unused), "unknown result") << unused;
  }
}

}  // namespace
