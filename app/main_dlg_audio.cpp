// Audio route switching and the window timer of the main window.
#include "app/engines.h"
#include "app/main_dlg.h"
#include "app/resource.h"

namespace {

constexpr int kChannels = 2;
constexpr int kSampleRate = 48000;
constexpr int kDuplexBlockFrames = 128;
constexpr int kDuplexBlockCountSetting = DsoundDuplex::kRingOf15Ms;
constexpr int kAsioOutputs = 2;
constexpr int kAsioInputs = 2;
constexpr int kAsioPreferredBufferSize = 0;

}  // namespace

void CMainDlg::OpenAudio(AudioRoute route) {
  // The old route is closed before the new one opens: only one may drive the rack.
  m_pAsio->close();
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
    active = m_pDuplex->start(DuplexOutput::Play) == AudioOk;
  } else {
    bool missing = false;
    m_pAsio->openUpTo(m_pRack.get(), hwnd(),
                      {.outputs = kAsioOutputs,
                       .inputs = kAsioInputs,
                       .sampleRate = kSampleRate,
                       .bufferSize = kAsioPreferredBufferSize,
                       .driverIndex = AsioDriverIndex(missing)});
    std::string driver;
    m_pAsio->driverName(driver);
    SetDlgItemText(IDC_AUDIO_IN_NAME, driver);
    SetDlgItemText(IDC_AUDIO_OUT_NAME, driver);
    if (missing) {
      NoteMissingDevice(IDC_AUDIO_IN_NAME, m_choices.asioDriver);
      NoteMissingDevice(IDC_AUDIO_OUT_NAME, m_choices.asioDriver);
    }
    active = m_pAsio->start(false) == AudioOk;
  }
  setStateText(IDC_AUDIO_IN_STATE, active);
  setStateText(IDC_AUDIO_OUT_STATE, active);
  m_bAudioRunning = active;
}

void CMainDlg::OnAsioCheck() {
  OpenAudio(m_checkAsio.GetCheck() == BST_CHECKED ? AudioRoute::kAsio : AudioRoute::kDuplex);
}

void CMainDlg::OnAsioPanel() {
  m_pAsio->controlPanel();
}

void CMainDlg::OnTimer(UINT_PTR) {
  // Reopening ASIO may pump messages, and with them this timer again.
  static int32_t nesting = -1;
  if (++nesting == 0) {
    if (m_pAsio->state() == AsioHostState::ResetRequested) {
      m_pAsio->close();
      OpenAudio(AudioRoute::kAsio);
    }
    WatchMidi();
    if (m_pRack) SetDlgItemText(IDC_MIDI_ACTIVITY, m_pRack->takeMidiActivity() ? "*" : "");
    RefreshHealthLine();
  }
  --nesting;
}
