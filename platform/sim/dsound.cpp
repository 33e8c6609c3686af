// One device state behind one mutex. Lock hands out a staging copy of the ring
// (copied in at Lock, out at Unlock), so the clock never touches memory the caller
// is writing: what a real device does with DMA, done here without data races.
#include "platform/sim/dsound.h"

#include "platform/sim/kernel.h"
#include "platform/sim/kernel_objects.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

const IID IID_IDirectSoundNotify = {
    0xB0210783, 0x89CD, 0x11D0, {0xAF, 0x08, 0x00, 0xA0, 0xC9, 0x25, 0xCD, 0x16}};

namespace sim {
namespace {

// A simulated device object with an id-less GUID for the one named device.
const GUID kDeviceGuid = {0x5117D5A1, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};

struct Failure {
  int count = 0;
  HRESULT result = DSERR_GENERIC;
};

struct Ring {
  std::vector<uint8_t> data;
  std::vector<uint8_t> staging;
  DWORD size = 0;

  explicit Ring(DWORD bytes) : data(bytes), staging(bytes), size(bytes) {}

  // Splits [offset, offset + bytes) at the end of the ring.
  HRESULT lock(DWORD offset, DWORD bytes, LPVOID* audio1, LPDWORD bytes1, LPVOID* audio2,
               LPDWORD bytes2) {
    if (!audio1 || !bytes1 || offset >= size || bytes == 0 || bytes > size) {
      return DSERR_INVALIDPARAM;
    }
    const DWORD first = std::min(bytes, size - offset);
    const DWORD second = bytes - first;
    if (second > 0 && (!audio2 || !bytes2)) return DSERR_INVALIDPARAM;
    std::memcpy(staging.data() + offset, data.data() + offset, first);
    std::memcpy(staging.data(), data.data(), second);
    *audio1 = staging.data() + offset;
    *bytes1 = first;
    if (audio2) *audio2 = second > 0 ? staging.data() : nullptr;
    if (bytes2) *bytes2 = second;
    return DS_OK;
  }

  bool holds(LPVOID audio, DWORD bytes) const {
    const uint8_t* p = static_cast<const uint8_t*>(audio);
    return p >= staging.data() && p + bytes <= staging.data() + size;
  }

  HRESULT unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2, DWORD bytes2, bool writeBack) {
    if (!audio1 || !holds(audio1, bytes1)) return DSERR_INVALIDPARAM;
    if (audio2 && !holds(audio2, bytes2)) return DSERR_INVALIDPARAM;
    if (writeBack) {
      const size_t at1 = static_cast<uint8_t*>(audio1) - staging.data();
      std::memcpy(data.data() + at1, audio1, bytes1);
      if (audio2) {
        const size_t at2 = static_cast<uint8_t*>(audio2) - staging.data();
        std::memcpy(data.data() + at2, audio2, bytes2);
      }
    }
    return DS_OK;
  }
};

struct Stream {
  WAVEFORMATEX format{};
  Ring render;
  Ring capture;
  DWORD renderFlags = 0;
  bool playing = false;
  bool capturing = false;
  bool lost = false;
  bool dead = false;          // its device went away; it never plays again
  HRESULT deadResult = S_OK;  // what its calls answer then (S_OK: they still work)
  DWORD playPosition = 0;
  DWORD captureReadPosition = 0;
  uint64_t capturedSamples = 0;
  std::vector<DSBPOSITIONNOTIFY> notifications;
  std::vector<int16_t> played;

