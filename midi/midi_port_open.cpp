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
  midiOutReset(handle);
  Sleep(kResetPauseMs);
  // A driver that will not close in time is given up on: the handle is lost, but
  // the window can still close.
  wait.retry([&] { return midiOutClose(handle); });
  midiOut_.set(nullptr);
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
  HMIDIIN handle = nullptr;
  if (midiInOpen(&handle, device, reinterpret_cast<DWORD_PTR>(&MidiPort::inputCallback),
                 reinterpret_cast<DWORD_PTR>(this), kInputOpenFlags) != MMSYSERR_NOERROR) {
    return MidiInputUnavailable;
  }
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
    if (midiInPrepareHeader(handle, &header, sizeof(header)) != MMSYSERR_NOERROR) {
      delete buffer;
      continue;
    }
    sysexBuffers_[i] = buffer;
  }
  return MidiOk;
}

void MidiPort::closeWinmmInput(DriverWait& wait) {
  const HMIDIIN handle = midiIn_.get();
  if (handle != nullptr) {
    for (int32_t i = 0; i < kSysexBufferCount; ++i) {
      SysexBuffer* buffer = sysexBuffers_[i];
      if (buffer == nullptr) continue;
      const MMRESULT result = wait.retry(
          [&] { return midiInUnprepareHeader(handle, &buffer->header, sizeof(MIDIHDR)); });
      if (result == MIDIERR_STILLPLAYING) {
        // The driver still holds the buffer and may yet write into it and its
        // header; freed, that memory could be handed out again and corrupted. It
        // is left to the driver for good (a deliberate leak of one block).
        sysexBuffers_[i] = nullptr;
      }
    }
    // A driver that will not close in time is given up on: the handle is lost, but
    // the port can still close.
    wait.retry([&] { return midiInClose(handle); });
    midiIn_.set(nullptr);
  }
  for (int32_t i = 0; i < kSysexBufferCount; ++i) {
    delete sysexBuffers_[i];
    sysexBuffers_[i] = nullptr;
  }
}

int32_t MidiPort::start() {
  inputTiming_.clear();
  const HMIDIIN handle = midiIn_.get();
  if (handle == nullptr) return startMusicInput();
  if (running_.get()) return MidiOk;
  for (int32_t i = 0; i < kSysexBufferCount; ++i) {
    if (sysexBuffers_[i] != nullptr) {
      midiInAddBuffer(handle, &sysexBuffers_[i]->header, sizeof(MIDIHDR));
    }
  }
  if (midiInStart(handle) != MMSYSERR_NOERROR) return MidiInputStreamFailed;
  running_.set(true);
  return MidiOk;
}

int32_t MidiPort::stop() {
  const HMIDIIN handle = midiIn_.get();
  if (handle == nullptr) return stopMusicInput();
  // The driver hands every queued buffer back during the reset; they must not be
  // queued again.
  resetting_.set(true);
  const MMRESULT result = midiInReset(handle);
  if (result == MMSYSERR_NOERROR) Sleep(kResetPauseMs);
  if (rack_.bound()) rack_(nullptr, kMidiResetRequest);
  resetting_.set(false);
  running_.set(false);
  return result == MMSYSERR_NOERROR ? MidiOk : MidiInputStreamFailed;
}

void MidiPort::close() {
  stop();
  closeMusicEvents();
  releaseMusic();
  // One time limit for all the waits on busy drivers, so that closing takes about
  // as long at most however many of them refuse.
  DriverWait wait;
  closeWinmmInput(wait);
  closeOutput(wait);
  inputTiming_.clear();
  rack_ = MidiReceiver{};
  running_.set(false);
  resetting_.set(false);
  ring_.release();
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
