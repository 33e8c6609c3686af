// Recording what the window plays to a WAV file: the Record group's button, format
// and folder, the writer's start and end, and the status line.
#include <windows.h>
// After windows.h, which the known folders' definitions need.
#include <knownfolders.h>
#include <shlobj.h>

#include <cwchar>
#include <utility>

#include "app/engines.h"
#include "app/main_dlg.h"
#include "app/recorder.h"
#include "app/resource.h"

namespace {

constexpr int kDefaultRecordRate = 48000;
constexpr int kDefaultRecordChannels = 2;
// How long the window waits for a writer to take the ring's rest and close its file
// before it leaves it to finish on its own (the timer looks again).
constexpr DWORD kRecordEndWaitMs = 500;
// Names tried for one second's recording before giving up: "name.wav", "name (2).wav"...
constexpr int kRecordNameTries = 100;
const wchar_t* const kRecordFormats[] = {L"Float 32", L"PCM 24"};

std::wstring recordingFileName(const SYSTEMTIME& t, int attempt) {
  wchar_t name[64] = {};
  swprintf(name, 64, L"Tonbrik %04u-%02u-%02u %02u-%02u-%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
           t.wMinute, t.wSecond);
  std::wstring file = name;
  if (attempt > 1) file += L" (" + std::to_wstring(attempt) + L")";
  return file + L".wav";
}

std::wstring duration(int64_t frames, int32_t rate) {
  const int64_t seconds = rate > 0 ? frames / rate : 0;
  wchar_t text[32] = {};
  swprintf(text, 32, L"%lld:%02lld", static_cast<long long>(seconds / 60),
           static_cast<long long>(seconds % 60));
  return text;
}

}  // namespace

void CMainDlg::SetupRecording() {
  for (const wchar_t* format : kRecordFormats) {
    SendDlgItemMessageW(hwnd(), IDC_RECORD_FORMAT, CB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>(format));
  }
  SendDlgItemMessageW(hwnd(), IDC_RECORD_FORMAT, CB_SETCURSEL, m_choices.recordPcm24 ? 1 : 0, 0);
}

std::wstring CMainDlg::RecordFolder() const {
  if (!m_choices.recordFolder.empty()) return m_choices.recordFolder;
  PWSTR music = nullptr;
  std::wstring folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Music, 0, nullptr, &music)) && music != nullptr) {
    folder = std::wstring(music) + L"\\Tonbrik";
  }
  CoTaskMemFree(music);
  return folder;
}

bool CMainDlg::RecordFormatNow(int32_t& rate, int32_t& channels) const {
  return m_bAudioRunning && m_route.renderFormat(rate, channels);
}

void CMainDlg::OnRecord() {
  if (m_pRecorder) {
    StopRecording();
  } else {
    StartRecording();
  }
}

bool CMainDlg::StartRecording(int32_t rate, int32_t channels) {
  // No route plays now: the one that comes back will most likely play as the last did.
  if (rate <= 0 && !RecordFormatNow(rate, channels)) {
    rate = m_nRecordRate > 0 ? m_nRecordRate : kDefaultRecordRate;
    channels = m_nRecordChannels > 0 ? m_nRecordChannels : kDefaultRecordChannels;
  }
  const std::wstring folder = RecordFolder();
  if (folder.empty()) {
    ShowRecordStatus(L"Not recording: no folder for recordings (choose one with Folder...)");
    return false;
  }
  // The default folder is made on the first recording; a chosen one exists already.
  CreateDirectoryW(folder.c_str(), nullptr);
  SYSTEMTIME now{};
  GetLocalTime(&now);
  auto recorder = std::make_unique<Recorder>();
  Recorder::Start started = Recorder::Start::kNoFile;
  std::wstring name;
  for (int attempt = 1; attempt <= kRecordNameTries; ++attempt) {
    name = recordingFileName(now, attempt);
    std::wstring path = folder;
    path.append(L"\\").append(name);
    started = recorder->start(
        path, m_choices.recordPcm24 ? WavSampleFormat::kPcm24 : WavSampleFormat::kFloat32, rate,
        channels);
    // Only a name already taken moves on to the next; any other failure would repeat.
    if (started != Recorder::Start::kNoFile ||
        FileAccess::probe(path) == FileAccess::Target::kAbsent)
      break;
    recorder = std::make_unique<Recorder>();
  }
  if (started != Recorder::Start::kStarted) {
    ShowRecordStatus(started == Recorder::Start::kNoFile
                         ? L"Not recording: cannot create a file in " + folder
                         : L"Not recording: no memory or thread for the writer");
    return false;
  }
  m_pRecorder = std::move(recorder);
  m_nRecordRate = rate;
  m_nRecordChannels = channels;
  m_strRecordName = name;
  m_strRecordNote.clear();
  m_nRecordStartedAt = GetTickCount64();
  m_nRecordGaps = 0;
  m_bRecordInGap = false;
  m_pRack->setRecordTap(m_pRecorder->ring());
  SetDlgItemTextW(hwnd(), IDC_RECORD, L"Stop &Rec.");
  EnableWindow(GetDlgItem(IDC_RECORD_FORMAT), FALSE);
  EnableWindow(GetDlgItem(IDC_RECORD_FOLDER), FALSE);
  RefreshRecording();
  return true;
}