  Stream(const WAVEFORMATEX& f, DWORD renderBytes, DWORD captureBytes, DWORD flags)
      : format(f), render(renderBytes), capture(captureBytes), renderFlags(flags) {}
};

struct Device {
  std::mutex mutex;
  std::map<DsoundCall, Failure> failures;
  int createCount = 0;
  DsoundCreateCall lastCreate;
  std::vector<DSBPOSITIONNOTIFY> positions;
  std::function<int16_t(uint64_t)> captureSource;
  DWORD captureLead = 0;
  bool captureHeld = false;
  DWORD writeLead = 0;
  bool signalAtOffset = false;
  bool notificationsSilent = false;
  int renderPace = 100;
  std::string captureDescription = "Primary Sound Capture Driver";
  std::string renderDescription = "Primary Sound Driver";
  std::shared_ptr<Stream> current;
  bool removed = false;
  int renderLocks = 0;
  int captureLocks = 0;
  std::atomic<bool> blockRenderLock{false};
  std::atomic<int64_t> blockRenderLockAt{-1};
  std::atomic<int> blockedLockers{0};
  std::atomic<int> references{0};

  std::thread clock;
  std::atomic<bool> clockRunning{false};
};

Device& device() {
  static Device* instance = new Device;  // never destroyed: objects may outlive main
  return *instance;
}

// Called with the device mutex held.
bool failing(DsoundCall call, HRESULT* result) {
  auto it = device().failures.find(call);
  if (it == device().failures.end() || it->second.count <= 0) return false;
  --it->second.count;
  *result = it->second.result;
  return true;
}

HRESULT injected(DsoundCall call) {
  HRESULT result = DS_OK;
  return failing(call, &result) ? result : DS_OK;
}

// An injected failure first, then the answer of a stream whose device went away.
HRESULT injected(DsoundCall call, const Stream& stream) {
  if (HRESULT hr = injected(call); FAILED(hr)) return hr;
  return stream.dead ? stream.deadResult : DS_OK;
}

// Moves the clocks on by `frames`. The notification events passed are signalled at once,
// or, with `passed` given, only collected there in the order they were passed.
void advanceLocked(Stream& stream, DWORD frames, bool render = true,
                   std::vector<HANDLE>* passed = nullptr, bool capture = true) {
  if (stream.dead) return;
  const DWORD bytes = frames * stream.format.nBlockAlign;
  if (render && stream.playing) {
    DWORD remaining = bytes;
    while (remaining > 0) {
      const DWORD from = stream.playPosition;
      const DWORD chunk = std::min(remaining, stream.render.size - from);
      const DWORD to = from + chunk;
      const int16_t* samples = reinterpret_cast<const int16_t*>(stream.render.data.data() + from);
      stream.played.insert(stream.played.end(), samples, samples + chunk / 2);
      std::vector<const DSBPOSITIONNOTIFY*> inChunk;
      for (const DSBPOSITIONNOTIFY& n : stream.notifications) {
        if (device().notificationsSilent) break;
        if (device().signalAtOffset) {
          // Reached: the chunk (from, to]; offset 0 is reached at the ring's end.
          const DWORD at = n.dwOffset == 0 ? stream.render.size : n.dwOffset;
          if (at > from && at <= to) inChunk.push_back(&n);
        } else if (n.dwOffset >= from && n.dwOffset < to) {
          inChunk.push_back(&n);
        }
      }
      std::sort(inChunk.begin(), inChunk.end(),
                [](auto* a, auto* b) { return a->dwOffset < b->dwOffset; });
      for (const DSBPOSITIONNOTIFY* n : inChunk) {
        if (passed) {
          passed->push_back(n->hEventNotify);
        } else {
          SetEvent(n->hEventNotify);
        }
      }
      stream.playPosition = to % stream.render.size;
      remaining -= chunk;
    }
  }
  if (capture && stream.capturing && (!render || !device().captureHeld)) {
    for (DWORD i = 0; i < bytes / 2; ++i) {
      const int16_t sample =
          device().captureSource ? device().captureSource(stream.capturedSamples) : 0;
      std::memcpy(stream.capture.data.data() + stream.captureReadPosition, &sample, 2);
      ++stream.capturedSamples;
      stream.captureReadPosition = (stream.captureReadPosition + 2) % stream.capture.size;
    }
  }
}

class ComObject {
 public:
  ComObject() { ++device().references; }
  virtual ~ComObject() = default;

