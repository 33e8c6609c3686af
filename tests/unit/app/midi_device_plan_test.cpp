#include <gtest/gtest.h>

#include "app/device_settings.h"
#include "app/midi_device_plan.h"

namespace {

using Names = std::vector<std::wstring>;

// A side as the window leaves it after opening `key` from `names`.
MidiSide opened(const std::wstring& choice, const std::wstring& key) {
  return MidiSide{choice, key, true, false, {}};
}

TEST(MidiDevicePlanTest, AChosenDeviceIsFollowedAndNeverSwappedAfterItIsLost) {
  // Keys is open; it goes away.
  MidiSide side = opened(L"Keys", L"Keys");
  MidiSideCheck check = checkMidiSide({L"Pads"}, side, 0);
  EXPECT_TRUE(check.gone);
  EXPECT_FALSE(check.reopen);  // Pads is there, but it was not chosen
  side.open = false;
  side.lost = true;
  EXPECT_EQ(midiSideTarget({L"Pads"}, side.choice, 0, !side.lost).index, -1);
  EXPECT_TRUE(midiSideWaiting({L"Pads"}, side, 0));
  // It comes back at another place in the list: that place is opened.
  check = checkMidiSide({L"Pads", L"Keys"}, side, 0);
  EXPECT_FALSE(check.gone);
  EXPECT_TRUE(check.reopen);
  EXPECT_EQ(midiSideTarget({L"Pads", L"Keys"}, side.choice, 0, false).index, 1);
  // Open again and present: nothing to do, nothing to wait for.
  side = opened(L"Keys", L"Keys");
  EXPECT_FALSE(checkMidiSide({L"Pads", L"Keys"}, side, 0).reopen);
  EXPECT_FALSE(midiSideWaiting({L"Pads", L"Keys"}, side, 0));
}

TEST(MidiDevicePlanTest, TheSecondOfTwoIdenticalDevicesIsWaitedForByItsOccurrence) {
  const std::wstring second = choiceOf({L"USB MIDI", L"USB MIDI"}, 1);
  MidiSide side = opened(second, second);
  const MidiSideCheck check = checkMidiSide({L"USB MIDI"}, side, 0);
  EXPECT_TRUE(check.gone);
  EXPECT_FALSE(check.reopen);  // the other one is not the chosen one
  side.lost = true;
  side.open = false;
  EXPECT_TRUE(checkMidiSide({L"USB MIDI", L"USB MIDI"}, side, 0).reopen);
}

TEST(MidiDevicePlanTest, IdenticalDevicesAreToldApartByTheOpenOnesPlaceAcrossAReplug) {
  const Names two = {L"USB MIDI", L"USB MIDI"};
  const Names one = {L"USB MIDI"};
  // The first is open; the second is pulled.
  MidiSide side = opened(L"", L"USB MIDI");
  MidiSideCheck check = checkMidiSide(one, side, 0, 0);
  EXPECT_FALSE(check.gone);
  EXPECT_FALSE(check.reopen);
  // It comes back ahead of the open one, which is the second of the name now: it is
  // left open, and its key follows it.
  check = checkMidiSide(two, side, 0, 1);
  EXPECT_FALSE(check.gone);
  EXPECT_FALSE(check.reopen) << "a twin never displaces the open device";
  EXPECT_EQ(check.key, choiceOf(two, 1));
  side.key = check.key;
  // The open one goes without a word from its driver; the twin left does not hide it.
  check = checkMidiSide(one, side, 0, kNoMidiDevice);
  EXPECT_TRUE(check.gone);

  // The second is chosen and open; the first is pulled and comes back after it.
  const std::wstring second = choiceOf(two, 1);
  side = opened(second, second);
  check = checkMidiSide(one, side, 0, 0);
  EXPECT_FALSE(check.gone) << "the open device is still there, first of its name now";
  EXPECT_FALSE(check.reopen);
  side.key = check.key;
  check = checkMidiSide(two, side, 0, 0);
  EXPECT_FALSE(check.gone);
  EXPECT_FALSE(check.reopen) << "the returning twin does not take the open one's place";
}

TEST(MidiDevicePlanTest, FirstAvailableFollowsWhateverIsFirst) {
  // Output "(first available)" is device 1, or 0 when there is only one.
  EXPECT_EQ(midiSideTarget({L"A", L"B"}, L"", 1, false).index, 1);
  EXPECT_EQ(midiSideTarget({L"A"}, L"", 1, false).index, 0);
  EXPECT_EQ(midiSideTarget({}, L"", 1, false).index, -1);
  MidiSide side = opened(L"", L"A");
  // A is pulled: B is first now and is taken at once.
  MidiSideCheck check = checkMidiSide({L"B"}, side, 0);
  EXPECT_TRUE(check.gone);
  EXPECT_TRUE(check.reopen);
  // A keyboard plugged in ahead of the open one takes over.
  side = opened(L"", L"B");
  EXPECT_TRUE(checkMidiSide({L"A", L"B"}, side, 0).reopen);
  // Nothing at all: waiting, and the first device to appear is opened.
  side = MidiSide{L"", L"", false, false, {}};
  EXPECT_TRUE(midiSideWaiting({}, side, 0));
  EXPECT_TRUE(checkMidiSide({L"A"}, side, 0).reopen);
}

TEST(MidiDevicePlanTest, ALostOutputIsShownUnderItsOwnNameWhileAStandInRefuses) {
  // Output "(first available)" is device 1, the port; the synthesizer before it
  // is refused whenever it is tried.
  const Names both = {L"Virtual Synth Out", L"Virtual MIDI Out"};
  MidiSide side;
  noteMidiSideOpened(side, both, 1, 1);
  EXPECT_EQ(midiSideLine(both, side, 1, false), L"Virtual MIDI Out");
  const Names left = {L"Virtual Synth Out"};
  ASSERT_TRUE(checkMidiSide(left, side, 1).gone);
  noteMidiSideLost(side);
  // The synthesizer stands first now and is tried; it refuses.
  const MidiSideCheck check = checkMidiSide(left, side, 1);
  ASSERT_TRUE(check.reopen);
  noteMidiSideOpened(side, left, midiSideTarget(left, side.choice, 1, false).index, kNoMidiDevice);
  EXPECT_EQ(midiSideLine(left, side, kNoMidiDevice, false), L"Virtual MIDI Out (lost, retrying)");
  // Back: it is the one opened, and the line is plain again.
  noteMidiSideOpened(side, both, 1, 1);
  EXPECT_EQ(midiSideLine(both, side, 1, false), L"Virtual MIDI Out");
}

TEST(MidiDevicePlanTest, AMissingChoiceWithNothingToStandInIsNamedAfterANoDeviceMark) {
  MidiSide side{L"Virtual MIDI In", L"", false, false, {}};
  const MidiSideTarget target = midiSideTarget({}, side.choice, 0, true);
  ASSERT_EQ(target.index, kNoMidiDevice);
  ASSERT_TRUE(target.missing);
  noteMidiSideOpened(side, {}, target.index, kNoMidiDevice);
  EXPECT_EQ(midiSideLine({}, side, kNoMidiDevice, true), L"(none) (Virtual MIDI In not found)");
  EXPECT_EQ(midiSideLine({L"Keys"}, side, 0, true), L"Keys (Virtual MIDI In not found)");
  // The choice stays, and the device is opened when it comes.
  EXPECT_EQ(side.choice, L"Virtual MIDI In");
  EXPECT_TRUE(checkMidiSide({L"Virtual MIDI In"}, side, 0).reopen);
}

TEST(MidiDevicePlanTest, ADeviceThatRefusedIsNotTriedAgainUntilTheListChanges) {
  // A synthesizer output was tried at start-up and refused.
  const MidiSide side{L"", L"GS Synth", false, false, {}};
  EXPECT_FALSE(checkMidiSide({L"GS Synth"}, side, 1).reopen);
  EXPECT_FALSE(midiSideWaiting({L"GS Synth"}, side, 1));
}

TEST(MidiDevicePlanTest, ATimeWithoutAChosenDeviceStandsInUntilItAppears) {
  // At start-up the chosen Keys was missing and the default stood in, visibly.
  const MidiSideTarget start = midiSideTarget({L"Pads"}, L"Keys", 0, true);
  EXPECT_EQ(start.index, 0);
  EXPECT_TRUE(start.missing);
  const MidiSide side = opened(L"Keys", L"Pads");
  EXPECT_FALSE(checkMidiSide({L"Pads"}, side, 0).reopen);
  EXPECT_TRUE(midiSideWaiting({L"Pads"}, side, 0));
  EXPECT_TRUE(checkMidiSide({L"Pads", L"Keys"}, side, 0).reopen);
}

TEST(MidiDeviceWatchTest, ChangesSettleAndAWaitingSideIsRetriedEveryTwoSeconds) {
  MidiDeviceWatch watch;
  EXPECT_FALSE(watch.due(1000, false));
  // Three announcements in a burst: one reading, 500 ms after the last.
  watch.deviceChanged(1000);
  watch.deviceChanged(1200);
  watch.deviceChanged(1300);
  EXPECT_FALSE(watch.due(1700, false));
  EXPECT_TRUE(watch.due(1800, false));
  EXPECT_FALSE(watch.due(1900, false));
  // Waiting from 5000: readings at 7000, 9000, ...; none once nothing waits.
  EXPECT_FALSE(watch.due(5000, true));
  EXPECT_FALSE(watch.due(6900, true));
  EXPECT_TRUE(watch.due(7000, true));
  EXPECT_FALSE(watch.due(8900, true));
  EXPECT_TRUE(watch.due(9000, true));
  // Open devices are read on the same beat: an output nothing is sent on is seen to
  // go without an announcement too.
  EXPECT_FALSE(watch.due(10000, false));
  EXPECT_TRUE(watch.due(11000, false));
  EXPECT_FALSE(watch.due(12900, false));
  EXPECT_TRUE(watch.due(13000, false));
}

}  // namespace
