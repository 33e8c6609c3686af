// Processing time of audio blocks and MIDI input passes, in performance-counter
// ticks. The audio or MIDI thread records; the window thread reads the figures for
// display while it runs.
#pragma once

#include <cstdint>

#include "common/relaxed.h"

class BlockTiming {
 public:
  // The performance counter, read around each block.
  static int64_t now();

  void clear();
  // average = 0.01 * elapsed + 0.99 * average; peak = elapsed if greater.
  void record(int64_t elapsedTicks);

  double averageTicks() const { return averageTicks_.get(); }
  double peakTicks() const { return peakTicks_.get(); }

 private:
  Relaxed<double> averageTicks_;
  Relaxed<double> peakTicks_;
};

// The load figure's answer when the counter frequency or the block is not available.
inline constexpr double kNoLoad = -1.0;

// The load figure: `ticks` as a fraction of the duration of one block of
// `blockFrames` frames, or kNoLoad.
double blockLoad(double ticks, int64_t ticksPerSecond, double sampleRate, int32_t blockFrames);

// The counter's ticks per second, or 0 when it has none.
int64_t performanceFrequency();
