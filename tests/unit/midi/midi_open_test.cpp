#include "midi_test_support.h"

namespace {

using sim::MidiCall;

class MidiOpenTest : public MidiPortTest {};

TEST_F(MidiOpenTest, AMissingDeviceFallsBackToDeviceZero) {
  twoDevicesEachWay();
  ASSERT_EQ(port->open(&rack, nullptr, {.inDevice = 7, .outDevice = 5}), 0);
  EXPECT_EQ(sim::lastMidiOutOpenDevice(), 0u);
  EXPECT_EQ(sim::lastMidiInOpenDevice(), 0u);
  ASSERT_EQ(port->open(&rack, nullptr, {.inDevice = 1, .outDevice = 1}), 0);
  EXPECT_EQ(sim::lastMidiOutOpenDevice(), 1u);
  EXPECT_EQ(sim::lastMidiInOpenDevice(), 1u);
}

TEST_F(MidiOpenTest, StrictDeviceRefusesMissingIndexes) {
  twoDevicesEachWay();
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 5, .strictDevice = true}), -2);
  EXPECT_FALSE(sim::midiOutIsOpen());
  EXPECT_FALSE(sim::midiInIsOpen());
  // A missing input also closes the output opened just before.
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 5, .outDevice = 1, .strictDevice = true}), -2);
  EXPECT_EQ(sim::midiCallCount(MidiCall::OutReset), 1);
  EXPECT_FALSE(sim::midiOutIsOpen());
  EXPECT_FALSE(port->hasOutput());
  EXPECT_FALSE(sim::midiInIsOpen());
}

TEST_F(MidiOpenTest, PortsOnlyRefusesSynthesizerOutputs) {
  sim::setMidiInDevices({{"Keys In"}});
  sim::setMidiOutDevices({{"Software Synth", MOD_SWSYNTH}, {"Mapper", MOD_MAPPER}});
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 0, .portsOnly = true}), -3);
  EXPECT_FALSE(sim::midiOutIsOpen());
  EXPECT_FALSE(sim::midiInIsOpen());  // input is not tried
  // The dialog's way on: open again without output, input still works.
  EXPECT_EQ(
      port->open(&rack, nullptr, {.inDevice = 0, .outDevice = kNoMidiDevice, .portsOnly = true}),
      0);
  EXPECT_TRUE(sim::midiInIsOpen());
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 1, .portsOnly = true}),
            0);  // the mapper is fine
  EXPECT_TRUE(sim::midiOutIsOpen());
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 0}),
            0);  // without portsOnly too
}

TEST_F(MidiOpenTest, OutputFailuresEndOpenBeforeTheInput) {
  sim::setMidiInDevices({{"Keys In"}});
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 0}), -3);  // no outputs
  sim::setMidiOutDevices({{"Port Out", MOD_MIDIPORT}});
  sim::failMidiCall(MidiCall::OutGetDevCaps);
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 0}), -3);
  sim::failMidiCall(MidiCall::OutOpen);
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 0}), -3);
  EXPECT_FALSE(port->hasOutput());
  EXPECT_EQ(sim::midiCallCount(MidiCall::InOpen), 0);
}

TEST_F(MidiOpenTest, InputFailuresLeaveTheOutputOpen) {
  sim::setMidiOutDevices({{"Port Out", MOD_MIDIPORT}});
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 0}), -4);  // no inputs
  EXPECT_TRUE(port->hasOutput());
  sim::setMidiInDevices({{"Keys In"}});
  sim::failMidiCall(MidiCall::InOpen);
  EXPECT_EQ(port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 0}), -4);
  EXPECT_TRUE(port->hasOutput());
  EXPECT_EQ(port->open<RecordingRack>(nullptr, nullptr, {.inDevice = 0, .outDevice = 0}), -5);
  EXPECT_TRUE(port->hasOutput());
}

TEST_F(MidiOpenTest, OpenAgainClosesFirst) {
  twoDevicesEachWay();
  ASSERT_EQ(openWinmm(), 0);
  ASSERT_EQ(port->start(), 0);
  ASSERT_EQ(openWinmm(), 0);
  EXPECT_EQ(sim::midiCallCount(MidiCall::InClose), 1);
  EXPECT_EQ(sim::midiCallCount(MidiCall::OutClose), 1);
  EXPECT_FALSE(port->isRunning());
}

TEST_F(MidiOpenTest, DeviceNames) {
  std::string in = "stale", out = "stale";
  EXPECT_TRUE(port->deviceNames(in, out));  // nothing open
  EXPECT_EQ(in, "");
  EXPECT_EQ(out, "");

  sim::setMidiInDevices({{"Keys In"}});
  sim::setMidiOutDevices({{"A port name of exactly 31 chars", MOD_MIDIPORT}});
  ASSERT_EQ(openWinmm(), 0);
  EXPECT_TRUE(port->deviceNames(in, out));
  EXPECT_EQ(in, "Keys In");
  EXPECT_EQ(out, "A port name of exactly 31 chars");

  sim::failMidiCall(MidiCall::InGetDevCaps);
  EXPECT_FALSE(port->deviceNames(in, out));
  EXPECT_EQ(in, "");
  EXPECT_EQ(out, "A port name of exactly 31 chars");
}

TEST_F(MidiOpenTest, ComIsInitialisedForTheLifeOfThePort) {
  EXPECT_EQ(sim::comInitializeBalance(), 1);
  port.reset();
  EXPECT_EQ(sim::comInitializeBalance(), 0);
}

TEST_F(MidiOpenTest, ComIsLeftAloneWhenItCouldNotBeInitialised) {
  sim::failCoInitialize(true);
  auto other = std::make_unique<MidiPort>();
  other.reset();
  EXPECT_EQ(sim::comInitializeBalance(), 1);  // the fixture's port still holds its own
}

}  // namespace
