// MIDI parsing and dispatch: voice assignment and stealing, the sustain pedal,
// channel-mode controllers and the parser's handling of odd input.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "synth/synth_rack.h"

namespace {

constexpr uint32_t kHeld = SynthRack::kHeld;
constexpr uint32_t kSustained = SynthRack::kSustained;

uint32_t entry(int voice, int note, uint32_t bits) {
  return static_cast<uint32_t>(voice) << 9 | bits | static_cast<uint32_t>(note);
}

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    rack.createSynth(0, 1, 4, false);
    rack.activate(0);
  }

  void send(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> buffer(bytes);
    rack.processMidi(buffer.data(), static_cast<int32_t>(buffer.size()));
  }

  std::vector<uint32_t> table(int slot = 0) const {
    std::vector<uint32_t> entries;
    for (int i = 0; i < rack.polyphonyOf(slot); ++i) entries.push_back(rack.voiceEntry(slot, i));
    return entries;
  }

  const Synth& synth(int slot = 0) const { return *rack.synthAt(slot); }
  bool sounding(int voice, int slot = 0) const {
    return synth(slot).voice(voice).held(Synth::kReleasedTarget);
  }

  SynthRack rack;
};

TEST_F(Dispatch, StealingTakesTheOldestNote) {
  send({0x90, 60, 100, 0x90, 62, 100, 0x90, 64, 100, 0x90, 65, 100});
  EXPECT_EQ(table(), (std::vector<uint32_t>{entry(0, 65, kHeld), entry(1, 64, kHeld),
                                            entry(2, 62, kHeld), entry(3, 60, kHeld)}));
  send({0x90, 67, 100});
  EXPECT_EQ(table(), (std::vector<uint32_t>{entry(3, 67, kHeld), entry(0, 65, kHeld),
                                            entry(1, 64, kHeld), entry(2, 62, kHeld)}));
  EXPECT_EQ(synth().voice(3).omega.get(), Synth::noteOmega(67));

  // A note off moves its entry to the first free place; the next note takes it
  // without stealing.
  send({0x80, 64, 0});
  EXPECT_EQ(table(), (std::vector<uint32_t>{entry(3, 67, kHeld), entry(0, 65, kHeld),
                                            entry(2, 62, kHeld), entry(1, 64, 0)}));
  EXPECT_FALSE(sounding(1));
  send({0x90, 70, 100});
  EXPECT_EQ(table(), (std::vector<uint32_t>{entry(1, 70, kHeld), entry(3, 67, kHeld),
                                            entry(0, 65, kHeld), entry(2, 62, kHeld)}));

  // A held note struck again restarts its own voice.
  send({0x90, 65, 50});
  EXPECT_EQ(table()[0], entry(0, 65, kHeld));
  EXPECT_EQ(synth().voice(0).target.get(), static_cast<float>(50 * 0.001));
}

TEST_F(Dispatch, StartupToneVoiceIsTakenByTheFirstNoteAndNoteZeroByVoiceZero) {
  EXPECT_EQ(synth().voice(3).omega.get(), 7000.0f);
  send({0x90, 60, 100});
  EXPECT_EQ(table()[0], entry(3, 60, kHeld));
  EXPECT_EQ(synth().voice(3).omega.get(), Synth::noteOmega(60));

  rack.resetSlot(0);
  send({0x90, 0, 100});
  EXPECT_EQ(table()[0], entry(0, 0, kHeld));
  EXPECT_EQ(synth().voice(3).omega.get(), 7000.0f);
}

TEST_F(Dispatch, NoteOnWithVelocityZeroIsANoteOff) {
  send({0x90, 60, 100});
  send({0x90, 60, 0});
  EXPECT_FALSE(sounding(3));
  EXPECT_EQ(rack.lastActiveEntry(0), -1);
}

