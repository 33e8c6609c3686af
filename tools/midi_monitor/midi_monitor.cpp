// midi_monitor: lists the winmm MIDI devices, listens on input 0 for a while and prints
// every message the driver's callback delivers, then sends a note and a system-exclusive
// message to one output.
//
//   midi_monitor [--listen-ms N] [--buffer-size N] [--out DEVICE] [--long N] [--timer-ms N]
//
// Output lines: "in dev=0 name=..." / "out dev=1 name=... technology=1",
// "data 90 45 64 thread=callback", "longdata len=4096 first=F0 last=.. thread=callback",
// "moredata ...", "reset returned=2", "sent short=ok long=ok", "timer ticks=N", "closed".
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

DWORD mainThread = 0;
CRITICAL_SECTION printLock;
volatile LONG returnedBuffers = 0;
volatile LONG resetting = 0;

const char* threadName() {
  return GetCurrentThreadId() == mainThread ? "caller" : "callback";
}

void CALLBACK inputCallback(HMIDIIN handle, UINT message, DWORD_PTR, DWORD_PTR param1,
                            DWORD_PTR param2) {
  EnterCriticalSection(&printLock);
  switch (message) {
    case MIM_OPEN:
      std::printf("callback open thread=%s\n", threadName());
      break;
    case MIM_CLOSE:
      std::printf("callback close thread=%s\n", threadName());
      break;
    case MIM_DATA:
    case MIM_MOREDATA:
      std::printf("%s %02X %02X %02X ts=%lu thread=%s\n", message == MIM_DATA ? "data" : "moredata",
                  unsigned(param1 & 0xFF), unsigned((param1 >> 8) & 0xFF),
                  unsigned((param1 >> 16) & 0xFF), static_cast<unsigned long>(param2),
                  threadName());
      break;
    case MIM_LONGDATA: {
      auto* header = reinterpret_cast<MIDIHDR*>(param1);
      DWORD n = header->dwBytesRecorded;
      if (resetting || n == 0) {
        InterlockedIncrement(&returnedBuffers);
        std::printf("returned len=%lu thread=%s\n", static_cast<unsigned long>(n), threadName());
        break;
      }
      auto* bytes = reinterpret_cast<unsigned char*>(header->lpData);
      std::printf("longdata len=%lu first=%02X last=%02X done=%d thread=%s\n",
                  static_cast<unsigned long>(n), bytes[0], bytes[n - 1],
                  (header->dwFlags & MHDR_DONE) ? 1 : 0, threadName());
      midiInAddBuffer(handle, header, sizeof(MIDIHDR));
      break;
    }
    default:
      std::printf("message 0x%X\n", message);
  }
  std::fflush(stdout);
  LeaveCriticalSection(&printLock);
}

void listDevices() {
  UINT ins = midiInGetNumDevs();
  for (UINT i = 0; i < ins; ++i) {
    MIDIINCAPSA caps;
    if (midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
      std::printf("in dev=%u name=\"%s\"\n", i, caps.szPname);
  }
  UINT outs = midiOutGetNumDevs();
  for (UINT i = 0; i < outs; ++i) {
    MIDIOUTCAPSA caps;
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
      std::printf("out dev=%u name=\"%s\" technology=%u\n", i, caps.szPname, caps.wTechnology);
  }
  std::printf("devices in=%u out=%u\n", ins, outs);
}

int listen(int listenMs, DWORD bufferSize) {
  HMIDIIN in = nullptr;
  MMRESULT r = midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(&inputCallback), 0,
                          CALLBACK_FUNCTION | MIDI_IO_STATUS);
  if (r != MMSYSERR_NOERROR) {
    std::printf("input open failed=%u\n", r);
    return 1;
  }
  std::vector<char> data(2 * bufferSize);
  MIDIHDR headers[2];
  for (int i = 0; i < 2; ++i) {
    std::memset(&headers[i], 0, sizeof headers[i]);
    headers[i].lpData = data.data() + i * bufferSize;
    headers[i].dwBufferLength = bufferSize;
    midiInPrepareHeader(in, &headers[i], sizeof(MIDIHDR));
    midiInAddBuffer(in, &headers[i], sizeof(MIDIHDR));
  }
  r = midiInStart(in);
  std::printf("input started=%u\n", r);
  std::fflush(stdout);
  Sleep(listenMs);
  InterlockedExchange(&resetting, 1);
  r = midiInReset(in);
  EnterCriticalSection(&printLock);
  std::printf("reset result=%u returned=%ld\n", r, static_cast<long>(returnedBuffers));
  LeaveCriticalSection(&printLock);
  for (auto& header : headers) midiInUnprepareHeader(in, &header, sizeof(MIDIHDR));
  r = midiInClose(in);
  std::printf("input closed=%u\n", r);
  return 0;
}

