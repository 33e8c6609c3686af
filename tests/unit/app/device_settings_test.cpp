// The remembered device choices: what survives a round trip through the registry, what
// is ignored when the stored values are not ours, and how a name finds its device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/device_settings.h"
#include "platform/platform.h"

namespace {

const char kKey[] = "Software\\Tonbrik\\Settings";

std::vector<BYTE> wideBytes(const std::wstring& text, bool terminate = true) {
  std::vector<BYTE> data((text.size() + (terminate ? 1 : 0)) * sizeof(WCHAR), 0);
  std::memcpy(data.data(), text.data(), text.size() * sizeof(WCHAR));
  return data;
}

class DeviceSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::resetRegistry(); }
  void TearDown() override {
    EXPECT_EQ(sim::openRegistryKeyCount(), 0);
    sim::resetRegistry();
  }
};

TEST_F(DeviceSettingsTest, RoundTripKeepsNonAsciiAndVeryLongNames) {
  DeviceChoices choices;
  choices.asioDriver = L"Focusrite USB ASIO \u00e9\u00df \u4e2d\u6587";
  choices.midiInput = std::wstring(kMaxChoiceChars, L'k');
  choices.midiOutput = L"";
  ASSERT_TRUE(saveDeviceChoices(choices));
  EXPECT_EQ(loadDeviceChoices(), choices);

  // Stored as UTF-16 text with its NUL, as REG_SZ, where a user or a script would look.
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  ASSERT_TRUE(sim::registryValue(HKEY_CURRENT_USER, kKey, "AsioDriver", &type, &data));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(data, wideBytes(choices.asioDriver));

  // Saving again replaces, never appends.
  choices.midiInput = L"Keyboard 2";
  ASSERT_TRUE(saveDeviceChoices(choices));
  EXPECT_EQ(loadDeviceChoices(), choices);

  // The MIDI timing by its name; a name not ours reads as the default.
  choices.steadyMidiTiming = true;
  ASSERT_TRUE(saveDeviceChoices(choices));
  EXPECT_EQ(loadDeviceChoices(), choices);
  ASSERT_TRUE(sim::registryValue(HKEY_CURRENT_USER, kKey, "MidiTiming", &type, &data));
  EXPECT_EQ(data, wideBytes(L"Steady"));
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "MidiTiming", REG_SZ, wideBytes(L"steady "));
  EXPECT_FALSE(loadDeviceChoices().steadyMidiTiming);

  // The recordings' folder and format, the format by its name too.
  choices.steadyMidiTiming = false;
  choices.recordFolder = L"D:\\Aufnahmen \u00e9";
  choices.recordPcm24 = true;
  ASSERT_TRUE(saveDeviceChoices(choices));
  EXPECT_EQ(loadDeviceChoices(), choices);
  ASSERT_TRUE(sim::registryValue(HKEY_CURRENT_USER, kKey, "RecordFormat", &type, &data));
  EXPECT_EQ(data, wideBytes(L"Pcm24"));
  // "Keys play notes" is on unless stored off.
  choices.keysPlayNotes = false;
  ASSERT_TRUE(saveDeviceChoices(choices));
  EXPECT_EQ(loadDeviceChoices(), choices);
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "KeysPlayNotes", REG_SZ, wideBytes(L"0"));
  EXPECT_TRUE(loadDeviceChoices().keysPlayNotes);
  // The route without ASIO by its name, its endpoints by theirs.
  choices.systemAudio = SystemAudio::kWasapiExclusive;
  choices.renderEndpoint = L"Lautsprecher (Realtek® Audio)";
  choices.captureEndpoint = storedChoice({L"Mikrofon", 2});
  ASSERT_TRUE(saveDeviceChoices(choices));
  EXPECT_EQ(loadDeviceChoices(), choices);
  ASSERT_TRUE(sim::registryValue(HKEY_CURRENT_USER, kKey, "SystemAudio", &type, &data));
  EXPECT_EQ(data, wideBytes(L"WasapiExclusive"));
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "SystemAudio", REG_SZ, wideBytes(L"WASAPI"));
  EXPECT_EQ(loadDeviceChoices().systemAudio, SystemAudio::kDirectSound);
}

