// One lock guards all devices and handles. Callbacks are collected under the lock
// and fired after it is released, because a driver's callback may call winmm again
// (the MIDI port hands each returned buffer straight back with midiInAddBuffer).
#include "platform/sim/midi.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace sim {
namespace {

struct InHandle {
  // The handle's value, kept as a number that MIM_CLOSE can report after the
  // handle is freed: read from here, it carries no trace of the freed pointer.
  uintptr_t value = 0;
  UINT device = 0;
  LPMIDICALLBACK callback = nullptr;
  DWORD_PTR instance = 0;
  bool started = false;
  bool removed = false;
  std::deque<LPMIDIHDR> queue;
  std::deque<LPMIDIHDR> late;  // reset, but not yet handed back
};

struct OutHandle {
  UINT device = 0;
  bool removed = false;
  std::map<LPMIDIHDR, int> playing;  // long messages still with the driver, polls left
};

struct Failure {
  int count = 0;
  MMRESULT result = MMSYSERR_NOERROR;
};

struct Midi {
  std::mutex mutex;
  std::vector<MidiInDevice> ins;
  std::vector<MidiOutDevice> outs;
  std::set<InHandle*> inHandles;
  std::set<OutHandle*> outHandles;
  InHandle* currentIn = nullptr;  // the input the test hooks drive: the last one opened
  Failure failures[static_cast<int>(MidiCall::Count)];
  int calls[static_cast<int>(MidiCall::Count)] = {};
  DWORD lastInFlags = 0;
  UINT lastInDevice = 0;
  UINT lastOutDevice = 0;
  int longMsgPolls = 0;
  bool resetReturnsLate = false;
  std::vector<DWORD> shortLog;
  std::vector<std::vector<uint8_t>> longLog;
  std::set<LPMIDIHDR> prepared;
  // Headers a test left prepared: a driver keeps what it was never made to give
  // back, and memory a port leaves to a stuck driver on purpose stays reachable, so
  // the leak checker does not report it.
  std::vector<LPMIDIHDR> abandoned;
  // Likewise what an input that was never closed would still call back with.
  std::vector<DWORD_PTR> abandonedInstances;
};

Midi& midi() {
  static Midi* instance = new Midi;  // never destroyed: detached threads may outlive main
  return *instance;
}

struct PendingCallback {
  LPMIDICALLBACK callback = nullptr;
  // Kept as a number: MIM_CLOSE reports the handle of a device already freed.
  uintptr_t handle = 0;
  DWORD_PTR instance = 0;
  UINT message = 0;
  DWORD_PTR param1 = 0;
};

void fire(const PendingCallback& call) {
  if (call.callback)
    call.callback(reinterpret_cast<HMIDIIN>(call.handle), call.message, call.instance, call.param1,
                  0);
}

PendingCallback pending(InHandle* in, UINT message, DWORD_PTR param1) {
  return PendingCallback{in->callback, in->value, in->instance, message, param1};
}

// Counts the call; true (with the answer in *result) when a failure is injected.
bool injected(MidiCall call, MMRESULT* result) {
  const int index = static_cast<int>(call);
  ++midi().calls[index];
  Failure& failure = midi().failures[index];
  if (failure.count <= 0) return false;
  --failure.count;
  *result = failure.result;
  return true;
}

InHandle* findIn(HMIDIIN handle) {
  auto* in = reinterpret_cast<InHandle*>(handle);
  return midi().inHandles.count(in) ? in : nullptr;
}

OutHandle* findOut(HMIDIOUT handle) {
  auto* out = reinterpret_cast<OutHandle*>(handle);
  return midi().outHandles.count(out) ? out : nullptr;
}

// Marks a header handed back to the client.
void markDone(LPMIDIHDR header) {
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}

MMRESULT checkHeader(LPMIDIHDR header, UINT size) {
  if (header == nullptr || size < sizeof(MIDIHDR) || header->lpData == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  return MMSYSERR_NOERROR;
}

void copyName(const std::string& name, CHAR* target) {
  std::memset(target, 0, MAXPNAMELEN);
  std::memcpy(target, name.data(), std::min<size_t>(name.size(), MAXPNAMELEN - 1));
}

// Takes the oldest queued buffer off the current started input, marked done.
bool takeBuffer(LPMIDIHDR* header, PendingCallback* call, UINT message) {
  InHandle* in = midi().currentIn;
  if (in == nullptr || !in->started || in->queue.empty()) return false;
  *header = in->queue.front();
  in->queue.pop_front();
  (*header)->dwFlags = ((*header)->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  *call = pending(in, message, reinterpret_cast<DWORD_PTR>(*header));
  return true;
}

}  // namespace

void setMidiInDevices(std::vector<MidiInDevice> devices) {
  std::lock_guard lock(midi().mutex);
  midi().ins = std::move(devices);
}

void setMidiOutDevices(std::vector<MidiOutDevice> devices) {
  std::lock_guard lock(midi().mutex);
  midi().outs = std::move(devices);
}

void failMidiCall(MidiCall call, int count, MMRESULT result) {
  std::lock_guard lock(midi().mutex);
  midi().failures[static_cast<int>(call)] = Failure{count, result};
}

int midiCallCount(MidiCall call) {
  std::lock_guard lock(midi().mutex);
  return midi().calls[static_cast<int>(call)];
}

DWORD lastMidiInOpenFlags() {
  std::lock_guard lock(midi().mutex);
  return midi().lastInFlags;
}

UINT lastMidiInOpenDevice() {
  std::lock_guard lock(midi().mutex);
  return midi().lastInDevice;
}

UINT lastMidiOutOpenDevice() {
  std::lock_guard lock(midi().mutex);
  return midi().lastOutDevice;
}

bool midiInIsOpen() {
  std::lock_guard lock(midi().mutex);
  return !midi().inHandles.empty();
}

bool midiInIsStarted() {
  std::lock_guard lock(midi().mutex);
  return midi().currentIn != nullptr && midi().currentIn->started;
}

bool midiOutIsOpen() {
  std::lock_guard lock(midi().mutex);
  return !midi().outHandles.empty();
}

bool midiInFire(UINT message, DWORD_PTR param1, DWORD_PTR param2) {
  PendingCallback call;
  {
    std::lock_guard lock(midi().mutex);
    InHandle* in = midi().currentIn;
    if (in == nullptr || in->callback == nullptr) return false;
    call = pending(in, message, param1);
  }
  call.callback(reinterpret_cast<HMIDIIN>(call.handle), call.message, call.instance, call.param1,
                param2);
  return true;
}

bool midiInSendShort(DWORD message) {
  PendingCallback call;
  {
    std::lock_guard lock(midi().mutex);
    InHandle* in = midi().currentIn;
    if (in == nullptr || !in->started || in->callback == nullptr) return false;
    call = pending(in, MIM_DATA, message);
  }
  fire(call);
  return true;
}

bool midiInSendSysex(const uint8_t* bytes, DWORD count) {
  PendingCallback call;
  {
    std::lock_guard lock(midi().mutex);
    LPMIDIHDR header = nullptr;
    if (!takeBuffer(&header, &call, MIM_LONGDATA)) return false;
    const DWORD n = std::min(count, header->dwBufferLength);
    std::memcpy(header->lpData, bytes, n);
    header->dwBytesRecorded = n;
  }
  fire(call);
  return true;
}

bool midiInReturnBuffer(UINT message, DWORD bytesRecorded) {
  PendingCallback call;
  {
    std::lock_guard lock(midi().mutex);
    LPMIDIHDR header = nullptr;
    if (!takeBuffer(&header, &call, message)) return false;
    header->dwBytesRecorded = bytesRecorded;
  }
  fire(call);
  return true;
}

int midiInQueuedBufferCount() {
  std::lock_guard lock(midi().mutex);
  return midi().currentIn ? static_cast<int>(midi().currentIn->queue.size()) : 0;
}

void setMidiInResetReturnsLate(bool late) {
  std::lock_guard lock(midi().mutex);
  midi().resetReturnsLate = late;
}

int midiInReturnLateBuffers() {
  std::vector<PendingCallback> calls;
  {
    std::lock_guard lock(midi().mutex);
    for (InHandle* in : midi().inHandles) {
      for (LPMIDIHDR header : in->late) {
        header->dwBytesRecorded = 0;
        markDone(header);
        calls.push_back(pending(in, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header)));
      }
      in->late.clear();
    }
  }
  for (const auto& call : calls) fire(call);
  return static_cast<int>(calls.size());
}

bool unplugMidiIn(size_t index) {
  std::vector<PendingCallback> calls;
  {
    std::lock_guard lock(midi().mutex);
    if (index >= midi().ins.size()) return false;
    midi().ins.erase(midi().ins.begin() + static_cast<std::ptrdiff_t>(index));
    for (InHandle* in : midi().inHandles) {
      if (in->removed) continue;
      if (in->device > index) {
        --in->device;
        continue;
      }
      if (in->device < index) continue;
      in->removed = true;
      in->started = false;
      for (auto* list : {&in->queue, &in->late}) {
        for (LPMIDIHDR header : *list) {
          header->dwBytesRecorded = 0;
          markDone(header);
          calls.push_back(pending(in, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header)));
        }
        list->clear();
      }
      calls.push_back(pending(in, MIM_CLOSE, 0));
    }
  }
  for (const auto& call : calls) fire(call);
  return true;
}

