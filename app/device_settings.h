// The user's choice of ASIO driver and MIDI devices. Choices are kept by name, not by
// index: indices shift when devices come and go, names do not. An empty name means
// "the first available", the program's behaviour when nothing was chosen.
#pragma once

#include <string>
#include <vector>

// The route when the "ASIO" box is not checked.
enum class SystemAudio { kDirectSound, kWasapiShared, kWasapiExclusive };

struct DeviceChoices {
  std::wstring asioDriver;
  std::wstring midiInput;
  std::wstring midiOutput;
  // MIDI timing: steady, or immediate (the default). Kept by name, like the devices.
  bool steadyMidiTiming = false;
  // Where recordings go (empty: the Music folder's Tonbrik folder), and their format:
  // 24-bit PCM, or 32-bit float (the default).
  std::wstring recordFolder = {};
  bool recordPcm24 = false;
  // The computer's keys play the on-screen keyboard, and the window's notes go to the
  // MIDI output too (on unless turned off).
  bool keysPlayNotes = true;
  // The route without ASIO (DirectSound unless chosen otherwise) and, for WASAPI, its
  // render and capture endpoints by friendly name, in stored form (empty: the system's
  // default device, followed when it changes).
  SystemAudio systemAudio = SystemAudio::kDirectSound;
  std::wstring renderEndpoint = {};
  std::wstring captureEndpoint = {};

  bool operator==(const DeviceChoices&) const = default;
};

// Whether the route without ASIO must be reopened for `after`: its kind changed, or a
// WASAPI route's endpoint did. Endpoints kept while DirectSound plays change nothing
// it plays on, so they cost no reopen (and no gap in the sound).
bool systemAudioChanged(const DeviceChoices& before, const DeviceChoices& after);

// Where the choices live: HKEY_CURRENT_USER\Software\Tonbrik\Settings, one REG_SZ value
// each (AsioDriver, MidiInput, MidiOutput).
extern const wchar_t kSettingsKeyPath[];
extern const wchar_t kAsioDriverValue[];
extern const wchar_t kMidiInputValue[];
extern const wchar_t kMidiOutputValue[];
// The MIDI timing's value (MidiTiming) holds one of these names; anything else
// reads as immediate.
extern const wchar_t kMidiTimingValue[];
extern const wchar_t kImmediateTimingName[];
extern const wchar_t kSteadyTimingName[];
// The recordings' folder (RecordFolder) and format (RecordFormat, one of these names;
// anything else reads as float).
extern const wchar_t kRecordFolderValue[];
extern const wchar_t kRecordFormatValue[];
extern const wchar_t kFloat32FormatName[];
extern const wchar_t kPcm24FormatName[];
// "Keys play notes" (KeysPlayNotes) holds kOffName when off; anything else reads as on.
extern const wchar_t kKeysPlayNotesValue[];
extern const wchar_t kOnName[];
extern const wchar_t kOffName[];
// The route without ASIO (SystemAudio) holds one of these names; anything else reads
// as DirectSound. The endpoints: RenderEndpoint and CaptureEndpoint.
extern const wchar_t kSystemAudioValue[];
extern const wchar_t kDirectSoundName[];
extern const wchar_t kWasapiSharedName[];
extern const wchar_t kWasapiExclusiveName[];
extern const wchar_t kRenderEndpointValue[];
extern const wchar_t kCaptureEndpointValue[];
// Longer values are not ours to read: no device has a name of this length.
constexpr size_t kMaxChoiceChars = 4096;

// The stored choices. A missing key or value, a value of another type, one too long or
// one that cannot be read gives the default (empty) for that choice.
DeviceChoices loadDeviceChoices();
// Writes all the values; false when the key cannot be created or a value not written.
bool saveDeviceChoices(const DeviceChoices& choices);

// Identical devices (two of the same interface, or names cut to the same 31
// characters) are told apart by their occurrence: the first "X" is stored as "X", as
// every choice was before, the second as "X", a tab and "#2". No device name holds a
// tab, so the form reads back unambiguously.
struct DeviceKey {
  std::wstring name;
  int occurrence = 1;  // 1 for the first device of that name in the list

  bool operator==(const DeviceKey&) const = default;
};
std::wstring storedChoice(const DeviceKey& key);
DeviceKey parseChoice(const std::wstring& stored);
// The stored form of the device at `index` in `names` ("" when there is none).
std::wstring choiceOf(const std::vector<std::wstring>& names, int index);
// The name a list shows for a choice: "X", or "X (2)" for the second "X".
std::wstring shownChoice(const std::wstring& stored);

// What a device whose name cannot be read is listed and stored as.
extern const wchar_t kUnnamedDevice[];
// The list as shown and stored: an empty name becomes kUnnamedDevice.
std::vector<std::wstring> namesWithPlaceholders(std::vector<std::wstring> names);

// A choice among the devices present now. `index` is the chosen device's position in
// `names`, or -1 for the default device; `missing` tells that a name was chosen but no
// present device has it (the default is used then).
struct ResolvedChoice {
  int index = -1;
  bool missing = false;
};
ResolvedChoice resolveChoice(const std::vector<std::wstring>& names, const std::wstring& chosen);

// The items of a drop-down list for one choice: `firstAvailable` at the top, then the
// present devices (as shownChoice shows them); a chosen device that is not present is kept as a
// last item (with `notPresentSuffix`), so confirming the box does not forget it. `selected` is the
// item that shows the current choice.
struct ChoiceList {
  std::vector<std::wstring> items;
  int selected = 0;
};
ChoiceList choiceList(const std::vector<std::wstring>& names, const std::wstring& chosen,
                      const std::wstring& firstAvailable, const std::wstring& notPresentSuffix);
// The choice an item of that list stands for, in stored form ("" for the top item or
// an unknown one).
std::wstring choiceAt(const std::vector<std::wstring>& names, const std::wstring& chosen, int item);
