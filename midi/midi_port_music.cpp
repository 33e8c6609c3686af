// The DirectMusic input path: the port and its event buffer, and the worker thread
// that reads events whenever DirectMusic signals that input is waiting.
#include "midi/midi_port.h"

#include <cstring>

int32_t MidiPort::openMusicInput(HWND window, int32_t inDevice, bool strictDevice) {
  void* created = nullptr;
  if (FAILED(CoCreateInstance(CLSID_DirectMusic, nullptr,
                              CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER, IID_IDirectMusic8,
                              &created)) ||
      created == nullptr) {
    return MidiDirectMusicFailed;
  }
  music_ = static_cast<IDirectMusic8*>(created);
  // Ports cannot be created before DirectMusic has a sound device.
  if (FAILED(music_->SetDirectSound(nullptr, window))) {
    releaseMusic();
    return MidiDirectMusicFailed;
  }

  GUID chosen;
  std::memset(&chosen, 0, sizeof(chosen));
  bool anyInput = false;
  bool found = false;
  int32_t inputsSeen = 0;
  for (DWORD index = 0;; ++index) {
    DMUS_PORTCAPS caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.dwSize = sizeof(caps);
    if (music_->EnumPort(index, &caps) != S_OK) break;
    if (caps.dwClass != DMUS_PC_INPUTCLASS) continue;
    chosen = caps.guidPort;
    anyInput = true;
    if (inputsSeen == inDevice) {
      found = true;
      break;
    }
    ++inputsSeen;
  }
  if (!found && strictDevice) {
    closeOutput();
    releaseMusic();
    return MidiBadDeviceIndex;
  }
  if (!anyInput) {
    releaseMusic();
    return MidiInputUnavailable;
  }

  DMUS_PORTPARAMS8 params;
  std::memset(&params, 0, sizeof(params));
  params.dwSize = sizeof(params);
  IDirectMusicPort* port = nullptr;
  if (FAILED(music_->CreatePort(chosen, &params, &port, nullptr)) || port == nullptr) {
    releaseMusic();
    return MidiInputUnavailable;
  }
  musicPort_ = port;

  // Zeroed, the format is GUID_NULL: the standard MIDI event format.
  DMUS_BUFFERDESC desc;
  std::memset(&desc, 0, sizeof(desc));
  desc.dwSize = sizeof(desc);
  desc.cbBuffer = kMusicBufferBytes;
  IDirectMusicBuffer* buffer = nullptr;
  if (FAILED(music_->CreateMusicBuffer(&desc, &buffer, nullptr)) || buffer == nullptr) {
    releaseMusic();
    return MidiInputStreamFailed;
  }
  musicBuffer_ = buffer;

  drainMusicPort();
  // Without both events the worker could neither be woken nor stopped.
  readEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  stopEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (readEvent_ == nullptr || stopEvent_ == nullptr) {
    closeMusicEvents();
    releaseMusic();
    return MidiInputStreamFailed;
  }
  musicPort_->SetReadNotificationHandle(readEvent_);
  return MidiOk;
}

void MidiPort::closeMusicEvents() {
  if (readEvent_ != nullptr) CloseHandle(readEvent_);
  if (stopEvent_ != nullptr) CloseHandle(stopEvent_);
  readEvent_ = nullptr;
  stopEvent_ = nullptr;
}

void MidiPort::releaseMusic() {
  if (musicBuffer_ != nullptr) musicBuffer_->Release();
  if (musicPort_ != nullptr) musicPort_->Release();
  if (music_ != nullptr) music_->Release();
  musicBuffer_ = nullptr;
  musicPort_ = nullptr;
  music_ = nullptr;
}

// Input that arrived before we listen is stale.
void MidiPort::drainMusicPort() {
  DWORD used = 0;
  while (readMusicPort(&used)) {
  }
}

// Moves waiting input into the buffer; false when nothing more is waiting. A port
// that answers S_OK but leaves the buffer empty has nothing waiting either: taking
// its answer at its word would spin this thread (the worker at top priority) for ever.
bool MidiPort::readMusicPort(DWORD* used) {
  if (musicPort_->Read(musicBuffer_) != S_OK) return false;
  if (FAILED(musicBuffer_->GetUsedBytes(used))) *used = kMusicBufferBytes;
  return *used > 0;
}

int32_t MidiPort::startMusicInput() {
  if (stopEvent_ == nullptr) return MidiInputUnavailable;
  if (readerThread_ != nullptr) return MidiOk;
  drainMusicPort();
  readerThread_ = CreateThread(nullptr, 0, &MidiPort::readerMain, this, 0, nullptr);
  // Without the worker nothing would read the port: input is not running.
  if (readerThread_ == nullptr) return MidiInputStreamFailed;
  SetThreadPriority(readerThread_, THREAD_PRIORITY_TIME_CRITICAL);
  if (FAILED(musicPort_->Activate(TRUE))) {
    stop();
    return MidiInputStreamFailed;
  }
  return MidiOk;
}

int32_t MidiPort::stopMusicInput() {
  if (stopEvent_ == nullptr) return MidiInputUnavailable;
  int32_t result = MidiOk;
  if (FAILED(musicPort_->Activate(FALSE))) result = MidiInputStreamFailed;
  if (readerThread_ != nullptr) {
    SetEvent(stopEvent_);
    if (WaitForSingleObject(readerThread_, kWorkerStopMs) == WAIT_TIMEOUT) {
      TerminateThread(readerThread_, STILL_ACTIVE);
      result = MidiWorkerTerminated;
    }
    CloseHandle(readerThread_);
    readerThread_ = nullptr;
  }
  if (rack_.bound()) rack_(nullptr, kMidiResetRequest);
  return result;
}

DWORD WINAPI MidiPort::readerMain(LPVOID instance) {
  auto* port = static_cast<MidiPort*>(instance);
  const HANDLE events[2] = {port->readEvent_, port->stopEvent_};
  for (;;) {
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) {
      port->readPass();
    } else if (woken == WAIT_OBJECT_0 + 1 || woken == WAIT_FAILED) {
      return 0;
    }
  }
}

void MidiPort::readPass() {
  const int64_t startTicks = BlockTiming::now();
  DWORD used = 0;
  while (readMusicPort(&used)) {
    if (used > kMusicBufferBytes) {
      // Events were lost: notes may hang, so silence the rack and start afresh.
      musicBuffer_->Flush();
      if (rack_.bound()) rack_(nullptr, kMidiResetRequest);
      used = 0;
    }
    musicBuffer_->ResetReadPtr();
    // Some implementations answer S_OK with length 0 forever once the buffer is
    // exhausted. A real event has data, and all events together, each packed with
    // its header, fit in the used bytes.
    DWORD left = used;
    REFERENCE_TIME time = 0;
    DWORD channelGroup = 0;
    DWORD length = 0;
    BYTE* data = nullptr;
    while (musicBuffer_->GetNextEvent(&time, &channelGroup, &length, &data) == S_OK) {
      if (length == 0 || data == nullptr || length > kMusicBufferBytes) break;
      const DWORD packed = packedEventBytes(length);
      if (packed > left) break;
      left -= packed;
      if (rack_.bound()) rack_(data, static_cast<int32_t>(length));
    }
  }
  noteInputPass(startTicks);
}
