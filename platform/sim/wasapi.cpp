// One state behind one mutex: the endpoints, the one render and one capture stream
// open at a time, and the test's settings. A render client's GetBuffer hands out a
// staging area that ReleaseBuffer appends to the queued frames, so the clock never
// touches memory the caller is writing.
#include "platform/sim/wasapi.h"

#include "platform/sim/kernel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

const GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const PROPERTYKEY PKEY_Device_FriendlyName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
const CLSID CLSID_MMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const IID IID_IMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
const IID IID_IAudioClient = {
    0x1CB9AD4C, 0xDBFA, 0x4c32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
const IID IID_IAudioClient3 = {
    0x7ED4EE07, 0x8E67, 0x4CD4, {0x8C, 0x1A, 0x2B, 0x7A, 0x59, 0x87, 0xAD, 0x42}};
const IID IID_IAudioRenderClient = {
    0xF294ACFC, 0x3146, 0x4483, {0xA7, 0xBF, 0xAD, 0xDC, 0xA7, 0xC2, 0x60, 0xE2}};
const IID IID_IAudioCaptureClient = {
    0xC8ADBD64, 0xE71E, 0x48a0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
const IID IID_IAudioClock = {
    0xCD63314F, 0x3FBA, 0x4a1b, {0x81, 0x2C, 0xEF, 0x96, 0x35, 0x87, 0x28, 0xE7}};
const IID IID_IMMNotificationClient = {
    0x7991EEC9, 0x7E89, 0x4D85, {0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0}};

namespace sim {
namespace {

struct Endpoint {
  std::wstring id;
  std::wstring name;
  EDataFlow flow = eRender;
  DWORD rate = 48000;
  WORD channels = 2;
};

struct Stream {
  bool initialized = false;
  bool started = false;
  bool dead = false;
  EDataFlow flow = eRender;
  WasapiStreamInfo info;
  WORD blockAlign = 0;
  HANDLE event = nullptr;
  std::deque<uint8_t> queued;    // render: frames released, not yet played
  std::vector<uint8_t> staging;  // render: what GetBuffer handed out
  std::deque<std::pair<std::vector<uint8_t>, DWORD>> packets;  // capture: data and flags
  std::vector<uint8_t> current;  // capture: the packet GetBuffer handed out
  uint64_t capturedSamples = 0;
  uint64_t playedFrames = 0;  // render: since the stream started
  int64_t playedCounter = 0;  // render: the performance counter at the last tick
};

struct State {
  std::mutex mutex;
  std::map<WasapiCall, std::pair<int, HRESULT>> failures;
  std::vector<Endpoint> endpoints;
  bool capturePresent = true;
  bool captureRefuses = false;
  std::vector<WasapiFormat> exclusiveFormats;
  HRESULT exclusiveRefusal = S_OK;
  UINT32 alignment = 0;
  bool client3 = true;
  UINT32 minimumSharedFrames = 128;
  std::vector<WasapiFormat> queries;
  int renderInitializes = 0;
  std::shared_ptr<Stream> render;
  std::shared_ptr<Stream> capture;
  float (*captureSource)(uint64_t) = nullptr;
  bool captureHeld = false;
  std::vector<std::vector<uint8_t>> heldPackets;
  bool discontinuity = false;
  bool silent = false;
  int64_t clockLagTicks = 0;
  bool invalidated = false;
  std::vector<uint8_t> played;
  int underruns = 0;
  int paddingCalls = 0;
  std::wstring mmcssTask;
  std::vector<IMMNotificationClient*> listeners;
  std::atomic<int> references{0};
  std::atomic<int> mmcss{0};
  std::atomic<int> taskMemBlocks{0};
};

State& state() {
  static State* instance = new State;  // never destroyed: objects may outlive main
  return *instance;
}

// Called with the mutex held.
HRESULT injected(WasapiCall call) {
  auto it = state().failures.find(call);
  if (it == state().failures.end() || it->second.first <= 0) return S_OK;
  --it->second.first;
  return it->second.second;
}

const Endpoint* findEndpoint(const std::wstring& id) {
  for (const Endpoint& e : state().endpoints) {
    if (e.id == id && (e.flow == eRender || state().capturePresent)) return &e;
  }
  return nullptr;
}

bool readFormat(const WAVEFORMATEX* f, WasapiFormat& out) {
  if (f == nullptr) return false;
  out.bits = f->wBitsPerSample;
  out.validBits = f->wBitsPerSample;
  out.rate = f->nSamplesPerSec;
  if (f->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
    out.isFloat = true;
  } else if (f->wFormatTag == WAVE_FORMAT_PCM) {
    out.isFloat = false;
  } else if (f->wFormatTag == WAVE_FORMAT_EXTENSIBLE && f->cbSize >= 22) {
    const auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f);
    out.validBits = x->Samples.wValidBitsPerSample;
    if (x->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) {
      out.isFloat = true;
    } else if (x->SubFormat == KSDATAFORMAT_SUBTYPE_PCM) {
      out.isFloat = false;
    } else {
      return false;
    }
  } else {
    return false;
  }
  return f->nBlockAlign == f->nChannels * (f->wBitsPerSample / 8);
}

WAVEFORMATEX* mixFormatCopy(const Endpoint& e) {
  auto* x = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
  std::memset(x, 0, sizeof(*x));
  x->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  x->Format.nChannels = e.channels;
  x->Format.nSamplesPerSec = e.rate;
  x->Format.wBitsPerSample = 32;
  x->Format.nBlockAlign = static_cast<WORD>(4 * e.channels);
  x->Format.nAvgBytesPerSec = e.rate * x->Format.nBlockAlign;
  x->Format.cbSize = 22;
  x->Samples.wValidBitsPerSample = 32;
  x->dwChannelMask = e.channels == 1 ? KSAUDIO_SPEAKER_MONO : KSAUDIO_SPEAKER_STEREO;
  x->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  return &x->Format;
}

UINT32 framesOf(REFERENCE_TIME duration, DWORD rate) {
  return static_cast<UINT32>((duration * rate + 5'000'000) / 10'000'000);
}

// One sample in a stream's format, from a float in [-1, 1].
void encodeSample(float value, const WasapiFormat& f, uint8_t* out) {
  if (f.isFloat) {
    std::memcpy(out, &value, 4);
    return;
  }
  const double scaled = static_cast<double>(value) * 2147483647.0;
  const int32_t full = static_cast<int32_t>(std::clamp(scaled, -2147483648.0, 2147483647.0));
  const uint32_t bits = static_cast<uint32_t>(full);
  for (int b = 0; b < f.bits / 8; ++b) out[b] = static_cast<uint8_t>(bits >> (32 - f.bits + 8 * b));
}

class ComObject {
 public:
  ComObject() { ++state().references; }
  virtual ~ComObject() { --state().references; }

 protected:
  ULONG addRef() { return ++count_; }
  ULONG release() {
    const ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> count_{1};
};

// An object with one interface besides IUnknown.
template <class Interface>
class SimpleCom : public Interface, protected ComObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<Interface*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }
};

class RenderClient final : public SimpleCom<IAudioRenderClient> {
 public:
  explicit RenderClient(std::shared_ptr<Stream> s) : stream_(std::move(s)) {}

  HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (HRESULT hr = injected(WasapiCall::GetBuffer); FAILED(hr)) return hr;
    if (!data) return E_POINTER;
    const size_t queuedFrames = stream_->queued.size() / stream_->blockAlign;
    if (queuedFrames + frames > stream_->info.bufferFrames) return AUDCLNT_E_BUFFER_TOO_LARGE;
    stream_->staging.assign(static_cast<size_t>(frames) * stream_->blockAlign, 0xA5);
    *data = stream_->staging.data();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    const size_t bytes = static_cast<size_t>(frames) * stream_->blockAlign;
    if (bytes > stream_->staging.size()) return AUDCLNT_E_INVALID_SIZE;
    if (flags & AUDCLNT_BUFFERFLAGS_SILENT) std::fill_n(stream_->staging.begin(), bytes, 0);
    stream_->queued.insert(stream_->queued.end(), stream_->staging.begin(),
                           stream_->staging.begin() + static_cast<std::ptrdiff_t>(bytes));
    stream_->staging.clear();
    return S_OK;
  }

 private:
  std::shared_ptr<Stream> stream_;
};

class AudioClock final : public SimpleCom<IAudioClock> {
 public:
  explicit AudioClock(std::shared_ptr<Stream> s) : stream_(std::move(s)) {}

  HRESULT STDMETHODCALLTYPE GetFrequency(UINT64* frequency) override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!frequency) return E_POINTER;
    *frequency = static_cast<UINT64>(stream_->info.format.rate) * stream_->blockAlign;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPosition(UINT64* position, UINT64* counterPosition) override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!position) return E_POINTER;
    *position = stream_->playedFrames * stream_->blockAlign;
    // The simulated counter runs at 10 MHz: its ticks are 100 ns units.
    if (counterPosition) *counterPosition = static_cast<UINT64>(stream_->playedCounter);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* characteristics) override {
    if (!characteristics) return E_POINTER;
    *characteristics = 0;
    return S_OK;
  }

 private:
  std::shared_ptr<Stream> stream_;
};

