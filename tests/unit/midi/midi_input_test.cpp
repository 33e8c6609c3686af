#include <algorithm>

#include "midi_test_support.h"
#include "synth/synth_rack.h"

namespace {

using sim::MidiCall;

std::vector<uint8_t> sysex(size_t size, bool begins, bool ends, uint8_t fill) {
  std::vector<uint8_t> bytes(size, fill);
  if (begins) bytes.front() = 0xF0;
  if (ends) bytes.back() = 0xF7;
  return bytes;
}

class MidiInputTest : public MidiPortTest {
 protected:
  void SetUp() override {
    MidiPortTest::SetUp();
    twoDevicesEachWay();
  }
  void openAndStart(int32_t ringBytes = 50000) {
    ASSERT_EQ(openWinmm(ringBytes), 0);
    ASSERT_EQ(port->start(), 0);
  }
};

TEST_F(MidiInputTest, OpensTheInputWithStatusReportsAndPreparedSysexBuffers) {
  ASSERT_EQ(openWinmm(), 0);
  EXPECT_EQ(sim::lastMidiInOpenFlags(), static_cast<DWORD>(CALLBACK_FUNCTION | MIDI_IO_STATUS));
  EXPECT_EQ(sim::midiCallCount(MidiCall::InPrepareHeader), 2);
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 0);  // handed over only by start
  ASSERT_EQ(port->start(), 0);
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 2);
  EXPECT_TRUE(sim::midiInIsStarted());
}

TEST_F(MidiInputTest, ShortMessagesReachTheRackAsThreeBytes) {
  openAndStart();
  ASSERT_TRUE(sim::midiInSendShort(0x643C90));
  ASSERT_TRUE(sim::midiInSendShort(0x000705C1));  // program change with a stray third byte
  const auto messages = rack.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], (std::vector<uint8_t>{0x90, 0x3C, 0x64}));
  EXPECT_EQ(messages[1], (std::vector<uint8_t>{0xC1, 0x05, 0x07}));
}

TEST_F(MidiInputTest, ANoteThroughTheCallbackStartsAVoice) {
  SynthRack synthRack;
  ASSERT_EQ(synthRack.createSynth(0, 1, 16, false), Synth::kParameterCount);
  ASSERT_TRUE(synthRack.activate(0));
  ASSERT_EQ(port->open(&synthRack, nullptr, {.inDevice = 0, .outDevice = kNoMidiDevice}), 0);
  ASSERT_EQ(port->start(), 0);
  ASSERT_TRUE(sim::midiInSendShort(0x643C90));
  const Synth* synth = synthRack.synthAt(0);
  bool started = false;
  for (int32_t v = 0; v < synth->voiceCount(); ++v) {
    if (synth->voice(v).omega.get() == Synth::noteOmega(0x3C) && synth->voice(v).target.get() > 0) {
      started = true;
    }
  }
  EXPECT_TRUE(started);
  port->close();
}

TEST_F(MidiInputTest, SysexIsAssembledAcrossBuffersAndBuffersGoBackToTheDriver) {
  openAndStart();
  const auto first = sysex(4096, true, false, 0x12);
  const auto last = sysex(200, false, true, 0x34);
  ASSERT_TRUE(sim::midiInSendSysex(first.data(), 4096));
  EXPECT_EQ(port->readSysexByte(), -1);
  ASSERT_TRUE(sim::midiInSendSysex(last.data(), 200));
  std::vector<uint8_t> expected(first.size() + last.size());
  std::copy(last.begin(), last.end(), std::copy(first.begin(), first.end(), expected.begin()));
  EXPECT_EQ(readAll(*port), expected);
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 2);
  EXPECT_TRUE(rack.messages().empty());  // system exclusive does not go to the rack
}

TEST_F(MidiInputTest, BadBuffersFromTheDriverAbortTheMessage) {
  openAndStart();
  const auto whole = sysex(10, true, true, 0x01);
  ASSERT_TRUE(sim::midiInSendSysex(whole.data(), 10));
  const auto start = sysex(50, true, false, 0x02);
  ASSERT_TRUE(sim::midiInSendSysex(start.data(), 50));
  ASSERT_TRUE(sim::midiInReturnBuffer(MIM_LONGDATA, 5000));  // more than the buffer holds
  EXPECT_FALSE(port->sysexRing().assembling());
  ASSERT_TRUE(sim::midiInSendSysex(start.data(), 50));
  ASSERT_TRUE(sim::midiInReturnBuffer(MIM_LONGERROR, 0));
  EXPECT_FALSE(port->sysexRing().assembling());
  const auto end = sysex(3, false, true, 0x03);
  ASSERT_TRUE(sim::midiInSendSysex(end.data(), 3));
  EXPECT_EQ(readAll(*port), whole);
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 2);  // every buffer was handed back
  // A buffer with no data is only handed back.
  ASSERT_TRUE(sim::midiInReturnBuffer(MIM_LONGDATA, 0));
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 2);
}

