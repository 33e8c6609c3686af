// The largest output magnitude since the last look, measured on the audio thread and
// taken by the window thread. One relaxed atomic, no lock; the samples are only read.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>

class PeakMeter {
 public:
  // Audio thread: raises the held peak to the block's largest magnitude. NaN is skipped.
  void measure(const float* samples, int64_t count) {
    float block = 0.0f;
    for (int64_t i = 0; i < count; ++i) {
      const float magnitude = std::fabs(samples[i]);
      if (magnitude > block) block = magnitude;
    }
    float held = peak_.load(std::memory_order_relaxed);
    // A take() between the load and the exchange fails the exchange, which retries
    // against the fresh zero: no block is lost from the new interval.
    while (block > held && !peak_.compare_exchange_weak(held, block, std::memory_order_relaxed)) {
    }
  }

  // Window thread: the peak since the previous take; starts a new interval.
  float take() { return peak_.exchange(0.0f, std::memory_order_relaxed); }

 private:
  std::atomic<float> peak_{0.0f};
  static_assert(std::atomic<float>::is_always_lock_free, "the meter must not lock");
};
