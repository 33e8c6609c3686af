// Audio route switching and the window timer of the main window.
#include "app/engines.h"
#include "app/main_dlg.h"
#include "app/resource.h"

namespace {

constexpr int kChannels = 2;
constexpr int kSampleRate = 48000;
constexpr int kDuplexBlockFrames = 128;
constexpr int kDuplexBlockCountSetting = -1;
constexpr int kAsioOutputs = 2;
constexpr int kAsioInputs = 2;
constexpr int kAsioPreferredBufferSize = 0;
// The host's state once the driver has asked to be reset.
constexpr int kAsioResetRequested = 4;

}  // namespace

void CMainDlg::OpenAudio(AudioRoute route) {
  // The old route is closed before the new one opens: only one may drive the rack.
  AsioHost::close();
  if (m_pDuplex) {
    m_pDuplex->release();
    m_pDuplex.reset();
  }

  bool active = false;
  if (route == AudioRoute::kDuplex) {
    m_pDuplex = std::make_unique<DsoundDuplex>();
    m_pDuplex->open(m_pRack.get(), hwnd(), kChannels, kSampleRate, kDuplexBlockFrames,
                    kDuplexBlockCountSetting);
    std::string captureName, renderName;
    m_pDuplex->deviceNames(captureName, renderName);
    SetDlgItemText(IDC_AUDIO_IN_NAME, captureName);
    SetDlgItemText(IDC_AUDIO_OUT_NAME, renderName);
    active = m_pDuplex->start(0) == 0;
  } else {
    bool missing = false;
    AsioHost::openUpTo(m_pRack.get(), hwnd(), kAsioOutputs, kAsioInputs, kSampleRate,
                       kAsioPreferredBufferSize, AsioDriverIndex(missing), false, false);
    std::string driver;
    AsioHost::driverName(driver);
    SetDlgItemText(IDC_AUDIO_IN_NAME, driver);
    SetDlgItemText(IDC_AUDIO_OUT_NAME, driver);
    if (missing) {
      NoteMissingDevice(IDC_AUDIO_IN_NAME, m_choices.asioDriver);
      NoteMissingDevice(IDC_AUDIO_OUT_NAME, m_choices.asioDriver);
    }
    active = AsioHost::start(false) == 0;
  }
  setStateText(IDC_AUDIO_IN_STATE, active);
  setStateText(IDC_AUDIO_OUT_STATE, active);
  m_bAudioRunning = active;
}

void CMainDlg::OnAsioCheck() {
  OpenAudio(m_checkAsio.GetCheck() == BST_CHECKED ? AudioRoute::kAsio : AudioRoute::kDuplex);
}

void CMainDlg::OnAsioPanel() {
  AsioHost::controlPanel();
}

void CMainDlg::OnTimer(UINT_PTR) {
  // Reopening ASIO may pump messages, and with them this timer again.
  static int32_t nesting = -1;
  if (++nesting == 0) {
    if (AsioHost::state() == kAsioResetRequested) {
      AsioHost::close();
      OpenAudio(AudioRoute::kAsio);
    }
    if (m_pRack) SetDlgItemText(IDC_MIDI_ACTIVITY, m_pRack->takeMidiActivity() ? "*" : "");
    RefreshHealthLine();
  }
  --nesting;
}
