#include "midi_out_device.h"

#include <cstddef>
#include <cstring>

namespace fake_winmm {
namespace {

constexpr UINT kMinHeaderSize = offsetof(MIDIHDR, dwOffset);

// Bytes that a short message with this status carries.
size_t shortLength(uint8_t status) {
  if (status < 0x80) return 3;  // running status: two data bytes
  if (status < 0xC0 || (status >= 0xE0 && status < 0xF0)) return 3;
  if (status < 0xE0) return 2;
  if (status == 0xF1 || status == 0xF3) return 2;
  if (status == 0xF2) return 3;
  return 1;
}

}  // namespace

MidiOutDevice::MidiOutDevice(OutputKind kind, const std::string& logName)
    : kind_(kind), log_(pathInDir(logName)) {
  InitializeCriticalSection(&lock_);
}

MidiOutDevice::~MidiOutDevice() {
  DeleteCriticalSection(&lock_);
}

void MidiOutDevice::capabilities(MIDIOUTCAPSW& caps) const {
  std::memset(&caps, 0, sizeof caps);
  caps.wMid = 0xFFFF;  // MM_UNMAPPED
  caps.wPid = 0xFFFF;
  caps.vDriverVersion = 0x0100;
  caps.wChannelMask = 0xFFFF;
  switch (kind_) {
    case OutputKind::Port:
      wcscpy(caps.szPname, L"Virtual MIDI Out");
      caps.wTechnology = MOD_MIDIPORT;
      break;
    case OutputKind::Synth:
      wcscpy(caps.szPname, L"Virtual Synth Out");
      caps.wTechnology = MOD_SWSYNTH;
      caps.wVoices = 32;
      caps.wNotes = 32;
      caps.dwSupport = MIDICAPS_VOLUME;
      break;
    case OutputKind::Mapper:
      wcscpy(caps.szPname, L"Microsoft MIDI Mapper");
      caps.wTechnology = MOD_MAPPER;
      break;
  }
}

MMRESULT MidiOutDevice::open(UINT device, const ClientCallback& client, DWORD flags) {
  {
    EnterCriticalSection(&lock_);
    bool busy = open_;
    const bool absent = !present_;
    if (!busy && !absent) {
      open_ = true;
      client_ = client;
    }
    LeaveCriticalSection(&lock_);
    if (busy) return MMSYSERR_ALLOCATED;
    if (absent) return MMSYSERR_NODRIVER;
  }
  char note[80];
  wsprintfA(note, "open dev=%u flags=0x%lX", device, static_cast<unsigned long>(flags));
  log_.line(note);
  notifyClient(client_, handle(), MOM_OPEN, 0, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutDevice::close() {
  const bool orphaned = gone();
  log_.line(orphaned ? "close (device gone)" : "close");
  if (!orphaned) notifyClient(client_, handle(), MOM_CLOSE, 0, 0);
  EnterCriticalSection(&lock_);
  open_ = false;
  orphaned_ = false;
  LeaveCriticalSection(&lock_);
  return orphaned ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
}

bool MidiOutDevice::gone() {
  EnterCriticalSection(&lock_);
  const bool orphaned = orphaned_;
  LeaveCriticalSection(&lock_);
  return orphaned;
}

bool MidiOutDevice::unplug() {
  EnterCriticalSection(&lock_);
  const bool was = present_;
  present_ = false;
  if (open_) orphaned_ = true;
  LeaveCriticalSection(&lock_);
  if (was) log_.line("unplug");
  return was;
}

bool MidiOutDevice::replug() {
  EnterCriticalSection(&lock_);
  const bool was = present_;
  present_ = true;
  LeaveCriticalSection(&lock_);
  if (!was) log_.line("replug");
  return !was;
}

MMRESULT MidiOutDevice::shortMessage(DWORD word) {
  if (gone()) return MMSYSERR_NODRIVER;
  uint8_t bytes[3] = {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16)};
  size_t n = shortLength(bytes[0]);
  if (bytes[0] < 0x80) n = 2;  // running status carries its two data bytes
  log_.line("short " + hexBytes(bytes, n));
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutDevice::prepare(MIDIHDR* header, UINT size) {
  if (gone()) return MMSYSERR_NODRIVER;
  if (!header || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  header->dwFlags |= MHDR_PREPARED;
  header->dwFlags &= ~(MHDR_DONE | MHDR_INQUEUE);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutDevice::unprepare(MIDIHDR* header, UINT size) {
  if (gone()) return MMSYSERR_NODRIVER;
  if (!header || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutDevice::longMessage(MIDIHDR* header, UINT size) {
  if (gone()) return MMSYSERR_NODRIVER;
  if (!header || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  if (!header->lpData && header->dwBufferLength) return MMSYSERR_INVALPARAM;
  header->dwFlags &= ~MHDR_DONE;
  log_.line("long len=" + std::to_string(header->dwBufferLength) + " " +
            hexBytes(reinterpret_cast<const uint8_t*>(header->lpData), header->dwBufferLength));
  header->dwFlags |= MHDR_DONE;
  notifyClient(client_, handle(), MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutDevice::reset() {
  if (gone()) return MMSYSERR_NODRIVER;
  log_.line("reset");
  return MMSYSERR_NOERROR;
}

}  // namespace fake_winmm