TEST_F(DeviceSettingsTest, MissingKeyOrValuesGiveTheDefaults) {
  EXPECT_EQ(loadDeviceChoices(), DeviceChoices{});
  sim::createRegistryKey(HKEY_CURRENT_USER, kKey);
  EXPECT_EQ(loadDeviceChoices(), DeviceChoices{});
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "MidiOutput", REG_SZ, wideBytes(L"Out"));
  const DeviceChoices loaded = loadDeviceChoices();
  EXPECT_EQ(loaded.midiOutput, L"Out");
  EXPECT_TRUE(loaded.asioDriver.empty());
  EXPECT_TRUE(loaded.midiInput.empty());
}

TEST_F(DeviceSettingsTest, ForeignValuesAreIgnoredOneByOne) {
  const uint32_t number = 7;
  std::vector<BYTE> dword(sizeof number);
  std::memcpy(dword.data(), &number, sizeof number);
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "AsioDriver", REG_DWORD, dword);
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "MidiInput", REG_BINARY, wideBytes(L"In"));
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "MidiOutput", REG_SZ, wideBytes(L"Out"));
  DeviceChoices loaded = loadDeviceChoices();
  EXPECT_TRUE(loaded.asioDriver.empty());
  EXPECT_TRUE(loaded.midiInput.empty());
  EXPECT_EQ(loaded.midiOutput, L"Out");

  // Too long to be a device name, empty data, no NUL, a stray byte, text after a NUL.
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "AsioDriver", REG_SZ,
                        wideBytes(std::wstring(kMaxChoiceChars + 1, L'x')));
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "MidiInput", REG_SZ, {});
  std::vector<BYTE> odd = wideBytes(L"Out 2", false);
  odd.push_back(0x41);
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "MidiOutput", REG_SZ, odd);
  loaded = loadDeviceChoices();
  EXPECT_TRUE(loaded.asioDriver.empty());
  EXPECT_TRUE(loaded.midiInput.empty());
  EXPECT_EQ(loaded.midiOutput, L"Out 2");
  sim::setRegistryValue(HKEY_CURRENT_USER, kKey, "MidiOutput", REG_SZ,
                        wideBytes(std::wstring(L"A\0B", 3)));
  EXPECT_EQ(loadDeviceChoices().midiOutput, L"A");
}

TEST_F(DeviceSettingsTest, SaveReportsAnUnwritableRegistry) {
  sim::failRegistryWrites(true);
  EXPECT_FALSE(saveDeviceChoices(DeviceChoices{L"a", L"b", L"c"}));
  sim::failRegistryWrites(false);
  EXPECT_EQ(loadDeviceChoices(), DeviceChoices{});
}

TEST(DeviceChoiceTest, ResolvesNamesToTodaysIndices) {
  const std::vector<std::wstring> names = {L"Virtual MIDI In", L"Virtual MIDI In 2",
                                           L"Virtual MIDI In 2"};
  EXPECT_EQ(resolveChoice(names, L"").index, -1);
  EXPECT_FALSE(resolveChoice(names, L"").missing);
  EXPECT_EQ(resolveChoice(names, L"Virtual MIDI In").index, 0);
  // Two devices of one name: the first of them, as the list shows it.
  EXPECT_EQ(resolveChoice(names, L"Virtual MIDI In 2").index, 1);
  // Names compare exactly: a device renamed in case is another device.
  const ResolvedChoice gone = resolveChoice(names, L"virtual midi in");
  EXPECT_EQ(gone.index, -1);
  EXPECT_TRUE(gone.missing);
  EXPECT_TRUE(resolveChoice({}, L"Keyboard").missing);
}

