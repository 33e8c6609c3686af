#include "app/settings_dlg.h"

#include <utility>

#include "app/engines.h"
#include "app/resource.h"
#include "audio/asio/asio_driver_registry.h"

namespace {

const wchar_t kFirstAvailable[] = L"(first available)";
const wchar_t kNotPresent[] = L" (not present)";
// The driver list keeps display names of up to 127 characters.
constexpr int32_t kDriverNameBytes = 128;

std::wstring wideFromCodePage(const char* text) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 1) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units);
  wide.resize(static_cast<size_t>(units) - 1);
  return wide;
}

std::wstring nameOf(const WCHAR* text, size_t capacity) {
  size_t length = 0;
  while (length < capacity && text[length] != 0) ++length;
  return std::wstring(text, length);
}

}  // namespace

// Each list keeps every device in its place, so the indices stay right; one whose
// name cannot be read is listed under a placeholder, so it can still be chosen.
DeviceLists DeviceLists::present() {
  return DeviceLists{asioDriverNames(), midiInputNames(), midiOutputNames()};
}

std::vector<std::wstring> DeviceLists::asioDriverNames() {
  std::vector<std::wstring> names;
  AsioDriverRegistry drivers;
  for (int32_t id = 0; id < drivers.entryCount(); ++id) {
    char name[kDriverNameBytes] = {};
    // Every listed entry answers; an empty name still keeps the indices right.
    drivers.entryName(id, name, kDriverNameBytes);
    names.push_back(wideFromCodePage(name));
  }
  return namesWithPlaceholders(std::move(names));
}

std::vector<std::wstring> DeviceLists::midiInputNames() {
  std::vector<std::wstring> names;
  const UINT count = midiInGetNumDevs();
  for (UINT id = 0; id < count; ++id) {
    MIDIINCAPSW caps = {};
    const bool known = midiInGetDevCapsW(id, &caps, sizeof caps) == MMSYSERR_NOERROR;
    names.push_back(known ? nameOf(caps.szPname, MAXPNAMELEN) : std::wstring());
  }
  return namesWithPlaceholders(std::move(names));
}

std::vector<std::wstring> DeviceLists::midiOutputNames() {
  std::vector<std::wstring> names;
  const UINT count = midiOutGetNumDevs();
  for (UINT id = 0; id < count; ++id) {
    MIDIOUTCAPSW caps = {};
    const bool known = midiOutGetDevCapsW(id, &caps, sizeof caps) == MMSYSERR_NOERROR;
    names.push_back(known ? nameOf(caps.szPname, MAXPNAMELEN) : std::wstring());
  }
  return namesWithPlaceholders(std::move(names));
}

CSettingsDlg::CSettingsDlg(HWND parent, DeviceLists lists, DeviceChoices choices)
    : DialogBase(IDD_SETTINGS, parent), m_lists(std::move(lists)), m_choices(std::move(choices)) {
  SetUnicode(true);
}

BOOL CSettingsDlg::OnInitDialog() {
  DialogBase::OnInitDialog();
  Fill(IDC_SETTINGS_ASIO, m_lists.asioDrivers, m_choices.asioDriver);
  Fill(IDC_SETTINGS_MIDI_IN, m_lists.midiInputs, m_choices.midiInput);
  Fill(IDC_SETTINGS_MIDI_OUT, m_lists.midiOutputs, m_choices.midiOutput);
  HWND timing = GetDlgItem(IDC_SETTINGS_MIDI_TIMING);
  for (const wchar_t* name : {kImmediateTimingName, kSteadyTimingName}) {
    SendMessageW(timing, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  SendMessageW(timing, CB_SETCURSEL, m_choices.steadyMidiTiming ? 1 : 0, 0);
  return TRUE;
}

void CSettingsDlg::OnOK() {
  m_choices.asioDriver = Chosen(IDC_SETTINGS_ASIO, m_lists.asioDrivers, m_choices.asioDriver);
  m_choices.midiInput = Chosen(IDC_SETTINGS_MIDI_IN, m_lists.midiInputs, m_choices.midiInput);
  m_choices.midiOutput = Chosen(IDC_SETTINGS_MIDI_OUT, m_lists.midiOutputs, m_choices.midiOutput);
  m_choices.steadyMidiTiming =
      SendMessageW(GetDlgItem(IDC_SETTINGS_MIDI_TIMING), CB_GETCURSEL, 0, 0) == 1;
  DialogBase::OnOK();
}

void CSettingsDlg::Fill(int id, const std::vector<std::wstring>& names,
                        const std::wstring& chosen) const {
  const ChoiceList list = choiceList(names, chosen, kFirstAvailable, kNotPresent);
  HWND combo = GetDlgItem(id);
  for (const std::wstring& item : list.items) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  }
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(list.selected), 0);
}

std::wstring CSettingsDlg::Chosen(int id, const std::vector<std::wstring>& names,
                                  const std::wstring& chosen) const {
  const LRESULT item = SendMessageW(GetDlgItem(id), CB_GETCURSEL, 0, 0);
  return choiceAt(names, chosen, item == CB_ERR ? 0 : static_cast<int>(item));
}
