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
constexpr DWORD kTerminatedExitCode = 259;

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
  // The worker waits on every block event plus the stop and start events at once.
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
  const int64_t frequency = performanceFrequency();
  ringTicks_.set(sampleRate_ > 0
                     ? frequency * static_cast<int64_t>(renderBytes_ / frameBytes_) / sampleRate_
                     : 0);
  trace_.begin({sampleRate_, blockFrames_, blockBytes_, blockCount_});
  resetWatch();

  thread_ = CreateThread(nullptr, 0, workerMain, this, 0, nullptr);
  if (thread_ == nullptr) {
    // Nobody would ever answer the handshake below.
    renderBuffer_->Stop();
    captureBuffer_->Stop();
    return AudioNotificationFailed;
  }
  SetThreadPriority(thread_, THREAD_PRIORITY_TIME_CRITICAL);

  // The worker resets the handshake event once it is inside its wait.
  SetEvent(handshakeEvent());
  while (WaitForSingleObject(handshakeEvent(), 0) == WAIT_OBJECT_0) {
    if (WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0) {
      // The worker ended without answering (its wait failed).
      CloseHandle(thread_);
      thread_ = nullptr;
      ResetEvent(handshakeEvent());
      renderBuffer_->Stop();
      captureBuffer_->Stop();
      return AudioNotificationFailed;
    }
  }

  HRESULT started = captureBuffer_->Start(DSCBSTART_LOOPING);
  if (SUCCEEDED(started)) started = renderBuffer_->Play(0, 0, DSBPLAY_LOOPING);
  if (FAILED(started)) {
    stop();
    return failed(AudioStartStopFailed, started);
  }
  Sleep(50);
  return AudioOk;
}

int32_t DsoundDuplex::stop() {
  lastHostError_ = S_OK;
  if (!isOpened()) return AudioFailed;
  int32_t result = AudioOk;
  const HRESULT renderStopped = renderBuffer_->Stop();
  if (FAILED(renderStopped)) result = failed(AudioStartStopFailed, renderStopped);
  const HRESULT captureStopped = captureBuffer_->Stop();
  if (FAILED(captureStopped)) result = failed(AudioStartStopFailed, captureStopped);

  if (thread_ != nullptr) {
    // Ten times the ring's duration; 64-bit so that large rings cannot wrap it short.
    const uint64_t divisor = uint64_t{static_cast<uint32_t>(channels_)} *
                             static_cast<uint32_t>(std::max(sampleRate_, 1));
    const uint64_t timeout =
        uint64_t{blockCount_} * 10000u * static_cast<uint32_t>(blockSamples_) / divisor;
    SetEvent(stopEvent());
    if (WaitForSingleObject(thread_, static_cast<DWORD>(std::min<uint64_t>(
                                         timeout, INFINITE - 1))) != WAIT_OBJECT_0) {
      TerminateThread(thread_, kTerminatedExitCode);
      result = AudioWorkerTerminated;
    }
    // A worker that had ended on its own, or was terminated, never took its stop
    // request; the next start needs it clear.
    ResetEvent(stopEvent());
    CloseHandle(thread_);
    thread_ = nullptr;
    trace_.end(dropouts_.get());
  }
  return result;
}

void DsoundDuplex::release() {
  stop();
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
