// Random byte streams, including truncated and malformed messages, never break the
// voice table's invariants (and, under ASan, never read outside the buffer).
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "synth/synth_rack.h"

namespace {

// Checks the voice-table rules of one slot; returns an empty string when they hold.
std::string voiceTableFault(const SynthRack& rack, int slot) {
  const int n = rack.polyphonyOf(slot);
  std::set<int> voices;
  bool inFreeRun = false;
  for (int i = 0; i < n; ++i) {
    const uint32_t e = rack.voiceEntry(slot, i);
    if (e >> 16 != 0) return "high bits set at " + std::to_string(i);
    const int voice = static_cast<int>(e >> 9 & 0x7F);
    if (voice >= n || !voices.insert(voice).second) return "voice repeated at " + std::to_string(i);
    const bool held = e & SynthRack::kHeld;
    const bool sustained = e & SynthRack::kSustained;
    if (sustained && !held) return "sustained without held at " + std::to_string(i);
    if (held && inFreeRun) return "active entry after a free one at " + std::to_string(i);
    if (!held) inFreeRun = true;
  }
  return {};
}

uint8_t randomByte(std::mt19937& rng) {
  // Mostly plausible MIDI: status bytes of every kind, notes, the interesting controllers.
  static const uint8_t statuses[] = {0x80, 0x90, 0x90, 0x90, 0xA0, 0xB0, 0xB0, 0xC0, 0xD0,
                                     0xE0, 0xF0, 0xF1, 0xF2, 0xF3, 0xF7, 0xF8, 0xFE, 0xFF};
  static const uint8_t controllers[] = {64, 64, 120, 121, 123, 7, 1, 127};
  switch (rng() % 6) {
    case 0:
      return static_cast<uint8_t>(statuses[rng() % std::size(statuses)] | (rng() % 3));
    case 1:
      return controllers[rng() % std::size(controllers)];
    case 2:
      return static_cast<uint8_t>(rng() % 256);  // anything, malformed included
    default:
      return static_cast<uint8_t>(48 + rng() % 16);  // a narrow note range: many repeats
  }
}

TEST(MidiRandom, VoiceTableInvariantsHoldForRandomStreams) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    SynthRack rack;
    const int polyphonies[] = {0, 1, 2, 4, 16, 128};
    for (int slot = 0; slot < 6; ++slot) {
      rack.createSynth(slot, 1 + slot % 3, polyphonies[slot], slot % 2 == 1);
      rack.activate(slot);
    }
    for (int call = 0; call < 300; ++call) {
      // Each buffer is allocated to its exact size so ASan catches any over-read.
      const size_t size = rng() % 12;
      std::vector<uint8_t> bytes(size);
      for (auto& b : bytes) b = randomByte(rng);
      const int32_t count =
          size == 0 ? 0 : static_cast<int32_t>(size - rng() % 2);  // sometimes short
      rack.processMidi(size == 0 ? nullptr : bytes.data(), count);
      for (int slot = 0; slot < 6; ++slot) {
        const std::string fault = voiceTableFault(rack, slot);
        ASSERT_TRUE(fault.empty()) << "slot " << slot << ": " << fault << " after call " << call;
      }
    }
  }
}

}  // namespace