bool unplugMidiOut(size_t index) {
  std::lock_guard lock(midi().mutex);
  if (index >= midi().outs.size()) return false;
  midi().outs.erase(midi().outs.begin() + static_cast<std::ptrdiff_t>(index));
  for (OutHandle* out : midi().outHandles) {
    if (out->removed) continue;
    if (out->device > index) {
      --out->device;
    } else if (out->device == index) {
      out->removed = true;
      for (auto& [header, polls] : out->playing) markDone(header);
      out->playing.clear();
    }
  }
  return true;
}

bool plugMidiIn(size_t index, MidiInDevice device) {
  std::lock_guard lock(midi().mutex);
  if (index > midi().ins.size()) return false;
  midi().ins.insert(midi().ins.begin() + static_cast<std::ptrdiff_t>(index), std::move(device));
  for (InHandle* in : midi().inHandles) {
    if (!in->removed && in->device >= index) ++in->device;
  }
  return true;
}

bool plugMidiOut(size_t index, MidiOutDevice device) {
  std::lock_guard lock(midi().mutex);
  if (index > midi().outs.size()) return false;
  midi().outs.insert(midi().outs.begin() + static_cast<std::ptrdiff_t>(index), std::move(device));
  for (OutHandle* out : midi().outHandles) {
    if (!out->removed && out->device >= index) ++out->device;
  }
  return true;
}

