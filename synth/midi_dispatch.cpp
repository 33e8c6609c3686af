// Raw MIDI bytes to synth actions: the parser, the per-slot voice table with voice
// reuse and stealing, and the sustain pedal.
#include <cstring>

#include "synth/synth_rack.h"

namespace {

const float kOneOver127 = 1.0f / 127.0f;

// Length in bytes of the system message starting with this status byte.
int32_t systemMessageLength(uint8_t status) {
  switch (status) {
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    default:
      return 1;
  }
}

int32_t channelMessageLength(uint8_t status) {
  const uint8_t type = status & 0xF0;
  return (type == 0xC0 || type == 0xD0) ? 2 : 3;
}

}  // namespace

void SynthRack::processMidi(const uint8_t* bytes, int32_t count) {
  if (count < 0) {
    // The input is stopping or discarding data: no note may be left hanging.
    if (!steady_.get() && claimQueue()) {
      takeDeferredMidi(INT64_MAX);
      resetActiveSlots();
      releaseQueue();
    } else {
      // Another thread dispatches now; it resets after what came before.
      resetStamp_.set(counterNow());
      resetRequests_.fetch_add(1, std::memory_order_release);
    }
    return;
  }
  midiActivity_.store(true, std::memory_order_relaxed);
  if (bytes == nullptr) return;
  // Immediate timing dispatches here, unless a block or the window is dispatching
  // the window's notes this moment: then the message waits for the next block (or
  // the next message), behind what waited before it.
  if (steady_.get() || !claimQueue()) {
    queueMessages(bytes, count);
    return;
  }
  takeDeferredMidi(INT64_MAX);
  dispatchBytes(bytes, count);
  releaseQueue();
}

void SynthRack::resetActiveSlots() {
  for (int32_t slot = 0; slot < kSlotCount; ++slot) {
    if (isActive(slot)) resetSlot(slot);
  }
  publishNoteState();
}

void SynthRack::publishNoteState() {
  uint32_t bits[4] = {};
  const int32_t last = isActive(kNoteStateSlot) ? lastActiveEntry(kNoteStateSlot) : -1;
  for (int32_t i = 0; i <= last; ++i) {
    const uint32_t note = voiceTable_[kNoteStateSlot][i] & kNoteMask;
    bits[note >> 5] |= 1u << (note & 31);
  }
  for (int32_t k = 0; k < 4; ++k) noteState_[k].store(bits[k], std::memory_order_relaxed);
}

void SynthRack::dispatchBytes(const uint8_t* bytes, int32_t count) {
  int32_t p = 0;
  while (p < count) {
    const uint8_t status = bytes[p];
    if (status < 0x80) {
      ++p;  // stray data byte; there is no running status
      continue;
    }
    const int32_t length =
        status >= 0xF0 ? systemMessageLength(status) : channelMessageLength(status);
    // Take the data bytes that are really there: a message cut off by the end of
    // the buffer, or by a status byte where a data byte belongs, is dropped, and
    // parsing goes on at that status byte.
    int32_t present = 1;
    while (present < length && p + present < count && bytes[p + present] < 0x80) ++present;
    const bool complete = present == length;
    const uint8_t data1 = length > 1 && complete ? bytes[p + 1] : 0;
    const uint8_t data2 = length > 2 && complete ? bytes[p + 2] : 0;
    p += present;
    if (!complete) continue;

    if (status == 0xF8) {
      for (int32_t slot = 0; slot < kSlotCount; ++slot) {
        if (isActive(slot)) synth_[slot]->clockTick();
      }
    } else if (status == 0xFF) {
      resetActiveSlots();
    } else if (status < 0xF0) {
      dispatchChannelMessage(status, data1, data2);
    }
  }
  publishNoteState();
}

bool SynthRack::isTarget(int32_t slot, int32_t channel) const {
  return isActive(slot) && channel_[slot] == channel;
}

void SynthRack::dispatchChannelMessage(uint8_t status, uint8_t data1, uint8_t data2) {
  const int32_t channel = status & 0x0F;
  const uint8_t type = status & 0xF0;
  if (type == 0xB0) {
    controlChange(channel, data1, data2);
    return;
  }
  for (int32_t slot = 0; slot < kSlotCount; ++slot) {
    if (!isTarget(slot, channel)) continue;
    switch (type) {
      case 0x80:
        noteOff(slot, data1);
        break;
      case 0x90:
        if (data2 == 0) {
          noteOff(slot, data1);
        } else {
          noteOn(slot, data1, data2);
        }
        break;
      case 0xA0:
        keyPressure(slot, data1, data2 * kOneOver127);
        break;
      case 0xD0:
        synth_[slot]->setController(Synth::kChannelPressureController, data1 * kOneOver127);
        break;
      case 0xE0:
        synth_[slot]->setController(Synth::kPitchBendController,
                                    static_cast<float>(data2 * 128 + data1 - 8192) / 8192.0f);
        break;
      default:  // program change: no programs to change
        break;
    }
  }
}