TEST(DeviceChoiceTest, ListKeepsAnAbsentChoiceSelectable) {
  const std::vector<std::wstring> names = {L"A", L"B"};
  ChoiceList list = choiceList(names, L"", L"(first available)", L" (not present)");
  EXPECT_EQ(list.items, (std::vector<std::wstring>{L"(first available)", L"A", L"B"}));
  EXPECT_EQ(list.selected, 0);
  EXPECT_EQ(choiceAt(names, L"", 0), L"");
  EXPECT_EQ(choiceAt(names, L"", 2), L"B");

  list = choiceList(names, L"B", L"(first available)", L" (not present)");
  EXPECT_EQ(list.selected, 2);

  list = choiceList(names, L"Gone", L"(first available)", L" (not present)");
  EXPECT_EQ(list.items.back(), L"Gone (not present)");
  EXPECT_EQ(list.selected, 3);
  // Confirming the box unchanged keeps the absent device's name, not the label.
  EXPECT_EQ(choiceAt(names, L"Gone", list.selected), L"Gone");
  EXPECT_EQ(choiceAt(names, L"Gone", 0), L"");
  EXPECT_EQ(choiceAt(names, L"", 3), L"");
  EXPECT_EQ(choiceAt(names, L"", -1), L"");
}

TEST(DeviceChoiceTest, TheSecondOfTwoIdenticalDevicesIsItsOwnChoice) {
  const std::vector<std::wstring> names = {L"USB MIDI", L"Keys", L"USB MIDI"};
  ChoiceList list = choiceList(names, L"", L"(first available)", L" (not present)");
  EXPECT_EQ(list.items, (std::vector<std::wstring>{L"(first available)", L"USB MIDI", L"Keys",
                                                   L"USB MIDI (2)"}));
  const std::wstring second = choiceAt(names, L"", 3);
  EXPECT_EQ(resolveChoice(names, second).index, 2);
  EXPECT_EQ(choiceList(names, second, L"-", L" (not present)").selected, 3);
  // A value stored before occurrences were kept still means the first.
  EXPECT_EQ(resolveChoice(names, choiceAt(names, L"", 1)).index, 0);
  EXPECT_EQ(choiceAt(names, L"", 1), L"USB MIDI");
  // With one of them unplugged, the second is missing, not the first.
  const std::vector<std::wstring> one = {L"USB MIDI", L"Keys"};
  EXPECT_TRUE(resolveChoice(one, second).missing);
  EXPECT_EQ(choiceList(one, second, L"-", L" (not present)").items.back(),
            L"USB MIDI (2) (not present)");
  // Names that merely look like the stored form are names.
  EXPECT_EQ(parseChoice(L"Synth\t#0").name, L"Synth\t#0");
  EXPECT_EQ(parseChoice(L"Synth #2").occurrence, 1);
  EXPECT_EQ(parseChoice(L"Synth\t#12"), (DeviceKey{L"Synth", 12}));
}

TEST(DeviceChoiceTest, ANamelessDeviceIsListedAndChosenUnderAPlaceholder) {
  const std::vector<std::wstring> names = namesWithPlaceholders({L"Keys", L""});
  EXPECT_EQ(names[1], kUnnamedDevice);
  const std::wstring chosen = choiceAt(names, L"", 2);
  EXPECT_FALSE(chosen.empty());  // not "(first available)"
  EXPECT_EQ(resolveChoice(names, chosen).index, 1);
}

TEST(DeviceChoiceTest, OnlyWhatTheRouteWithoutAsioPlaysOnReopensIt) {
  DeviceChoices before;
  DeviceChoices after = before;
  // Endpoints picked while DirectSound stays chosen: DirectSound plays on as it did.
  after.renderEndpoint = L"Speakers";
  EXPECT_FALSE(systemAudioChanged(before, after));
  after.systemAudio = SystemAudio::kWasapiShared;
  EXPECT_TRUE(systemAudioChanged(before, after));
  before = after;
  after.captureEndpoint = L"Microphone\t#2";
  EXPECT_TRUE(systemAudioChanged(before, after));
  after = before;
  after.midiInput = L"Keys";
  EXPECT_FALSE(systemAudioChanged(before, after));
}

}  // namespace