TEST_F(MidiInputTest, RingSizeIsRaisedToTheMinimumOrLeftOut) {
  ASSERT_EQ(openWinmm(1), 0);
  EXPECT_EQ(port->sysexRing().size(), 8192);
  EXPECT_TRUE(port->hasSysexBuffer(0) && port->hasSysexBuffer(1));
  ASSERT_EQ(openWinmm(50000), 0);
  EXPECT_EQ(port->sysexRing().size(), 50000);
  ASSERT_EQ(openWinmm(0), 0);
  EXPECT_FALSE(port->sysexRing().present());
  EXPECT_FALSE(port->hasSysexBuffer(0) || port->hasSysexBuffer(1));
  EXPECT_EQ(port->readSysexByte(), -1);
  ASSERT_EQ(port->start(), 0);
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 0);
  // Without buffers a stray long-data notice is ignored.
  const auto whole = sysex(4, true, true, 0x01);
  MIDIHDR header{};
  header.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(whole.data()));
  header.dwBufferLength = header.dwBytesRecorded = 4;
  ASSERT_TRUE(sim::midiInFire(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header)));
  EXPECT_EQ(port->readSysexByte(), -1);
}

TEST_F(MidiInputTest, ASysexBufferThatCannotBePreparedIsLeftOut) {
  sim::failMidiCall(MidiCall::InPrepareHeader);
  ASSERT_EQ(openWinmm(), 0);
  EXPECT_FALSE(port->hasSysexBuffer(0));
  EXPECT_TRUE(port->hasSysexBuffer(1));
  ASSERT_EQ(port->start(), 0);
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 1);
}

TEST_F(MidiInputTest, ABacklogNoticeCarriesAMessageLikeAnyOther) {
  openAndStart();
  ASSERT_TRUE(sim::midiInSendShort(0x643C90));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(sim::midiInFire(MIM_MOREDATA, 0x643E90 + i));
  ASSERT_TRUE(sim::midiInSendShort(0x003C80));
  EXPECT_EQ(rack.messages(), (std::vector<std::vector<uint8_t>>{{0x90, 0x3C, 0x64},
                                                                {0x90, 0x3E, 0x64},
                                                                {0x91, 0x3E, 0x64},
                                                                {0x92, 0x3E, 0x64},
                                                                {0x80, 0x3C, 0x00}}));
  EXPECT_EQ(rack.resets(), 0);  // falling behind is no reason to cut the sounding notes
}

TEST_F(MidiInputTest, StartTwiceAndStopResetOnce) {
  openAndStart();
  EXPECT_EQ(port->start(), 0);
  EXPECT_EQ(sim::midiCallCount(MidiCall::InStart), 1);
  EXPECT_EQ(sim::midiCallCount(MidiCall::InAddBuffer), 2);

  EXPECT_EQ(port->stop(), 0);
  EXPECT_EQ(rack.resets(), 1);
  EXPECT_FALSE(port->isRunning());
  // The buffers the reset handed back stay with us.
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 0);
  EXPECT_EQ(sim::midiCallCount(MidiCall::InAddBuffer), 2);
  // And a new start hands them over again.
  EXPECT_EQ(port->start(), 0);
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 2);
}

TEST_F(MidiInputTest, TheRingSurvivesStopAndStart) {
  openAndStart();
  const auto whole = sysex(20, true, true, 0x05);
  ASSERT_TRUE(sim::midiInSendSysex(whole.data(), 20));
  ASSERT_EQ(port->stop(), 0);
  ASSERT_EQ(port->start(), 0);
  EXPECT_EQ(readAll(*port), whole);
}

TEST_F(MidiInputTest, StartAndStopFailures) {
  ASSERT_EQ(openWinmm(), 0);
  sim::failMidiCall(MidiCall::InStart);
  EXPECT_EQ(port->start(), -7);
  EXPECT_FALSE(port->isRunning());
  sim::failMidiCall(MidiCall::InReset);
  EXPECT_EQ(port->stop(), -7);
  EXPECT_EQ(rack.resets(), 1);  // the stop is completed all the same
}