 protected:
  ULONG addRef() {
    ++device().references;
    return ++count_;
  }
  ULONG release() {
    --device().references;
    const ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> count_{1};
};

class Notify final : public IDirectSoundNotify, ComObject {
 public:
  explicit Notify(std::shared_ptr<Stream> stream) : stream_(std::move(stream)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDirectSoundNotify) {
      AddRef();
      *object = static_cast<IDirectSoundNotify*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  HRESULT STDMETHODCALLTYPE SetNotificationPositions(DWORD count,
                                                     LPCDSBPOSITIONNOTIFY positions) override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::SetNotificationPositions); FAILED(hr)) return hr;
    if (stream_->playing) return DSERR_INVALIDCALL;
    if (count > 0 && !positions) return DSERR_INVALIDPARAM;
    for (DWORD i = 0; i < count; ++i) {
      if (positions[i].dwOffset >= stream_->render.size || !positions[i].hEventNotify) {
        return DSERR_INVALIDPARAM;
      }
    }
    stream_->notifications.assign(positions, positions + count);
    device().positions = stream_->notifications;
    return DS_OK;
  }

 private:
  std::shared_ptr<Stream> stream_;
};

class RenderBuffer final : public IDirectSoundBuffer8, ComObject {
 public:
  explicit RenderBuffer(std::shared_ptr<Stream> stream) : stream_(std::move(stream)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown) {
      AddRef();
      *object = static_cast<IDirectSoundBuffer8*>(this);
      return S_OK;
    }
    if (iid == IID_IDirectSoundNotify) {
      std::lock_guard lock(device().mutex);
      if (HRESULT hr = injected(DsoundCall::QueryNotify); FAILED(hr)) return hr;
      if (!(stream_->renderFlags & DSBCAPS_CTRLPOSITIONNOTIFY)) return E_NOINTERFACE;
      *object = static_cast<IDirectSoundNotify*>(new Notify(stream_));
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor) override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::RenderPosition, *stream_); FAILED(hr)) return hr;
    if (playCursor) *playCursor = stream_->playPosition;
    if (writeCursor) {
      *writeCursor = (stream_->playPosition + device().writeLead) % stream_->render.size;
    }
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::GetStatus, *stream_); FAILED(hr)) return hr;
    if (!status) return DSERR_INVALIDPARAM;
    *status = (stream_->playing ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0u) |
              (stream_->lost ? DSBSTATUS_BUFFERLOST : 0u);
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* audio1, LPDWORD bytes1,
                                 LPVOID* audio2, LPDWORD bytes2, DWORD flags) override {
    const auto held = [offset] {
      return device().blockRenderLock.load() || device().blockRenderLockAt.load() == offset;
    };
    if (held()) {
      // Counted until the caller leaves, also when TerminateThread unwinds it.
      struct Blocked {
        Blocked() { ++device().blockedLockers; }
        ~Blocked() { --device().blockedLockers; }
      } blocked;
      while (held()) {
        terminationPoint();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::RenderLock, *stream_); FAILED(hr)) return hr;
    if (stream_->lost) return DSERR_BUFFERLOST;
    if (flags & DSBLOCK_ENTIREBUFFER) bytes = stream_->render.size;
    if (flags & DSBLOCK_FROMWRITECURSOR) offset = stream_->playPosition;
    ++device().renderLocks;
    return stream_->render.lock(offset, bytes, audio1, bytes1, audio2, bytes2);
  }

  HRESULT STDMETHODCALLTYPE Play(DWORD, DWORD, DWORD) override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::Play, *stream_); FAILED(hr)) return hr;
    if (stream_->lost) return DSERR_BUFFERLOST;
    stream_->playing = true;
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE SetCurrentPosition(DWORD position) override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::SetCurrentPosition, *stream_); FAILED(hr)) return hr;
    if (position >= stream_->render.size) return DSERR_INVALIDPARAM;
    stream_->playPosition = position - position % stream_->format.nBlockAlign;
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE Stop() override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::RenderStop); FAILED(hr)) return hr;
    stream_->playing = false;
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2,
                                   DWORD bytes2) override {
    std::lock_guard lock(device().mutex);
    return stream_->render.unlock(audio1, bytes1, audio2, bytes2, true);
  }

  HRESULT STDMETHODCALLTYPE Restore() override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::Restore, *stream_); FAILED(hr)) return hr;
    stream_->lost = false;
    return DS_OK;
  }

 private:
  std::shared_ptr<Stream> stream_;
};