void CMainDlg::StopRecording() {
  if (!m_pRecorder) return;
  // No block reaches the ring any more; the writer takes what it holds and ends.
  m_pRack->setRecordTap(nullptr);
  m_pRecorder->requestStop();
  const bool ended = m_pRecorder->waitEnded(kRecordEndWaitMs);
  ShowRecordEnd(*m_pRecorder, ended);
  if (ended) {
    m_pRecorder.reset();
  } else {
    m_endingRecorders.push_back(std::move(m_pRecorder));
  }
  SetDlgItemTextW(hwnd(), IDC_RECORD, L"&Record");
  EnableWindow(GetDlgItem(IDC_RECORD_FORMAT), TRUE);
  EnableWindow(GetDlgItem(IDC_RECORD_FOLDER), TRUE);
}

void CMainDlg::ShowRecordEnd(const Recorder& recorder, bool ended) {
  const std::wstring length = duration(recorder.framesWritten(), recorder.sampleRate());
  std::wstring text;
  if (!ended) {
    text = L"Finishing " + m_strRecordName + L" (" + length + L")...";
  } else if (recorder.failed()) {
    text = L"Recording stopped: cannot write " + m_strRecordName +
           L" (disk full or drive removed?); kept " + length;
  } else {
    text = L"Saved " + m_strRecordName + L", " + length;
  }
  if (recorder.lostFrames() > 0)
    text += L", lost " + std::to_wstring(recorder.lostFrames()) + L" frames";
  ShowRecordStatus(text);
}

void CMainDlg::ShowRecordStatus(const std::wstring& text) const {
  SetDlgItemTextW(hwnd(), IDC_RECORD_STATUS, text.c_str());
}

void CMainDlg::OnRecordFormat() {
  m_choices.recordPcm24 = SendDlgItemMessageW(hwnd(), IDC_RECORD_FORMAT, CB_GETCURSEL, 0, 0) == 1;
  saveDeviceChoices(m_choices);
}

void CMainDlg::OnRecordFolder() {
  BROWSEINFOW browse{};
  browse.hwndOwner = hwnd();
  browse.lpszTitle = L"Folder for recordings";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&browse);
  if (chosen == nullptr) return;
  wchar_t path[MAX_PATH] = {};
  if (SHGetPathFromIDListW(chosen, path) && path[0] != L'\0') {
    m_choices.recordFolder = path;
    saveDeviceChoices(m_choices);
    ShowRecordStatus(L"Recordings go to " + m_choices.recordFolder);
  }
  CoTaskMemFree(chosen);
}

// On the window's timer: the status line, the gaps while the route is away, a writer
// that failed, and a route that now plays another format than the file's.
void CMainDlg::RefreshRecording() {
  std::erase_if(m_endingRecorders, [this](const std::unique_ptr<Recorder>& recorder) {
    if (!recorder->waitEnded(0)) return false;
    ShowRecordEnd(*recorder, true);
    return true;
  });
  if (!m_pRecorder) return;
  if (m_pRecorder->failed()) {
    StopRecording();
    return;
  }
  const bool playing = m_bAudioRunning && !m_bAudioLost;
  if (!playing && !m_bRecordInGap) ++m_nRecordGaps;
  m_bRecordInGap = !playing;
  // The time missing is what the clock ran beyond the frames the audio thread
  // delivered: a lost route is noticed only some 0.3 to 0.6 s after its sound stopped.
  const int32_t rate = m_pRecorder->sampleRate();
  const auto elapsedMs = static_cast<int64_t>(GetTickCount64() - m_nRecordStartedAt);
  const int64_t deliveredMs = rate > 0 ? m_pRecorder->framesDelivered() * 1000 / rate : 0;
  const int64_t missing = elapsedMs > deliveredMs ? elapsedMs - deliveredMs : 0;
  m_pRecorder->setGaps(m_nRecordGaps, missing);

  // The rack renders in another rate or channel count (a route switched or reopened):
  // this file ends, a new one begins in the format the blocks come in.
  const int32_t newRate = m_pRecorder->foreignRate();
  const int32_t channels = m_pRecorder->foreignChannels();
  if (m_pRecorder->foreignFrames() > 0 && newRate > 0 && channels > 0 &&
      (newRate != rate || channels != m_pRecorder->channels())) {
    StopRecording();
    if (StartRecording(newRate, channels)) {
      m_strRecordNote = L"  (new file: " + std::to_wstring(newRate) + L" Hz, " +
                        std::to_wstring(channels) + L" ch)";
    }
    return;
  }

  std::wstring text =
      L"Recording " + duration(m_pRecorder->framesWritten(), rate) + L"  " + m_strRecordName;
  if (m_pRecorder->lostFrames() > 0)
    text += L"  lost " + std::to_wstring(m_pRecorder->lostFrames()) + L" frames";
  // Missing time without a lost route: blocks the engine did not render in time.
  if (m_nRecordGaps > 0 || missing >= 500) {
    wchar_t gaps[64] = {};
    swprintf(gaps, 64, L"  gaps %d (%.1f s missing)", m_nRecordGaps,
             static_cast<double>(missing) / 1000.0);
    text += gaps;
  }
  ShowRecordStatus(text + m_strRecordNote);
}

void CMainDlg::EndRecordingAtExit() {
  StopRecording();
  for (std::unique_ptr<Recorder>& recorder : m_endingRecorders) {
    // A writer held by a drive that does not answer is left to the end of the process.
    if (!recorder->waitEnded(2000)) static_cast<void>(recorder.release());
  }
  m_endingRecorders.clear();
}