void setMidiOutLongMsgPolls(int polls) {
  std::lock_guard lock(midi().mutex);
  midi().longMsgPolls = polls;
}

std::vector<DWORD> sentShortMessages() {
  std::lock_guard lock(midi().mutex);
  return midi().shortLog;
}

std::vector<std::vector<uint8_t>> sentLongMessages() {
  std::lock_guard lock(midi().mutex);
  return midi().longLog;
}

int midiHeadersHeldByDrivers() {
  std::lock_guard lock(midi().mutex);
  int held = 0;
  for (LPMIDIHDR header : midi().prepared) {
    if (header->dwFlags & MHDR_PREPARED) ++held;
  }
  return held;
}

void resetMidi() {
  std::lock_guard lock(midi().mutex);
  midi().abandoned.insert(midi().abandoned.end(), midi().prepared.begin(), midi().prepared.end());
  midi().prepared.clear();
  for (InHandle* in : midi().inHandles) {
    midi().abandonedInstances.push_back(in->instance);
    delete in;
  }
  for (OutHandle* out : midi().outHandles) delete out;
  midi().inHandles.clear();
  midi().outHandles.clear();
  midi().currentIn = nullptr;
  midi().ins.clear();
  midi().outs.clear();
  for (auto& failure : midi().failures) failure = Failure{};
  for (int& calls : midi().calls) calls = 0;
  midi().lastInFlags = 0;
  midi().lastInDevice = 0;
  midi().lastOutDevice = 0;
  midi().longMsgPolls = 0;
  midi().resetReturnsLate = false;
  midi().shortLog.clear();
  midi().longLog.clear();
}

}  // namespace sim