class CaptureBuffer final : public IDirectSoundCaptureBuffer8, ComObject {
 public:
  explicit CaptureBuffer(std::shared_ptr<Stream> stream) : stream_(std::move(stream)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IDirectSoundCaptureBuffer8*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD capturePosition,
                                               LPDWORD readPosition) override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::CapturePosition, *stream_); FAILED(hr)) return hr;
    const DWORD read = stream_->captureReadPosition;
    if (readPosition) *readPosition = read;
    if (capturePosition) *capturePosition = (read + device().captureLead) % stream_->capture.size;
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override {
    std::lock_guard lock(device().mutex);
    if (!status) return DSERR_INVALIDPARAM;
    *status = stream_->capturing ? DSCBSTATUS_CAPTURING | DSCBSTATUS_LOOPING : 0u;
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* audio1, LPDWORD bytes1,
                                 LPVOID* audio2, LPDWORD bytes2, DWORD flags) override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::CaptureLock, *stream_); FAILED(hr)) return hr;
    if (flags & DSCBLOCK_ENTIREBUFFER) bytes = stream_->capture.size;
    ++device().captureLocks;
    return stream_->capture.lock(offset, bytes, audio1, bytes1, audio2, bytes2);
  }

  HRESULT STDMETHODCALLTYPE Start(DWORD) override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::CaptureStart); FAILED(hr)) return hr;
    stream_->capturing = true;
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE Stop() override {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(DsoundCall::CaptureStop); FAILED(hr)) return hr;
    stream_->capturing = false;
    return DS_OK;
  }

  HRESULT STDMETHODCALLTYPE Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2,
                                   DWORD bytes2) override {
    std::lock_guard lock(device().mutex);
    return stream_->capture.unlock(audio1, bytes1, audio2, bytes2, false);
  }

 private:
  std::shared_ptr<Stream> stream_;
};

class FullDuplex final : public IDirectSoundFullDuplex, ComObject {
 public:
  explicit FullDuplex(std::shared_ptr<Stream> stream) : stream_(std::move(stream)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IDirectSoundFullDuplex*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

 private:
  std::shared_ptr<Stream> stream_;
};

bool validFormat(const WAVEFORMATEX* f) {
  return f && f->wFormatTag == WAVE_FORMAT_PCM && (f->nChannels == 1 || f->nChannels == 2) &&
         f->wBitsPerSample == 16 && f->nBlockAlign == f->nChannels * 2 &&
         f->nSamplesPerSec >= 100 && f->nSamplesPerSec <= 200000 &&
         f->nAvgBytesPerSec == f->nSamplesPerSec * f->nBlockAlign;
}

bool validSize(DWORD bytes, const WAVEFORMATEX* f) {
  return bytes > 0 && bytes % f->nBlockAlign == 0;
}

HRESULT enumerate(DsoundCall call, const std::string& description, LPDSENUMCALLBACKA callback,
                  LPVOID context) {
  {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(call); FAILED(hr)) return hr;
  }
  if (!callback) return DSERR_INVALIDPARAM;
  // The default device comes first, without a device identifier.
  if (!callback(nullptr, description.c_str(), "", context)) return DS_OK;
  GUID guid = kDeviceGuid;
  callback(&guid, description.c_str(), "simaudio.drv", context);
  return DS_OK;
}

