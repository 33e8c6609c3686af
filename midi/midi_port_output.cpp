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
  if (midiOutShortMsg(handle, word) == MMSYSERR_NOERROR) return true;
  noteOutputError();
  return false;
}

bool MidiPort::sendLong(const uint8_t* data, int32_t length, int32_t pauseMs) {
  const int32_t chunk = pauseMs > 0 ? kPacedChunkBytes : kLongChunkBytes;
  const HMIDIOUT handle = midiOut_.get();
  if (handle == nullptr || data == nullptr || length < 1 || sendBlock_ == nullptr) return false;
  // One send at a time: the block is the output's only one.
  if (sendBlockBusy_.exchange(true, std::memory_order_acquire)) return false;
  MIDIHDR& header = sendBlock_->header;
  // A chunk that an earlier send left with the driver: the block is free again only
  // once the driver has finished with it, and until then nothing can be sent.
  if (sendBlockOut_) {
    if (midiOutUnprepareHeader(handle, &header, sizeof(header)) == MIDIERR_STILLPLAYING) {
      sendBlockBusy_.store(false, std::memory_order_release);
      return false;
    }
    sendBlockOut_ = false;
  }
  const int32_t full = length / chunk;
  const int32_t rest = length - full * chunk;
  // A length that is a whole number of chunks has no final partial chunk: an empty
  // buffer is nothing to send, and drivers refuse it.
  const int32_t passes = full + (rest > 0 ? 1 : 0);
  std::memset(&header, 0, sizeof(header));
  bool sent = true;
  for (int32_t i = 0; i < passes && sent; ++i) {
    const int32_t bytes = i < full ? chunk : rest;
    // The driver reads a copy in the output's own block, so a chunk it keeps does
    // not hold on to the caller's data.
    std::memcpy(sendBlock_->bytes, data + i * chunk, static_cast<size_t>(bytes));
    header.lpData = reinterpret_cast<LPSTR>(sendBlock_->bytes);
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
      sendBlockOut_ = true;
      sent = false;
      break;
    }
    if (pauseMs > 0) Sleep(static_cast<DWORD>(pauseMs));
  }
  sendBlockBusy_.store(false, std::memory_order_release);
  if (!sent) noteOutputError();
  return sent;
}
