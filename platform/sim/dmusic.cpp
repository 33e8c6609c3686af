// Events are packed into a buffer as DirectMusic packs them: a 20-byte header and
// the data, each event padded to a multiple of 8 bytes. One lock guards all state;
// a blocked Read waits outside it so that the test can release it.
#include "platform/sim/dmusic.h"

#include "platform/sim/kernel.h"
#include "platform/sim/kernel_objects.h"
#include "platform/sim/registry.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

const CLSID CLSID_DirectMusic = {
    0x636b9f10, 0x0c7d, 0x11d1, {0x95, 0xb2, 0x00, 0x20, 0xaf, 0xdc, 0x74, 0x21}};
const IID IID_IDirectMusic = {
    0x6536115a, 0x7b2d, 0x11d2, {0xba, 0x18, 0x00, 0x00, 0xf8, 0x75, 0xac, 0x12}};
const IID IID_IDirectMusic8 = {
    0x2d3629f7, 0x813d, 0x4939, {0x85, 0x08, 0xf0, 0x5c, 0x6b, 0x75, 0xfd, 0x97}};
const IID IID_IDirectMusicPort = {
    0x08f2d8c9, 0x37c2, 0x11d2, {0xb9, 0xf9, 0x00, 0x00, 0xf8, 0x75, 0xac, 0x12}};
const IID IID_IDirectMusicBuffer = {
    0xd2ac2878, 0xb39b, 0x11d1, {0x87, 0x04, 0x00, 0x60, 0x08, 0x93, 0xb1, 0xbd}};

int WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int wideChars, LPSTR text, int textBytes,
                        LPCSTR defaultChar, LPBOOL usedDefault) {
  if (wide == nullptr || wideChars == 0 || textBytes < 0 || (textBytes > 0 && text == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int count = wideChars;
  if (count < 0) {
    count = 0;
    while (wide[count] != 0) ++count;
    ++count;
  }
  const char fallback = defaultChar != nullptr ? *defaultChar : '?';
  std::string out;
  bool defaulted = false;
  for (int i = 0; i < count; ++i) {
    const auto unit = static_cast<uint32_t>(wide[i]);
    if (unit <= 0xFF) {
      out += static_cast<char>(unit);
      continue;
    }
    const bool pair = unit >= 0xD800 && unit < 0xDC00 && i + 1 < count &&
                      static_cast<uint32_t>(wide[i + 1]) >= 0xDC00 &&
                      static_cast<uint32_t>(wide[i + 1]) < 0xE000;
    if (pair) ++i;
    out += fallback;
    defaulted = true;
  }
  if (usedDefault != nullptr) *usedDefault = defaulted ? TRUE : FALSE;
  const int needed = static_cast<int>(out.size());
  if (textBytes == 0) return needed;
  if (textBytes < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(text, out.data(), out.size());
  return needed;
}

namespace sim {
namespace {

constexpr DWORD kEventHeaderBytes = 20;
constexpr DWORD kDx7PortParamsBytes = 32;

DWORD eventSize(DWORD length) {
  return (kEventHeaderBytes + length + 7) & ~7u;
}

struct Failure {
  int count = 0;
  HRESULT result = S_OK;
};

class PortObject;

struct DirectMusicState {
  std::mutex mutex;
  std::vector<DirectMusicPortInfo> ports;
  Failure failures[static_cast<int>(DirectMusicCall::Count)];
  int calls[static_cast<int>(DirectMusicCall::Count)] = {};
  PortObject* currentPort = nullptr;
  std::deque<std::vector<uint8_t>> pending;
  GUID lastPortGuid{};
  DWORD reportedUsed = 0;
  bool zeroLengthForever = false;
  int emptyReadsOk = 0;
  bool blockRead = false;
  int blockedReads = 0;
  std::atomic<int> liveObjects{0};
};

DirectMusicState& state() {
  static DirectMusicState* instance = new DirectMusicState;  // outlives detached threads
  return *instance;
}

bool injected(DirectMusicCall call, HRESULT* result) {
  const int index = static_cast<int>(call);
  ++state().calls[index];
  Failure& failure = state().failures[index];
  if (failure.count <= 0) return false;
  --failure.count;
  *result = failure.result;
  return true;
}

// UTF-8 to UTF-16 code units, one unit per WCHAR whatever the size of WCHAR.
void describe(const std::string& text, WCHAR* target, size_t capacity) {
  size_t out = 0;
  auto put = [&](uint32_t unit) {
    if (out + 1 < capacity) target[out++] = static_cast<WCHAR>(unit);
  };
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k) {
      code = (code << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    }
    i += 1 + extra;
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 + (code >> 10));
      put(0xDC00 + (code & 0x3FF));
    } else {
      put(code);
    }
  }
  target[out] = 0;
}

void fillCaps(const DirectMusicPortInfo& info, LPDMUS_PORTCAPS caps) {
  std::memset(caps, 0, sizeof(DMUS_PORTCAPS));
  caps->dwSize = sizeof(DMUS_PORTCAPS);
  caps->dwFlags = DMUS_PC_EXTERNAL;
  caps->guidPort = info.guid;
  caps->dwClass = info.portClass;
  caps->dwType = DMUS_PORT_WINMM_DRIVER;
  caps->dwMaxChannelGroups = 1;
  describe(info.description, caps->wszDescription, DMUS_MAX_DESCRIPTION);
}

template <class Interface>
class Counted : public Interface {
 public:
  Counted() { ++state().liveObjects; }
  virtual ~Counted() { --state().liveObjects; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  HRESULT answer(REFIID iid, void** object, std::initializer_list<const IID*> iids) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown &&
        std::none_of(iids.begin(), iids.end(), [&](const IID* known) { return iid == *known; })) {
      return E_NOINTERFACE;
    }
    AddRef();
    *object = static_cast<Interface*>(this);
    return S_OK;
  }

 private:
  std::atomic<ULONG> references_{1};
};

class BufferObject : public Counted<IDirectMusicBuffer> {
 public:
  explicit BufferObject(DWORD capacity) : bytes_(capacity) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return answer(iid, object, {&IID_IDirectMusicBuffer});
  }
  HRESULT STDMETHODCALLTYPE Flush() override {
    std::lock_guard lock(state().mutex);
    used_ = 0;
    readPos_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PackUnstructured(REFERENCE_TIME, DWORD channelGroup, DWORD length,
                                             LPBYTE data) override {
    std::lock_guard lock(state().mutex);
    return pack(channelGroup, data, length) ? S_OK : DMUS_E_BUFFER_FULL;
  }
  HRESULT STDMETHODCALLTYPE ResetReadPtr() override {
    std::lock_guard lock(state().mutex);
    readPos_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextEvent(LPREFERENCE_TIME time, LPDWORD channelGroup,
                                         LPDWORD length, LPBYTE* data) override {
    std::lock_guard lock(state().mutex);
    if (readPos_ >= used_) {
      if (!state().zeroLengthForever) return S_FALSE;
      // A reader caught in this loop can still be ended by TerminateThread.
      terminationPoint();
      if (time) *time = 0;
      if (channelGroup) *channelGroup = 0;
      if (length) *length = 0;
      if (data) *data = bytes_.data();
      return S_OK;
    }
    DWORD header[2];
    std::memcpy(header, &bytes_[readPos_], sizeof(header));
    if (time) *time = 0;
    if (channelGroup) *channelGroup = header[1];
    if (length) *length = header[0];
    if (data) *data = &bytes_[readPos_ + kEventHeaderBytes];
    readPos_ += eventSize(header[0]);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetUsedBytes(LPDWORD used) override {
    if (used == nullptr) return E_POINTER;
    std::lock_guard lock(state().mutex);
    *used = state().reportedUsed != 0 ? state().reportedUsed : used_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMaxBytes(LPDWORD max) override {
    if (max == nullptr) return E_POINTER;
    *max = static_cast<DWORD>(bytes_.size());
    return S_OK;
  }

  // Under the state lock.
  void clear() { used_ = readPos_ = 0; }
  bool pack(DWORD channelGroup, const uint8_t* data, DWORD length) {
    if (used_ + eventSize(length) > bytes_.size()) return false;
    const DWORD header[2] = {length, channelGroup};
    std::memset(&bytes_[used_], 0, eventSize(length));
    std::memcpy(&bytes_[used_], header, sizeof(header));
    if (length > 0) std::memcpy(&bytes_[used_ + kEventHeaderBytes], data, length);
    used_ += eventSize(length);
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
  DWORD used_ = 0;
  DWORD readPos_ = 0;
};

class PortObject : public Counted<IDirectMusicPort> {
 public:
  explicit PortObject(DirectMusicPortInfo info) : info_(std::move(info)) {}
  ~PortObject() override {
    std::lock_guard lock(state().mutex);
    if (state().currentPort == this) {
      state().currentPort = nullptr;
      state().pending.clear();
    }
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return answer(iid, object, {&IID_IDirectMusicPort});
  }
  HRESULT STDMETHODCALLTYPE SetReadNotificationHandle(HANDLE event) override {
    std::lock_guard lock(state().mutex);
    HRESULT result;
    if (injected(DirectMusicCall::SetReadNotificationHandle, &result)) return result;
    notification_ = event;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Read(LPDIRECTMUSICBUFFER buffer) override {
    std::unique_lock lock(state().mutex);
    HRESULT result;
    if (injected(DirectMusicCall::PortRead, &result)) return result;
    if (state().blockRead) {
      ++state().blockedReads;
      while (state().blockRead) {
        lock.unlock();
        Sleep(1);  // a termination point for a simulated thread
        lock.lock();
      }
    }
    auto* target = dynamic_cast<BufferObject*>(buffer);
    if (target == nullptr) return E_POINTER;
    target->clear();
    if (state().currentPort != this || state().pending.empty()) {
      if (state().emptyReadsOk <= 0) return S_FALSE;
      --state().emptyReadsOk;
      return S_OK;
    }
    while (!state().pending.empty()) {
      const auto& event = state().pending.front();
      if (!target->pack(1, event.data(), static_cast<DWORD>(event.size()))) break;
      state().pending.pop_front();
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCaps(LPDMUS_PORTCAPS caps) override {
    std::lock_guard lock(state().mutex);
    HRESULT result;
    if (injected(DirectMusicCall::PortGetCaps, &result)) return result;
    if (caps == nullptr) return E_POINTER;
    if (caps->dwSize != sizeof(DMUS_PORTCAPS)) return E_INVALIDARG;
    fillCaps(info_, caps);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Activate(BOOL active) override {
    std::lock_guard lock(state().mutex);
    HRESULT result;
    if (injected(DirectMusicCall::PortActivate, &result)) return result;
    active_ = active != FALSE;
    signalIfWaiting();
    return S_OK;
  }

  // Under the state lock.
  bool active() const { return active_; }
  HANDLE notification() const { return notification_; }
  void signalIfWaiting() {
    if (active_ && notification_ != nullptr && !state().pending.empty()) SetEvent(notification_);
  }

 private:
  DirectMusicPortInfo info_;
  HANDLE notification_ = nullptr;
  bool active_ = false;
};

class MusicObject : public Counted<IDirectMusic8> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return answer(iid, object, {&IID_IDirectMusic, &IID_IDirectMusic8});
  }
  HRESULT STDMETHODCALLTYPE EnumPort(DWORD index, LPDMUS_PORTCAPS caps) override {
    std::lock_guard lock(state().mutex);
    HRESULT result;
    if (injected(DirectMusicCall::EnumPort, &result)) return result;
    if (caps == nullptr) return E_POINTER;
    if (caps->dwSize != sizeof(DMUS_PORTCAPS)) return E_INVALIDARG;
    if (index >= state().ports.size()) return S_FALSE;
    fillCaps(state().ports[index], caps);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateMusicBuffer(LPDMUS_BUFFERDESC desc, LPDIRECTMUSICBUFFER* buffer,
                                              LPUNKNOWN outer) override {
    std::lock_guard lock(state().mutex);
    HRESULT result;
    if (injected(DirectMusicCall::CreateMusicBuffer, &result)) return result;
    if (desc == nullptr || buffer == nullptr) return E_POINTER;
    *buffer = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (desc->dwSize != sizeof(DMUS_BUFFERDESC) || desc->cbBuffer == 0) return E_INVALIDARG;
    *buffer = new BufferObject(desc->cbBuffer);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreatePort(REFCLSID port, LPDMUS_PORTPARAMS params,
                                       LPDIRECTMUSICPORT* created, LPUNKNOWN outer) override {
    std::lock_guard lock(state().mutex);
    HRESULT result;
    if (injected(DirectMusicCall::CreatePort, &result)) return result;
    if (params == nullptr || created == nullptr) return E_POINTER;
    *created = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!directSoundSet_) return DMUS_E_DSOUND_NOT_SET;
    if (params->dwSize != sizeof(DMUS_PORTPARAMS8) && params->dwSize != kDx7PortParamsBytes) {
      return E_INVALIDARG;
    }
    state().lastPortGuid = port;
    for (const auto& info : state().ports) {
      if (info.guid == port) {
        auto* object = new PortObject(info);
        state().currentPort = object;
        state().pending.clear();
        *created = object;
        return S_OK;
      }
    }
    return E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE Activate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetDirectSound(IDirectSound*, HWND) override {
    std::lock_guard lock(state().mutex);
    HRESULT result;
    if (injected(DirectMusicCall::SetDirectSound, &result)) return result;
    directSoundSet_ = true;
    return S_OK;
  }

 private:
  bool directSoundSet_ = false;
};

}  // namespace

void installDirectMusic() {
  registerComClass(CLSID_DirectMusic, [](REFIID iid, void** object) {
    auto* music = new MusicObject;
    const HRESULT result = music->QueryInterface(iid, object);
    music->Release();
    return result;
  });
}

void setDirectMusicPorts(std::vector<DirectMusicPortInfo> ports) {
  std::lock_guard lock(state().mutex);
  state().ports = std::move(ports);
}

void failDirectMusicCall(DirectMusicCall call, int count, HRESULT result) {
  std::lock_guard lock(state().mutex);
  state().failures[static_cast<int>(call)] = Failure{count, result};
}

int directMusicCallCount(DirectMusicCall call) {
  std::lock_guard lock(state().mutex);
  return state().calls[static_cast<int>(call)];
}

void queueDirectMusicEvent(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(state().mutex);
  if (state().currentPort == nullptr) return;
  state().pending.push_back(bytes);
  state().currentPort->signalIfWaiting();
}

int queuedDirectMusicEventCount() {
  std::lock_guard lock(state().mutex);
  return static_cast<int>(state().pending.size());
}

bool directMusicPortActive() {
  std::lock_guard lock(state().mutex);
  return state().currentPort != nullptr && state().currentPort->active();
}

HANDLE directMusicReadNotification() {
  std::lock_guard lock(state().mutex);
  return state().currentPort ? state().currentPort->notification() : nullptr;
}

GUID lastCreatedPortGuid() {
  std::lock_guard lock(state().mutex);
  return state().lastPortGuid;
}

void reportDirectMusicUsedBytes(DWORD used) {
  std::lock_guard lock(state().mutex);
  state().reportedUsed = used;
}

void zeroLengthEventsForever(bool on) {
  std::lock_guard lock(state().mutex);
  state().zeroLengthForever = on;
}

void emptyReadsAnswerOk(int count) {
  std::lock_guard lock(state().mutex);
  state().emptyReadsOk = count;
}

void blockDirectMusicRead(bool on) {
  std::lock_guard lock(state().mutex);
  state().blockRead = on;
}

int directMusicBlockedReads() {
  std::lock_guard lock(state().mutex);
  return state().blockedReads;
}

void resetDirectMusic() {
  std::lock_guard lock(state().mutex);
  state().ports.clear();
  for (auto& failure : state().failures) failure = Failure{};
  for (int& calls : state().calls) calls = 0;
  state().currentPort = nullptr;
  state().pending.clear();
  state().lastPortGuid = GUID{};
  state().reportedUsed = 0;
  state().zeroLengthForever = false;
  state().emptyReadsOk = 0;
  state().blockRead = false;
  state().blockedReads = 0;
}

int liveDirectMusicObjects() {
  return state().liveObjects.load();
}

}  // namespace sim