// UTF-8 to UTF-32 wide text (a wchar_t holds a whole code point here); a malformed
// byte reads as U+FFFD.
std::wstring wideFromUtf8(const std::string& text) {
  std::wstring wide;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || text.size() - i <= static_cast<size_t>(extra)) {
      wide.push_back(L'\uFFFD');
      ++i;
      continue;
    }
    uint32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
    for (int k = 1; k <= extra; ++k)
      code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    wide.push_back(static_cast<wchar_t>(code));
    i += static_cast<size_t>(extra) + 1;
  }
  return wide;
}

HRESULT enumerateW(DsoundCall call, const std::string& description, LPDSENUMCALLBACKW callback,
                   LPVOID context) {
  {
    std::lock_guard lock(device().mutex);
    if (HRESULT hr = injected(call); FAILED(hr)) return hr;
  }
  if (!callback) return DSERR_INVALIDPARAM;
  const std::wstring wide = wideFromUtf8(description);
  if (!callback(nullptr, wide.c_str(), L"", context)) return DS_OK;
  GUID guid = kDeviceGuid;
  callback(&guid, wide.c_str(), L"simaudio.drv", context);
  return DS_OK;
}

}  // namespace

void failDsound(DsoundCall call, int count, HRESULT result) {
  std::lock_guard lock(device().mutex);
  device().failures[call] = Failure{count, result};
}

int dsoundCreateCount() {
  std::lock_guard lock(device().mutex);
  return device().createCount;
}

DsoundCreateCall lastDsoundCreate() {
  std::lock_guard lock(device().mutex);
  return device().lastCreate;
}

std::vector<DSBPOSITIONNOTIFY> dsoundNotificationPositions() {
  std::lock_guard lock(device().mutex);
  return device().positions;
}

void advanceDsound(DWORD frames) {
  std::lock_guard lock(device().mutex);
  if (device().current) advanceLocked(*device().current, frames);
}

void mixDsoundStretch(DWORD frames, const std::function<void()>& between) {
  std::vector<HANDLE> passed;
  {
    std::lock_guard lock(device().mutex);
    if (device().current) advanceLocked(*device().current, frames, true, &passed);
  }
  for (size_t i = 0; i < passed.size(); ++i) {
    SetEvent(passed[i]);
    if (between && i + 1 < passed.size()) between();
  }
}

void setDsoundSignalAtOffset(bool on) {
  std::lock_guard lock(device().mutex);
  device().signalAtOffset = on;
}

void setDsoundWriteLead(DWORD bytes) {
  std::lock_guard lock(device().mutex);
  device().writeLead = bytes;
}

void advanceDsoundCapture(DWORD frames) {
  std::lock_guard lock(device().mutex);
  if (device().current) advanceLocked(*device().current, frames, false);
}

void holdDsoundCapture(bool on) {
  std::lock_guard lock(device().mutex);
  device().captureHeld = on;
}

void setDsoundRealTime(bool on) {
  Device& d = device();
  if (d.clock.joinable()) {
    d.clockRunning = false;
    d.clock.join();
  }
  if (!on) return;
  d.clockRunning = true;
  d.clock = std::thread([&d] {
    using namespace std::chrono;
    const auto begin = steady_clock::now();
    uint64_t framesDone = 0;
    uint64_t renderDone = 0;
    while (d.clockRunning.load()) {
      std::this_thread::sleep_for(milliseconds(1));
      std::lock_guard lock(d.mutex);
      if (!d.current) continue;
      const double seconds = duration<double>(steady_clock::now() - begin).count();
      const uint64_t due = static_cast<uint64_t>(seconds * d.current->format.nSamplesPerSec);
      if (d.renderPace == 100) {
        if (due > framesDone) advanceLocked(*d.current, static_cast<DWORD>(due - framesDone));
      } else {
        const uint64_t renderDue = due * static_cast<uint64_t>(d.renderPace) / 100;
        if (renderDue > renderDone) {
          advanceLocked(*d.current, static_cast<DWORD>(renderDue - renderDone), true, nullptr,
                        false);
        }
        renderDone = renderDue;
        if (due > framesDone)
          advanceLocked(*d.current, static_cast<DWORD>(due - framesDone), false);
      }
      framesDone = due;
    }
  });
}