int send(UINT device, DWORD longLength) {
  HMIDIOUT out = nullptr;
  MMRESULT r = midiOutOpen(&out, device, 0, 0, CALLBACK_NULL);
  if (r != MMSYSERR_NOERROR) {
    std::printf("output open failed=%u\n", r);
    return 1;
  }
  bool shortOk = midiOutShortMsg(out, 0x00643C90) == MMSYSERR_NOERROR;
  std::vector<char> sysex(longLength < 2 ? 2 : longLength, 0x11);
  sysex.front() = static_cast<char>(0xF0);
  sysex.back() = static_cast<char>(0xF7);
  MIDIHDR header;
  std::memset(&header, 0, sizeof header);
  header.lpData = sysex.data();
  header.dwBufferLength = static_cast<DWORD>(sysex.size());
  bool longOk = midiOutPrepareHeader(out, &header, sizeof header) == MMSYSERR_NOERROR &&
                midiOutLongMsg(out, &header, sizeof header) == MMSYSERR_NOERROR;
  while (midiOutUnprepareHeader(out, &header, sizeof header) == MIDIERR_STILLPLAYING) Sleep(1);
  UINT id = 99;
  midiOutGetID(out, &id);
  std::printf("sent dev=%u short=%s long=%s\n", id, shortOk ? "ok" : "failed",
              longOk ? "ok" : "failed");
  midiOutReset(out);
  r = midiOutClose(out);
  std::printf("output closed=%u\n", r);
  return 0;
}

volatile LONG timerTicks = 0;

void CALLBACK timerTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  InterlockedIncrement(&timerTicks);
}

// Runs a 10 ms periodic multimedia timer for the given time and reports its ticks.
int runTimer(int ms) {
  TIMECAPS caps;
  if (timeGetDevCaps(&caps, sizeof caps) != MMSYSERR_NOERROR) {
    std::printf("timer caps failed\n");
    return 1;
  }
  MMRESULT id = timeSetEvent(10, caps.wPeriodMin, &timerTick, 0, TIME_PERIODIC);
  if (id == 0) {
    std::printf("timer failed\n");
    return 1;
  }
  Sleep(ms);
  timeKillEvent(id);
  std::printf("timer ticks=%ld min=%u\n", static_cast<long>(timerTicks), caps.wPeriodMin);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  mainThread = GetCurrentThreadId();
  InitializeCriticalSection(&printLock);
  int listenMs = 1000;
  DWORD bufferSize = 4096;
  int outDevice = -1;
  DWORD longLength = 6;
  int timerMs = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    long value = std::atol(argv[i + 1]);
    if (option == "--listen-ms") listenMs = static_cast<int>(value);
    if (option == "--buffer-size") bufferSize = static_cast<DWORD>(value);
    if (option == "--out") outDevice = static_cast<int>(value);
    if (option == "--long") longLength = static_cast<DWORD>(value);
    if (option == "--timer-ms") timerMs = static_cast<int>(value);
  }
  listDevices();
  std::fflush(stdout);
  int result = 0;
  if (midiInGetNumDevs() > 0 && listenMs > 0) result |= listen(listenMs, bufferSize);
  if (outDevice >= 0) result |= send(static_cast<UINT>(outDevice), longLength);
  if (timerMs > 0) result |= runTimer(timerMs);
  std::printf("closed\n");
  return result;
}
