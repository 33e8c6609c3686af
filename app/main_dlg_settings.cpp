// The main window's device choices (the Settings box, probing ASIO on the chosen
// driver) and its health line.
#include "app/engines.h"
#include "app/health_line.h"
#include "app/main_dlg.h"
#include "app/resource.h"
#include "app/settings_dlg.h"
#include "app/wide_text.h"

#include <string>
#include <utility>
#include <vector>

namespace {

// The driver taken when nothing else is chosen.
constexpr int kAsioDriverIndex = 0;
constexpr int kNameLineChars = 512;

int chosenIndex(const std::vector<std::wstring>& names, const std::wstring& chosen, int fallback,
                bool& missing) {
  const ResolvedChoice choice = resolveChoice(names, chosen);
  missing = choice.missing;
  return choice.index >= 0 ? choice.index : fallback;
}

}  // namespace

void CMainDlg::ProbeAsio() {
  // The ASIO route is offered only when the driver loads and can play one output at
  // 48000 Hz; the probe creates no buffers.
  bool missing = false;
  const int32_t probe = m_pAsio->open(m_pRack.get(), hwnd(),
                                      {.outputs = 1,
                                       .inputs = 0,
                                       .sampleRate = 48000,
                                       .driverIndex = AsioDriverIndex(missing),
                                       .probeOnly = true});
  if (probe == AudioOk) {
    m_checkAsio.EnableWindow(TRUE);
    m_pAsio->close();
  } else {
    m_checkAsio.EnableWindow(FALSE);
  }
}

int CMainDlg::AsioDriverIndex(bool& missing) const {
  return chosenIndex(DeviceLists::asioDriverNames(), m_choices.asioDriver, kAsioDriverIndex,
                     missing);
}

void CMainDlg::NoteMissingDevice(int id, const std::wstring& chosen) const {
  wchar_t shown[kNameLineChars] = {};
  GetDlgItemTextW(hwnd(), id, shown, kNameLineChars);
  const std::wstring text = std::wstring(shown) + L" (" + shownChoice(chosen) + L" not found)";
  SetDlgItemTextW(hwnd(), id, text.c_str());
}

void CMainDlg::OnSettings() {
  CSettingsDlg box(hwnd(), DeviceLists::present(), m_choices);
  if (box.DoModal() != IDOK) return;
  const DeviceChoices chosen = box.choices();
  if (chosen == m_choices) return;
  const bool midiChanged =
      chosen.midiInput != m_choices.midiInput || chosen.midiOutput != m_choices.midiOutput;
  const bool asioChanged = chosen.asioDriver != m_choices.asioDriver;
  const bool timingChanged = chosen.steadyMidiTiming != m_choices.steadyMidiTiming;
  const bool systemChanged = systemAudioChanged(m_choices, chosen);
  m_choices = chosen;
  // A registry that cannot be written costs only the memory of the choice.
  saveDeviceChoices(m_choices);
  if (midiChanged) {
    // A new choice starts afresh: what was lost before is no longer waited for.
    m_midiIn.lost = false;
    m_midiOut.lost = false;
  }
  if (timingChanged) {
    ApplyMidiTiming();
  } else if (midiChanged) {
    OpenMidi();
  }
  // A new timing has reopened the route on the new choices already.
  const bool asioChecked = m_checkAsio.GetCheck() == BST_CHECKED;
  if (asioChanged) {
    if (!asioChecked) {
      // The ASIO host is closed on this route, so the new driver can be tried at once.
      ProbeAsio();
    } else if (!timingChanged) {
      OpenAudio(AudioRoute::kAsio);
    }
  }
  if (systemChanged && !asioChecked && !timingChanged) OpenAudio(AudioRoute::kDuplex);
}

void CMainDlg::ApplyMidiTiming() {
  // Which thread dispatches MIDI changes with the timing: neither MIDI input nor
  // audio may run meanwhile. Both reopen on the chosen devices and route.
  m_pMidi->close();
  CloseAudio();
  m_pRack->setMidiTiming(m_choices.steadyMidiTiming ? MidiTiming::kSteady : MidiTiming::kImmediate);
  OpenMidi();
  OnAsioCheck();
}

void CMainDlg::RefreshHealthLine() {
  EngineHealth health;
  health.lost = m_bAudioLost;
  if (m_bAudioRunning) m_route.fillHealth(health);
  // Taken also while stopped, so a restarted engine starts a fresh interval.
  health.peakLevel = m_pRack ? m_pRack->takeOutputPeak() : 0.0f;
  // Unchanged text is not set again: every set repaints the line.
  std::string line = healthLine(health);
  if (line != m_strHealth) {
    SetDlgItemTextW(hwnd(), IDC_HEALTH, wideFromCodePage(line).c_str());
    m_strHealth = std::move(line);
  }
}