void setDsoundRenderPace(int percent) {
  std::lock_guard lock(device().mutex);
  device().renderPace = percent;
}

void setDsoundCaptureSource(std::function<int16_t(uint64_t n)> source) {
  std::lock_guard lock(device().mutex);
  device().captureSource = std::move(source);
}

void setDsoundCaptureLead(DWORD bytes) {
  std::lock_guard lock(device().mutex);
  device().captureLead = bytes;
}

std::vector<int16_t> dsoundPlayed() {
  std::lock_guard lock(device().mutex);
  return device().current ? device().current->played : std::vector<int16_t>{};
}

std::vector<uint8_t> dsoundRenderRing() {
  std::lock_guard lock(device().mutex);
  return device().current ? device().current->render.data : std::vector<uint8_t>{};
}

DWORD dsoundPlayPosition() {
  std::lock_guard lock(device().mutex);
  return device().current ? device().current->playPosition : 0;
}

DWORD dsoundCaptureReadPosition() {
  std::lock_guard lock(device().mutex);
  return device().current ? device().current->captureReadPosition : 0;
}

bool dsoundRenderPlaying() {
  std::lock_guard lock(device().mutex);
  return device().current && device().current->playing;
}

bool dsoundCapturing() {
  std::lock_guard lock(device().mutex);
  return device().current && device().current->capturing;
}

int dsoundRenderLockCount() {
  std::lock_guard lock(device().mutex);
  return device().renderLocks;
}

int dsoundCaptureLockCount() {
  std::lock_guard lock(device().mutex);
  return device().captureLocks;
}

void loseDsoundRenderBuffer() {
  std::lock_guard lock(device().mutex);
  if (device().current) {
    device().current->lost = true;
    device().current->playing = false;
  }
}

void removeDsoundDevice(HRESULT callsFail) {
  std::lock_guard lock(device().mutex);
  device().removed = true;
  if (device().current) {
    device().current->dead = true;
    device().current->deadResult = callsFail;
  }
}

void silenceDsoundNotifications(bool on) {
  std::lock_guard lock(device().mutex);
  device().notificationsSilent = on;
}

void returnDsoundDevice() {
  std::lock_guard lock(device().mutex);
  device().removed = false;
}

void blockDsoundRenderLock(bool block) {
  device().blockRenderLock = block;
  if (!block) device().blockRenderLockAt = -1;
}

void blockDsoundRenderLockAt(DWORD offset) {
  device().blockRenderLockAt = offset;
}

bool dsoundRenderLockBlocked() {
  return device().blockedLockers.load() > 0;
}

void setDsoundDescriptions(const std::string& capture, const std::string& render) {
  std::lock_guard lock(device().mutex);
  device().captureDescription = capture;
  device().renderDescription = render;
}

int liveDsoundReferences() {
  return device().references.load();
}

void resetDsound() {
  setDsoundRealTime(false);
  std::lock_guard lock(device().mutex);
  Device& d = device();
  d.failures.clear();
  d.createCount = 0;
  d.lastCreate = DsoundCreateCall{};
  d.positions.clear();
  d.captureSource = nullptr;
  d.captureLead = 0;
  d.captureHeld = false;
  d.writeLead = 0;
  d.signalAtOffset = false;
  d.notificationsSilent = false;
  d.renderPace = 100;
  d.captureDescription = "Primary Sound Capture Driver";
  d.renderDescription = "Primary Sound Driver";
  d.current.reset();
  d.removed = false;
  d.renderLocks = 0;
  d.captureLocks = 0;
  d.blockRenderLock = false;
  d.blockRenderLockAt = -1;
}

}  // namespace sim

using namespace sim;

