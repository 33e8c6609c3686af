// The "Audio and MIDI Settings" box: one drop-down list each for the ASIO driver, the
// MIDI input and the MIDI output, with "(first available)" at the top; the route without
// ASIO and its WASAPI render and capture endpoints, with "(default device)" at the top;
// the MIDI timing. It edits a copy of the choices; the caller applies them when the box
// ends with OK.
#pragma once

#include <string>
#include <vector>

#include "app/device_settings.h"
#include "app/framework/dialog_base.h"
#include "platform/platform.h"

// The names of the devices present now, in the order their indices count.
struct DeviceLists {
  std::vector<std::wstring> asioDrivers;
  std::vector<std::wstring> midiInputs;
  std::vector<std::wstring> midiOutputs;
  std::vector<std::wstring> renderEndpoints;
  std::vector<std::wstring> captureEndpoints;

  // Asks the driver list, winmm and the WASAPI endpoint list.
  static DeviceLists present();
  static std::vector<std::wstring> asioDriverNames();
  static std::vector<std::wstring> midiInputNames();
  static std::vector<std::wstring> midiOutputNames();
  // The active endpoints of `flow` (eRender or eCapture) by friendly name; none when
  // the audio service cannot be asked.
  static std::vector<std::wstring> endpointNames(EDataFlow flow);
};

class CSettingsDlg : public DialogBase {
 public:
  CSettingsDlg(HWND parent, DeviceLists lists, DeviceChoices choices);

  // The choices as the box left them: changed only by OK.
  const DeviceChoices& choices() const { return m_choices; }

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  void Fill(int id, const std::vector<std::wstring>& names, const std::wstring& chosen,
            const wchar_t* firstItem) const;
  // The endpoint lists can be used only while a WASAPI route is chosen.
  void EnableEndpoints() const;
  std::wstring Chosen(int id, const std::vector<std::wstring>& names,
                      const std::wstring& chosen) const;

  DeviceLists m_lists;
  DeviceChoices m_choices;
};