using namespace sim;

UINT midiInGetNumDevs() {
  std::lock_guard lock(midi().mutex);
  return static_cast<UINT>(midi().ins.size());
}

MMRESULT midiInGetDevCapsA(UINT_PTR deviceId, LPMIDIINCAPSA caps, UINT size) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::InGetDevCaps, &result)) return result;
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  if (deviceId >= midi().ins.size()) return MMSYSERR_BADDEVICEID;
  MIDIINCAPSA full{};
  full.wMid = 1;
  full.wPid = static_cast<WORD>(100 + deviceId);
  full.vDriverVersion = 0x0100;
  copyName(midi().ins[deviceId].name, full.szPname);
  std::memcpy(caps, &full, std::min<size_t>(size, sizeof(full)));
  return MMSYSERR_NOERROR;
}

MMRESULT midiInOpen(LPHMIDIIN handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags) {
  PendingCallback call;
  {
    std::lock_guard lock(midi().mutex);
    MMRESULT result;
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    *handle = nullptr;
    if (injected(MidiCall::InOpen, &result)) return result;
    if (deviceId >= midi().ins.size()) return MMSYSERR_BADDEVICEID;
    const DWORD type = flags & CALLBACK_TYPEMASK;
    if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    auto* in = new InHandle;
    in->value = reinterpret_cast<uintptr_t>(in);
    in->device = deviceId;
    if (type == CALLBACK_FUNCTION) in->callback = reinterpret_cast<LPMIDICALLBACK>(callback);
    in->instance = instance;
    midi().inHandles.insert(in);
    midi().currentIn = in;
    midi().lastInFlags = flags;
    midi().lastInDevice = deviceId;
    *handle = reinterpret_cast<HMIDIIN>(in);
    call = pending(in, MIM_OPEN, 0);
  }
  fire(call);
  return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN handle) {
  PendingCallback call;
  {
    std::lock_guard lock(midi().mutex);
    MMRESULT result;
    if (injected(MidiCall::InClose, &result)) return result;
    InHandle* in = findIn(handle);
    if (in == nullptr) return MMSYSERR_INVALHANDLE;
    const bool removed = in->removed;
    if (!removed && (!in->queue.empty() || !in->late.empty())) return MIDIERR_STILLPLAYING;
    // A removed device said its MIM_CLOSE when it went.
    if (!removed) call = pending(in, MIM_CLOSE, 0);
    midi().inHandles.erase(in);
    if (midi().currentIn == in) midi().currentIn = nullptr;
    delete in;
    if (removed) return MMSYSERR_NODRIVER;
  }
  fire(call);
  return MMSYSERR_NOERROR;
}

MMRESULT midiInStart(HMIDIIN handle) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::InStart, &result)) return result;
  InHandle* in = findIn(handle);
  if (in == nullptr) return MMSYSERR_INVALHANDLE;
  if (in->removed) return MMSYSERR_NODRIVER;
  in->started = true;
  return MMSYSERR_NOERROR;
}

MMRESULT midiInStop(HMIDIIN handle) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::InStop, &result)) return result;
  InHandle* in = findIn(handle);
  if (in == nullptr) return MMSYSERR_INVALHANDLE;
  if (in->removed) return MMSYSERR_NODRIVER;
  in->started = false;
  return MMSYSERR_NOERROR;
}

