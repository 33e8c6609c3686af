#include "app/settings_dlg.h"

#include <iterator>
#include <utility>

#include "app/engines.h"
#include "app/resource.h"
#include "audio/asio/asio_driver_registry.h"
#include "audio/wasapi/wasapi_endpoints.h"

namespace {

const wchar_t kFirstAvailable[] = L"(first available)";
const wchar_t kNotPresent[] = L" (not present)";
// The endpoint lists' top item: whatever the system's default is at the time.
const wchar_t kDefaultDevice[] = L"(default device)";
// In the order of SystemAudio.
const wchar_t* const kSystemAudioItems[] = {L"DirectSound", L"WASAPI (shared)",
                                            L"WASAPI (exclusive)"};
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
  return DeviceLists{asioDriverNames(), midiInputNames(), midiOutputNames(), endpointNames(eRender),
                     endpointNames(eCapture)};
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

std::vector<std::wstring> DeviceLists::endpointNames(EDataFlow flow) {
  // The window thread may not have entered COM; it leaves it as it found it. A thread
  // already in another apartment can still ask.
  const bool comInitialized = SUCCEEDED(CoInitialize(nullptr));
  std::vector<WasapiEndpoint> endpoints;
  listWasapiEndpoints(flow, endpoints);
  if (comInitialized) CoUninitialize();
  std::vector<std::wstring> names;
  names.reserve(endpoints.size());
  for (WasapiEndpoint& endpoint : endpoints) names.push_back(std::move(endpoint.name));
  return names;
}

CSettingsDlg::CSettingsDlg(HWND parent, DeviceLists lists, DeviceChoices choices)
    : DialogBase(IDD_SETTINGS, parent), m_lists(std::move(lists)), m_choices(std::move(choices)) {
  SetUnicode(true);
}

BOOL CSettingsDlg::OnInitDialog() {
  DialogBase::OnInitDialog();
  Fill(IDC_SETTINGS_ASIO, m_lists.asioDrivers, m_choices.asioDriver, kFirstAvailable);
  HWND systemAudio = GetDlgItem(IDC_SETTINGS_SYSTEM_AUDIO);
  for (const wchar_t* name : kSystemAudioItems) {
    SendMessageW(systemAudio, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  SendMessageW(systemAudio, CB_SETCURSEL, static_cast<WPARAM>(m_choices.systemAudio), 0);
  Fill(IDC_SETTINGS_RENDER, m_lists.renderEndpoints, m_choices.renderEndpoint, kDefaultDevice);
  Fill(IDC_SETTINGS_CAPTURE, m_lists.captureEndpoints, m_choices.captureEndpoint, kDefaultDevice);
  EnableEndpoints();
  Fill(IDC_SETTINGS_MIDI_IN, m_lists.midiInputs, m_choices.midiInput, kFirstAvailable);
  Fill(IDC_SETTINGS_MIDI_OUT, m_lists.midiOutputs, m_choices.midiOutput, kFirstAvailable);
  HWND timing = GetDlgItem(IDC_SETTINGS_MIDI_TIMING);
  for (const wchar_t* name : {kImmediateTimingName, kSteadyTimingName}) {
    SendMessageW(timing, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  SendMessageW(timing, CB_SETCURSEL, m_choices.steadyMidiTiming ? 1 : 0, 0);
  return TRUE;
}

void CSettingsDlg::OnOK() {
  m_choices.asioDriver = Chosen(IDC_SETTINGS_ASIO, m_lists.asioDrivers, m_choices.asioDriver);
  const LRESULT systemAudio =
      SendMessageW(GetDlgItem(IDC_SETTINGS_SYSTEM_AUDIO), CB_GETCURSEL, 0, 0);
  if (systemAudio >= 0 && systemAudio < static_cast<LRESULT>(std::size(kSystemAudioItems))) {
    m_choices.systemAudio = static_cast<SystemAudio>(systemAudio);
  }
  // Kept while greyed too: going back to WASAPI finds the endpoints chosen before.
  m_choices.renderEndpoint =
      Chosen(IDC_SETTINGS_RENDER, m_lists.renderEndpoints, m_choices.renderEndpoint);
  m_choices.captureEndpoint =
      Chosen(IDC_SETTINGS_CAPTURE, m_lists.captureEndpoints, m_choices.captureEndpoint);
  m_choices.midiInput = Chosen(IDC_SETTINGS_MIDI_IN, m_lists.midiInputs, m_choices.midiInput);
  m_choices.midiOutput = Chosen(IDC_SETTINGS_MIDI_OUT, m_lists.midiOutputs, m_choices.midiOutput);
  m_choices.steadyMidiTiming =
      SendMessageW(GetDlgItem(IDC_SETTINGS_MIDI_TIMING), CB_GETCURSEL, 0, 0) == 1;
  DialogBase::OnOK();
}

bool CSettingsDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (message == WM_COMMAND && LOWORD(wParam) == IDC_SETTINGS_SYSTEM_AUDIO &&
      HIWORD(wParam) == CBN_SELCHANGE) {
    EnableEndpoints();
    result = 0;
    return true;
  }
  return DialogBase::HandleMessage(message, wParam, lParam, result);
}

void CSettingsDlg::EnableEndpoints() const {
  // DirectSound plays on the system's default devices whatever these lists say.
  const bool wasapi = SendMessageW(GetDlgItem(IDC_SETTINGS_SYSTEM_AUDIO), CB_GETCURSEL, 0, 0) !=
                      static_cast<LRESULT>(SystemAudio::kDirectSound);
  EnableWindow(GetDlgItem(IDC_SETTINGS_RENDER), wasapi ? TRUE : FALSE);
  EnableWindow(GetDlgItem(IDC_SETTINGS_CAPTURE), wasapi ? TRUE : FALSE);
}

void CSettingsDlg::Fill(int id, const std::vector<std::wstring>& names, const std::wstring& chosen,
                        const wchar_t* firstItem) const {
  const ChoiceList list = choiceList(names, chosen, firstItem, kNotPresent);
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
