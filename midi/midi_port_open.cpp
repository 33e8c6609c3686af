// Construction, open and close of both devices, the winmm input's start and stop,
// and the device names.
#include "midi/midi_port.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "midi/wide_text.h"

namespace {

std::string nameOf(const CHAR* text, size_t capacity) {
  size_t length = 0;
  while (length < capacity && text[length] != 0) ++length;
  return std::string(text, length);
}

}  // namespace

MidiPort::MidiPort() {
  // Only a successful CoInitialize (S_FALSE included) is to be balanced.
  comInitialized_ = SUCCEEDED(CoInitialize(nullptr));
}

MidiPort::~MidiPort() {
  close();
  if (comInitialized_) CoUninitialize();
}

int32_t MidiPort::openWith(MidiReceiver rack, HWND window, const MidiOpenOptions& options) {
  close();
  if (options.outDevice >= 0) {
    const int32_t result = openOutput(options.outDevice, options.strictDevice, options.portsOnly);
    if (result != MidiOk) return result;
  }
  if (options.inDevice < 0) return MidiOk;
  if (!rack.bound()) return MidiNoRack;
  rack_ = rack;
  if (options.inputApi == MidiInputApi::Winmm) {
    return openWinmmInput(options.inDevice, options.strictDevice, options.sysexRingBytes);
  }
  return openMusicInput(window, options.inDevice, options.strictDevice);
}

