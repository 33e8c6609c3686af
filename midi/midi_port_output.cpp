// Sending on the winmm output. No output callback is registered, so sendLong
// learns that the driver is done with a chunk by polling the unprepare.
#include "midi/midi_port.h"

#include <cstring>
#include <new>

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

namespace {

// What the driver is handed for one chunk: the header and a copy of the chunk's
// bytes, on the heap, so that a chunk the driver will not give back can be left to
// it without the caller's data or our stack going away under it.
struct SendBlock {
  MIDIHDR header;
  uint8_t bytes[MidiPort::kLongChunkBytes];
};

}  // namespace

bool MidiPort::sendLong(const uint8_t* data, int32_t length, int32_t pauseMs) {
  const int32_t chunk = pauseMs > 0 ? kPacedChunkBytes : kLongChunkBytes;
  const HMIDIOUT handle = midiOut_.get();
  if (handle == nullptr || data == nullptr || length < 1) return false;
  const int32_t full = length / chunk;
  const int32_t rest = length - full * chunk;
  // A length that is a whole number of chunks has no final partial chunk: an empty
  // buffer is nothing to send, and drivers refuse it.
  const int32_t passes = full + (rest > 0 ? 1 : 0);
  auto* block = new (std::nothrow) SendBlock;
  if (block == nullptr) return false;
  MIDIHDR& header = block->header;
  std::memset(&header, 0, sizeof(header));
  bool sent = true;
  for (int32_t i = 0; i < passes; ++i) {
    const int32_t bytes = i < full ? chunk : rest;
    std::memcpy(block->bytes, data + i * chunk, static_cast<size_t>(bytes));
    header.lpData = reinterpret_cast<LPSTR>(block->bytes);
    header.dwBufferLength = static_cast<DWORD>(bytes);
    if (midiOutPrepareHeader(handle, &header, sizeof(header)) != MMSYSERR_NOERROR) {
      sent = false;
      break;
    }
    if (midiOutLongMsg(handle, &header, sizeof(header)) != MMSYSERR_NOERROR) {
      midiOutUnprepareHeader(handle, &header, sizeof(header));  // the driver never took it
      sent = false;
      break;
    }
    // Unpreparing succeeds once the driver is done with the chunk.
    DriverWait wait;
    if (wait.retry([&] { return midiOutUnprepareHeader(handle, &header, sizeof(header)); }) ==
        MIDIERR_STILLPLAYING) {
      // The driver still holds the block and may yet read or write it: it is left
      // to the driver for good (a deliberate leak of one block).
      return false;
    }
    if (pauseMs > 0) Sleep(static_cast<DWORD>(pauseMs));
  }
  delete block;
  return sent;
}
