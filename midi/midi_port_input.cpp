// The winmm input callback and the load figures of every input pass. Runs on the
// driver's thread: no allocation, no lock, no wait.
#include "midi/midi_port.h"

#include <array>

namespace {

// On every channel: all sound off, which releases every voice whatever the pedal,
// then reset all controllers, which lifts the pedal. The voices fade as after a
// note-off instead of being cut, which would click.
constexpr std::array<uint8_t, 16 * 6> releaseEverything() {
  std::array<uint8_t, 16 * 6> bytes{};
  for (size_t channel = 0; channel < 16; ++channel) {
    const auto status = static_cast<uint8_t>(0xB0 | channel);
    const uint8_t messages[6] = {status, 120, 0, status, 121, 0};
    for (size_t i = 0; i < 6; ++i) bytes[channel * 6 + i] = messages[i];
  }
  return bytes;
}

constexpr std::array<uint8_t, 16 * 6> kReleaseEverything = releaseEverything();

}  // namespace

void CALLBACK MidiPort::inputCallback(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                      DWORD_PTR) {
  auto* link = reinterpret_cast<MidiInputLink*>(instance);
  if (link == nullptr) return;
  link->callsInside.fetch_add(1);
  if (MidiPort* port = link->port.load()) port->handleInput(message, param1);
  link->callsInside.fetch_sub(1);
}

void MidiPort::handleInput(UINT message, DWORD_PTR param1) {
  const int64_t startTicks = BlockTiming::now();
  switch (message) {
    case MIM_DATA:
    case MIM_MOREDATA: {
      // MIM_MOREDATA carries a received message just as MIM_DATA does; it only tells
      // that we are falling behind. Dropping it, or cutting the sounding notes,
      // would lose the very note-ons and note-offs of a dense passage.
      // Every message goes on as three bytes; a shorter one carries whatever the
      // driver left in the unused bytes, which the parser does not look at.
      const uint8_t bytes[3] = {static_cast<uint8_t>(param1 & 0xFF),
                                static_cast<uint8_t>((param1 >> 8) & 0xFF),
                                static_cast<uint8_t>((param1 >> 16) & 0xFF)};
      if (rack_.bound()) rack_(bytes, 3);
      break;
    }
    case MIM_LONGDATA:
      handleSysexBuffer(reinterpret_cast<LPMIDIHDR>(param1), false);
      break;
    case MIM_LONGERROR:
      handleSysexBuffer(reinterpret_cast<LPMIDIHDR>(param1), true);
      break;
    case MIM_CLOSE:
      handleInputClosed();
      break;
    default:
      break;
  }
  noteInputPass(startTicks);
}

void MidiPort::handleSysexBuffer(LPMIDIHDR header, bool error) {
  if (sysexBuffers_[0].load(std::memory_order_acquire) == nullptr &&
      sysexBuffers_[1].load(std::memory_order_acquire) == nullptr) {
    return;
  }
  if (header == nullptr) return;
  if (error) {
    ring_.feed(nullptr, 0, SysexAbort);
  } else {
    if (header->lpData == nullptr) return;
    const DWORD recorded = header->dwBytesRecorded;
    if (recorded > 0) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(header->lpData);
      const SysexChunkKind kind = classifySysexChunk(bytes, recorded, header->dwBufferLength);
      ring_.feed(bytes, kind == SysexAbort ? 0 : static_cast<int32_t>(recorded), kind);
    }
  }
  const DWORD_PTR index = header->dwUser;
  if (index >= kSysexBufferCount) return;
  const HMIDIIN handle = midiIn_.get();
  if (!resetting_.get() && handle != nullptr &&
      midiInAddBuffer(handle, header, sizeof(MIDIHDR)) == MMSYSERR_NOERROR) {
    return;
  }
  // The buffer is ours again; nothing here touches it after this.
  sysexQueued_[index].store(false, std::memory_order_release);
}

void MidiPort::handleInputClosed() {
  if (closingInput_.get()) return;
  // The device went away under us. Its notes are released here, on the thread that
  // feeds the rack, so nothing else feeds it meanwhile; the window closes the rest.
  releaseInputNotes();
  inputLost_.set(true);
}

void MidiPort::releaseInputNotes() {
  if (rack_.bound())
    rack_(kReleaseEverything.data(), static_cast<int32_t>(kReleaseEverything.size()));
}

void MidiPort::noteInputPass(int64_t startTicks) {
  inputTiming_.record(BlockTiming::now() - startTicks);
}

double MidiPort::inputMs(double ticks) {
  const int64_t frequency = performanceFrequency();
  if (frequency == 0) return kNoInputTiming;
  return 1000.0 * ticks / static_cast<double>(frequency);
}

double MidiPort::peakInputMs() const {
  return inputMs(inputTiming_.peakTicks());
}

double MidiPort::meanInputMs() const {
  return inputMs(inputTiming_.averageTicks());
}
