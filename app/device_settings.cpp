#include "app/device_settings.h"

#include "platform/platform.h"

const wchar_t kSettingsKeyPath[] = L"Software\\Tonbrik\\Settings";
const wchar_t kAsioDriverValue[] = L"AsioDriver";
const wchar_t kMidiInputValue[] = L"MidiInput";
const wchar_t kMidiOutputValue[] = L"MidiOutput";
const wchar_t kMidiTimingValue[] = L"MidiTiming";
const wchar_t kImmediateTimingName[] = L"Immediate";
const wchar_t kSteadyTimingName[] = L"Steady";
const wchar_t kRecordFolderValue[] = L"RecordFolder";
const wchar_t kRecordFormatValue[] = L"RecordFormat";
const wchar_t kFloat32FormatName[] = L"Float32";
const wchar_t kPcm24FormatName[] = L"Pcm24";
const wchar_t kKeysPlayNotesValue[] = L"KeysPlayNotes";
const wchar_t kOnName[] = L"On";
const wchar_t kOffName[] = L"Off";
const wchar_t kSystemAudioValue[] = L"SystemAudio";
const wchar_t kDirectSoundName[] = L"DirectSound";
const wchar_t kWasapiSharedName[] = L"WasapiShared";
const wchar_t kWasapiExclusiveName[] = L"WasapiExclusive";
const wchar_t kRenderEndpointValue[] = L"RenderEndpoint";
const wchar_t kCaptureEndpointValue[] = L"CaptureEndpoint";
const wchar_t kUnnamedDevice[] = L"(unnamed device)";

namespace {

// One REG_SZ value as text up to its first NUL; empty for anything else.
std::wstring readChoice(HKEY key, const wchar_t* name) {
  DWORD type = REG_NONE;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return {};
  if (type != REG_SZ || bytes == 0 || bytes > (kMaxChoiceChars + 1) * sizeof(WCHAR)) return {};
  // One unit more than asked, so a value stored without its NUL still ends in one.
  std::vector<WCHAR> text(bytes / sizeof(WCHAR) + 1, 0);
  DWORD got = bytes;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got) !=
          ERROR_SUCCESS ||
      type != REG_SZ || got > bytes) {
    return {};  // changed under us: take the default rather than a half-read name
  }
  text[got / sizeof(WCHAR)] = 0;
  std::wstring choice(text.data());
  return choice.size() <= kMaxChoiceChars ? choice : std::wstring();
}

SystemAudio systemAudioNamed(const std::wstring& name) {
  if (name == kWasapiSharedName) return SystemAudio::kWasapiShared;
  if (name == kWasapiExclusiveName) return SystemAudio::kWasapiExclusive;
  return SystemAudio::kDirectSound;
}

const wchar_t* systemAudioName(SystemAudio audio) {
  switch (audio) {
    case SystemAudio::kWasapiShared:
      return kWasapiSharedName;
    case SystemAudio::kWasapiExclusive:
      return kWasapiExclusiveName;
    case SystemAudio::kDirectSound:
      break;
  }
  return kDirectSoundName;
}

bool writeChoice(HKEY key, const wchar_t* name, const std::wstring& value) {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        bytes) == ERROR_SUCCESS;
}

}  // namespace

bool systemAudioChanged(const DeviceChoices& before, const DeviceChoices& after) {
  if (before.systemAudio != after.systemAudio) return true;
  if (after.systemAudio == SystemAudio::kDirectSound) return false;
  return before.renderEndpoint != after.renderEndpoint ||
         before.captureEndpoint != after.captureEndpoint;
}

DeviceChoices loadDeviceChoices() {
  DeviceChoices choices;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return choices;
  }
  choices.asioDriver = readChoice(key, kAsioDriverValue);
  choices.midiInput = readChoice(key, kMidiInputValue);
  choices.midiOutput = readChoice(key, kMidiOutputValue);
  choices.steadyMidiTiming = readChoice(key, kMidiTimingValue) == kSteadyTimingName;
  choices.recordFolder = readChoice(key, kRecordFolderValue);
  choices.recordPcm24 = readChoice(key, kRecordFormatValue) == kPcm24FormatName;
  choices.keysPlayNotes = readChoice(key, kKeysPlayNotesValue) != kOffName;
  choices.systemAudio = systemAudioNamed(readChoice(key, kSystemAudioValue));
  choices.renderEndpoint = readChoice(key, kRenderEndpointValue);
  choices.captureEndpoint = readChoice(key, kCaptureEndpointValue);
  RegCloseKey(key);
  return choices;
}

