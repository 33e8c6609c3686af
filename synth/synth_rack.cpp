#include "synth/synth_rack.h"

#include <algorithm>
#include <new>
#include <thread>

int32_t SynthRack::openWith(MidiShortSender midiPort, uint32_t timerPeriodMs) {
  close();
  midiPort_ = midiPort;
  if (timerPeriodMs == 0) return kOk;
  TIMECAPS caps{};
  if (timeGetDevCaps(&caps, sizeof(caps)) != MMSYSERR_NOERROR) return kFailed;
  if (timerPeriodMs < caps.wPeriodMin || timerPeriodMs > caps.wPeriodMax) return kFailed;
  timerId_ = timeSetEvent(timerPeriodMs, 0, &SynthRack::timerTick,
                          reinterpret_cast<DWORD_PTR>(this), TIME_PERIODIC);
  return timerId_ != 0 ? kOk : kFailed;
}

void SynthRack::close() {
  midiPort_ = MidiShortSender{};
  if (timerId_ != 0) {
    timeKillEvent(timerId_);
    timerId_ = 0;
  }
  for (int32_t slot = 0; slot < kSlotCount; ++slot) removeSynth(slot);
}

void CALLBACK SynthRack::timerTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  // A hook for periodic control work; nothing uses it yet.
}

void SynthRack::writeInitialVoiceTable(int32_t slot) {
  for (int32_t i = 0; i < polyphony_[slot]; ++i) {
    voiceTable_[slot][i] = static_cast<uint32_t>(i) << kVoiceShift;
  }
}

int32_t SynthRack::createSynth(int32_t slot, int32_t channel, int32_t polyphony,
                               bool pedalInverted) {
  if (!inRange(slot)) return kFailed;
  if (synth_[slot]) removeSynth(slot);
  polyphony_[slot] = std::clamp(polyphony, 0, kMaxPolyphony);
  channel_[slot] = (channel >= 1 && channel <= 16) ? channel - 1 : kNoChannel;
  sustain_[slot] = false;
  pedalInverted_[slot] = pedalInverted;
  writeInitialVoiceTable(slot);
  synth_[slot].reset(new (std::nothrow) Synth);
  if (!synth_[slot]) return kFailed;
  if (!synth_[slot]->allocateVoices(polyphony_[slot])) {
    removeSynth(slot);
    return kFailed;
  }
  return Synth::kParameterCount;
}

void SynthRack::removeSynth(int32_t slot) {
  if (!inRange(slot)) return;
  active_[slot].store(false, std::memory_order_release);
  synth_[slot].reset();
}

bool SynthRack::activate(int32_t slot) {
  if (!inRange(slot) || !synth_[slot]) return false;
  active_[slot].store(true, std::memory_order_release);
  return true;
}

void SynthRack::deactivate(int32_t slot) {
  if (!isActive(slot)) return;
  active_[slot].store(false, std::memory_order_release);
  resetSlot(slot);
}

void SynthRack::resetSlot(int32_t slot) {
  if (!inRange(slot) || !synth_[slot]) return;
  synth_[slot]->reset();
  sustain_[slot] = false;
  writeInitialVoiceTable(slot);
}

void SynthRack::setParameter(int32_t slot, int32_t index, float value) {
  if (inRange(slot) && synth_[slot]) synth_[slot]->setParameter(index, value);
}

float SynthRack::getParameter(int32_t slot, int32_t index) const {
  if (inRange(slot) && synth_[slot]) return synth_[slot]->getParameter(index);
  return 0.0f;
}

void SynthRack::render(float* out, const float* in, int32_t outChannels, int32_t inChannels,
                       int32_t frames, float sampleRate) {
  if (out == nullptr || outChannels <= 0 || frames <= 0) return;
  const int64_t samples = static_cast<int64_t>(outChannels) * frames;
  std::fill(out, out + samples, 0.0f);
  if (claimQueue()) {
    // The window's notes, and in immediate timing the MIDI messages that found the
    // claim taken, before the block (steady timing places its own with the stamps).
    takeWindowNotes(INT64_MAX);
    if (!steady_.get()) takeDeferredMidi(INT64_MAX);
    releaseQueue();
  }
  if (!(sampleRate >= 1.0f)) return;  // NaN counts as below
  renderSpan(out, in, outChannels, inChannels, 0, frames, frames, sampleRate);
  clipAndMeasure(out, samples);
  tapBlock(out, outChannels, frames, sampleRate);
}

void SynthRack::renderSpan(float* out, const float* in, int32_t outChannels, int32_t inChannels,
                           int32_t first, int32_t end, int32_t frames, float sampleRate) {
  const float secondsPerSample = 1.0f / sampleRate;
  for (int32_t slot = 0; slot < kSlotCount; ++slot) {
    if (active_[slot].load(std::memory_order_acquire)) {
      synth_[slot]->render(out + first, in != nullptr ? in + first : nullptr, outChannels,
                           inChannels, end - first, sampleRate, secondsPerSample, frames);
    }
  }
}

void SynthRack::clipAndMeasure(float* out, int64_t samples) {
  for (int64_t i = 0; i < samples; ++i) {
    if (out[i] > 1.0f) {
      out[i] = 1.0f;
    } else if (out[i] < -1.0f) {
      out[i] = -1.0f;
    } else if (out[i] != out[i]) {
      out[i] = 0.0f;  // NaN: silence, not a full-scale offset that pins the speakers
    }
  }
  outputPeak_.measure(out, samples);
}

void SynthRack::tapBlock(const float* out, int32_t outChannels, int32_t frames, float sampleRate) {
  // Counted in before the tap is read: a window that clears the tap after this read
  // sees the count and waits for the push to end.
  tapUsers_.fetch_add(1, std::memory_order_seq_cst);
  if (RecordRing* ring = recordTap_.load(std::memory_order_seq_cst)) {
    ring->push(out, outChannels, frames, sampleRate);
  }
  tapUsers_.fetch_sub(1, std::memory_order_release);
}

void SynthRack::setRecordTap(RecordRing* ring) {
  recordTap_.store(ring, std::memory_order_seq_cst);
  if (ring != nullptr) return;
  // One block's copy at most: the audio thread never waits inside the push.
  while (tapUsers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

bool SynthRack::takeMidiActivity() {
  return midiActivity_.exchange(false, std::memory_order_relaxed);
}

bool SynthRack::sendMidi(uint8_t status, uint8_t data1, uint8_t data2) {
  if (!midiPort_.bound()) return false;
  return midiPort_(status, data1, data2);
}

int32_t SynthRack::lastActiveEntry(int32_t slot) const {
  int32_t count = 0;
  while (count < polyphony_[slot] && isEntryActive(voiceTable_[slot][count])) ++count;
  return count - 1;
}
