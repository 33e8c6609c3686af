// Set-up and control of the full-duplex stream, on the owner's thread. The block
// work of the worker thread is in dsound_duplex_worker.cpp.
#include "audio/dsound/dsound_duplex.h"

#include <algorithm>
#include <cstring>

#include "audio/audio_result.h"

namespace {

constexpr int32_t kMaxWaitHandles = 64;
// Larger rings are refused by DirectSound itself (its maximum buffer size).
constexpr int64_t kMaxRingBytes = 0x0FFFFFFF;
constexpr DWORD kRenderFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS |
                               DSBCAPS_CTRLPOSITIONNOTIFY | DSBCAPS_LOCSOFTWARE;

int64_t computedBlockCount(int32_t sampleRate, int32_t blockFrames, int setting) {
  const int64_t rate = sampleRate;
  const int64_t frames = blockFrames;
  if (setting == DsoundDuplex::kRingOf10Ms) return rate / (frames * 100) + 2;
  if (setting == DsoundDuplex::kRingOf15Ms) return rate / (frames * 66) + 2;
  if (setting < DsoundDuplex::kRingOf15Ms) return rate / (frames * 50) + 2;
  return setting;
}

BOOL CALLBACK storeDefaultDescription(LPGUID guid, LPCSTR description, LPCSTR, LPVOID context) {
  // The entry without a device identifier stands for the default device.
  if (guid == nullptr) *static_cast<std::string*>(context) = description ? description : "";
  return TRUE;
}

BOOL CALLBACK storeDefaultDescriptionW(LPGUID guid, LPCWSTR description, LPCWSTR, LPVOID context) {
  if (guid == nullptr) *static_cast<std::wstring*>(context) = description ? description : L"";
  return TRUE;
}

}  // namespace

int32_t DsoundDuplex::open(SynthRack* rack, HWND window, int channels, int sampleRate,
                           int blockFramesWanted, int blockCountSetting) {
  release();
  lastHostError_ = S_OK;
  if (rack == nullptr) return AudioNoRack;
  rack_ = rack;
  timing_.clear();
  dropouts_.set(0);
  trace_.configure();

  channels_ = channels >= 2 ? 2 : 1;
  sampleRate_ = sampleRate;
  int32_t minimumFrames = 64;
  if (sampleRate_ > 50000) minimumFrames = 128;
  if (sampleRate_ > 100000) minimumFrames = 256;
  blockFrames_ = std::max(blockFramesWanted, minimumFrames);

  int64_t count = computedBlockCount(sampleRate_, blockFrames_, blockCountSetting);
  // The worker waits on every block event plus the stop request at once.
  if (count + 3 > kMaxWaitHandles) return AudioTooManyBlocks;
  if (count < 2) count = 2;
  blockCount_ = static_cast<uint32_t>(count);

  const int64_t blockBytes = int64_t{blockFrames_} * channels_ * 2;
  if (blockBytes * count * 3 > kMaxRingBytes) return AudioFailed;
  blockSamples_ = blockFrames_ * channels_;
  blockBytes_ = static_cast<int32_t>(blockBytes);
  renderBytes_ = static_cast<uint32_t>(blockBytes_) * blockCount_;
  captureBytes_ = 3 * renderBytes_;
  frameBytes_ = channels_ * 2;

  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = static_cast<WORD>(channels_);
  format.nSamplesPerSec = static_cast<DWORD>(sampleRate_);
  format.nAvgBytesPerSec = static_cast<DWORD>(sampleRate_) * static_cast<DWORD>(frameBytes_);
  format.nBlockAlign = static_cast<WORD>(frameBytes_);
  format.wBitsPerSample = 16;
  format.cbSize = 0;

  // dwSize is the structure's own size: 40 bytes on x86-64 for both descriptions.
  DSBUFFERDESC renderDesc{};
  renderDesc.dwSize = sizeof(DSBUFFERDESC);
  renderDesc.dwFlags = kRenderFlags;
  renderDesc.dwBufferBytes = renderBytes_;
  renderDesc.dwReserved = 0;
  renderDesc.lpwfxFormat = &format;

  DSCBUFFERDESC captureDesc{};
  captureDesc.dwSize = sizeof(DSCBUFFERDESC);
  captureDesc.dwFlags = 0;
  captureDesc.dwBufferBytes = captureBytes_;
  captureDesc.dwReserved = 0;
  captureDesc.lpwfxFormat = &format;
  captureDesc.dwFXCount = 0;
  captureDesc.lpDSCFXDesc = nullptr;

  const HRESULT created = DirectSoundFullDuplexCreate(nullptr, nullptr, &captureDesc, &renderDesc,
                                                      window, DSSCL_PRIORITY, &duplex_,
                                                      &captureBuffer_, &renderBuffer_, nullptr);
  if (FAILED(created)) return failed(AudioFailed, created);

  events_ = std::make_unique<HANDLE[]>(blockCount_ + 2);
  notifyPositions_ = std::make_unique<DSBPOSITIONNOTIFY[]>(blockCount_);
  for (uint32_t i = 0; i < blockCount_; ++i) {
    // Resetting themselves, the block events cost the worker no ResetEvent: under Wine
    // every call on an event is a round trip to the wineserver.
    events_[i] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    notifyPositions_[i].dwOffset = (i + 1) * static_cast<DWORD>(blockBytes_) - frameBytes_;
    notifyPositions_[i].hEventNotify = events_[i];
  }
  events_[blockCount_] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  events_[blockCount_ + 1] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Without every event the worker's wait could never succeed.
  for (uint32_t i = 0; i < blockCount_ + 2; ++i) {
    if (events_[i] == nullptr) return AudioNotificationFailed;
  }

  IDirectSoundNotify* notify = nullptr;
  const HRESULT queried =
      renderBuffer_->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify));
  if (FAILED(queried)) return failed(AudioNotificationFailed, queried);
  const HRESULT positioned = notify->SetNotificationPositions(blockCount_, notifyPositions_.get());
  notify->Release();
  if (FAILED(positioned)) return failed(AudioNotificationFailed, positioned);

  outFloat_ = std::make_unique<float[]>(blockSamples_);
  inFloat_ = std::make_unique<float[]>(blockSamples_);
  in16_ = std::make_unique<int16_t[]>(blockSamples_);
  out16_ = std::make_unique<int16_t[]>(blockSamples_);
  return AudioOk;
}