bool saveDeviceChoices(const DeviceChoices& choices) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool ok =
      writeChoice(key, kAsioDriverValue, choices.asioDriver) &&
      writeChoice(key, kMidiInputValue, choices.midiInput) &&
      writeChoice(key, kMidiOutputValue, choices.midiOutput) &&
      writeChoice(key, kMidiTimingValue,
                  choices.steadyMidiTiming ? kSteadyTimingName : kImmediateTimingName) &&
      writeChoice(key, kRecordFolderValue, choices.recordFolder) &&
      writeChoice(key, kRecordFormatValue,
                  choices.recordPcm24 ? kPcm24FormatName : kFloat32FormatName) &&
      writeChoice(key, kKeysPlayNotesValue, choices.keysPlayNotes ? kOnName : kOffName) &&
      writeChoice(key, kSystemAudioValue, systemAudioName(choices.systemAudio)) &&
      writeChoice(key, kRenderEndpointValue, choices.renderEndpoint) &&
      writeChoice(key, kCaptureEndpointValue, choices.captureEndpoint);
  RegCloseKey(key);
  return ok;
}

namespace {

constexpr wchar_t kOccurrenceMark[] = L"\t#";

}  // namespace

std::wstring storedChoice(const DeviceKey& key) {
  if (key.occurrence <= 1) return key.name;
  return key.name + kOccurrenceMark + std::to_wstring(key.occurrence);
}

DeviceKey parseChoice(const std::wstring& stored) {
  const size_t mark = stored.rfind(kOccurrenceMark);
  if (mark == std::wstring::npos) return {stored, 1};
  const std::wstring digits = stored.substr(mark + 2);
  // Only what storedChoice writes: 2 and up, no sign, no leading zero, no overflow.
  if (digits.empty() || digits.size() > 6 || digits[0] < L'1' || digits[0] > L'9') {
    return {stored, 1};
  }
  int occurrence = 0;
  for (const wchar_t digit : digits) {
    if (digit < L'0' || digit > L'9') return {stored, 1};
    occurrence = occurrence * 10 + (digit - L'0');
  }
  if (occurrence < 2) return {stored, 1};
  return {stored.substr(0, mark), occurrence};
}

std::wstring choiceOf(const std::vector<std::wstring>& names, int index) {
  if (index < 0 || index >= static_cast<int>(names.size())) return {};
  int occurrence = 0;
  for (int i = 0; i <= index; ++i) {
    if (names[static_cast<size_t>(i)] == names[static_cast<size_t>(index)]) ++occurrence;
  }
  return storedChoice({names[static_cast<size_t>(index)], occurrence});
}

std::wstring shownChoice(const std::wstring& stored) {
  const DeviceKey key = parseChoice(stored);
  if (key.occurrence <= 1) return key.name;
  return key.name + L" (" + std::to_wstring(key.occurrence) + L")";
}

std::vector<std::wstring> namesWithPlaceholders(std::vector<std::wstring> names) {
  for (std::wstring& name : names) {
    if (name.empty()) name = kUnnamedDevice;
  }
  return names;
}

ResolvedChoice resolveChoice(const std::vector<std::wstring>& names, const std::wstring& chosen) {
  if (chosen.empty()) return {};
  const DeviceKey key = parseChoice(chosen);
  int seen = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == key.name && ++seen == key.occurrence) return {static_cast<int>(i), false};
  }
  return {-1, true};
}

ChoiceList choiceList(const std::vector<std::wstring>& names, const std::wstring& chosen,
                      const std::wstring& firstAvailable, const std::wstring& notPresentSuffix) {
  ChoiceList list;
  list.items.push_back(firstAvailable);
  for (int i = 0; i < static_cast<int>(names.size()); ++i) {
    list.items.push_back(shownChoice(choiceOf(names, i)));
  }
  const ResolvedChoice resolved = resolveChoice(names, chosen);
  if (resolved.index >= 0) {
    list.selected = resolved.index + 1;
  } else if (resolved.missing) {
    list.items.push_back(shownChoice(chosen) + notPresentSuffix);
    list.selected = static_cast<int>(list.items.size()) - 1;
  }
  return list;
}

std::wstring choiceAt(const std::vector<std::wstring>& names, const std::wstring& chosen,
                      int item) {
  if (item >= 1 && item <= static_cast<int>(names.size())) return choiceOf(names, item - 1);
  if (item == static_cast<int>(names.size()) + 1 && resolveChoice(names, chosen).missing) {
    return chosen;
  }
  return {};
}
