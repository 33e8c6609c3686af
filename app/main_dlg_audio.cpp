// Audio route switching, the route's loss and its reopening, and the window timer of
// the main window.
#include "app/engines.h"
#include "app/health_line.h"
#include "app/main_dlg.h"
#include "app/resource.h"
#include "app/wide_text.h"

#include <utility>

namespace {

constexpr int kChannels = 2;
constexpr int kSampleRate = 48000;
constexpr int kDuplexBlockFrames = 128;
constexpr int kDuplexBlockCountSetting = DsoundDuplex::kRingOf15Ms;
// After a lost ring that no worker could have kept (README: the full-duplex route's ring
// and timing).
constexpr int kGrownDuplexBlockCountSetting = DsoundDuplex::kRingOf20Ms;
constexpr int kAsioOutputs = 2;
constexpr int kAsioInputs = 2;
constexpr int kAsioPreferredBufferSize = 0;
const wchar_t kLostNote[] = L" (lost, retrying)";
const wchar_t kNotAnsweringNote[] = L" (does not answer)";

}  // namespace

void CMainDlg::CloseAudio() {
  // The old route is closed before a new one opens: only one may drive the rack.
  m_pAsio->close();
  if (m_pDuplex) {
    m_pDuplex->release();
    // A worker that did not end may still come back and reach its engine and the rack.
    if (m_pDuplex->workerLeftRunning()) m_strandedDuplex.push_back(std::move(m_pDuplex));
    m_pDuplex.reset();
  }
  m_bAudioRunning = false;
}

bool CMainDlg::FreeStrandedDuplex() {
  std::erase_if(m_strandedDuplex, [](const std::unique_ptr<DsoundDuplex>& engine) {
    engine->release();
    return !engine->workerLeftRunning();
  });
  return m_strandedDuplex.empty();
}

bool CMainDlg::StartAudioRoute(AudioRoute route, std::wstring& inName, std::wstring& outName,
                               bool& driverMissing) {
  CloseAudio();
  driverMissing = false;
  // An ASIO driver that has not come back from its stop, or refused it, may still call
  // back and holds its device: no route opens until it lets go.
  if (m_pAsio->closeUnfinished()) return false;
  if (route == AudioRoute::kDuplex) {
    // Not beside a worker that never ended: the sound service may still be stuck with it.
    if (!FreeStrandedDuplex()) {
      DsoundDuplex().deviceNamesW(inName, outName);
      return false;
    }
    m_pDuplex = std::make_unique<DsoundDuplex>();
    m_pDuplex->open(m_pRack.get(), hwnd(), kChannels, kSampleRate, kDuplexBlockFrames,
                    m_bDuplexRingGrown ? kGrownDuplexBlockCountSetting : kDuplexBlockCountSetting);
    m_pDuplex->deviceNamesW(inName, outName);
    return m_pDuplex->start(DuplexOutput::Play) == AudioOk;
  }
  m_pAsio->openUpTo(m_pRack.get(), hwnd(),
                    {.outputs = kAsioOutputs,
                     .inputs = kAsioInputs,
                     .sampleRate = kSampleRate,
                     .bufferSize = kAsioPreferredBufferSize,
                     .driverIndex = AsioDriverIndex(driverMissing)});
  std::string driver;
  m_pAsio->driverName(driver);
  inName = outName = wideFromCodePage(driver);
  return m_pAsio->start(false) == AudioOk;
}

bool CMainDlg::OpenAudio(AudioRoute route) {
  m_audioRoute = route;
  m_bAudioLost = false;
  bool missing = false;
  const bool active = StartAudioRoute(route, m_strAudioInName, m_strAudioOutName, missing);
  ShowAudioRoute(active, missing);
  if (!active && route == AudioRoute::kAsio && ShowAsioNotAnswering()) return false;
  // Held up by a stranded full-duplex worker or by the ASIO driver: opened as a lost
  // route is, once it lets go.
  const bool strandedDuplex = route == AudioRoute::kDuplex && !m_strandedDuplex.empty();
  if (!active && (strandedDuplex || m_pAsio->closeUnfinished())) MarkAudioLost(GetTickCount64());
  return active;
}

void CMainDlg::ShowAudioRoute(bool active, bool driverMissing) {
  SetDlgItemTextW(hwnd(), IDC_AUDIO_IN_NAME, m_strAudioInName.c_str());
  SetDlgItemTextW(hwnd(), IDC_AUDIO_OUT_NAME, m_strAudioOutName.c_str());
  if (driverMissing) {
    NoteMissingDevice(IDC_AUDIO_IN_NAME, m_choices.asioDriver);
    NoteMissingDevice(IDC_AUDIO_OUT_NAME, m_choices.asioDriver);
  }
  setStateText(IDC_AUDIO_IN_STATE, active);
  setStateText(IDC_AUDIO_OUT_STATE, active);
  m_bAudioRunning = active;
}

bool CMainDlg::AudioRouteLost() const {
  if (m_audioRoute == AudioRoute::kDuplex) return m_pDuplex && m_pDuplex->lost();
  return m_pAsio->lost();
}