class CaptureClient final : public SimpleCom<IAudioCaptureClient> {
 public:
  explicit CaptureClient(std::shared_ptr<Stream> s) : stream_(std::move(s)) {}

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                      UINT64*) override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!data || !frames || !flags) return E_POINTER;
    if (stream_->packets.empty()) {
      *frames = 0;
      return AUDCLNT_S_BUFFER_EMPTY;
    }
    stream_->current = stream_->packets.front().first;
    *data = stream_->current.data();
    *frames = static_cast<UINT32>(stream_->current.size() / stream_->blockAlign);
    *flags = stream_->packets.front().second;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (stream_->packets.empty() || frames * stream_->blockAlign != stream_->current.size()) {
      return AUDCLNT_E_INVALID_SIZE;
    }
    stream_->packets.pop_front();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!frames) return E_POINTER;
    *frames =
        stream_->packets.empty()
            ? 0
            : static_cast<UINT32>(stream_->packets.front().first.size() / stream_->blockAlign);
    return S_OK;
  }

 private:
  std::shared_ptr<Stream> stream_;
};

class AudioClient final : public IAudioClient3, ComObject {
 public:
  AudioClient(const Endpoint& e, bool client3) : endpoint_(e), client3_(client3) {
    stream_->flow = e.flow;
  }
  ~AudioClient() override {
    std::lock_guard lock(state().mutex);
    auto& slot = endpoint_.flow == eRender ? state().render : state().capture;
    if (slot == stream_) slot.reset();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IAudioClient || (client3_ && iid == IID_IAudioClient3)) {
      AddRef();
      *object = static_cast<IAudioClient3*>(this);
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                       REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                       const WAVEFORMATEX* format, LPCGUID) override {
    std::lock_guard lock(state().mutex);
    if (endpoint_.flow == eRender) ++state().renderInitializes;
    if (HRESULT hr = injected(WasapiCall::Initialize); FAILED(hr)) return hr;
    if (state().invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (stream_->initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
    WasapiFormat f;
    if (!readFormat(format, f) || !accepts(mode, f, format->nChannels)) {
      return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    UINT32 buffer = framesOf(bufferDuration, f.rate);
    UINT32 period = framesOf(periodicity, f.rate);
    if (mode == AUDCLNT_SHAREMODE_EXCLUSIVE) {
      if (endpoint_.flow == eRender && FAILED(state().exclusiveRefusal)) {
        return state().exclusiveRefusal;
      }
      const UINT32 a = state().alignment;
      if (a > 0 && buffer % a != 0) {
        alignedFrames_ = (buffer / a + 1) * a;
        return AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
      }
      if ((flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) && bufferDuration != periodicity) {
        return E_INVALIDARG;
      }
      if (period == 0) period = buffer;
    } else {
      period = framesOf(100'000, f.rate);
      buffer = std::max(buffer, 2 * period);
    }
    open(mode, f, format, buffer, period, false, flags);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    std::lock_guard lock(state().mutex);
    if (!frames) return E_POINTER;
    if (!stream_->initialized) {
      if (alignedFrames_ == 0) return AUDCLNT_E_NOT_INITIALIZED;
      *frames = alignedFrames_;  // after AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED
      return S_OK;
    }
    *frames = stream_->info.bufferFrames;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override {
    if (latency) *latency = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override {
    std::lock_guard lock(state().mutex);
    if (endpoint_.flow == eRender) ++state().paddingCalls;
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!stream_->initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (!frames) return E_POINTER;
    *frames = static_cast<UINT32>(stream_->queued.size() / stream_->blockAlign);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format,
                                              WAVEFORMATEX** closest) override {
    std::lock_guard lock(state().mutex);
    if (closest) *closest = nullptr;
    if (state().invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    WasapiFormat f;
    if (!readFormat(format, f)) return E_INVALIDARG;
    if (mode == AUDCLNT_SHAREMODE_EXCLUSIVE && endpoint_.flow == eRender) {
      state().queries.push_back(f);
    }
    return accepts(mode, f, format->nChannels) ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
    std::lock_guard lock(state().mutex);
    if (state().invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!format) return E_POINTER;
    *format = mixFormatCopy(endpoint_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                            REFERENCE_TIME* minimumPeriod) override {
    if (defaultPeriod) *defaultPeriod = 100'000;
    if (minimumPeriod) *minimumPeriod = 30'000;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (HRESULT hr = injected(WasapiCall::Start); FAILED(hr)) return hr;
    if (!stream_->initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (stream_->info.eventDriven && stream_->event == nullptr) return E_FAIL;
    if (stream_->started) return AUDCLNT_E_NOT_STOPPED;
    stream_->started = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stop() override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    stream_->started = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    std::lock_guard lock(state().mutex);
    if (stream_->dead) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (stream_->started) return AUDCLNT_E_NOT_STOPPED;
    stream_->queued.clear();
    stream_->packets.clear();
    stream_->playedFrames = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    std::lock_guard lock(state().mutex);
    if (!stream_->initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (!stream_->info.eventDriven) return E_INVALIDARG;
    stream_->event = event;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) override {
    std::lock_guard lock(state().mutex);
    if (!service) return E_POINTER;
    *service = nullptr;
    if (!stream_->initialized) return AUDCLNT_E_NOT_INITIALIZED;
    if (iid == IID_IAudioRenderClient && endpoint_.flow == eRender) {
      *service = static_cast<IAudioRenderClient*>(new RenderClient(stream_));
      return S_OK;
    }
    if (iid == IID_IAudioClock && endpoint_.flow == eRender) {
      *service = static_cast<IAudioClock*>(new AudioClock(stream_));
      return S_OK;
    }
    if (iid == IID_IAudioCaptureClient && endpoint_.flow == eCapture) {
      *service = static_cast<IAudioCaptureClient*>(new CaptureClient(stream_));
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetSharedModeEnginePeriod(const WAVEFORMATEX* format,
                                                      UINT32* defaultFrames,
                                                      UINT32* fundamentalFrames,
                                                      UINT32* minimumFrames,
                                                      UINT32* maximumFrames) override {
    std::lock_guard lock(state().mutex);
    if (!format || !defaultFrames || !fundamentalFrames || !minimumFrames || !maximumFrames) {
      return E_POINTER;
    }
    *defaultFrames = framesOf(100'000, format->nSamplesPerSec);
    *fundamentalFrames = state().minimumSharedFrames;
    *minimumFrames = state().minimumSharedFrames;
    *maximumFrames = *defaultFrames;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InitializeSharedAudioStream(DWORD flags, UINT32 periodFrames,
                                                        const WAVEFORMATEX* format,
                                                        LPCGUID) override {
    std::lock_guard lock(state().mutex);
    if (endpoint_.flow == eRender) ++state().renderInitializes;
    if (HRESULT hr = injected(WasapiCall::InitializeShared); FAILED(hr)) return hr;
    if (state().invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (stream_->initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
    WasapiFormat f;
    if (!readFormat(format, f) || !accepts(AUDCLNT_SHAREMODE_SHARED, f, format->nChannels)) {
      return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    if (periodFrames < state().minimumSharedFrames) return E_INVALIDARG;
    open(AUDCLNT_SHAREMODE_SHARED, f, format, 2 * periodFrames, periodFrames, true, flags);
    return S_OK;
  }

 private:
  // Called with the mutex held.
  bool accepts(AUDCLNT_SHAREMODE mode, const WasapiFormat& f, WORD channels) const {
    if (endpoint_.flow == eCapture && state().captureRefuses) return false;
    if (channels != endpoint_.channels) return false;
    if (mode == AUDCLNT_SHAREMODE_SHARED) {
      return f.isFloat && f.bits == 32 && f.rate == endpoint_.rate;
    }
    if (endpoint_.flow == eCapture) {
      return f.rate == endpoint_.rate || f.rate == 48000;
    }
    const auto& list = state().exclusiveFormats;
    return std::find(list.begin(), list.end(), f) != list.end();
  }

  void open(AUDCLNT_SHAREMODE mode, const WasapiFormat& f, const WAVEFORMATEX* format,
            UINT32 buffer, UINT32 period, bool sharedStream, DWORD flags) {
    stream_->initialized = true;
    stream_->blockAlign = format->nBlockAlign;
    stream_->info = {true,
                     mode,
                     f,
                     format->nChannels,
                     buffer,
                     period,
                     sharedStream,
                     (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0};
    auto& slot = endpoint_.flow == eRender ? state().render : state().capture;
    slot = stream_;
  }

  Endpoint endpoint_;
  bool client3_;
  std::shared_ptr<Stream> stream_ = std::make_shared<Stream>();
  UINT32 alignedFrames_ = 0;
};

class PropertyStore final : public SimpleCom<IPropertyStore> {
 public:
  explicit PropertyStore(std::wstring name) : name_(std::move(name)) {}

  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
    if (!value) return E_POINTER;
    PropVariantInit(value);
    if (key.fmtid != PKEY_Device_FriendlyName.fmtid || key.pid != PKEY_Device_FriendlyName.pid) {
      return S_OK;  // VT_EMPTY, as Windows answers a property it does not have
    }
    const size_t bytes = (name_.size() + 1) * sizeof(wchar_t);
    value->pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(value->pwszVal, name_.c_str(), bytes);
    value->vt = VT_LPWSTR;
    return S_OK;
  }

 private:
  std::wstring name_;
};

class Device final : public SimpleCom<IMMDevice> {
 public:
  explicit Device(const Endpoint& e) : endpoint_(e) {}

  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool client3 = false;
    {
      std::lock_guard lock(state().mutex);
      if (HRESULT hr = injected(WasapiCall::Activate); FAILED(hr)) return hr;
      if (state().invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
      client3 = endpoint_.flow == eRender && state().client3;
    }
    if (iid != IID_IAudioClient && !(client3 && iid == IID_IAudioClient3)) return E_NOINTERFACE;
    *object = static_cast<IAudioClient3*>(new AudioClient(endpoint_, client3));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
    if (!store) return E_POINTER;
    *store = new PropertyStore(endpoint_.name);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
    if (!id) return E_POINTER;
    const size_t bytes = (endpoint_.id.size() + 1) * sizeof(wchar_t);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(*id, endpoint_.id.c_str(), bytes);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* s) override {
    if (!s) return E_POINTER;
    *s = DEVICE_STATE_ACTIVE;
    return S_OK;
  }

 private:
  Endpoint endpoint_;
};

class Collection final : public SimpleCom<IMMDeviceCollection> {
 public:
  explicit Collection(std::vector<Endpoint> list) : list_(std::move(list)) {}

  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<UINT>(list_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    if (!device) return E_POINTER;
    *device = nullptr;
    if (index >= list_.size()) return E_INVALIDARG;
    *device = new Device(list_[index]);
    return S_OK;
  }

 private:
  std::vector<Endpoint> list_;
};

class Enumerator final : public IMMDeviceEnumerator, ComObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IMMDeviceEnumerator) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IMMDeviceEnumerator*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD,
                                               IMMDeviceCollection** devices) override {
    if (!devices) return E_POINTER;
    std::vector<Endpoint> list;
    {
      std::lock_guard lock(state().mutex);
      for (const Endpoint& e : state().endpoints) {
        if ((flow == eAll || e.flow == flow) && findEndpoint(e.id)) list.push_back(e);
      }
    }
    *devices = new Collection(std::move(list));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole,
                                                    IMMDevice** device) override {
    if (!device) return E_POINTER;
    *device = nullptr;
    std::lock_guard lock(state().mutex);
    if (HRESULT hr = injected(WasapiCall::DefaultEndpoint); FAILED(hr)) return hr;
    const Endpoint* e = findEndpoint(flow == eRender ? L"{render}" : L"{capture}");
    if (e == nullptr) return E_NOTFOUND;
    *device = new Device(*e);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
    if (!device || !id) return E_POINTER;
    *device = nullptr;
    std::lock_guard lock(state().mutex);
    const Endpoint* e = findEndpoint(id);
    if (e == nullptr) return E_NOTFOUND;
    *device = new Device(*e);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    if (!client) return E_POINTER;
    std::lock_guard lock(state().mutex);
    state().listeners.push_back(client);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    std::lock_guard lock(state().mutex);
    auto& l = state().listeners;
    const auto it = std::find(l.begin(), l.end(), client);
    if (it == l.end()) return E_NOTFOUND;
    l.erase(it);
    return S_OK;
  }
};

}  // namespace

void failWasapi(WasapiCall call, int count, HRESULT result) {
  std::lock_guard lock(state().mutex);
  state().failures[call] = {count, result};
}

void addWasapiEndpoint(EDataFlow flow, const std::wstring& id, const std::wstring& name) {
  std::lock_guard lock(state().mutex);
  state().endpoints.push_back({id, name, flow});
}

void setWasapiMixFormat(EDataFlow flow, DWORD rate, WORD channels) {
  std::lock_guard lock(state().mutex);
  for (Endpoint& e : state().endpoints) {
    if (e.id == (flow == eRender ? L"{render}" : L"{capture}")) {
      e.rate = rate;
      e.channels = channels;
    }
  }
}

void setWasapiCapturePresent(bool present) {
  std::lock_guard lock(state().mutex);
  state().capturePresent = present;
}

void setWasapiCaptureRefusesFormat(bool refuses) {
  std::lock_guard lock(state().mutex);
  state().captureRefuses = refuses;
}

void setWasapiExclusiveFormats(const std::vector<WasapiFormat>& formats) {
  std::lock_guard lock(state().mutex);
  state().exclusiveFormats = formats;
}

void setWasapiExclusiveRefusal(HRESULT result) {
  std::lock_guard lock(state().mutex);
  state().exclusiveRefusal = result;
}

void setWasapiAlignment(UINT32 frames) {
  std::lock_guard lock(state().mutex);
  state().alignment = frames;
}

void setWasapiClient3(bool offered, UINT32 minimumFrames) {
  std::lock_guard lock(state().mutex);
  state().client3 = offered;
  state().minimumSharedFrames = minimumFrames;
}

std::vector<WasapiFormat> wasapiExclusiveQueries() {
  std::lock_guard lock(state().mutex);
  return state().queries;
}

int wasapiRenderInitializeCount() {
  std::lock_guard lock(state().mutex);
  return state().renderInitializes;
}

WasapiStreamInfo wasapiRenderStream() {
  std::lock_guard lock(state().mutex);
  return state().render ? state().render->info : WasapiStreamInfo{};
}

WasapiStreamInfo wasapiCaptureStream() {
  std::lock_guard lock(state().mutex);
  return state().capture ? state().capture->info : WasapiStreamInfo{};
}

void tickWasapi() {
  HANDLE event = nullptr;
  {
    std::lock_guard lock(state().mutex);
    State& s = state();
    const std::shared_ptr<Stream> render = s.render;
    if (!render || !render->started) return;
    const UINT32 frames = render->info.periodFrames;
    const size_t bytes = static_cast<size_t>(frames) * render->blockAlign;
    const size_t have = std::min(bytes, render->queued.size());
    s.played.insert(s.played.end(), render->queued.begin(),
                    render->queued.begin() + static_cast<std::ptrdiff_t>(have));
    render->queued.erase(render->queued.begin(),
                         render->queued.begin() + static_cast<std::ptrdiff_t>(have));
    if (have < bytes) {
      ++s.underruns;
      s.played.insert(s.played.end(), bytes - have, 0);
    }
    render->playedFrames += frames;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    render->playedCounter = now.QuadPart + s.clockLagTicks;
    const std::shared_ptr<Stream> capture = s.capture;
    if (capture && capture->started && !capture->dead) {
      std::vector<uint8_t> packet(static_cast<size_t>(frames) * capture->blockAlign);
      const WasapiFormat& f = capture->info.format;
      const size_t samples = static_cast<size_t>(frames) * capture->info.channels;
      for (size_t i = 0; i < samples; ++i) {
        const float v = s.captureSource ? s.captureSource(capture->capturedSamples) : 0.0f;
        encodeSample(v, f, packet.data() + i * (f.bits / 8));
        ++capture->capturedSamples;
      }
      if (s.captureHeld) {
        s.heldPackets.push_back(std::move(packet));
      } else {
        capture->packets.emplace_back(std::move(packet),
                                      s.discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
        s.discontinuity = false;
      }
    }
    if (!s.silent) event = render->event;
  }
  if (event != nullptr) SetEvent(event);
}

void setWasapiCaptureSource(float (*source)(uint64_t n)) {
  std::lock_guard lock(state().mutex);
  state().captureSource = source;
}

void holdWasapiCapture(bool hold) {
  std::lock_guard lock(state().mutex);
  State& s = state();
  s.captureHeld = hold;
  if (!hold) {
    if (s.capture) {
      for (auto& p : s.heldPackets) s.capture->packets.emplace_back(std::move(p), 0);
    }
    s.heldPackets.clear();
  }
}

void markWasapiDiscontinuity() {
  std::lock_guard lock(state().mutex);
  state().discontinuity = true;
}

void lagWasapiClock(int64_t ticks) {
  std::lock_guard lock(state().mutex);
  state().clockLagTicks = ticks;
}

void silenceWasapiEvents(bool silent) {
  std::lock_guard lock(state().mutex);
  state().silent = silent;
}

void invalidateWasapiDevice() {
  std::lock_guard lock(state().mutex);
  state().invalidated = true;
  if (state().render) state().render->dead = true;
  if (state().capture) state().capture->dead = true;
}

std::vector<uint8_t> wasapiPlayed() {
  std::lock_guard lock(state().mutex);
  return state().played;
}

int wasapiUnderruns() {
  std::lock_guard lock(state().mutex);
  return state().underruns;
}

int wasapiPaddingCalls() {
  std::lock_guard lock(state().mutex);
  return state().paddingCalls;
}

std::wstring wasapiMmcssTask() {
  std::lock_guard lock(state().mutex);
  return state().mmcssTask;
}

int wasapiMmcssRegistrations() {
  return state().mmcss.load();
}

void notifyWasapiDefaultChanged(EDataFlow flow) {
  std::vector<IMMNotificationClient*> listeners;
  {
    std::lock_guard lock(state().mutex);
    listeners = state().listeners;
  }
  for (IMMNotificationClient* l : listeners) l->OnDefaultDeviceChanged(flow, eConsole, L"{new}");
}

void notifyWasapiStateChanged(const std::wstring& id, DWORD newState) {
  std::vector<IMMNotificationClient*> listeners;
  {
    std::lock_guard lock(state().mutex);
    listeners = state().listeners;
  }
  for (IMMNotificationClient* l : listeners) l->OnDeviceStateChanged(id.c_str(), newState);
}

int liveWasapiReferences() {
  return state().references.load();
}

int liveCoTaskMemBlocks() {
  return state().taskMemBlocks.load();
}

void resetWasapi() {
  {
    std::lock_guard lock(state().mutex);
    State& s = state();
    s.failures.clear();
    s.endpoints = {{L"{render}", L"Speakers (Sim)", eRender},
                   {L"{capture}", L"Microphone (Sim)", eCapture}};
    s.capturePresent = true;
    s.captureRefuses = false;
    s.exclusiveFormats = {WasapiFormat{}};
    s.exclusiveRefusal = S_OK;
    s.alignment = 0;
    s.client3 = true;
    s.minimumSharedFrames = 128;
    s.queries.clear();
    s.renderInitializes = 0;
    s.captureSource = nullptr;
    s.captureHeld = false;
    s.heldPackets.clear();
    s.discontinuity = false;
    s.silent = false;
    s.invalidated = false;
    s.played.clear();
    s.underruns = 0;
    s.paddingCalls = 0;
    s.mmcssTask.clear();
    s.listeners.clear();
  }
  registerComClass(CLSID_MMDeviceEnumerator, [](REFIID iid, void** object) {
    auto* e = new Enumerator;
    const HRESULT hr = e->QueryInterface(iid, object);
    e->Release();
    return hr;
  });
}

}  // namespace sim

HRESULT PropVariantClear(PROPVARIANT* value) {
  if (!value) return E_POINTER;
  if (value->vt == VT_LPWSTR) CoTaskMemFree(value->pwszVal);
  PropVariantInit(value);
  return S_OK;
}

LPVOID CoTaskMemAlloc(size_t bytes) {
  ++sim::state().taskMemBlocks;
  return std::malloc(bytes);
}

void CoTaskMemFree(LPVOID memory) {
  if (memory == nullptr) return;
  --sim::state().taskMemBlocks;
  std::free(memory);
}

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR task, LPDWORD taskIndex) {
  if (!task || !taskIndex) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  {
    std::lock_guard lock(sim::state().mutex);
    sim::state().mmcssTask = task;
  }
  *taskIndex = 1;
  ++sim::state().mmcss;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5A5A));
}

BOOL AvRevertMmThreadCharacteristics(HANDLE task) {
  if (task == nullptr) return FALSE;
  --sim::state().mmcss;
  return TRUE;
}