TEST_F(Dispatch, SustainPedalHoldsReleasedNotes) {
  send({0xB0, 64, 127, 0x90, 60, 100, 0x80, 60, 0});
  EXPECT_TRUE(rack.isSustainDown(0));
  EXPECT_TRUE(sounding(3));
  EXPECT_EQ(table()[0], entry(3, 60, kHeld | kSustained));
  EXPECT_EQ(synth().controller(64), 1.0f);
  send({0xB0, 64, 0});
  EXPECT_FALSE(rack.isSustainDown(0));
  EXPECT_FALSE(sounding(3));
  EXPECT_EQ(table()[0], entry(3, 60, 0));
  EXPECT_EQ(synth().controller(64), 0.0f);
}

TEST_F(Dispatch, InvertedPedal) {
  rack.createSynth(0, 1, 4, true);
  rack.activate(0);
  send({0xB0, 64, 0, 0x90, 60, 100, 0x80, 60, 0});
  EXPECT_TRUE(sounding(3));
  send({0xB0, 64, 127});
  EXPECT_FALSE(sounding(3));
}

TEST_F(Dispatch, PedalUpPlacesFreedEntriesAfterTheHeldOnes) {
  send({0xB0, 64, 127, 0x90, 60, 100, 0x90, 62, 100, 0x80, 60, 0, 0xB0, 64, 0});
  EXPECT_EQ(table(), (std::vector<uint32_t>{entry(2, 62, kHeld), entry(3, 60, 0), entry(0, 0, 0),
                                            entry(1, 0, 0)}));
}

TEST_F(Dispatch, AllNotesOffRespectsThePedalAndAllSoundOffDoesNot) {
  send({0xB0, 64, 127, 0x90, 60, 100, 0x90, 62, 100});
  send({0xB0, 123, 0});
  EXPECT_TRUE(sounding(3));
  EXPECT_TRUE(sounding(2));
  EXPECT_EQ(table()[0], entry(2, 62, kHeld | kSustained));
  send({0xB0, 120, 0});
  EXPECT_FALSE(sounding(3));
  EXPECT_FALSE(sounding(2));
  EXPECT_TRUE(rack.isSustainDown(0));
  EXPECT_EQ(table()[0], entry(2, 62, 0));  // freed in place
  EXPECT_EQ(table()[1], entry(3, 60, 0));
}

TEST_F(Dispatch, ResetAllControllersReleasesSustainedNotesOnly) {
  send({0xB0, 7, 0, 0xB0, 10, 0, 0xB0, 64, 127, 0x90, 60, 100, 0x80, 60, 0, 0x90, 62, 100});
  send({0xB0, 121, 0});
  EXPECT_FALSE(rack.isSustainDown(0));
  EXPECT_FALSE(sounding(3));  // note 60 was sustained
  EXPECT_TRUE(sounding(2));   // note 62 is still on
  EXPECT_EQ(synth().controller(7), 1.0f);
  EXPECT_EQ(synth().controller(11), 1.0f);
  EXPECT_EQ(synth().controller(10), 0.5f);
  EXPECT_EQ(synth().controller(64), 0.0f);
}

TEST_F(Dispatch, ControllerValuesPitchBendAndPressures) {
  send({0xB0, 1, 127, 0xB0, 122, 64});
  EXPECT_EQ(synth().controller(1), 127 * (1.0f / 127.0f));
  send({0xE0, 0, 0});
  EXPECT_EQ(synth().controller(120), -1.0f);
  send({0xE0, 0, 0x40});
  EXPECT_EQ(synth().controller(120), 0.0f);
  send({0xE0, 0x7F, 0x7F});
  EXPECT_EQ(synth().controller(120), 8191.0f / 8192.0f);
  send({0xD0, 0x7F});
  EXPECT_EQ(synth().controller(121), 127 * (1.0f / 127.0f));

  send({0x90, 60, 100});  // voice 3
  send({0xA0, 60, 0x7F});
  EXPECT_EQ(synth().voice(3).pressure.get(), 1.0f);
  send({0xB0, 124, 5, 0x90, 62, 100});  // 124..127: a whole message without effect
  EXPECT_TRUE(sounding(2));
}