int32_t DsoundDuplex::start(DuplexOutput output) {
  lastHostError_ = S_OK;
  if (!isOpened()) return AudioFailed;
  if (workerLeftRunning_) return AudioNotificationFailed;
  outputMode_.set(output);
  timing_.clear();
  dropouts_.set(0);

  DWORD status = 0;
  const HRESULT statusResult = renderBuffer_->GetStatus(&status);
  if (FAILED(statusResult)) return failed(AudioStreamSetupFailed, statusResult);
  if (status & DSBSTATUS_PLAYING) {
    if (workerAlive()) return AudioOk;
    // A ring that plays on without its worker (after a failed stop, or a worker that
    // ended on a failed wait) only loops stale sound: start it afresh.
    stop();
  }
  if (thread_ != nullptr) return AudioNotificationFailed;
  if (status & DSBSTATUS_BUFFERLOST) {
    const HRESULT restored = renderBuffer_->Restore();
    if (FAILED(restored)) return failed(AudioStreamSetupFailed, restored);
  }

  void* region1 = nullptr;
  void* region2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  const HRESULT locked =
      renderBuffer_->Lock(0, static_cast<DWORD>(blockBytes_) * blockCount_, &region1, &bytes1,
                          &region2, &bytes2, DSBLOCK_ENTIREBUFFER);
  if (FAILED(locked)) return failed(AudioStreamSetupFailed, locked);
  std::memset(region1, 0, bytes1);
  renderBuffer_->Unlock(region1, bytes1, region2, bytes2);
  const HRESULT positioned = renderBuffer_->SetCurrentPosition(0);
  if (FAILED(positioned)) return failed(AudioStreamSetupFailed, positioned);

  captureReadPos_.set(kNoCapturePosition);
  inSync_.set(false);
  nextBlock_.set(0);
  echoes_.set(0);
  carried_.set(0);
  takeNotifications();  // left over from an earlier run
  endedTicks_.set(0);
  lastCursor_.set(kNoCursorReading);
  catchUpCursor_.set(kNoCursorReading);
  ringOutrun_.set(false);
  captureStuck_.set(false);
  const int64_t frequency = performanceFrequency();
  ringTicks_.set(sampleRate_ > 0
                     ? frequency * static_cast<int64_t>(renderBytes_ / frameBytes_) / sampleRate_
                     : 0);
  clock_.start(static_cast<double>(sampleRate_), frequency, renderBytes_ / frameBytes_);
  marginTicks_ = frequency / 1000;
  trace_.begin({sampleRate_, blockFrames_, blockBytes_, blockCount_});
  resetWatch();

  quitting_.store(false, std::memory_order_relaxed);
  ResetEvent(readyEvent());
  thread_ = CreateThread(nullptr, 0, workerMain, this, 0, nullptr);
  if (thread_ == nullptr) {
    renderBuffer_->Stop();
    captureBuffer_->Stop();
    return AudioNotificationFailed;
  }
  SetThreadPriority(thread_, THREAD_PRIORITY_TIME_CRITICAL);

  // The rings start once the worker is about to wait for their notifications. A worker
  // that ended without answering (its wait failed) or does not answer in time is none.
  const HANDLE readyOrEnded[2] = {readyEvent(), thread_};
  if (WaitForMultipleObjects(2, readyOrEnded, FALSE, kWorkerWaitMs) != WAIT_OBJECT_0) {
    stop();
    return AudioNotificationFailed;
  }

  HRESULT started = captureBuffer_->Start(DSCBSTART_LOOPING);
  if (SUCCEEDED(started)) started = renderBuffer_->Play(0, 0, DSBPLAY_LOOPING);
  if (FAILED(started)) {
    stop();
    return failed(AudioStartStopFailed, started);
  }
  return AudioOk;
}