int32_t MidiPort::openOutput(int32_t outDevice, bool strictDevice, bool portsOnly) {
  const UINT count = midiOutGetNumDevs();
  if (count < 1) return MidiOutputUnavailable;
  UINT device = static_cast<UINT>(outDevice);
  if (device >= count) {
    if (strictDevice) return MidiBadDeviceIndex;
    device = 0;
  }
  MIDIOUTCAPSA caps;
  std::memset(&caps, 0, sizeof(caps));
  if (midiOutGetDevCapsA(device, &caps, sizeof(caps)) != MMSYSERR_NOERROR)
    return MidiOutputUnavailable;
  // Software synthesizers would double the sound of our own synth.
  if (portsOnly && caps.wTechnology != MOD_MIDIPORT && caps.wTechnology != MOD_MAPPER) {
    return MidiOutputUnavailable;
  }
  HMIDIOUT handle = nullptr;
  if (midiOutOpen(&handle, device, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
    midiOut_.set(nullptr);
    return MidiOutputUnavailable;
  }
  // Without it long messages cannot be sent; everything else still works.
  sendBlock_ = new (std::nothrow) SendBlock;
  sendBlockOut_ = false;
  outDevice_ = static_cast<int32_t>(device);
  midiOut_.set(handle);
  return MidiOk;
}

void MidiPort::closeOutput() {
  DriverWait wait;
  closeOutput(wait);
}

void MidiPort::closeOutput(DriverWait& wait) {
  const HMIDIOUT handle = midiOut_.get();
  if (handle == nullptr) return;
  // A send in progress on another thread finds no output from here on.
  midiOut_.set(nullptr);
  midiOutReset(handle);
  Sleep(kResetPauseMs);
  if (sendBlock_ != nullptr && sendBlockOut_ && wait.retry([&] {
        return midiOutUnprepareHeader(handle, &sendBlock_->header, sizeof(MIDIHDR));
      }) == MIDIERR_STILLPLAYING) {
    // The driver may still read or write the block: it is left to it for good (a
    // deliberate leak of one block).
    sendBlock_ = nullptr;
  }
  // A driver that will not close in time is given up on: the handle is lost, but
  // the window can still close.
  wait.retry([&] { return midiOutClose(handle); });
  delete sendBlock_;
  sendBlock_ = nullptr;
  sendBlockOut_ = false;
  outDevice_ = kNoMidiDevice;
}

int32_t MidiPort::openWinmmInput(int32_t inDevice, bool strictDevice, int32_t sysexRingBytes) {
  const UINT count = midiInGetNumDevs();
  if (count < 1) return MidiInputUnavailable;
  UINT device = static_cast<UINT>(inDevice);
  if (device >= count) {
    if (strictDevice) {
      closeOutput();
      return MidiBadDeviceIndex;
    }
    device = 0;
  }
  auto* link = new (std::nothrow) MidiInputLink;
  if (link == nullptr) return MidiInputUnavailable;
  link->port.store(this);
  HMIDIIN handle = nullptr;
  if (midiInOpen(&handle, device, reinterpret_cast<DWORD_PTR>(&MidiPort::inputCallback),
                 reinterpret_cast<DWORD_PTR>(link), kInputOpenFlags) != MMSYSERR_NOERROR) {
    delete link;
    return MidiInputUnavailable;
  }
  inputLink_ = link;
  inDevice_ = static_cast<int32_t>(device);
  midiIn_.set(handle);
  if (sysexRingBytes <= 0) return MidiOk;
  // Input works without system-exclusive data when memory is short.
  if (!ring_.allocate(std::max(sysexRingBytes, kMinRingBytes))) return MidiOk;
  for (int32_t i = 0; i < kSysexBufferCount; ++i) {
    SysexBuffer* buffer = new (std::nothrow) SysexBuffer;
    if (buffer == nullptr) continue;
    MIDIHDR& header = buffer->header;
    std::memset(&header, 0, sizeof(header));
    header.lpData = reinterpret_cast<LPSTR>(buffer->data);
    header.dwBufferLength = kSysexBufferBytes;
    // Tells the callback which buffer came back.
    header.dwUser = static_cast<DWORD_PTR>(i);
    if (midiInPrepareHeader(handle, &header, sizeof(header)) != MMSYSERR_NOERROR) {
      delete buffer;
      continue;
    }
    sysexBuffers_[i].store(buffer, std::memory_order_release);
  }
  return MidiOk;
}

bool MidiPort::sysexBufferWithDriver() const {
  for (const std::atomic<bool>& queued : sysexQueued_) {
    if (queued.load(std::memory_order_acquire)) return true;
  }
  return false;
}

bool MidiPort::awaitSysexBuffers(HMIDIIN handle, DriverWait& wait) {
  // A callback that read the flag before the reset began may have queued its
  // buffer again after it: another reset hands that one back too.
  return wait.retry([&] {
    if (!sysexBufferWithDriver()) return MMSYSERR_NOERROR;
    midiInReset(handle);
    return sysexBufferWithDriver() ? MIDIERR_STILLPLAYING : MMSYSERR_NOERROR;
  }) == MMSYSERR_NOERROR;
}

void MidiPort::queueSysexBuffer(HMIDIIN handle, int32_t index) {
  SysexBuffer* buffer = sysexBuffers_[index].load(std::memory_order_relaxed);
  if (buffer == nullptr) return;
  sysexQueued_[index].store(true, std::memory_order_relaxed);
  if (midiInAddBuffer(handle, &buffer->header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
    sysexQueued_[index].store(false, std::memory_order_release);
  }
}

bool MidiPort::detachInputLink(bool closed) {
  MidiInputLink* link = inputLink_;
  if (link == nullptr) return true;
  inputLink_ = nullptr;
  link->port.store(nullptr);
  // A call already inside must leave the port before the port may go. That is our
  // own short code, not the driver, so it gets its own time even when the driver's
  // is up: otherwise every loss noticed inside a close notice would leak the link.
  DriverWait wait;
  const bool quiet = wait.retry([&] {
    return link->callsInside.load() == 0 ? MMSYSERR_NOERROR : MIDIERR_STILLPLAYING;
  }) == MMSYSERR_NOERROR;
  if (quiet && closed) delete link;
  // Otherwise the driver may still call it: it stays the driver's (a deliberate leak).
  return quiet;
}

bool MidiPort::closeWinmmInput(DriverWait& wait) {
  bool quiet = true;
  const HMIDIIN handle = midiIn_.get();
  if (handle != nullptr) {
    closingInput_.set(true);
    resetting_.set(true);
    midiInReset(handle);
    awaitSysexBuffers(handle, wait);
    for (int32_t i = 0; i < kSysexBufferCount; ++i) {
      SysexBuffer* buffer = sysexBuffers_[i].load(std::memory_order_relaxed);
      if (buffer == nullptr) continue;
      const MMRESULT result = wait.retry(
          [&] { return midiInUnprepareHeader(handle, &buffer->header, sizeof(MIDIHDR)); });
      if (result == MIDIERR_STILLPLAYING) {
        // The driver still holds the buffer and may yet write into it and its
        // header; freed, that memory could be handed out again and corrupted. It
        // is left to the driver for good (a deliberate leak of one block).
        sysexBuffers_[i].store(nullptr, std::memory_order_relaxed);
      }
    }
    // A driver that will not close in time is given up on: the handle is lost, but
    // the port can still close.
    const bool closed = wait.retry([&] { return midiInClose(handle); }) != MIDIERR_STILLPLAYING;
    midiIn_.set(nullptr);
    quiet = detachInputLink(closed);
    closingInput_.set(false);
  }
  for (int32_t i = 0; i < kSysexBufferCount; ++i) {
    SysexBuffer* buffer = sysexBuffers_[i].exchange(nullptr, std::memory_order_relaxed);
    // A buffer the driver handed back but whose callback has not let go of it yet
    // (its flag still set) may still be read by that callback, if one can still be
    // inside: it is left to it (a deliberate leak of one block).
    if (quiet || !sysexQueued_[i].load(std::memory_order_acquire)) delete buffer;
    sysexQueued_[i].store(false, std::memory_order_relaxed);
  }
  inDevice_ = kNoMidiDevice;
  return quiet;
}

int32_t MidiPort::start() {
  inputTiming_.clear();
  const HMIDIIN handle = midiIn_.get();
  if (handle == nullptr) return startMusicInput();
  if (running_.get()) return MidiOk;
  resetting_.set(false);
  for (int32_t i = 0; i < kSysexBufferCount; ++i) queueSysexBuffer(handle, i);
  if (midiInStart(handle) != MMSYSERR_NOERROR) return MidiInputStreamFailed;
  running_.set(true);
  return MidiOk;
}

int32_t MidiPort::stop() {
  if (midiIn_.get() == nullptr) return stopMusicInput();
  DriverWait wait;
  return stopWinmmInput(wait);
}

int32_t MidiPort::stopWinmmInput(DriverWait& wait) {
  const HMIDIIN handle = midiIn_.get();
  // The driver hands every queued buffer back during the reset, some drivers only
  // after it has returned; none may be queued again until the next start.
  resetting_.set(true);
  const MMRESULT result = midiInReset(handle);
  if (result == MMSYSERR_NOERROR) awaitSysexBuffers(handle, wait);
  if (rack_.bound()) rack_(nullptr, kMidiResetRequest);
  running_.set(false);
  return result == MMSYSERR_NOERROR ? MidiOk : MidiInputStreamFailed;
}

void MidiPort::close() {
  // One time limit for all the waits on busy drivers, so that closing takes about
  // as long at most however many of them refuse.
  DriverWait wait;
  if (midiIn_.get() != nullptr) {
    stopWinmmInput(wait);
  } else {
    stop();
  }
  closeMusicEvents();
  releaseMusic();
  closeWinmmInput(wait);
  closeOutput(wait);
  inputTiming_.clear();
  rack_ = MidiReceiver{};
  running_.set(false);
  resetting_.set(false);
  inputLost_.set(false);
  outputLost_.set(false);
  ring_.release();
}

int32_t MidiPort::reopenOutput(int32_t outDevice, bool portsOnly) {
  closeOutput();
  outputLost_.set(false);
  if (outDevice < 0) return MidiOk;
  return openOutput(outDevice, true, portsOnly);
}

void MidiPort::closeLostDevices() {
  // No time at all for a device that is gone: each call is made once.
  DriverWait once(0);
  if (inputLost_.get() && midiIn_.get() != nullptr) {
    const HMIDIIN handle = midiIn_.get();
    resetting_.set(true);
    midiInReset(handle);
    running_.set(false);
    // Released here as well: the loss may have been noticed without a close notice.
    // Once the callback has left the port, this thread is the only one feeding the
    // rack. A callback still inside may yet be handing the rack a message: a second
    // sender beside it would break the rack's one-writer queue (steady timing), so
    // the notes end through the reset request instead, which any thread may raise.
    if (closeWinmmInput(once)) {
      releaseInputNotes();
    } else if (rack_.bound()) {
      rack_(nullptr, kMidiResetRequest);
    }
  }
  if (outputLost_.get()) closeOutput(once);
}

int32_t MidiPort::currentInputPlace() const {
  const HMIDIIN handle = midiIn_.get();
  UINT id = 0;
  if (handle == nullptr || midiInGetID(handle, &id) != MMSYSERR_NOERROR) return kNoMidiDevice;
  return id < midiInGetNumDevs() ? static_cast<int32_t>(id) : kNoMidiDevice;
}

int32_t MidiPort::currentOutputPlace() const {
  const HMIDIOUT handle = midiOut_.get();
  UINT id = 0;
  if (handle == nullptr || midiOutGetID(handle, &id) != MMSYSERR_NOERROR) return kNoMidiDevice;
  return id < midiOutGetNumDevs() ? static_cast<int32_t>(id) : kNoMidiDevice;
}

bool MidiPort::deviceNames(std::string& inName, std::string& outName) {
  inName.clear();
  outName.clear();
  bool ok = true;
  if (const HMIDIOUT out = midiOut_.get()) {
    UINT id = 0;
    MIDIOUTCAPSA caps;
    std::memset(&caps, 0, sizeof(caps));
    if (midiOutGetID(out, &id) == MMSYSERR_NOERROR &&
        midiOutGetDevCapsA(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
      outName = nameOf(caps.szPname, sizeof(caps.szPname));
    } else {
      ok = false;
    }
  }
  if (const HMIDIIN in = midiIn_.get()) {
    UINT id = 0;
    MIDIINCAPSA caps;
    std::memset(&caps, 0, sizeof(caps));
    if (midiInGetID(in, &id) == MMSYSERR_NOERROR &&
        midiInGetDevCapsA(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
      inName = nameOf(caps.szPname, sizeof(caps.szPname));
    } else {
      ok = false;
    }
  } else if (musicPort_ != nullptr) {
    DMUS_PORTCAPS caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.dwSize = sizeof(caps);
    if (SUCCEEDED(musicPort_->GetCaps(&caps))) {
      inName = ansiFromWide(caps.wszDescription, DMUS_MAX_DESCRIPTION);
    } else {
      ok = false;
    }
  }
  return ok;
}
