// The recording's ring: the audio thread puts each rendered block in, a writer thread
// takes the samples out. One producer, one consumer, no lock: each side owns its index
// and publishes it with release, the other reads it with acquire. The storage is made
// before the tap is set and freed after it is cleared; a push never allocates or waits.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>

#include "common/relaxed.h"

class RecordRing {
 public:
  RecordRing() = default;
  RecordRing(const RecordRing&) = delete;
  RecordRing& operator=(const RecordRing&) = delete;

  // Window thread, before the tap is set: room for `capacityFrames` frames of
  // `channels` samples at `sampleRate`. False when the memory is not there.
  bool allocate(int32_t channels, int32_t sampleRate, int64_t capacityFrames) {
    if (channels <= 0 || sampleRate <= 0 || capacityFrames <= 0) return false;
    samples_.reset(new (std::nothrow) float[static_cast<size_t>(capacityFrames * channels)]);
    if (!samples_) return false;
    channels_ = channels;
    sampleRate_ = sampleRate;
    capacity_ = capacityFrames;
    written_.store(0, std::memory_order_relaxed);
    read_.store(0, std::memory_order_relaxed);
    lostFrames_.set(0);
    foreignFrames_.set(0);
    foreignChannels_.set(0);
    foreignRate_.set(0);
    highWater_.set(0);
    return true;
  }

  // Audio thread: one whole planar block, or nothing. A block that does not fit is counted as
  // lost (the file keeps block boundaries rather than half a block); one of another
  // channel count or rate than the file's is counted apart, so the window can begin
  // a new file in the new format.
  void push(const float* samples, int32_t channels, int32_t frames, float sampleRate) {
    if (frames <= 0) return;
    if (channels != channels_ || static_cast<int32_t>(sampleRate) != sampleRate_) {
      foreignChannels_.set(channels);
      foreignRate_.set(static_cast<int32_t>(sampleRate));
      foreignFrames_.set(foreignFrames_.get() + frames);
      return;
    }
    const uint64_t written = written_.load(std::memory_order_relaxed);
    const uint64_t read = read_.load(std::memory_order_acquire);
    const auto fill = static_cast<int64_t>(written - read);
    if (fill + frames > capacity_) {
      lostFrames_.set(lostFrames_.get() + frames);
      return;
    }
    if (fill + frames > highWater_.get()) highWater_.set(fill + frames);
    // The rack's blocks are planar (one channel after the other); the file's frames are
    // interleaved, so the writer can write what it takes as it is.
    auto at = static_cast<int64_t>(written % static_cast<uint64_t>(capacity_));
    float* ring = samples_.get();
    for (int32_t i = 0; i < frames; ++i) {
      for (int32_t c = 0; c < channels; ++c) ring[at * channels + c] = samples[c * frames + i];
      if (++at == capacity_) at = 0;
    }
    written_.store(written + static_cast<uint64_t>(frames), std::memory_order_release);
  }

  // Writer thread: up to `maxFrames` frames into `out` (interleaved); the count taken.
  int64_t take(float* out, int64_t maxFrames) {
    const uint64_t read = read_.load(std::memory_order_relaxed);
    const uint64_t written = written_.load(std::memory_order_acquire);
    const int64_t frames = std::min(static_cast<int64_t>(written - read), maxFrames);
    if (frames <= 0) return 0;
    const auto start = static_cast<int64_t>(read % static_cast<uint64_t>(capacity_));
    const int64_t first = std::min(frames, capacity_ - start);
    const float* from = samples_.get();
    std::copy(from + start * channels_, from + (start + first) * channels_, out);
    std::copy(from, from + (frames - first) * channels_, out + first * channels_);
    read_.store(read + static_cast<uint64_t>(frames), std::memory_order_release);
    return frames;
  }

  int32_t channels() const { return channels_; }
  int32_t sampleRate() const { return sampleRate_; }
  int64_t capacityFrames() const { return capacity_; }
  // Frames the audio thread delivered: put in, lost, or of another format.
  int64_t framesDelivered() const {
    return static_cast<int64_t>(written_.load(std::memory_order_relaxed)) + lostFrames() +
           foreignFrames();
  }
  // Frames of blocks dropped because the ring was full.
  int64_t lostFrames() const { return lostFrames_.get(); }
  // Frames of blocks in another format than the ring's.
  int64_t foreignFrames() const { return foreignFrames_.get(); }
  // The format of the last block of another format (0 while none came).
  int32_t foreignChannels() const { return foreignChannels_.get(); }
  int32_t foreignRate() const { return foreignRate_.get(); }
  // The most frames the ring held at once, counting the block just put in.
  int64_t highWaterFrames() const { return highWater_.get(); }

 private:
  std::unique_ptr<float[]> samples_;
  int32_t channels_ = 0;
  int32_t sampleRate_ = 0;
  int64_t capacity_ = 0;
  // Frames ever put in and taken out; their difference is the fill.
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> read_{0};
  // Written by the audio thread only, read by the others.
  Relaxed<int64_t> lostFrames_;
  Relaxed<int64_t> foreignFrames_;
  Relaxed<int32_t> foreignChannels_;
  Relaxed<int32_t> foreignRate_;
  Relaxed<int64_t> highWater_;
};