int32_t DsoundDuplex::stop() {
  lastHostError_ = S_OK;
  if (!isOpened()) return AudioFailed;
  int32_t result = AudioOk;
  // Once the worker was left running, the buffers were stopped, and a sound service that
  // still holds the worker in a call may hold the caller too: the worker is only looked at.
  if (!workerLeftRunning_) {
    const HRESULT renderStopped = renderBuffer_->Stop();
    if (FAILED(renderStopped)) result = failed(AudioStartStopFailed, renderStopped);
    const HRESULT captureStopped = captureBuffer_->Stop();
    if (FAILED(captureStopped)) result = failed(AudioStartStopFailed, captureStopped);
  }

  if (thread_ != nullptr) {
    quitting_.store(true, std::memory_order_release);
    SetEvent(stopEvent());
    if (WaitForSingleObject(thread_, workerLeftRunning_ ? 0 : kWorkerWaitMs) != WAIT_OBJECT_0) {
      workerLeftRunning_ = true;
      lost_.set(true);
      return AudioWorkerLeftRunning;
    }
    workerLeftRunning_ = false;
    // A worker that had ended on its own never took its stop request; the next start
    // needs it clear.
    ResetEvent(stopEvent());
    CloseHandle(thread_);
    thread_ = nullptr;
    trace_.end(dropouts_.get());
  }
  return result;
}

void DsoundDuplex::release() {
  stop();
  if (workerLeftRunning_) return;
  closeEvents();
  if (renderBuffer_ != nullptr) {
    renderBuffer_->Release();
    renderBuffer_ = nullptr;
  }
  if (captureBuffer_ != nullptr) {
    captureBuffer_->Release();
    captureBuffer_ = nullptr;
  }
  if (duplex_ != nullptr) {
    duplex_->Release();
    duplex_ = nullptr;
  }
  notifyPositions_.reset();
  out16_.reset();
  in16_.reset();
  inFloat_.reset();
  outFloat_.reset();
}

int32_t DsoundDuplex::failed(int32_t code, HRESULT result) {
  lastHostError_ = result;
  return code;
}

bool DsoundDuplex::workerAlive() const {
  return thread_ != nullptr && WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT;
}

void DsoundDuplex::closeEvents() {
  if (!events_) return;
  for (uint32_t i = 0; i < blockCount_ + 2; ++i) {
    if (events_[i] != nullptr) CloseHandle(events_[i]);
  }
  events_.reset();
}

bool DsoundDuplex::deviceNames(std::string& captureName, std::string& renderName) {
  bool obtained = true;
  if (FAILED(DirectSoundCaptureEnumerateA(storeDefaultDescription, &captureName))) {
    captureName = "";
    obtained = false;
  }
  if (FAILED(DirectSoundEnumerateA(storeDefaultDescription, &renderName))) {
    renderName = "";
    obtained = false;
  }
  return obtained;
}

bool DsoundDuplex::deviceNamesW(std::wstring& captureName, std::wstring& renderName) {
  bool obtained = true;
  if (FAILED(DirectSoundCaptureEnumerateW(storeDefaultDescriptionW, &captureName))) {
    captureName.clear();
    obtained = false;
  }
  if (FAILED(DirectSoundEnumerateW(storeDefaultDescriptionW, &renderName))) {
    renderName.clear();
    obtained = false;
  }
  return obtained;
}
