#include "midi_test_support.h"

#include "midi/wide_text.h"

namespace {

using sim::DirectMusicCall;

GUID portGuid(uint32_t n) {
  GUID guid{};
  guid.Data1 = 0x5000 + n;
  return guid;
}

class MidiDirectMusicTest : public MidiPortTest {
 protected:
  void SetUp() override {
    MidiPortTest::SetUp();
    sim::installDirectMusic();
    sim::setMidiOutDevices({{"Port Out", MOD_MIDIPORT}});
    sim::setDirectMusicPorts({
        {portGuid(1), DMUS_PC_OUTPUTCLASS, "Synth"},
        {portGuid(2), DMUS_PC_INPUTCLASS, "First In"},
        {portGuid(3), DMUS_PC_OUTPUTCLASS, "Other Out"},
        {portGuid(4), DMUS_PC_INPUTCLASS, "Second In \xC3\xA4\xF0\x9F\x8E\xB9"},
    });
  }
  void TearDown() override {
    port.reset();
    EXPECT_EQ(sim::liveDirectMusicObjects(), 0);
    MidiPortTest::TearDown();
  }
  int32_t openMusic(int32_t inDevice, bool strict = false) {
    return port->open(&rack, nullptr,
                      {.inDevice = inDevice,
                       .outDevice = 0,
                       .inputApi = MidiInputApi::DirectMusic,
                       .strictDevice = strict,
                       .sysexRingBytes = 50000});
  }
  void openAndStart() {
    ASSERT_EQ(openMusic(0), 0);
    ASSERT_EQ(port->start(), 0);
  }
};

TEST_F(MidiDirectMusicTest, ChoosesTheInputPortByIndexAmongInputs) {
  ASSERT_EQ(openMusic(1), 0);
  EXPECT_EQ(sim::lastCreatedPortGuid(), portGuid(4));
  ASSERT_EQ(openMusic(0), 0);
  EXPECT_EQ(sim::lastCreatedPortGuid(), portGuid(2));
  ASSERT_EQ(openMusic(9), 0);  // missing: the last input port listed
  EXPECT_EQ(sim::lastCreatedPortGuid(), portGuid(4));
  EXPECT_FALSE(sim::midiInIsOpen());
}

TEST_F(MidiDirectMusicTest, StrictAndMissingPorts) {
  EXPECT_EQ(openMusic(9, true), -2);
  EXPECT_FALSE(port->hasOutput());
  EXPECT_FALSE(port->hasMusicPort());
  sim::setDirectMusicPorts({{portGuid(1), DMUS_PC_OUTPUTCLASS, "Synth"}});
  EXPECT_EQ(openMusic(0), -4);
  EXPECT_TRUE(port->hasOutput());
}

TEST_F(MidiDirectMusicTest, FailuresReleaseEveryInterface) {
  sim::failDirectMusicCall(DirectMusicCall::SetDirectSound);
  EXPECT_EQ(openMusic(0), -1);
  EXPECT_EQ(sim::liveDirectMusicObjects(), 0);
  sim::failDirectMusicCall(DirectMusicCall::CreatePort);
  EXPECT_EQ(openMusic(0), -4);
  EXPECT_EQ(sim::liveDirectMusicObjects(), 0);
  sim::failDirectMusicCall(DirectMusicCall::CreateMusicBuffer);
  EXPECT_EQ(openMusic(0), -7);
  EXPECT_EQ(sim::liveDirectMusicObjects(), 0);
  EXPECT_FALSE(port->hasMusicPort());
  EXPECT_EQ(port->start(), -4);
  sim::unregisterComClass(CLSID_DirectMusic);
  EXPECT_EQ(openMusic(0), -1);
}

TEST_F(MidiDirectMusicTest, EventsReachTheRackFromTheWorker) {
  openAndStart();
  EXPECT_TRUE(port->hasReaderThread());
  EXPECT_TRUE(sim::directMusicPortActive());
  EXPECT_NE(sim::directMusicReadNotification(), nullptr);
  sim::queueDirectMusicEvent({0x90, 0x3C, 0x64});
  sim::queueDirectMusicEvent({0x80, 0x3C, 0x00});
  sim::queueDirectMusicEvent({0xC0, 0x05});
  ASSERT_TRUE(eventually([&] { return rack.messages().size() == 3; }));
  const auto messages = rack.messages();
  EXPECT_EQ(messages[0], (std::vector<uint8_t>{0x90, 0x3C, 0x64}));
  EXPECT_EQ(messages[2], (std::vector<uint8_t>{0xC0, 0x05}));
  EXPECT_EQ(port->stop(), 0);
  EXPECT_EQ(rack.resets(), 1);
  EXPECT_FALSE(port->hasReaderThread());
  EXPECT_FALSE(sim::directMusicPortActive());
}

TEST_F(MidiDirectMusicTest, StaleInputIsDrainedAndStartTwiceDoesNothing) {
  ASSERT_EQ(openMusic(0), 0);
  sim::queueDirectMusicEvent({0x90, 0x30, 0x40});  // before start
  ASSERT_EQ(port->start(), 0);
  EXPECT_EQ(port->start(), 0);
  EXPECT_EQ(sim::queuedDirectMusicEventCount(), 0);
  sim::queueDirectMusicEvent({0x90, 0x31, 0x40});
  ASSERT_TRUE(eventually([&] { return !rack.messages().empty(); }));
  EXPECT_EQ(rack.messages(), (std::vector<std::vector<uint8_t>>{{0x90, 0x31, 0x40}}));
}

TEST_F(MidiDirectMusicTest, AnOverfullBufferResetsTheRackAndIsFlushed) {
  openAndStart();
  sim::reportDirectMusicUsedBytes(5000);
  sim::queueDirectMusicEvent({0x90, 0x3C, 0x64});
  ASSERT_TRUE(eventually([&] { return rack.resets() == 1; }));
  EXPECT_EQ(port->stop(), 0);
  EXPECT_TRUE(rack.messages().empty());
}

TEST_F(MidiDirectMusicTest, TheUsedBytesLimitCountsEachPackedEventWhole) {
  openAndStart();
  // Hold the worker in its Read so that all eight events land in one buffer.
  sim::blockDirectMusicRead(true);
  sim::queueDirectMusicEvent({0x90, 0x3C, 0x64});
  ASSERT_TRUE(eventually([] { return sim::directMusicBlockedReads() == 1; }));
  for (int i = 1; i < 8; ++i) sim::queueDirectMusicEvent({0x90, 0x3C, 0x64});
  // One packed 3-byte event takes 24 bytes: a buffer reporting 24 used holds one.
  sim::reportDirectMusicUsedBytes(24);
  sim::blockDirectMusicRead(false);
  ASSERT_TRUE(eventually([&] { return !rack.messages().empty(); }));
  EXPECT_EQ(port->stop(), 0);
  EXPECT_EQ(rack.messages().size(), 1u);
}

TEST_F(MidiDirectMusicTest, ZeroLengthEventsForeverDoNotHangTheReadPass) {
  sim::zeroLengthEventsForever(true);
  openAndStart();
  sim::queueDirectMusicEvent({0x90, 0x3C, 0x64});
  ASSERT_TRUE(eventually([&] { return rack.messages().size() == 1; }));
  sim::queueDirectMusicEvent({0x80, 0x3C, 0x00});
  ASSERT_TRUE(eventually([&] { return rack.messages().size() == 2; }));
  EXPECT_EQ(port->stop(), 0);  // the worker was free to see the stop event
  EXPECT_EQ(rack.resets(), 1);
}

TEST_F(MidiDirectMusicTest, AReadThatAnswersOkWithNothingEndsTheDrainAndThePass) {
  constexpr int kEmptyOkReads = 200000;
  sim::emptyReadsAnswerOk(kEmptyOkReads);
  openAndStart();
  sim::queueDirectMusicEvent({0x90, 0x3C, 0x64});
  ASSERT_TRUE(eventually([&] { return rack.messages().size() == 1; }));
  EXPECT_EQ(port->stop(), 0);
  // Drain at open, drain at start, one pass: a handful of reads, not one per empty answer.
  EXPECT_LT(sim::directMusicCallCount(DirectMusicCall::PortRead), 10);
}

TEST_F(MidiDirectMusicTest, AWorkerThatDoesNotEndIsTerminated) {
  openAndStart();
  sim::blockDirectMusicRead(true);
  sim::queueDirectMusicEvent({0x90, 0x3C, 0x64});
  ASSERT_TRUE(eventually([] { return sim::directMusicBlockedReads() == 1; }));
  EXPECT_EQ(port->stop(), -9);
  EXPECT_EQ(sim::terminatedThreadCount(), 1);
  EXPECT_FALSE(port->hasReaderThread());
  EXPECT_EQ(rack.resets(), 1);
}

TEST_F(MidiDirectMusicTest, ActivationFailures) {
  ASSERT_EQ(openMusic(0), 0);
  sim::failDirectMusicCall(DirectMusicCall::PortActivate);
  EXPECT_EQ(port->start(), -7);
  EXPECT_FALSE(port->hasReaderThread());
  ASSERT_EQ(port->start(), 0);
  sim::failDirectMusicCall(DirectMusicCall::PortActivate);
  EXPECT_EQ(port->stop(), -7);
  EXPECT_FALSE(port->hasReaderThread());  // the stop is completed all the same
}

TEST_F(MidiDirectMusicTest, AWorkerThatCannotBeCreatedFailsTheStart) {
  ASSERT_EQ(openMusic(0), 0);
  sim::failNextCreateThread();
  EXPECT_EQ(port->start(), -7);
  EXPECT_FALSE(port->hasReaderThread());
  EXPECT_FALSE(sim::directMusicPortActive());  // nothing would read what arrives
  EXPECT_EQ(port->start(), 0);
  sim::queueDirectMusicEvent({0x90, 0x3C, 0x64});
  EXPECT_TRUE(eventually([&] { return rack.messages().size() == 1; }));
}

TEST_F(MidiDirectMusicTest, EventsThatCannotBeCreatedFailTheOpen) {
  const int handlesBefore = sim::liveHandleCount();
  for (int after = 0; after < 2; ++after) {
    sim::failNextCreateEvent(1, after);
    EXPECT_EQ(openMusic(0), -7);
    EXPECT_EQ(sim::liveDirectMusicObjects(), 0);
    EXPECT_EQ(sim::liveHandleCount(), handlesBefore);
    EXPECT_TRUE(port->hasOutput());
    EXPECT_EQ(port->start(), -4);
  }
}

TEST_F(MidiDirectMusicTest, DeviceNamesReadThePortDescription) {
  ASSERT_EQ(openMusic(1), 0);
  std::string in, out;
  EXPECT_TRUE(port->deviceNames(in, out));
  // The program's narrow text is the ANSI code page (Latin-1 in the simulation).
  EXPECT_EQ(in, "Second In \xE4?");
  EXPECT_EQ(out, "Port Out");
  sim::failDirectMusicCall(DirectMusicCall::PortGetCaps);
  EXPECT_FALSE(port->deviceNames(in, out));
  EXPECT_EQ(in, "");
}

TEST(WideText, ConvertsToTheAnsiCodePageUpToTheFirstZero) {
  const WCHAR text[] = {L'A', 0xE4, 0xD83C, 0xDFB9, L'B', 0, L'C'};
  EXPECT_EQ(ansiFromWide(text, 7), "A\xE4?B");
  EXPECT_EQ(ansiFromWide(text, 1), "A");
  EXPECT_EQ(ansiFromWide(text, 0), "");
}

}  // namespace