MMRESULT midiInReset(HMIDIIN handle) {
  std::vector<PendingCallback> calls;
  {
    std::lock_guard lock(midi().mutex);
    MMRESULT result;
    if (injected(MidiCall::InReset, &result)) return result;
    InHandle* in = findIn(handle);
    if (in == nullptr) return MMSYSERR_INVALHANDLE;
    if (in->removed) return MMSYSERR_NODRIVER;
    in->started = false;
    if (midi().resetReturnsLate) {
      in->late.insert(in->late.end(), in->queue.begin(), in->queue.end());
      in->queue.clear();
    }
    for (LPMIDIHDR header : in->queue) {
      header->dwBytesRecorded = 0;
      header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
      calls.push_back(pending(in, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header)));
    }
    in->queue.clear();
  }
  for (const auto& call : calls) fire(call);
  return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::InPrepareHeader, &result)) return result;
  InHandle* in = findIn(handle);
  if (in == nullptr) return MMSYSERR_INVALHANDLE;
  if (in->removed) return MMSYSERR_NODRIVER;
  if ((result = checkHeader(header, size)) != MMSYSERR_NOERROR) return result;
  header->dwFlags |= MHDR_PREPARED;
  midi().prepared.insert(header);
  return MMSYSERR_NOERROR;
}

MMRESULT midiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::InUnprepareHeader, &result)) return result;
  InHandle* in = findIn(handle);
  if (in == nullptr) return MMSYSERR_INVALHANDLE;
  if ((result = checkHeader(header, size)) != MMSYSERR_NOERROR) return result;
  if (in->removed) {
    // The driver that held it is gone: the header is nobody's any more.
    header->dwFlags &= ~MHDR_PREPARED;
    midi().prepared.erase(header);
    return MMSYSERR_NODRIVER;
  }
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  midi().prepared.erase(header);
  return MMSYSERR_NOERROR;
}

MMRESULT midiInAddBuffer(HMIDIIN handle, LPMIDIHDR header, UINT size) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::InAddBuffer, &result)) return result;
  InHandle* in = findIn(handle);
  if (in == nullptr) return MMSYSERR_INVALHANDLE;
  if (in->removed) return MMSYSERR_NODRIVER;
  if ((result = checkHeader(header, size)) != MMSYSERR_NOERROR) return result;
  if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
  header->dwBytesRecorded = 0;
  in->queue.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT midiInGetID(HMIDIIN handle, LPUINT deviceId) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::InGetID, &result)) return result;
  InHandle* in = findIn(handle);
  if (in == nullptr) return MMSYSERR_INVALHANDLE;
  if (in->removed) return MMSYSERR_NODRIVER;
  if (deviceId == nullptr) return MMSYSERR_INVALPARAM;
  *deviceId = in->device;
  return MMSYSERR_NOERROR;
}

UINT midiOutGetNumDevs() {
  std::lock_guard lock(midi().mutex);
  return static_cast<UINT>(midi().outs.size());
}