bool CMainDlg::ShowAsioNotAnswering() {
  if (!m_pAsio->driverAbandoned()) return false;
  m_bAudioLost = false;
  m_bAudioRunning = false;
  m_strAudioInName = m_strAudioOutName = wideFromCodePage(m_pAsio->abandonedDriverName());
  SetDlgItemTextW(hwnd(), IDC_AUDIO_IN_NAME, (m_strAudioInName + kNotAnsweringNote).c_str());
  SetDlgItemTextW(hwnd(), IDC_AUDIO_OUT_NAME, (m_strAudioOutName + kNotAnsweringNote).c_str());
  setStateText(IDC_AUDIO_IN_STATE, false);
  setStateText(IDC_AUDIO_OUT_STATE, false);
  return true;
}

void CMainDlg::ShowAudioLost() const {
  SetDlgItemTextW(hwnd(), IDC_AUDIO_IN_NAME, (m_strAudioInName + kLostNote).c_str());
  SetDlgItemTextW(hwnd(), IDC_AUDIO_OUT_NAME, (m_strAudioOutName + kLostNote).c_str());
  setStateText(IDC_AUDIO_IN_STATE, false);
  setStateText(IDC_AUDIO_OUT_STATE, false);
}

// A route whose device went away is closed at once (its engine no longer touches the
// rack, whose synths keep their state) and opened again, quietly, until it plays.
void CMainDlg::WatchAudioRoute() {
  const ULONGLONG now = GetTickCount64();
  if (!m_strandedDuplex.empty()) FreeStrandedDuplex();
  if (m_bAudioRunning && AudioRouteLost()) {
    CloseAudio();
    MarkAudioLost(now);
    return;
  }
  if (m_bAudioLost && m_bAudioRunning) {
    if (m_pAsio->calledBack()) {
      m_bAudioLost = false;
      ShowAudioRoute(true, m_bAudioRetryMissing);
    }
    return;
  }
  if (!m_bAudioLost || now < m_nAudioRetryAt) return;
  std::wstring inName, outName;
  bool missing = false;
  if (StartAudioRoute(m_audioRoute, inName, outName, missing)) {
    m_strAudioInName = std::move(inName);
    m_strAudioOutName = std::move(outName);
    if (m_audioRoute == AudioRoute::kAsio) {
      // Until the driver calls back the route still shows lost; the watchdog above
      // closes it again if it never does.
      m_bAudioRunning = true;
      m_bAudioRetryMissing = missing;
      return;
    }
    m_bAudioLost = false;
    ShowAudioRoute(true, missing);
    return;
  }
  CloseAudio();
  if (m_audioRoute == AudioRoute::kAsio && ShowAsioNotAnswering()) return;
  ScheduleAudioRetry(now);
}

// Reopened from the timer, as a lost route is, never from inside the worker. A route
// that does not open again is retried as a lost route is.
void CMainDlg::GrowOutrunDuplexRing() {
  if (m_bDuplexRingGrown || !m_bAudioRunning || m_audioRoute != AudioRoute::kDuplex || !m_pDuplex ||
      !m_pDuplex->ringOutrun()) {
    return;
  }
  m_bDuplexRingGrown = true;
  const std::wstring inName = m_strAudioInName;
  const std::wstring outName = m_strAudioOutName;
  if (OpenAudio(AudioRoute::kDuplex)) return;
  CloseAudio();
  m_strAudioInName = inName;
  m_strAudioOutName = outName;
  MarkAudioLost(GetTickCount64());
}

void CMainDlg::MarkAudioLost(ULONGLONG now) {
  // A route that opened again but never called back is still the same outage.
  if (!m_bAudioLost) {
    m_nAudioLostAt = now;
    m_nAudioRetryDelayMs = 0;
  }
  m_bAudioLost = true;
  ScheduleAudioRetry(now);
  ShowAudioLost();
}

void CMainDlg::ScheduleAudioRetry(ULONGLONG now) {
  m_nAudioRetryDelayMs = audioRetryDelayMs(now - m_nAudioLostAt, m_nAudioRetryDelayMs);
  m_nAudioRetryAt = now + m_nAudioRetryDelayMs;
}

// The driver's reset or buffer-size request was only noted in its callback: here it
// is stopped, its buffers disposed and it is opened again. A driver that does not
// open again (or has not come back from its stop) is retried as a lost route is.
void CMainDlg::ReopenAsioOnRequest() {
  const std::wstring inName = m_strAudioInName;
  const std::wstring outName = m_strAudioOutName;
  if (OpenAudio(AudioRoute::kAsio) || m_pAsio->driverAbandoned()) return;
  CloseAudio();
  m_strAudioInName = inName;
  m_strAudioOutName = outName;
  MarkAudioLost(GetTickCount64());
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
    m_pAsio->followRateChange();
    // A driver given up while it played (the rate read back above did not return).
    if (m_audioRoute == AudioRoute::kAsio && (m_bAudioRunning || m_bAudioLost) &&
        m_pAsio->driverAbandoned()) {
      CloseAudio();
      ShowAsioNotAnswering();
    }
    if (m_pAsio->state() == AsioHostState::ResetRequested) ReopenAsioOnRequest();
    WatchAudioRoute();
    GrowOutrunDuplexRing();
    WatchMidi();
    // While no engine takes the queued messages (the route lost or closed), they are
    // dispatched here before the queue overflows, and the window's notes with them.
    if (m_pRack) m_pRack->dispatchStaleMidi();
    if (m_pRack) SetDlgItemText(IDC_MIDI_ACTIVITY, m_pRack->takeMidiActivity() ? "*" : "");
    RefreshKeyboard();
    RefreshHealthLine();
    RefreshRecording();
  }
  --nesting;
}