TEST_F(MidiInputTest, OutputOnlyHasNoInputToStart) {
  ASSERT_EQ(port->open(&rack, nullptr,
                       {.inDevice = kNoMidiDevice, .outDevice = 0, .sysexRingBytes = 50000}),
            0);
  EXPECT_TRUE(port->hasOutput());
  EXPECT_FALSE(sim::midiInIsOpen());
  EXPECT_EQ(port->start(), -4);
  EXPECT_EQ(port->stop(), -4);
}

TEST_F(MidiInputTest, CloseGivesEverythingBackAndWaitsForABusyDriver) {
  openAndStart();
  sim::failMidiCall(MidiCall::InUnprepareHeader, 2, MIDIERR_STILLPLAYING);
  sim::failMidiCall(MidiCall::InClose, 3, MIDIERR_STILLPLAYING);
  sim::failMidiCall(MidiCall::OutClose, 2, MIDIERR_STILLPLAYING);
  port->close();
  EXPECT_FALSE(sim::midiInIsOpen());
  EXPECT_FALSE(sim::midiOutIsOpen());
  EXPECT_EQ(sim::midiCallCount(MidiCall::InUnprepareHeader), 4);
  EXPECT_EQ(sim::midiCallCount(MidiCall::InClose), 4);
  EXPECT_EQ(sim::midiCallCount(MidiCall::OutClose), 3);
  EXPECT_EQ(sim::midiCallCount(MidiCall::OutReset), 1);
  EXPECT_FALSE(port->sysexRing().present());
  EXPECT_EQ(port->start(), -4);
}

// Each 1 ms pause lasts 10 ms on the performance counter.
int pausesSeen = 0;
void fastClock(DWORD milliseconds) {
  if (milliseconds == MidiPort::kRetryPauseMs) ++pausesSeen;
  sim::advancePerformanceCounter(milliseconds * 10 * (sim::kPerformanceFrequency / 1000));
}

TEST_F(MidiInputTest, CloseGivesUpOnADriverThatNeverLetsGoAfterAboutTwoSeconds) {
  openAndStart();
  sim::setManualPerformanceCounter(true);
  pausesSeen = 0;
  sim::setSleepObserver(&fastClock);
  // 10 s each on this clock.
  sim::failMidiCall(MidiCall::InUnprepareHeader, 1000, MIDIERR_STILLPLAYING);
  sim::failMidiCall(MidiCall::InClose, 1000, MIDIERR_STILLPLAYING);
  sim::failMidiCall(MidiCall::OutClose, 1000, MIDIERR_STILLPLAYING);
  port->close();
  EXPECT_GE(pausesSeen, 190);
  EXPECT_LE(pausesSeen, 202);
  EXPECT_FALSE(port->hasWinmmInput());
  EXPECT_FALSE(port->hasOutput());
  EXPECT_FALSE(port->hasSysexBuffer(0));
  EXPECT_FALSE(port->sysexRing().present());
  EXPECT_EQ(port->start(), -4);
  // Both sysex buffers are still the driver's: they were not freed under it.
  EXPECT_EQ(sim::midiHeadersHeldByDrivers(), 2);
}

// A rack that takes a known time for each message, on a counter that stands still.
struct SlowRack {
  LONGLONG ticksPerMessage = 0;
  void processMidi(const uint8_t*, int32_t) { sim::advancePerformanceCounter(ticksPerMessage); }
};

TEST_F(MidiInputTest, LoadFiguresFollowTheInputPasses) {
  sim::setManualPerformanceCounter(true);
  SlowRack slow;
  ASSERT_EQ(port->open(&slow, nullptr, {.inDevice = 0, .outDevice = kNoMidiDevice}), 0);
  ASSERT_EQ(port->start(), 0);
  slow.ticksPerMessage = 10000;  // 1 ms at 10 MHz
  ASSERT_TRUE(sim::midiInSendShort(0x643C90));
  EXPECT_DOUBLE_EQ(port->peakInputMs(), 1.0);
  EXPECT_DOUBLE_EQ(port->meanInputMs(), 0.01);
  slow.ticksPerMessage = 5000;
  ASSERT_TRUE(sim::midiInSendShort(0x643C90));
  EXPECT_DOUBLE_EQ(port->peakInputMs(), 1.0);
  EXPECT_DOUBLE_EQ(port->meanInputMs(), (0.01 * 5000 + 0.99 * 100) / 10000.0);
  EXPECT_EQ(port->start(), 0);  // already running, but the figures start again
  EXPECT_EQ(port->peakInputMs(), 0.0);
  EXPECT_EQ(port->meanInputMs(), 0.0);
}

}  // namespace
