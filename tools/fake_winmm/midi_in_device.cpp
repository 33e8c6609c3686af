#include "midi_in_device.h"

#include "fake_config.h"

#include <cstddef>
#include <cstring>

namespace fake_winmm {
namespace {

constexpr UINT kMinHeaderSize = offsetof(MIDIHDR, dwOffset);
constexpr DWORD kBufferWaitMs = 200;

std::string readFile(const std::string& path, bool& found) {
  std::string text;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  found = file != INVALID_HANDLE_VALUE;
  if (!found) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

struct Locked {
  explicit Locked(CRITICAL_SECTION& section) : section_(section) {
    EnterCriticalSection(&section_);
  }
  ~Locked() { LeaveCriticalSection(&section_); }
  CRITICAL_SECTION& section_;
};

}  // namespace

MidiInDevice::MidiInDevice(int index)
    : index_(index),
      eventsPath_(index == 0 ? config().eventsPath
                             : pathInDir("midi_in" + std::to_string(index + 1) + "_events.txt")),
      log_(pathInDir(index == 0 ? std::string("midi_in.log")
                                : "midi_in" + std::to_string(index + 1) + ".log")),
      stamps_(pathInDir(index == 0 ? std::string("midi_in_stamps.log")
                                   : "midi_in" + std::to_string(index + 1) + "_stamps.log")) {
  InitializeCriticalSection(&lock_);
  InitializeCriticalSection(&delivery_);
}

MidiInDevice::~MidiInDevice() {
  DeleteCriticalSection(&delivery_);
  DeleteCriticalSection(&lock_);
}

void MidiInDevice::capabilities(MIDIINCAPSW& caps) const {
  std::memset(&caps, 0, sizeof caps);
  caps.wMid = 0xFFFF;  // MM_UNMAPPED
  caps.wPid = 0xFFFF;
  caps.vDriverVersion = 0x0100;
  wcscpy(caps.szPname, L"Virtual MIDI In");
  if (index_ > 0) wsprintfW(caps.szPname + wcslen(caps.szPname), L" %d", index_ + 1);
}

MMRESULT MidiInDevice::open(const ClientCallback& client, DWORD flags) {
  {
    Locked guard(lock_);
    if (open_) return MMSYSERR_ALLOCATED;
    if (!present_) return MMSYSERR_NODRIVER;
  }
  bool found = false;
  std::string text = readFile(eventsPath_, found);
  std::vector<MidiEvent> events;
  std::string error;
  char note[64];
  wsprintfA(note, "open flags=0x%lX", static_cast<unsigned long>(flags));
  log_.line(note);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  stamps_.line("frequency=" + std::to_string(frequency.QuadPart));
  if (!found) {
    log_.line("events none: no file " + eventsPath_);
  } else if (!parseEventList(text, events, error)) {
    log_.line("events none: " + error);
  } else {
    log_.line("events " + std::to_string(events.size()));
  }
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!wake) return MMSYSERR_NOMEM;
  {
    Locked guard(lock_);
    client_ = client;
    events_ = std::move(events);
    next_ = 0;
    playedMs_ = 0;
    running_ = false;
    quit_ = false;
    triggered_ = config().triggerPath.empty();
    queue_.clear();
    wake_ = wake;
    open_ = true;
  }
  thread_ = CreateThread(nullptr, 0, &MidiInDevice::playerMain, this, 0, &threadId_);
  if (!thread_) {
    Locked guard(lock_);
    open_ = false;
    CloseHandle(wake_);
    wake_ = nullptr;
    return MMSYSERR_NOMEM;
  }
  notifyClient(client_, handle(), MIM_OPEN, 0, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::close() {
  bool orphaned;
  {
    Locked guard(lock_);
    orphaned = orphaned_;
    if (!orphaned && !queue_.empty()) {
      log_.line("close refused: buffers still queued");
      return MIDIERR_STILLPLAYING;
    }
    running_ = false;
    quit_ = true;
    SetEvent(wake_);
  }
  if (GetCurrentThreadId() != threadId_) WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = nullptr;
  // A device that went away said its MIM_CLOSE then.
  if (!orphaned) notifyClient(client_, handle(), MIM_CLOSE, 0, 0);
  {
    Locked guard(lock_);
    CloseHandle(wake_);
    wake_ = nullptr;
    open_ = false;
    orphaned_ = false;
  }
  log_.line(orphaned ? "close (device gone)" : "close");
  return orphaned ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
}

bool MidiInDevice::unplug() {
  bool wasOpen;
  {
    Locked guard(lock_);
    if (!present_) return false;
    present_ = false;
    wasOpen = open_ && !orphaned_;
  }
  log_.line("unplug");
  if (!wasOpen) return true;
  halt();
  std::deque<MIDIHDR*> returned;
  {
    Locked guard(lock_);
    orphaned_ = true;
    returned.swap(queue_);
  }
  for (MIDIHDR* header : returned) {
    header->dwBytesRecorded = 0;
    header->dwFlags &= ~MHDR_INQUEUE;
    header->dwFlags |= MHDR_DONE;
    notifyClient(client_, handle(), MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), 0);
  }
  notifyClient(client_, handle(), MIM_CLOSE, 0, 0);
  return true;
}

bool MidiInDevice::replug() {
  {
    Locked guard(lock_);
    if (present_) return false;
    present_ = true;
  }
  log_.line("replug");
  return true;
}

bool MidiInDevice::gone() {
  Locked guard(lock_);
  return orphaned_;
}

MMRESULT MidiInDevice::prepare(MIDIHDR* header, UINT size) {
  if (gone()) return MMSYSERR_NODRIVER;
  if (!header || size < kMinHeaderSize || !header->lpData) return MMSYSERR_INVALPARAM;
  if (header->dwFlags & MHDR_PREPARED) return MMSYSERR_NOERROR;
  header->dwFlags |= MHDR_PREPARED;
  header->dwFlags &= ~(MHDR_DONE | MHDR_INQUEUE);
  log_.line("prepare len=" + std::to_string(header->dwBufferLength));
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::unprepare(MIDIHDR* header, UINT size) {
  if (gone()) return MMSYSERR_NODRIVER;
  if (!header || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  if (!(header->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  log_.line("unprepare");
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::addBuffer(MIDIHDR* header, UINT size) {
  if (gone()) return MMSYSERR_NODRIVER;
  if (!header || size < kMinHeaderSize || !header->lpData || header->dwBufferLength == 0)
    return MMSYSERR_INVALPARAM;
  if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  Locked guard(lock_);
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_DONE;
  header->dwFlags |= MHDR_INQUEUE;
  header->dwBytesRecorded = 0;
  queue_.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::start() {
  if (gone()) return MMSYSERR_NODRIVER;
  Locked guard(lock_);
  if (!running_) {
    running_ = true;
    startMs_ = millisSinceLoad();
    log_.line("start buffers=" + std::to_string(queue_.size()));
    SetEvent(wake_);
  }
  return MMSYSERR_NOERROR;
}

void MidiInDevice::halt() {
  {
    Locked guard(lock_);
    if (running_) playedMs_ += static_cast<DWORD>(millisSinceLoad() - startMs_);
    running_ = false;
    SetEvent(wake_);
  }
  // A callback in progress finishes before the caller goes on.
  EnterCriticalSection(&delivery_);
  LeaveCriticalSection(&delivery_);
}

MMRESULT MidiInDevice::stop() {
  if (gone()) return MMSYSERR_NODRIVER;
  halt();
  log_.line("stop");
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::reset() {
  if (gone()) return MMSYSERR_NODRIVER;
  halt();
  std::deque<MIDIHDR*> returned;
  {
    Locked guard(lock_);
    returned.swap(queue_);
  }
  log_.line("reset returned=" + std::to_string(returned.size()));
  for (MIDIHDR* header : returned) {
    header->dwBytesRecorded = 0;
    header->dwFlags &= ~MHDR_INQUEUE;
    header->dwFlags |= MHDR_DONE;
    notifyClient(client_, handle(), MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), 0);
  }
  return MMSYSERR_NOERROR;
}

DWORD WINAPI MidiInDevice::playerMain(void* self) {
  static_cast<MidiInDevice*>(self)->play();
  return 0;
}

DWORD MidiInDevice::elapsedMs() {
  return playedMs_ + static_cast<DWORD>(millisSinceLoad() - startMs_);
}

bool MidiInDevice::waitForTrigger() {
  if (GetFileAttributesA(config().triggerPath.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  triggered_ = true;
  startMs_ = millisSinceLoad();
  playedMs_ = 0;
  log_.line("triggered");
  return true;
}

void MidiInDevice::play() {
  for (;;) {
    DWORD waitMs = INFINITE;
    const MidiEvent* due = nullptr;
    DWORD timestamp = 0;
    {
      Locked guard(lock_);
      if (quit_) return;
      if (running_ && !triggered_ && !waitForTrigger()) {
        waitMs = 10;
      } else if (running_ && next_ < events_.size()) {
        DWORD now = elapsedMs();
        if (events_[next_].atMs <= now) {
          due = &events_[next_++];
          timestamp = now;
        } else {
          waitMs = events_[next_].atMs - now;
        }
      }
    }
    if (!due) {
      WaitForSingleObject(wake_, waitMs);
      continue;
    }
    EnterCriticalSection(&delivery_);
    bool stillRunning;
    {
      Locked guard(lock_);
      stillRunning = running_;
      if (!stillRunning) --next_;  // stopped meanwhile: play it after the next start
    }
    if (stillRunning) deliver(*due, timestamp);
    LeaveCriticalSection(&delivery_);
    bool finished;
    {
      Locked guard(lock_);
      finished = stillRunning && next_ == events_.size();
    }
    if (finished) log_.line("done");
  }
}

void MidiInDevice::deliver(const MidiEvent& event, DWORD timestamp) {
  if (event.kind == MidiEvent::Kind::Sysex) {
    deliverSysex(event, timestamp);
    return;
  }
  DWORD word = 0;
  for (size_t i = 0; i < event.bytes.size(); ++i) word |= DWORD(event.bytes[i]) << (8 * i);
  bool backlog = event.kind == MidiEvent::Kind::MoreData;
  const std::string bytes = hexBytes(event.bytes.data(), event.bytes.size());
  log_.line(std::string(backlog ? "moredata " : "data ") + bytes);
  const UINT message = backlog && (client_.flags & MIDI_IO_STATUS) ? MIM_MOREDATA : MIM_DATA;
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  notifyClient(client_, handle(), message, word, timestamp);
  stamps_.line("qpc=" + std::to_string(counter.QuadPart) + " data " + bytes);
}

MIDIHDR* MidiInDevice::takeBuffer() {
  for (DWORD waited = 0;; waited += 5) {
    {
      Locked guard(lock_);
      if (!running_) return nullptr;
      if (!queue_.empty()) {
        MIDIHDR* header = queue_.front();
        queue_.pop_front();
        return header;
      }
    }
    if (waited >= kBufferWaitMs) return nullptr;
    Sleep(5);
  }
}

void MidiInDevice::deliverSysex(const MidiEvent& event, DWORD timestamp) {
  size_t sent = 0;
  int buffers = 0;
  while (sent < event.bytes.size()) {
    MIDIHDR* header = takeBuffer();
    if (!header) {
      log_.line("sysex dropped len=" + std::to_string(event.bytes.size() - sent) + " (no buffer)");
      return;
    }
    size_t room = header->dwBufferLength;
    if (event.chunk != 0 && event.chunk < room) room = event.chunk;
    size_t n = event.bytes.size() - sent;
    if (n > room) n = room;
    std::memcpy(header->lpData, event.bytes.data() + sent, n);
    header->dwBytesRecorded = static_cast<DWORD>(n);
    header->dwFlags &= ~MHDR_INQUEUE;
    header->dwFlags |= MHDR_DONE;
    sent += n;
    ++buffers;
    notifyClient(client_, handle(), MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), timestamp);
  }
  size_t shown = event.bytes.size() < 8 ? event.bytes.size() : 8;
  log_.line("longdata len=" + std::to_string(event.bytes.size()) + " buffers=" +
            std::to_string(buffers) + " first=" + hexBytes(event.bytes.data(), shown));
}

}  // namespace fake_winmm
