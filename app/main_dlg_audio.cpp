// Audio route switching, the route's loss and its reopening, and the window timer of
// the main window.
#include "app/engines.h"
#include "app/health_line.h"
#include "app/main_dlg.h"
#include "app/resource.h"
#include "app/wide_text.h"

#include <utility>

namespace {

const wchar_t kLostNote[] = L" (lost, retrying)";
const wchar_t kNotAnsweringNote[] = L" (does not answer)";

}  // namespace

void CMainDlg::CloseAudio() {
  m_route.close();
  m_bAudioRunning = false;
}

AudioRouteSetup CMainDlg::RouteSetup(AudioRoute route, bool retry, bool& driverMissing) const {
  AudioRouteSetup setup;
  setup.retry = retry;
  setup.duplexRingGrown = m_bDuplexRingGrown;
  driverMissing = false;
  if (route == AudioRoute::kAsio) {
    setup.kind = AudioRouteKind::kAsio;
    setup.asioDriverIndex = AsioDriverIndex(driverMissing);
    return setup;
  }
  if (m_choices.systemAudio == SystemAudio::kDirectSound) return setup;
  setup.kind = AudioRouteKind::kWasapi;
  setup.exclusive = m_choices.systemAudio == SystemAudio::kWasapiExclusive;
  setup.renderEndpoint = m_choices.renderEndpoint;
  setup.captureEndpoint = m_choices.captureEndpoint;
  return setup;
}

bool CMainDlg::StartAudioRoute(AudioRoute route, std::wstring& inName, std::wstring& outName,
                               bool& driverMissing) {
  CloseAudio();
  driverMissing = false;
  // An ASIO driver that has not come back from its stop, or refused it, may still call
  // back and holds its device: no route opens until it lets go.
  if (m_pAsio->closeUnfinished()) return false;
  return m_route.open(RouteSetup(route, m_bAudioLost, driverMissing), inName, outName);
}

bool CMainDlg::OpenAudio(AudioRoute route) {
  m_audioRoute = route;
  m_bAudioLost = false;
  m_nCaptureRestarts = 0;
  bool missing = false;
  const bool active = StartAudioRoute(route, m_strAudioInName, m_strAudioOutName, missing);
  ShowAudioRoute(active, missing);
  if (!active && route == AudioRoute::kAsio && ShowAsioNotAnswering()) return false;
  // Held up by a stranded worker of the system route or by the ASIO driver: opened as a
  // lost route is, once it lets go.
  const bool stranded = route == AudioRoute::kDuplex && m_route.hasStranded();
  if (!active && (stranded || m_pAsio->closeUnfinished())) MarkAudioLost(GetTickCount64());
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
  return m_route.lost();
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
  if (m_route.hasStranded()) m_route.freeStranded();
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
  if (m_bDuplexRingGrown || !m_bAudioRunning || m_audioRoute != AudioRoute::kDuplex ||
      !m_route.ringOutrun()) {
    return;
  }
  m_bDuplexRingGrown = true;
  ReopenAudioRoute();
}

// A capture that hands nothing over gets a stream created anew, at once: the output
// breaks only for the reopening. One that stays stuck through a few of them is left
// alone, shown inactive, and the output plays on without input, rather than break
// every few seconds.
void CMainDlg::RestartStuckCapture() {
  constexpr int kMostRestarts = 3;
  if (!m_bAudioRunning || m_audioRoute != AudioRoute::kDuplex || !m_route.captureStuck()) return;
  if (m_nCaptureRestarts >= kMostRestarts) {
    if (m_nCaptureRestarts == kMostRestarts) setStateText(IDC_AUDIO_IN_STATE, false);
    m_nCaptureRestarts = kMostRestarts + 1;
    return;
  }
  const int restarts = m_nCaptureRestarts + 1;
  ReopenAudioRoute();
  m_nCaptureRestarts = restarts;
}

void CMainDlg::ReopenAudioRoute() {
  const std::wstring inName = m_strAudioInName;
  const std::wstring outName = m_strAudioOutName;
  if (OpenAudio(m_audioRoute)) return;
  CloseAudio();
  m_strAudioInName = inName;
  m_strAudioOutName = outName;
  MarkAudioLost(GetTickCount64());
}

void CMainDlg::FollowWasapiEndpoints() {
  // Taken on every tick, so news from before a route opened is not acted on later.
  if (!m_route.takeEndpointNews() || m_audioRoute != AudioRoute::kDuplex) return;
  if (m_bAudioLost) {
    // Not a route that opened again and is waiting for its first wake-up.
    if (!m_bAudioRunning && m_route.outputEndpointPresent()) m_nAudioRetryAt = GetTickCount64();
    return;
  }
  if (m_bAudioRunning && m_route.endpointsMoved()) ReopenAudioRoute();
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
    RestartStuckCapture();
    FollowWasapiEndpoints();
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
