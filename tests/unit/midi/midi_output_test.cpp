#include "midi_test_support.h"

#include "synth/synth_rack.h"

#include <numeric>

namespace {

using sim::MidiCall;

// What a sendLong does, in order: chunk sizes as sent ("L<n>") and sleeps ("S<ms>").
std::vector<std::string>* trace = nullptr;
size_t longMessagesSeen = 0;

// A clock that runs 100 times faster than the pauses: each 1 ms pause lasts 100 ms
// on the performance counter, so a wait of seconds passes in a few real milliseconds.
int pausesSeen = 0;
void fastClock(DWORD milliseconds) {
  ++pausesSeen;
  sim::advancePerformanceCounter(milliseconds * 100 * (sim::kPerformanceFrequency / 1000));
}

void recordSleep(DWORD milliseconds) {
  if (trace == nullptr) return;
  const auto sent = sim::sentLongMessages();
  for (; longMessagesSeen < sent.size(); ++longMessagesSeen) {
    // Appended, not `"L" + std::to_string(...)`: GCC 12 at -O3 warns falsely on that.
    trace->push_back(std::string("L").append(std::to_string(sent[longMessagesSeen].size())));
  }
  trace->push_back(std::string("S").append(std::to_string(milliseconds)));
}

class MidiOutputTest : public MidiPortTest {
 protected:
  void SetUp() override {
    MidiPortTest::SetUp();
    twoDevicesEachWay();
    ASSERT_EQ(
        port->open(&rack, nullptr, {.inDevice = kNoMidiDevice, .outDevice = 0, .portsOnly = true}),
        0);
    data.resize(20000);
    std::iota(data.begin(), data.end(), uint8_t{0});
  }
  void TearDown() override {
    sim::setSleepObserver(nullptr);
    trace = nullptr;
    MidiPortTest::TearDown();
  }
  std::vector<std::string> traced(int32_t length, int32_t pauseMs, bool* result) {
    std::vector<std::string> steps;
    trace = &steps;
    longMessagesSeen = sim::sentLongMessages().size();
    sim::setSleepObserver(&recordSleep);
    *result = port->sendLong(data.data(), length, pauseMs);
    sim::setSleepObserver(nullptr);
    recordSleep(0);
    steps.pop_back();
    trace = nullptr;
    return steps;
  }
  std::vector<uint8_t> sentBytes() const {
    std::vector<uint8_t> all;
    for (const auto& message : sim::sentLongMessages()) {
      all.insert(all.end(), message.begin(), message.end());
    }
    return all;
  }
  std::vector<uint8_t> data;
};

TEST_F(MidiOutputTest, ShortMessagesArePackedLowByteFirst) {
  EXPECT_TRUE(port->sendShort(0x90, 0x3C, 0x64));
  EXPECT_TRUE(port->sendShort(0x40, 0x3C, 0x64));  // running status: the status is not sent
  EXPECT_EQ(sim::sentShortMessages(), (std::vector<DWORD>{0x00643C90, 0x0000643C}));
  sim::failMidiCall(MidiCall::OutShortMsg);
  EXPECT_FALSE(port->sendShort(0x90, 0x3C, 0x64));
}

TEST_F(MidiOutputTest, TheRackSendsThroughThePort) {
  SynthRack synthRack;
  EXPECT_FALSE(synthRack.sendMidi(0xB0, 7, 100));
  ASSERT_EQ(synthRack.open(port.get(), 10), 0);
  EXPECT_TRUE(synthRack.sendMidi(0xB0, 7, 100));
  EXPECT_EQ(sim::sentShortMessages(), (std::vector<DWORD>{0x006407B0}));
  synthRack.close();
}

TEST_F(MidiOutputTest, LongMessagesGoOutInChunksWithoutPause) {
  bool ok = false;
  EXPECT_EQ(traced(10000, 0, &ok), (std::vector<std::string>{"L4096", "L4096", "L1808"}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(sentBytes(), std::vector<uint8_t>(data.begin(), data.begin() + 10000));
}

TEST_F(MidiOutputTest, PacedLongMessagesPauseAfterEveryChunk) {
  bool ok = false;
  EXPECT_EQ(traced(600, 5, &ok),
            (std::vector<std::string>{"L256", "S5", "L256", "S5", "L88", "S5"}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(sentBytes(), std::vector<uint8_t>(data.begin(), data.begin() + 600));
}

TEST_F(MidiOutputTest, EachChunkIsWaitedForUntilTheDriverIsDone) {
  sim::setMidiOutLongMsgPolls(2);
  bool ok = false;
  EXPECT_EQ(traced(5000, 0, &ok),
            (std::vector<std::string>{"L4096", "S1", "S1", "L904", "S1", "S1"}));
  EXPECT_TRUE(ok);
}

TEST_F(MidiOutputTest, ADriverThatKeepsAChunkIsGivenUpOnAfterAboutTwoSeconds) {
  sim::setManualPerformanceCounter(true);
  pausesSeen = 0;
  sim::setSleepObserver(&fastClock);
  sim::setMidiOutLongMsgPolls(1000);  // 100 s on this clock
  EXPECT_FALSE(port->sendLong(data.data(), 5000, 0));
  EXPECT_EQ(sim::sentLongMessages().size(), 1u);  // no further chunk after the first
  EXPECT_GE(pausesSeen, 19);
  EXPECT_LE(pausesSeen, 21);
  // The driver still holds the chunk's header: it must still be there to write to.
  EXPECT_EQ(sim::midiHeadersHeldByDrivers(), 1);
  // While it does, another send is refused and nothing goes out.
  EXPECT_FALSE(port->sendLong(data.data(), 100, 0));
  EXPECT_EQ(sim::sentLongMessages().size(), 1u);
  port->close();
  EXPECT_FALSE(sim::midiOutIsOpen());
}

TEST_F(MidiOutputTest, AWholeNumberOfChunksSendsNoEmptyChunk) {
  bool ok = false;
  EXPECT_EQ(traced(8192, 0, &ok), (std::vector<std::string>{"L4096", "L4096"}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(traced(512, 3, &ok), (std::vector<std::string>{"L256", "S3", "L256", "S3"}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(sim::midiCallCount(MidiCall::OutPrepareHeader), 4);
}

TEST_F(MidiOutputTest, RefusedLongMessages) {
  EXPECT_FALSE(port->sendLong(data.data(), 0, 0));
  EXPECT_FALSE(port->sendLong(nullptr, 10, 0));
  EXPECT_EQ(sim::midiCallCount(MidiCall::OutPrepareHeader), 0);

  sim::failMidiCall(MidiCall::OutLongMsg);
  EXPECT_FALSE(port->sendLong(data.data(), 5000, 0));
  EXPECT_TRUE(sim::sentLongMessages().empty());
  EXPECT_EQ(sim::midiCallCount(MidiCall::OutPrepareHeader), 1);  // ended at once
  sim::failMidiCall(MidiCall::OutPrepareHeader);
  EXPECT_FALSE(port->sendLong(data.data(), 10, 0));
  EXPECT_TRUE(sim::sentLongMessages().empty());
  EXPECT_TRUE(port->sendLong(data.data(), 10, 0));
}

TEST_F(MidiOutputTest, NothingIsSentWithoutAnOutput) {
  port->close();
  EXPECT_FALSE(port->sendShort(0x90, 0x3C, 0x64));
  EXPECT_FALSE(port->sendLong(data.data(), 100, 0));
  EXPECT_TRUE(sim::sentShortMessages().empty());
  EXPECT_TRUE(sim::sentLongMessages().empty());
}

}  // namespace
