#include "common/block_timing.h"

#include "platform/platform.h"

int64_t BlockTiming::now() {
  LARGE_INTEGER count;
  if (!QueryPerformanceCounter(&count)) return 0;
  return count.QuadPart;
}

void BlockTiming::clear() {
  averageTicks_.set(0.0);
  peakTicks_.set(0.0);
}

void BlockTiming::record(int64_t elapsedTicks) {
  const double elapsed = static_cast<double>(elapsedTicks);
  averageTicks_.set(0.01 * elapsed + 0.99 * averageTicks_.get());
  if (elapsed > peakTicks_.get()) peakTicks_.set(elapsed);
}

double blockLoad(double ticks, int64_t ticksPerSecond, double sampleRate, int32_t blockFrames) {
  if (ticksPerSecond <= 0 || blockFrames <= 0) return kNoLoad;
  return ticks / static_cast<double>(ticksPerSecond) * sampleRate / blockFrames;
}

int64_t performanceFrequency() {
  LARGE_INTEGER frequency;
  if (!QueryPerformanceFrequency(&frequency)) return 0;
  return frequency.QuadPart;
}
