// Devices that go away while open, and drivers that misbehave while the input stops
// and closes.
#include "midi_test_support.h"

#include "synth/synth_rack.h"

#include <atomic>
#include <thread>

namespace {

using sim::MidiCall;

// Each 1 ms pause lasts 10 ms on the performance counter.
int pausesSeen = 0;
void fastClock(DWORD milliseconds) {
  if (milliseconds == MidiPort::kRetryPauseMs) ++pausesSeen;
  sim::advancePerformanceCounter(milliseconds * 10 * (sim::kPerformanceFrequency / 1000));
}

class MidiDeviceLossTest : public MidiPortTest {
 protected:
  void SetUp() override {
    MidiPortTest::SetUp();
    twoDevicesEachWay();
    pausesSeen = 0;
  }
  void TearDown() override {
    sim::setSleepObserver(nullptr);
    MidiPortTest::TearDown();
  }
  void onFastClock() {
    sim::setManualPerformanceCounter(true);
    sim::setSleepObserver(&fastClock);
  }
  bool noteSounds(const SynthRack& synthRack, int note) const {
    const Synth* synth = synthRack.synthAt(0);
    for (int32_t v = 0; v < synth->voiceCount(); ++v) {
      if (synth->voice(v).omega.get() == Synth::noteOmega(note) &&
          synth->voice(v).held(Synth::kReleasedTarget)) {
        return true;
      }
    }
    return false;
  }
};

TEST_F(MidiDeviceLossTest, ABufferTheDriverReturnsAfterTheResetIsNotQueuedAgain) {
  ASSERT_EQ(openWinmm(), 0);
  ASSERT_EQ(port->start(), 0);
  onFastClock();
  sim::setMidiInResetReturnsLate(true);
  port->stop();
  EXPECT_EQ(sim::midiInReturnLateBuffers(), 2);
  EXPECT_EQ(sim::midiInQueuedBufferCount(), 0);
  pausesSeen = 0;
  port->close();
  EXPECT_LT(pausesSeen, 10);  // nothing left to wait for
  EXPECT_FALSE(sim::midiInIsOpen());
  EXPECT_EQ(sim::midiHeadersHeldByDrivers(), 0);
  // The same input opens again.
  sim::setMidiInResetReturnsLate(false);
  ASSERT_EQ(openWinmm(), 0);
  EXPECT_EQ(port->start(), 0);
}

// Shows under AddressSanitizer: the port's memory is freed by then.
TEST_F(MidiDeviceLossTest, ADriverThatWillNotCloseNeverCallsIntoTheGonePort) {
  ASSERT_EQ(openWinmm(), 0);
  ASSERT_EQ(port->start(), 0);
  onFastClock();
  sim::failMidiCall(MidiCall::InClose, 1000, MIDIERR_STILLPLAYING);
  port.reset();
  ASSERT_TRUE(sim::midiInIsOpen());
  // The driver calls back after all, into what was left in the port's place.
  EXPECT_TRUE(sim::midiInFire(MIM_DATA, 0x643C90));
  EXPECT_TRUE(sim::midiInFire(MIM_CLOSE, 0));
  EXPECT_TRUE(rack.messages().empty());
}

TEST_F(MidiDeviceLossTest, AnInputPulledOutReleasesItsNotesAtOnceAndClosesWithoutWaiting) {
  SynthRack synthRack;
  ASSERT_EQ(synthRack.createSynth(0, 1, 16, false), Synth::kParameterCount);
  ASSERT_TRUE(synthRack.activate(0));
  ASSERT_EQ(
      port->open(&synthRack, nullptr, {.inDevice = 1, .outDevice = 0, .sysexRingBytes = 8192}), 0);
  ASSERT_EQ(port->start(), 0);
  ASSERT_TRUE(sim::midiInSendShort(0x7F40B0));  // pedal down
  ASSERT_TRUE(sim::midiInSendShort(0x643C90));
  ASSERT_TRUE(sim::midiInSendShort(0x003C80));  // sustained by the pedal
  ASSERT_TRUE(sim::midiInSendShort(0x643E90));  // held
  ASSERT_TRUE(noteSounds(synthRack, 0x3C));
  ASSERT_TRUE(noteSounds(synthRack, 0x3E));

  ASSERT_TRUE(sim::unplugMidiIn(1));
  // Released inside the close notice, before the window has done anything.
  EXPECT_TRUE(port->inputLost());
  EXPECT_FALSE(port->outputLost());
  EXPECT_FALSE(noteSounds(synthRack, 0x3C));
  EXPECT_FALSE(noteSounds(synthRack, 0x3E));
  EXPECT_FALSE(synthRack.isSustainDown(0));

  onFastClock();
  port->closeLostDevices();
  EXPECT_LT(pausesSeen, 3);
  EXPECT_FALSE(sim::midiInIsOpen());
  EXPECT_EQ(port->openInputDevice(), kNoMidiDevice);
  EXPECT_EQ(port->openOutputDevice(), 0);  // the output stays
  EXPECT_EQ(sim::midiHeadersHeldByDrivers(), 0);

  // A close we asked for is no loss.
  ASSERT_TRUE(sim::plugMidiIn(1, {"Pads In"}));
  ASSERT_EQ(port->open(&synthRack, nullptr, {.inDevice = 1, .outDevice = 0}), 0);
  EXPECT_FALSE(port->inputLost());
  ASSERT_EQ(port->start(), 0);
  ASSERT_TRUE(sim::midiInSendShort(0x643C90));
  EXPECT_TRUE(noteSounds(synthRack, 0x3C));
  // A device before it goes: the open one moves up a place, as its handle tells.
  EXPECT_EQ(port->currentInputPlace(), 1);
  ASSERT_TRUE(sim::unplugMidiIn(0));
  EXPECT_EQ(port->currentInputPlace(), 0);
  EXPECT_FALSE(port->inputLost());
  port->close();
  EXPECT_FALSE(port->inputLost());
  EXPECT_EQ(port->currentInputPlace(), kNoMidiDevice);
}

TEST_F(MidiDeviceLossTest, AnInputGoneWithoutANoticeIsClosedAndItsNotesReleased) {
  SynthRack synthRack;
  ASSERT_EQ(synthRack.createSynth(0, 1, 16, false), Synth::kParameterCount);
  ASSERT_TRUE(synthRack.activate(0));
  ASSERT_EQ(port->open(&synthRack, nullptr, {.inDevice = 0, .outDevice = 0}), 0);
  ASSERT_EQ(port->start(), 0);
  ASSERT_TRUE(sim::midiInSendShort(0x7F40B0));
  ASSERT_TRUE(sim::midiInSendShort(0x643C90));
  // The window no longer finds the device in the list; its driver said nothing.
  port->markInputLost();
  onFastClock();
  port->closeLostDevices();
  EXPECT_LT(pausesSeen, 3);
  EXPECT_FALSE(noteSounds(synthRack, 0x3C));
  EXPECT_FALSE(synthRack.isSustainDown(0));
  EXPECT_FALSE(sim::midiInIsOpen());
  EXPECT_TRUE(sim::midiOutIsOpen());
}

// A rack whose processMidi holds the driver's thread inside while `hold` is set.
class HoldingRack {
 public:
  void processMidi(const uint8_t* bytes, int32_t count) {
    if (std::this_thread::get_id() != window_) {
      inside_ = true;
      while (hold_.load()) std::this_thread::yield();
      return;
    }
    (bytes == nullptr ? windowRequests_ : windowMessages_).fetch_add(1);
    (void)count;
  }
  std::thread::id window_ = std::this_thread::get_id();
  std::atomic<bool> hold_{true};
  std::atomic<bool> inside_{false};
  std::atomic<int> windowMessages_{0};
  std::atomic<int> windowRequests_{0};
};

TEST_F(MidiDeviceLossTest, ALostInputWhoseCallbackStaysInsideGetsNoSecondSender) {
  HoldingRack holding;
  ASSERT_EQ(port->open(&holding, nullptr, {.inDevice = 0, .outDevice = 0}), 0);
  ASSERT_EQ(port->start(), 0);
  std::thread driver([] { sim::midiInSendShort(0x643C90); });
  ASSERT_TRUE(eventually([&] { return holding.inside_.load(); }));
  port->markInputLost();
  onFastClock();
  // Its driver will not close either, so the link stays the driver's.
  sim::failMidiCall(MidiCall::InClose, 1000, MIDIERR_STILLPLAYING);
  port->closeLostDevices();
  // The callback did not leave within the wait: the notes end through a request,
  // never through messages sent beside the callback's own.
  EXPECT_EQ(holding.windowMessages_.load(), 0);
  EXPECT_EQ(holding.windowRequests_.load(), 1);
  EXPECT_FALSE(port->hasWinmmInput());
  holding.hold_ = false;
  driver.join();
}

TEST_F(MidiDeviceLossTest, AFailedSendMarksTheOutputLostAndItClosesWithoutWaiting) {
  ASSERT_EQ(openWinmm(), 0);
  ASSERT_EQ(port->start(), 0);
  EXPECT_TRUE(port->sendShort(0x90, 0x3C, 0x64));
  EXPECT_FALSE(port->outputLost());
  ASSERT_TRUE(sim::unplugMidiOut(0));
  EXPECT_FALSE(port->sendShort(0x90, 0x3C, 0x64));
  EXPECT_TRUE(port->outputLost());
  EXPECT_FALSE(port->inputLost());
  onFastClock();
  port->closeLostDevices();
  EXPECT_LT(pausesSeen, 3);
  EXPECT_FALSE(sim::midiOutIsOpen());
  EXPECT_TRUE(sim::midiInIsStarted());  // the input goes on
  EXPECT_TRUE(port->hasWinmmInput());
  // Back again: the output alone is opened, and the input's notes are not cut.
  ASSERT_TRUE(sim::plugMidiOut(0, {"Port Out", MOD_MIDIPORT}));
  EXPECT_EQ(port->reopenOutput(0, true), 0);
  EXPECT_FALSE(port->outputLost());
  EXPECT_TRUE(port->sendShort(0x90, 0x3C, 0x64));
  EXPECT_TRUE(sim::midiInIsStarted());
  EXPECT_EQ(rack.resets(), 0);
}

}  // namespace
