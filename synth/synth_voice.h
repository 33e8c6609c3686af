// One sine oscillator with its amplitude glide. The MIDI thread writes omega and
// target; the audio thread reads them once per block and owns phase and amplitude.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/relaxed.h"

struct SynthVoice {
  Relaxed<float> pressure;   // polyphonic key pressure, 0..1, kept but not heard
  Relaxed<float> omega;      // radians per second before the pitch parameter
  Relaxed<float> phase;      // radians
  Relaxed<float> amplitude;  // current amplitude
  Relaxed<float> target;     // amplitude the glide moves toward

  // A note's start and release, from the thread that dispatches MIDI. A release that
  // comes before any block has sounded its note waits for one: in immediate timing a
  // note shorter than the time between two blocks (a drum pad's hit) would otherwise
  // start and end unheard, and the player would lose it.
  void start(float level) {
    target.set(level);
    started_.fetch_add(1, std::memory_order_release);
  }
  void release(float level) {
    const uint32_t start = started_.load(std::memory_order_relaxed);
    if (heard_.get() == start) {
      target.set(level);
    } else {
      releaseDue_.set(start);
    }
  }
  // The audio thread, at a block's start: the amplitude to glide toward, and the note
  // start the block sounds, to pass to sounded() once it is rendered.
  float blockTarget(float released, uint32_t& start) const {
    start = started_.load(std::memory_order_acquire);
    if (releaseDue_.get() == start && heard_.get() == start) return released;
    return target.get();
  }
  void sounded(uint32_t start) { heard_.set(start); }
  // Whether a note holds the voice: started and neither released nor waiting to be.
  bool held(float released) const {
    return target.get() > released && releaseDue_.get() != started_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<uint32_t> started_{0};
  Relaxed<uint32_t> heard_;
  Relaxed<uint32_t> releaseDue_{~0u};  // no release waits
};