MMRESULT midiOutGetDevCapsA(UINT_PTR deviceId, LPMIDIOUTCAPSA caps, UINT size) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::OutGetDevCaps, &result)) return result;
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  if (deviceId >= midi().outs.size()) return MMSYSERR_BADDEVICEID;
  MIDIOUTCAPSA full{};
  full.wMid = 1;
  full.wPid = static_cast<WORD>(200 + deviceId);
  full.vDriverVersion = 0x0100;
  copyName(midi().outs[deviceId].name, full.szPname);
  full.wTechnology = midi().outs[deviceId].technology;
  full.wChannelMask = 0xFFFF;
  std::memcpy(caps, &full, std::min<size_t>(size, sizeof(full)));
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(LPHMIDIOUT handle, UINT deviceId, DWORD_PTR, DWORD_PTR, DWORD flags) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  *handle = nullptr;
  if (injected(MidiCall::OutOpen, &result)) return result;
  if (deviceId >= midi().outs.size()) return MMSYSERR_BADDEVICEID;
  const DWORD type = flags & CALLBACK_TYPEMASK;
  if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  auto* out = new OutHandle;
  out->device = deviceId;
  midi().outHandles.insert(out);
  midi().lastOutDevice = deviceId;
  *handle = reinterpret_cast<HMIDIOUT>(out);
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT handle) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::OutClose, &result)) return result;
  OutHandle* out = findOut(handle);
  if (out == nullptr) return MMSYSERR_INVALHANDLE;
  if (!out->removed && !out->playing.empty()) return MIDIERR_STILLPLAYING;
  const bool removed = out->removed;
  midi().outHandles.erase(out);
  delete out;
  return removed ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT handle) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::OutReset, &result)) return result;
  OutHandle* out = findOut(handle);
  if (out == nullptr) return MMSYSERR_INVALHANDLE;
  if (out->removed) return MMSYSERR_NODRIVER;
  for (auto& [header, polls] : out->playing) {
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  }
  out->playing.clear();
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD message) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::OutShortMsg, &result)) return result;
  OutHandle* out = findOut(handle);
  if (out == nullptr) return MMSYSERR_INVALHANDLE;
  if (out->removed) return MMSYSERR_NODRIVER;
  midi().shortLog.push_back(message);
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutLongMsg(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::OutLongMsg, &result)) return result;
  OutHandle* out = findOut(handle);
  if (out == nullptr) return MMSYSERR_INVALHANDLE;
  if (out->removed) return MMSYSERR_NODRIVER;
  if ((result = checkHeader(header, size)) != MMSYSERR_NOERROR) return result;
  if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  // A driver has nothing to send for an empty buffer and refuses it.
  if (header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  const auto* bytes = reinterpret_cast<const uint8_t*>(header->lpData);
  midi().longLog.emplace_back(bytes, bytes + header->dwBufferLength);
  header->dwFlags &= ~MHDR_DONE;
  if (midi().longMsgPolls > 0) {
    header->dwFlags |= MHDR_INQUEUE;
    out->playing[header] = midi().longMsgPolls;
  } else {
    header->dwFlags |= MHDR_DONE;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::OutPrepareHeader, &result)) return result;
  OutHandle* out = findOut(handle);
  if (out == nullptr) return MMSYSERR_INVALHANDLE;
  if (out->removed) return MMSYSERR_NODRIVER;
  if ((result = checkHeader(header, size)) != MMSYSERR_NOERROR) return result;
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_PREPARED;
  midi().prepared.insert(header);
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::OutUnprepareHeader, &result)) return result;
  OutHandle* out = findOut(handle);
  if (out == nullptr) return MMSYSERR_INVALHANDLE;
  if ((result = checkHeader(header, size)) != MMSYSERR_NOERROR) return result;
  if (out->removed) {
    header->dwFlags &= ~MHDR_PREPARED;
    midi().prepared.erase(header);
    return MMSYSERR_NODRIVER;
  }
  auto playing = out->playing.find(header);
  if (playing != out->playing.end()) {
    if (playing->second-- > 0) return MIDIERR_STILLPLAYING;
    out->playing.erase(playing);
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  }
  header->dwFlags &= ~MHDR_PREPARED;
  midi().prepared.erase(header);
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutGetID(HMIDIOUT handle, LPUINT deviceId) {
  std::lock_guard lock(midi().mutex);
  MMRESULT result;
  if (injected(MidiCall::OutGetID, &result)) return result;
  OutHandle* out = findOut(handle);
  if (out == nullptr) return MMSYSERR_INVALHANDLE;
  if (out->removed) return MMSYSERR_NODRIVER;
  if (deviceId == nullptr) return MMSYSERR_INVALPARAM;
  *deviceId = out->device;
  return MMSYSERR_NOERROR;
}
