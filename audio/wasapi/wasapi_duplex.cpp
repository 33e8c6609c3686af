// Set-up and control of the WASAPI streams, on the owner's thread. The worker's period
// work is in wasapi_duplex_worker.cpp.
#include "audio/wasapi/wasapi_duplex.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/audio_result.h"

namespace {

constexpr REFERENCE_TIME kHnsPerSecond = 10'000'000;

struct FormatChoice {
  int bits;
  int validBits;
  bool isFloat;
  ASIOSampleType type;
};

// Exclusive mode's preference: float needs no scaling of ours and keeps the mix's
// headroom; then the widest integers.
constexpr FormatChoice kExclusiveChoices[] = {
    {32, 32, true, ASIOSTFloat32LSB},
    {32, 24, false, ASIOSTInt32LSB},
    {24, 24, false, ASIOSTInt24LSB},
    {16, 16, false, ASIOSTInt16LSB},
};
constexpr DWORD kPreferredRate = 48000;

WAVEFORMATEXTENSIBLE makeFormat(const FormatChoice& choice, DWORD rate, WORD channels) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = static_cast<WORD>(choice.bits);
  f.Format.nBlockAlign = static_cast<WORD>(channels * choice.bits / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  f.Samples.wValidBitsPerSample = static_cast<WORD>(choice.validBits);
  f.dwChannelMask = channels == 1   ? KSAUDIO_SPEAKER_MONO
                    : channels == 2 ? KSAUDIO_SPEAKER_STEREO
                                    : 0;
  f.SubFormat = choice.isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

const WAVEFORMATEX* asFormat(const WAVEFORMATEXTENSIBLE& f) {
  return &f.Format;
}

// The mix format's rate and channels; false when the device does not say.
bool mixRateAndChannels(IAudioClient* client, DWORD& rate, WORD& channels) {
  WAVEFORMATEX* mix = nullptr;
  if (FAILED(client->GetMixFormat(&mix)) || mix == nullptr) return false;
  rate = mix->nSamplesPerSec;
  channels = mix->nChannels;
  CoTaskMemFree(mix);
  return rate > 0 && channels > 0;
}

template <typename T>
void releaseAndClear(T*& object) {
  if (object != nullptr) {
    object->Release();
    object = nullptr;
  }
}

HRESULT activateClient(IMMDevice* device, IAudioClient** client) {
  return device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(client));
}

}  // namespace

int32_t WasapiDuplex::open(SynthRack* rack, const WasapiOpenOptions& options) {
  release();
  // A worker left running may still reach the clients it was given.
  if (workerLeftRunning_) return AudioNotificationFailed;
  lastHostError_ = S_OK;
  sharedFallback_ = false;
  sharedMinimumPeriod_ = false;
  exclusiveRefusal_ = S_OK;
  captureRefusal_ = S_OK;
  if (rack == nullptr) return AudioNoRack;
  rack_ = rack;
  trace_.configure();

  IMMDeviceEnumerator* enumerator = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator));
  if (FAILED(hr)) return failed(AudioNoDriver, hr);
  IMMDevice* renderDevice = nullptr;
  hr = options.renderId.empty()
           ? enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &renderDevice)
           : enumerator->GetDevice(options.renderId.c_str(), &renderDevice);
  int32_t result = FAILED(hr) ? failed(AudioNoEndpoint, hr) : openRender(renderDevice, options);
  releaseAndClear(renderDevice);
  if (result == AudioOk) openCapture(enumerator, options);
  enumerator->Release();
  if (result != AudioOk) {
    releaseClients();
    return result;
  }

  deviceEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  readyEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (deviceEvent_ == nullptr || stopEvent_ == nullptr || readyEvent_ == nullptr) {
    release();
    return AudioNotificationFailed;
  }
  hr = renderAudio_->SetEventHandle(deviceEvent_);
  if (SUCCEEDED(hr)) {
    hr = renderAudio_->GetService(IID_IAudioRenderClient, reinterpret_cast<void**>(&renderClient_));
  }
  if (FAILED(hr)) {
    release();
    return failed(AudioStreamSetupFailed, hr);
  }
  // Without a clock, steady MIDI timing takes each block's start from when it renders.
  if (SUCCEEDED(
          renderAudio_->GetService(IID_IAudioClock, reinterpret_cast<void**>(&audioClock_))) &&
      (FAILED(audioClock_->GetFrequency(&clockFrequency_)) || clockFrequency_ == 0)) {
    releaseAndClear(audioClock_);
  }

  const int32_t frames = std::max<int32_t>(periodFrames_, static_cast<int32_t>(bufferFrames_));
  outFloat_ = std::make_unique<float[]>(static_cast<size_t>(rackChannels_) * frames);
  inFloat_ = std::make_unique<float[]>(static_cast<size_t>(rackChannels_) * frames);
  if (captureClient_ != nullptr) {
    fifo_ = std::make_unique<float[]>(static_cast<size_t>(rackChannels_) * fifoFrames_);
  }
  if (trace_.enabled()) {
    traceOut_ = std::make_unique<int16_t[]>(static_cast<size_t>(rackChannels_) * frames);
  }
  return AudioOk;
}