void SynthRack::controlChange(int32_t channel, uint8_t controller, uint8_t value) {
  for (int32_t slot = 0; slot < kSlotCount; ++slot) {
    if (!isTarget(slot, channel)) continue;
    switch (controller) {
      case 64: {
        const bool down = pedalInverted_[slot] ? value < 64 : value >= 64;
        if (down) {
          sustain_[slot] = true;
        } else {
          releaseSustained(slot);
        }
        break;
      }
      case 120:
        allNotesOff(slot, false);
        break;
      case 121:
        synth_[slot]->resetControllers();
        releaseSustained(slot);
        break;
      case 123:
        allNotesOff(slot, true);
        break;
      case 124:
      case 125:
      case 126:
      case 127:
        break;
      default:
        synth_[slot]->setController(controller, value * kOneOver127);
        break;
    }
  }
  // The pedal's value is stored after every target slot has taken its pedal step.
  if (controller == 64) {
    for (int32_t slot = 0; slot < kSlotCount; ++slot) {
      if (isTarget(slot, channel)) synth_[slot]->setController(64, value * kOneOver127);
    }
  }
}

void SynthRack::noteOn(int32_t slot, int32_t note, int32_t velocity) {
  const int32_t n = polyphony_[slot];
  if (n == 0) return;
  uint32_t* table = voiceTable_[slot];
  // The voice that last played this note, else the last entry: the voice free the
  // longest, or the oldest note when every voice is busy.
  int32_t chosen = n - 1;
  for (int32_t i = 0; i < n - 1; ++i) {
    if ((table[i] & kNoteMask) == static_cast<uint32_t>(note)) {
      chosen = i;
      break;
    }
  }
  const uint32_t entry = table[chosen];
  const int32_t voice = voiceOf(entry);
  if (isEntryActive(entry)) synth_[slot]->releaseVoice(voice);
  synth_[slot]->startVoice(voice, note, velocity);
  std::memmove(table + 1, table, static_cast<size_t>(chosen) * sizeof(uint32_t));
  table[0] = (static_cast<uint32_t>(voice) << kVoiceShift) | kHeld | static_cast<uint32_t>(note);
}

void SynthRack::noteOff(int32_t slot, int32_t note) {
  const int32_t n = polyphony_[slot];
  uint32_t* table = voiceTable_[slot];
  int32_t found = -1;
  for (int32_t i = 0; i < n; ++i) {
    if ((table[i] & kNoteMask) == static_cast<uint32_t>(note)) {
      found = i;
      break;
    }
  }
  if (found < 0 || !isEntryActive(table[found])) return;
  if (sustain_[slot]) {
    table[found] |= kSustained;
    return;
  }
  const uint32_t entry = table[found];
  synth_[slot]->releaseVoice(voiceOf(entry));
  // Move the entry to the first free place, keeping both runs in their order.
  const int32_t last = lastActiveEntry(slot);
  std::memmove(table + found, table + found + 1,
               static_cast<size_t>(last - found) * sizeof(uint32_t));
  table[last] = entry & ~(kHeld | kSustained);
}

void SynthRack::keyPressure(int32_t slot, int32_t note, float value) {
  const int32_t n = polyphony_[slot];
  for (int32_t i = 0; i < n; ++i) {
    const uint32_t entry = voiceTable_[slot][i];
    if ((entry & kNoteMask) == static_cast<uint32_t>(note)) {
      synth_[slot]->setVoicePressure(voiceOf(entry), value);
      return;
    }
  }
}

void SynthRack::allNotesOff(int32_t slot, bool respectPedal) {
  const int32_t last = lastActiveEntry(slot);
  uint32_t* table = voiceTable_[slot];
  if (sustain_[slot] && respectPedal) {
    for (int32_t i = 0; i <= last; ++i) table[i] |= kSustained;
    return;
  }
  for (int32_t i = 0; i <= last; ++i) {
    synth_[slot]->releaseVoice(voiceOf(table[i]));
    table[i] &= ~(kHeld | kSustained);
  }
}

void SynthRack::releaseSustained(int32_t slot) {
  const int32_t last = lastActiveEntry(slot);
  uint32_t* table = voiceTable_[slot];
  uint32_t scratch[kMaxPolyphony];
  int32_t count = 0;
  for (int32_t i = 0; i <= last; ++i) {
    if ((table[i] & kSustained) == 0) scratch[count++] = table[i];
  }
  for (int32_t i = 0; i <= last; ++i) {
    if ((table[i] & kSustained) != 0) {
      synth_[slot]->releaseVoice(voiceOf(table[i]));
      scratch[count++] = table[i] & ~(kHeld | kSustained);
    }
  }
  std::memcpy(table, scratch, static_cast<size_t>(count) * sizeof(uint32_t));
  sustain_[slot] = false;
}