HRESULT DirectSoundFullDuplexCreate(LPCGUID captureDevice, LPCGUID renderDevice,
                                    LPCDSCBUFFERDESC captureDesc, LPCDSBUFFERDESC renderDesc,
                                    HWND window, DWORD level, LPDIRECTSOUNDFULLDUPLEX* duplex,
                                    LPDIRECTSOUNDCAPTUREBUFFER8* captureBuffer,
                                    LPDIRECTSOUNDBUFFER8* renderBuffer, LPUNKNOWN outer) {
  if (!duplex || !captureBuffer || !renderBuffer) return DSERR_INVALIDPARAM;
  *duplex = nullptr;
  *captureBuffer = nullptr;
  *renderBuffer = nullptr;
  std::lock_guard lock(device().mutex);
  Device& d = device();
  ++d.createCount;
  DsoundCreateCall& call = d.lastCreate;
  call = DsoundCreateCall{};
  call.captureDeviceNull = captureDevice == nullptr;
  call.renderDeviceNull = renderDevice == nullptr;
  if (captureDesc) call.captureDesc = *captureDesc;
  if (captureDesc && captureDesc->lpwfxFormat) call.captureFormat = *captureDesc->lpwfxFormat;
  if (renderDesc) call.renderDesc = *renderDesc;
  if (renderDesc && renderDesc->lpwfxFormat) call.renderFormat = *renderDesc->lpwfxFormat;
  call.window = window;
  call.level = level;
  call.outerNull = outer == nullptr;

  if (HRESULT hr = injected(DsoundCall::FullDuplexCreate); FAILED(hr)) return hr;
  if (d.removed) return DSERR_NODRIVER;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!captureDesc || !renderDesc || captureDesc->dwSize != sizeof(DSCBUFFERDESC) ||
      renderDesc->dwSize != sizeof(DSBUFFERDESC) || !validFormat(captureDesc->lpwfxFormat) ||
      !validFormat(renderDesc->lpwfxFormat) ||
      !validSize(captureDesc->dwBufferBytes, captureDesc->lpwfxFormat) ||
      !validSize(renderDesc->dwBufferBytes, renderDesc->lpwfxFormat) ||
      (captureDesc->dwFXCount > 0 && !captureDesc->lpDSCFXDesc) || level < DSSCL_NORMAL) {
    return DSERR_INVALIDPARAM;
  }
  auto stream = std::make_shared<Stream>(*renderDesc->lpwfxFormat, renderDesc->dwBufferBytes,
                                         captureDesc->dwBufferBytes, renderDesc->dwFlags);
  d.current = stream;
  *duplex = new FullDuplex(stream);
  *captureBuffer = new CaptureBuffer(stream);
  *renderBuffer = new RenderBuffer(stream);
  return DS_OK;
}

HRESULT DirectSoundEnumerateA(LPDSENUMCALLBACKA callback, LPVOID context) {
  std::string description;
  {
    std::lock_guard lock(device().mutex);
    description = device().renderDescription;
  }
  return enumerate(DsoundCall::EnumerateRender, description, callback, context);
}

HRESULT DirectSoundCaptureEnumerateA(LPDSENUMCALLBACKA callback, LPVOID context) {
  std::string description;
  {
    std::lock_guard lock(device().mutex);
    description = device().captureDescription;
  }
  return enumerate(DsoundCall::EnumerateCapture, description, callback, context);
}

HRESULT DirectSoundEnumerateW(LPDSENUMCALLBACKW callback, LPVOID context) {
  std::string description;
  {
    std::lock_guard lock(device().mutex);
    description = device().renderDescription;
  }
  return enumerateW(DsoundCall::EnumerateRender, description, callback, context);
}

HRESULT DirectSoundCaptureEnumerateW(LPDSENUMCALLBACKW callback, LPVOID context) {
  std::string description;
  {
    std::lock_guard lock(device().mutex);
    description = device().captureDescription;
  }
  return enumerateW(DsoundCall::EnumerateCapture, description, callback, context);
}