int32_t WasapiDuplex::openRender(IMMDevice* device, const WasapiOpenOptions& options) {
  HRESULT hr = S_OK;
  if (options.mode == WasapiMode::Exclusive) {
    hr = openExclusive(device);
    if (SUCCEEDED(hr)) {
      mode_ = WasapiMode::Exclusive;
    } else if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
      return failed(AudioDeviceInvalidated, hr);
    } else {
      // In use by another program, no format in common, or exclusive mode not allowed.
      sharedFallback_ = true;
      exclusiveRefusal_ = hr;
    }
  }
  if (renderAudio_ == nullptr) {
    mode_ = WasapiMode::Shared;
    hr = openShared(device);
    if (hr == AUDCLNT_E_DEVICE_INVALIDATED) return failed(AudioDeviceInvalidated, hr);
    if (hr == AUDCLNT_E_UNSUPPORTED_FORMAT) return failed(AudioUnsupportedSampleType, hr);
    if (FAILED(hr)) return failed(AudioStreamSetupFailed, hr);
  }
  hr = renderAudio_->GetBufferSize(&bufferFrames_);
  if (FAILED(hr) || bufferFrames_ == 0) return failed(AudioStreamSetupFailed, hr);
  if (mode_ == WasapiMode::Exclusive) periodFrames_ = static_cast<int32_t>(bufferFrames_);
  periodFrames_ = std::min(periodFrames_, static_cast<int32_t>(bufferFrames_));
  renderChannels_ = format_.Format.nChannels;
  rackChannels_ = std::min(renderChannels_, 2);
  sampleRate_ = static_cast<int32_t>(format_.Format.nSamplesPerSec);
  return AudioOk;
}

HRESULT WasapiDuplex::openExclusive(IMMDevice* device) {
  IAudioClient* client = nullptr;
  HRESULT hr = activateClient(device, &client);
  if (FAILED(hr)) return hr;
  DWORD mixRate = 0;
  WORD channels = 0;
  if (!mixRateAndChannels(client, mixRate, channels)) {
    client->Release();
    return AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  const DWORD rates[] = {kPreferredRate, mixRate};
  const FormatChoice* chosen = nullptr;
  for (int r = 0; r < 2 && chosen == nullptr; ++r) {
    const DWORD rate = rates[r];
    if (r == 1 && rate == kPreferredRate) break;  // asked already
    for (const FormatChoice& choice : kExclusiveChoices) {
      const WAVEFORMATEXTENSIBLE f = makeFormat(choice, rate, channels);
      if (client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, asFormat(f), nullptr) == S_OK) {
        format_ = f;
        chosen = &choice;
        break;
      }
    }
  }
  client->Release();
  if (chosen == nullptr) return AUDCLNT_E_UNSUPPORTED_FORMAT;
  sampleType_ = chosen->type;
  return initializeExclusive(device, asFormat(format_));
}

HRESULT WasapiDuplex::initializeExclusive(IMMDevice* device, const WAVEFORMATEX* format) {
  IAudioClient* client = nullptr;
  HRESULT hr = activateClient(device, &client);
  if (FAILED(hr)) return hr;
  REFERENCE_TIME defaultPeriod = 0;
  REFERENCE_TIME period = 0;
  hr = client->GetDevicePeriod(&defaultPeriod, &period);
  if (FAILED(hr) || period <= 0) period = defaultPeriod;
  hr = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, period,
                          period, format, nullptr);
  if (hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
    // The device wants a buffer of its own alignment: the period that gives that size,
    // on a fresh client (one whose Initialize failed cannot be initialised again).
    UINT32 aligned = 0;
    hr = client->GetBufferSize(&aligned);
    client->Release();
    client = nullptr;
    if (FAILED(hr) || aligned == 0) return AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
    period = std::llround(static_cast<double>(kHnsPerSecond) * aligned / format->nSamplesPerSec);
    hr = activateClient(device, &client);
    if (FAILED(hr)) return hr;
    hr = client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, period,
                            period, format, nullptr);
  }
  if (FAILED(hr)) {
    client->Release();
    return hr;
  }
  renderAudio_ = client;
  return S_OK;
}

