// Sending on the winmm output. No output callback is registered, so sendLong
// learns that the driver is done with a chunk by polling the unprepare.
#include "midi/midi_port.h"

#include <cstring>

bool MidiPort::sendShort(uint8_t status, uint8_t data1, uint8_t data2) {
  const HMIDIOUT handle = midiOut_.get();
  if (handle == nullptr) return false;
  DWORD word;
  if (status > 0x7F) {
    word = static_cast<DWORD>(status) | static_cast<DWORD>(data1) << 8 |
           static_cast<DWORD>(data2) << 16;
  } else {
    // Running status: the device repeats the last status itself.
    word = static_cast<DWORD>(data1) | static_cast<DWORD>(data2) << 8;
  }
  return midiOutShortMsg(handle, word) == MMSYSERR_NOERROR;
}

bool MidiPort::sendLong(const uint8_t* data, int32_t length, int32_t pauseMs) {
  const int32_t chunk = pauseMs > 0 ? kPacedChunkBytes : kLongChunkBytes;
  const HMIDIOUT handle = midiOut_.get();
  if (handle == nullptr || data == nullptr || length < 1) return false;
  const int32_t full = length / chunk;
  const int32_t rest = length - full * chunk;
  // A length that is a whole number of chunks has no final partial chunk: an empty
  // buffer is nothing to send, and drivers refuse it.
  const int32_t passes = full + (rest > 0 ? 1 : 0);
  MIDIHDR header;
  std::memset(&header, 0, sizeof(header));
  for (int32_t i = 0; i < passes; ++i) {
    header.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(data + i * chunk));
    header.dwBufferLength = static_cast<DWORD>(i < full ? chunk : rest);
    if (midiOutPrepareHeader(handle, &header, sizeof(header)) != MMSYSERR_NOERROR) return false;
    if (midiOutLongMsg(handle, &header, sizeof(header)) != MMSYSERR_NOERROR) {
      midiOutUnprepareHeader(handle, &header, sizeof(header));  // the driver never took it
      return false;
    }
    while (midiOutUnprepareHeader(handle, &header, sizeof(header)) == MIDIERR_STILLPLAYING) {
      Sleep(kRetryPauseMs);
    }
    if (pauseMs > 0) Sleep(static_cast<DWORD>(pauseMs));
  }
  return true;
}
