// Steady MIDI timing: messages stamped on arrival, queued, and placed in the
// block after next at the distance into the block at which they arrived.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "synth/synth_rack.h"

int64_t SynthRack::counterNow() {
  LARGE_INTEGER count;
  return QueryPerformanceCounter(&count) ? count.QuadPart : 0;
}

void SynthRack::setMidiTiming(MidiTiming timing) {
  // Nothing else runs now: what the audio thread has not taken yet is dispatched
  // here, in order, so that no note is lost and no reset (input closed) skipped.
  const auto dispatch = [this](const StampedMidiQueue::Message& message) {
    dispatchBytes(message.bytes, message.count);
  };
  if (resetRequests_.load(std::memory_order_acquire) != resetsTaken_) {
    queue_.takeUpTo(resetStamp_.get(), dispatch);
    resetActiveSlots();
  }
  queue_.takeUpTo(INT64_MAX, dispatch);
  LARGE_INTEGER frequency;
  ticksPerSecond_ = QueryPerformanceFrequency(&frequency) ? frequency.QuadPart : 0;
  queue_.clear();
  resetRequests_.store(0, std::memory_order_relaxed);
  resetsTaken_ = 0;
  hadBlock_ = false;
  steady_.set(timing == MidiTiming::kSteady);
}

template <class Dispatch>
void SynthRack::takeReset(int64_t until, Dispatch&& dispatch) {
  const uint32_t resets = resetRequests_.load(std::memory_order_acquire);
  if (resets == resetsTaken_) return;
  const int64_t resetStamp = resetStamp_.get();
  if (resetStamp > until) return;
  resetsTaken_ = resets;
  queue_.takeUpTo(resetStamp, dispatch);
  resetActiveSlots();
}

void SynthRack::dispatchStaleMidi() {
  // The counter's rate is asked here, not taken from setMidiTiming: the window's
  // notes need this in either timing, and the audio thread reads ticksPerSecond_.
  LARGE_INTEGER frequency;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return;
  const int64_t until = counterNow() - frequency.QuadPart * kStaleMidiMs / 1000;
  if (!claimQueue()) return;
  takeWindowNotes(until);
  takeDeferredMidi(until);
  releaseQueue();
}

void SynthRack::takeWindowNotes(int64_t until) {
  windowNotes_.takeUpTo(
      until, [this](const WindowNoteQueue::Message& message) { dispatchBytes(message.bytes, 3); });
}

void SynthRack::takeDeferredMidi(int64_t until) {
  const auto dispatch = [this](const StampedMidiQueue::Message& message) {
    dispatchBytes(message.bytes, message.count);
  };
  takeReset(until, dispatch);
  queue_.takeUpTo(until, dispatch);
}

bool SynthRack::playWindowNote(int32_t slot, int32_t note, int32_t velocity) {
  if (note < 0 || note > 127) return false;
  const auto key = static_cast<uint8_t>(note);
  if (velocity <= 0) {
    windowNotes_.noteOff(counterNow(), key);
    return true;
  }
  const int32_t channel = channelOf(slot);
  if (channel == kNoChannel) return false;
  return windowNotes_.noteOn(counterNow(), static_cast<uint8_t>(channel), key,
                             static_cast<uint8_t>(std::min(velocity, 127)));
}

void SynthRack::queueMessages(const uint8_t* bytes, int32_t count) {
  // One queue entry per status byte with the data bytes after it (a message has
  // at most two): dispatching the entries one by one does what dispatching the
  // whole buffer does, as data bytes beyond a message are skipped either way.
  const int64_t stamp = counterNow();
  int32_t p = 0;
  while (p < count && bytes[p] < 0x80) ++p;
  while (p < count) {
    int32_t length = 1;
    while (p + length < count && bytes[p + length] < 0x80) ++length;
    queue_.push(stamp, bytes + p, std::min(length, 3));
    p += length;
  }
}

int64_t SynthRack::steadyWindowStart(int64_t blockStartTicks, int32_t frames,
                                     float sampleRate) const {
  const auto blockTicks = static_cast<int64_t>(static_cast<double>(frames) *
                                               static_cast<double>(ticksPerSecond_) / sampleRate);
  // The first block, or one after a pause or a stall: as if the block before
  // had begun one block earlier, so that older messages go to its first frame.
  if (!hadBlock_ || previousBlockStart_ < blockStartTicks - 2 * blockTicks ||
      previousBlockStart_ > blockStartTicks) {
    return blockStartTicks - blockTicks;
  }
  return previousBlockStart_;
}

void SynthRack::render(float* out, const float* in, int32_t outChannels, int32_t inChannels,
                       int32_t frames, float sampleRate, int64_t blockStartTicks) {
  if (!steady_.get() || out == nullptr || outChannels <= 0 || frames <= 0 ||
      !(sampleRate >= 1.0f) || ticksPerSecond_ <= 0) {
    render(out, in, outChannels, inChannels, frames, sampleRate);
    return;
  }
  const int64_t samples = static_cast<int64_t>(outChannels) * frames;
  std::fill(out, out + samples, 0.0f);
  const int64_t windowStart = steadyWindowStart(blockStartTicks, frames, sampleRate);
  const double framesPerTick =
      static_cast<double>(sampleRate) / static_cast<double>(ticksPerSecond_);
  int32_t rendered = 0;
  const auto dispatchAt = [&](const StampedMidiQueue::Message& message, int32_t offset) {
    if (offset > rendered) {
      renderSpan(out, in, outChannels, inChannels, rendered, offset, frames, sampleRate);
      rendered = offset;
    }
    dispatchBytes(message.bytes, message.count);
  };
  const auto placed = [&](const StampedMidiQueue::Message& message) {
    if (message.stamp <= windowStart) return 0;
    const double offset =
        std::floor(static_cast<double>(message.stamp - windowStart) * framesPerTick);
    return static_cast<int32_t>(std::min(offset, static_cast<double>(frames - 1)));
  };

  // Taken by the window (stale messages) just now: they keep for the next block.
  if (claimQueue()) {
    // The window's notes first, at the block's first frame.
    takeWindowNotes(INT64_MAX);
    // A reset asked for since the last block follows the messages that came
    // before it, all at the block's first frame.
    takeReset(blockStartTicks,
              [&](const StampedMidiQueue::Message& message) { dispatchAt(message, 0); });
    queue_.takeUpTo(blockStartTicks, [&](const StampedMidiQueue::Message& message) {
      dispatchAt(message, placed(message));
    });
    releaseQueue();
  }
  renderSpan(out, in, outChannels, inChannels, rendered, frames, frames, sampleRate);
  clipAndMeasure(out, samples);
  tapBlock(out, outChannels, frames, sampleRate);
  previousBlockStart_ = blockStartTicks;
  hadBlock_ = true;
}