HRESULT WasapiDuplex::openShared(IMMDevice* device) {
  constexpr FormatChoice kFloat = kExclusiveChoices[0];
  sampleType_ = kFloat.type;
  // The smallest period the engine allows, where it tells (IAudioClient3).
  IAudioClient3* client3 = nullptr;
  HRESULT hr =
      device->Activate(IID_IAudioClient3, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client3));
  if (hr == AUDCLNT_E_DEVICE_INVALIDATED) return hr;
  if (SUCCEEDED(hr)) {
    DWORD rate = 0;
    WORD channels = 0;
    UINT32 defaultFrames = 0, fundamental = 0, minimum = 0, maximum = 0;
    if (mixRateAndChannels(client3, rate, channels)) {
      format_ = makeFormat(kFloat, rate, channels);
      hr = client3->GetSharedModeEnginePeriod(asFormat(format_), &defaultFrames, &fundamental,
                                              &minimum, &maximum);
      if (SUCCEEDED(hr) && minimum > 0) {
        hr = client3->InitializeSharedAudioStream(AUDCLNT_STREAMFLAGS_EVENTCALLBACK, minimum,
                                                  asFormat(format_), nullptr);
        if (SUCCEEDED(hr)) {
          renderAudio_ = client3;
          periodFrames_ = static_cast<int32_t>(minimum);
          sharedMinimumPeriod_ = true;
          return S_OK;
        }
      }
    }
    client3->Release();
    if (hr == AUDCLNT_E_DEVICE_INVALIDATED) return hr;
  }
  // The engine's default period.
  IAudioClient* client = nullptr;
  hr = activateClient(device, &client);
  if (FAILED(hr)) return hr;
  DWORD rate = 0;
  WORD channels = 0;
  if (!mixRateAndChannels(client, rate, channels)) {
    client->Release();
    return AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  format_ = makeFormat(kFloat, rate, channels);
  hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0,
                          asFormat(format_), nullptr);
  if (FAILED(hr)) {
    client->Release();
    return hr;
  }
  REFERENCE_TIME defaultPeriod = 0;
  if (FAILED(client->GetDevicePeriod(&defaultPeriod, nullptr)) || defaultPeriod <= 0) {
    defaultPeriod = kHnsPerSecond / 100;
  }
  periodFrames_ = static_cast<int32_t>((defaultPeriod * rate + kHnsPerSecond / 2) / kHnsPerSecond);
  renderAudio_ = client;
  return S_OK;
}