TEST_F(Dispatch, ChannelsAndSlots) {
  rack.createSynth(1, 1, 2, false);
  rack.activate(1);
  rack.createSynth(2, 2, 2, false);
  rack.activate(2);
  send({0x90, 60, 100, 0xB0, 64, 127});
  EXPECT_EQ(rack.voiceEntry(0, 0), entry(3, 60, kHeld));
  EXPECT_EQ(rack.voiceEntry(1, 0), entry(1, 60, kHeld));
  EXPECT_EQ(rack.voiceEntry(2, 0), entry(0, 0, 0));
  EXPECT_FALSE(rack.isSustainDown(2));
  EXPECT_TRUE(rack.isSustainDown(1));

  // A slot without a channel hears only system messages.
  rack.createSynth(3, 0, 2, false);
  rack.activate(3);
  send({0x90, 60, 100});
  EXPECT_EQ(rack.voiceEntry(3, 0), entry(0, 0, 0));
  send({0x91, 61, 100});
  EXPECT_EQ(rack.voiceEntry(2, 0), entry(1, 61, kHeld));
  send({0xFF});
  EXPECT_EQ(rack.voiceEntry(2, 0), entry(0, 0, 0));
  EXPECT_EQ(rack.synthAt(2)->voice(1).omega.get(), 7000.0f);
}

TEST_F(Dispatch, SystemResetRearmsTheStartupTone) {
  send({0x90, 60, 100, 0xB0, 64, 127});
  send({0xFF});
  EXPECT_FALSE(rack.isSustainDown(0));
  EXPECT_EQ(synth().voice(3).omega.get(), 7000.0f);
  EXPECT_EQ(synth().voice(3).target.get(), 0.05f);
  EXPECT_EQ(synth().voice(3).amplitude.get(), 0.0f);
  send({0x90, 60, 100});
  rack.processMidi(nullptr, -1);
  EXPECT_EQ(synth().voice(3).omega.get(), 7000.0f);
}

TEST_F(Dispatch, NoRunningStatusAndSkippedBytes) {
  send({0x90, 60, 64, 62, 64});  // 62 and 64 are stray data bytes
  EXPECT_EQ(rack.lastActiveEntry(0), 0);
  send({0xC0, 5, 0, 0x90, 62, 64});  // program change takes two bytes
  EXPECT_EQ(table()[0], entry(2, 62, kHeld));
  send({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});  // system exclusive: no effect
  send({0xF2, 0x90, 61, 100});                 // a song position cut short by the next status byte
  EXPECT_EQ(table()[0], entry(1, 61, kHeld));
}

TEST_F(Dispatch, TruncatedAndMalformedMessagesAreDroppedSafely) {
  // Data bytes beyond the count are never read.
  const uint8_t buffer[] = {0x90, 60, 100};
  rack.processMidi(buffer, 2);
  EXPECT_EQ(rack.lastActiveEntry(0), -1);
  rack.processMidi(buffer, 1);
  EXPECT_EQ(rack.lastActiveEntry(0), -1);

  // A status byte where a data byte belongs ends the broken message; parsing
  // goes on with the new status byte.
  send({0x90, 60, 0x90, 62, 100});
  EXPECT_EQ(table()[0], entry(3, 62, kHeld));
  EXPECT_EQ(rack.lastActiveEntry(0), 0);
  send({0xB0, 0xF8, 0x90, 64, 100});
  EXPECT_EQ(synth().voice(3).omega.get(), Synth::noteOmega(62));
  EXPECT_EQ(table()[0], entry(2, 64, kHeld));
}

TEST_F(Dispatch, ZeroPolyphonyIgnoresNotes) {
  rack.createSynth(0, 1, 0, false);
  rack.activate(0);
  send({0x90, 60, 100, 0xA0, 60, 10, 0x80, 60, 0, 0xB0, 64, 127, 0xB0, 123, 0, 0xB0, 64, 0});
  EXPECT_EQ(rack.lastActiveEntry(0), -1);
}

}  // namespace