// Any failure leaves the route output-only; captureRefusal() says why.
void WasapiDuplex::openCapture(IMMDeviceEnumerator* enumerator, const WasapiOpenOptions& options) {
  captureChannels_ = 0;
  if (!options.withCapture) return;
  IMMDevice* device = nullptr;
  HRESULT hr = options.captureId.empty()
                   ? enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &device)
                   : enumerator->GetDevice(options.captureId.c_str(), &device);
  if (FAILED(hr)) {
    captureRefusal_ = hr;
    return;
  }
  hr = activateClient(device, &captureAudio_);
  DWORD rate = 0;
  WORD channels = 0;
  if (SUCCEEDED(hr) && !mixRateAndChannels(captureAudio_, rate, channels)) {
    hr = AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  // The render stream's sample type and rate: the input needs no conversion of rate.
  const AUDCLNT_SHAREMODE shareMode =
      mode_ == WasapiMode::Exclusive ? AUDCLNT_SHAREMODE_EXCLUSIVE : AUDCLNT_SHAREMODE_SHARED;
  const FormatChoice* choice = &kExclusiveChoices[0];
  for (const FormatChoice& c : kExclusiveChoices) {
    if (c.type == sampleType_) choice = &c;
  }
  const WAVEFORMATEXTENSIBLE format = makeFormat(*choice, format_.Format.nSamplesPerSec, channels);
  REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
  if (SUCCEEDED(hr)) {
    WAVEFORMATEX* closest = nullptr;
    hr = captureAudio_->IsFormatSupported(shareMode, asFormat(format), &closest);
    if (closest != nullptr) CoTaskMemFree(closest);
    if (hr != S_OK) hr = AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  if (SUCCEEDED(hr)) {
    if (FAILED(captureAudio_->GetDevicePeriod(&defaultPeriod, &minimumPeriod)) ||
        defaultPeriod <= 0) {
      defaultPeriod = kHnsPerSecond / 100;
    }
    // Polled on the render stream's event: room for several of its own periods.
    const REFERENCE_TIME renderPeriod = kHnsPerSecond * periodFrames_ / sampleRate_;
    const REFERENCE_TIME buffer = std::max(4 * renderPeriod, 4 * defaultPeriod);
    const REFERENCE_TIME period = shareMode == AUDCLNT_SHAREMODE_EXCLUSIVE ? defaultPeriod : 0;
    hr = captureAudio_->Initialize(shareMode, 0, buffer, period, asFormat(format), nullptr);
    if (hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
      // As for the render stream: the size the device wants, on a fresh client (one whose
      // Initialize failed cannot be initialised again).
      UINT32 aligned = 0;
      hr = captureAudio_->GetBufferSize(&aligned);
      releaseAndClear(captureAudio_);
      if (FAILED(hr) || aligned == 0) hr = AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
      if (SUCCEEDED(hr)) hr = activateClient(device, &captureAudio_);
      if (SUCCEEDED(hr)) {
        const REFERENCE_TIME alignedBuffer = std::llround(static_cast<double>(kHnsPerSecond) *
                                                          aligned / format.Format.nSamplesPerSec);
        hr = captureAudio_->Initialize(shareMode, 0, alignedBuffer, period, asFormat(format),
                                       nullptr);
      }
    }
  }
  device->Release();
  if (SUCCEEDED(hr)) {
    hr = captureAudio_->GetService(IID_IAudioCaptureClient,
                                   reinterpret_cast<void**>(&captureClient_));
  }
  UINT32 captureBuffer = 0;
  if (SUCCEEDED(hr)) hr = captureAudio_->GetBufferSize(&captureBuffer);
  if (FAILED(hr)) {
    captureRefusal_ = hr;
    releaseAndClear(captureClient_);
    releaseAndClear(captureAudio_);
    return;
  }
  captureChannels_ = channels;
  captureType_ = choice->type;
  const int32_t capturePeriod =
      static_cast<int32_t>((defaultPeriod * sampleRate_ + kHnsPerSecond / 2) / kHnsPerSecond);
  slackFrames_ = std::max(kCaptureSlackPeriods * periodFrames_, 2 * capturePeriod);
  mostSlackFrames_ = 2 * slackFrames_;
  fifoFrames_ = 2 * (periodFrames_ + mostSlackFrames_) + 2 * static_cast<int32_t>(captureBuffer);
}

int32_t WasapiDuplex::start(DuplexOutput output) {
  lastHostError_ = S_OK;
  if (!isOpened()) return AudioFailed;
  if (workerLeftRunning_) return AudioNotificationFailed;
  if (thread_ != nullptr) {
    if (WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT) {
      outputMode_.set(output);
      return AudioOk;
    }
    // A worker that ended by itself (the device lost): start afresh.
    stop();
  }
  outputMode_.set(output);
  timing_.clear();
  dropouts_.set(0);
  lost_.set(false);
  fifoRead_ = 0;
  fifoFill_ = 0;
  inputPlaced_ = false;
  captureFlowing_ = false;
  capturedFrames_ = 0;
  flowingSincePlaced_ = false;

  // A buffer of silence ahead, so the first periods have something to play.
  BYTE* data = nullptr;
  UINT32 padding = 0;
  HRESULT hr = renderAudio_->GetCurrentPadding(&padding);
  if (SUCCEEDED(hr) && padding < bufferFrames_) {
    hr = renderClient_->GetBuffer(bufferFrames_ - padding, &data);
    if (SUCCEEDED(hr))
      hr = renderClient_->ReleaseBuffer(bufferFrames_ - padding, AUDCLNT_BUFFERFLAGS_SILENT);
  }
  if (FAILED(hr)) {
    return failed(
        hr == AUDCLNT_E_DEVICE_INVALIDATED ? AudioDeviceInvalidated : AudioStreamSetupFailed, hr);
  }
  // The stream was reset: its position counts from the silence just written.
  counterFrequency_ = performanceFrequency();
  clock_.start(static_cast<double>(sampleRate_), counterFrequency_, 0);
  written_ = bufferFrames_;
  leadTicks_ = 0;
  blocksAhead_ = 0;
  if (traceOut_ != nullptr) {
    const int32_t blockFrames =
        mode_ == WasapiMode::Exclusive ? static_cast<int32_t>(bufferFrames_) : periodFrames_;
    trace_.begin({sampleRate_, blockFrames, blockFrames * 2 * rackChannels_, kTraceBlocks,
                  static_cast<int32_t>(bufferFrames_)});
  }
  marginTicks_ = counterFrequency_ / 1000;
  if (captureAudio_ != nullptr) {
    hr = captureAudio_->Start();
    if (FAILED(hr)) return failed(AudioStartStopFailed, hr);
  }

  quitting_.store(false, std::memory_order_relaxed);
  ResetEvent(readyEvent_);
  ResetEvent(stopEvent_);
  thread_ = CreateThread(nullptr, 0, workerMain, this, 0, nullptr);
  if (thread_ == nullptr) {
    if (captureAudio_ != nullptr) captureAudio_->Stop();
    return AudioNotificationFailed;
  }
  SetThreadPriority(thread_, THREAD_PRIORITY_TIME_CRITICAL);
  const HANDLE readyOrEnded[2] = {readyEvent_, thread_};
  if (WaitForMultipleObjects(2, readyOrEnded, FALSE, kWorkerWaitMs) != WAIT_OBJECT_0) {
    stop();
    return AudioNotificationFailed;
  }
  hr = renderAudio_->Start();
  if (FAILED(hr)) {
    stop();
    return failed(AudioStartStopFailed, hr);
  }
  return AudioOk;
}

int32_t WasapiDuplex::stop() {
  lastHostError_ = S_OK;
  if (!isOpened()) return AudioFailed;
  int32_t result = AudioOk;
  if (!workerLeftRunning_) {
    // A device that went away needs no stopping.
    const HRESULT renderStopped = renderAudio_->Stop();
    if (FAILED(renderStopped) && renderStopped != AUDCLNT_E_DEVICE_INVALIDATED) {
      result = failed(AudioStartStopFailed, renderStopped);
    }
    if (captureAudio_ != nullptr) {
      const HRESULT captureStopped = captureAudio_->Stop();
      if (FAILED(captureStopped) && captureStopped != AUDCLNT_E_DEVICE_INVALIDATED) {
        result = failed(AudioStartStopFailed, captureStopped);
      }
    }
  }
  if (thread_ != nullptr) {
    quitting_.store(true, std::memory_order_release);
    SetEvent(stopEvent_);
    if (WaitForSingleObject(thread_, workerLeftRunning_ ? 0 : kWorkerWaitMs) != WAIT_OBJECT_0) {
      workerLeftRunning_ = true;
      lost_.set(true);
      return AudioWorkerLeftRunning;
    }
    workerLeftRunning_ = false;
    CloseHandle(thread_);
    thread_ = nullptr;
    ResetEvent(stopEvent_);
    trace_.end(dropouts_.get());
  }
  // What was queued belongs to this run: the next start begins with silence.
  renderAudio_->Reset();
  if (captureAudio_ != nullptr) captureAudio_->Reset();
  return result;
}

void WasapiDuplex::release() {
  if (isOpened()) stop();
  if (workerLeftRunning_) return;
  releaseClients();
  for (HANDLE* event : {&deviceEvent_, &stopEvent_, &readyEvent_}) {
    if (*event != nullptr) CloseHandle(*event);
    *event = nullptr;
  }
  outFloat_.reset();
  inFloat_.reset();
  fifo_.reset();
}

void WasapiDuplex::releaseClients() {
  releaseAndClear(renderClient_);
  releaseAndClear(audioClock_);
  releaseAndClear(renderAudio_);
  releaseAndClear(captureClient_);
  releaseAndClear(captureAudio_);
  captureChannels_ = 0;
}

int32_t WasapiDuplex::failed(int32_t code, HRESULT result) {
  lastHostError_ = result;
  return code;
}
