#include "common/stream_clock.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The line moves 1/256 of each reading's error: at a reading every 10 ms it follows the
// device's clock within seconds, and a reading late by a millisecond moves it by 4 us.
// Right after an anchor it moves more, the readings' mean (1/2, 1/3, ... of the error),
// so that the first reading's own lateness is soon averaged out. The slope follows
// far slower: a device's rate is close to its nominal one.
constexpr double kPhaseGain = 1.0 / 256.0;
constexpr double kRateGain = kPhaseGain * kPhaseGain / 2.0;
// A reading further off the line than this says nothing of the device's clock (a
// thread woken late), unless several in a row are: then the stream itself jumped (it
// stalled, was suspended, skipped) and the line starts anew from there.
constexpr double kResyncSeconds = 0.003;
constexpr uint32_t kResyncReadings = 4;
// A jump by about a whole ring lands near the line again, a little off: the readings'
// recent mean (1/16 of each error) tells it from a late thread. The line moves once
// the median of the last readings is that far off too, and by that median, not to
// the one reading that told: a stream late for a few readings only (or a thread late
// now and then) does not move that median, and a stream that stays late moves it by
// as much as it jumped.
constexpr double kRecentGain = 1.0 / 16.0;
constexpr double kShiftSeconds = 0.0005;
// The device's rate stays within this of its nominal one.
constexpr double kMaxRateError = 0.01;

}  // namespace

void StreamClock::start(double sampleRate, int64_t ticksPerSecond, int64_t ringFrames) {
  nominalPeriod_ = sampleRate > 0.0 ? static_cast<double>(ticksPerSecond) / sampleRate : 0.0;
  period_ = nominalPeriod_;
  ring_ = std::max<int64_t>(ringFrames, 0);
  resyncTicks_ = kResyncSeconds * static_cast<double>(ticksPerSecond);
  shiftTicks_ = kShiftSeconds * static_cast<double>(ticksPerSecond);
  anchors_ = 0;
  anchored_ = false;
}

void StreamClock::anchor(int64_t position, int64_t ticks) {
  p0_ = position;
  t0_ = static_cast<double>(ticks);
  last_ = position;
  outliers_ = 0;
  readings_ = 0;
  recentError_ = 0.0;
  recent_.clear();
  ++anchors_;
  anchored_ = true;
}

int64_t StreamClock::observe(int64_t position, int64_t ticks) {
  if (nominalPeriod_ <= 0.0) return position;
  if (!anchored_) {
    // A new lap count keeps the unwrapped positions counting up.
    const int64_t unwrapped = ring_ > 0 && anchors_ > 0
                                  ? last_ + ((position - lastRaw_) % ring_ + ring_) % ring_
                                  : position;
    lastRaw_ = position;
    anchor(unwrapped, ticks);
    return unwrapped;
  }
  int64_t unwrapped = position;
  if (ring_ > 0) {
    // The lap that puts the reading least late on the line but not early by more than a
    // late reading may be late: a mixer that fell behind for a step (and catches up
    // after) reads late, nearer the line a lap further on, and that lap would throw
    // every block placed meanwhile a ring out. Never behind the last reading, as a
    // position only moves on.
    const double predicted =
        static_cast<double>(p0_) + (static_cast<double>(ticks) - t0_) / period_;
    const double laps =
        std::floor((predicted + resyncTicks_ / period_ - static_cast<double>(position)) /
                   static_cast<double>(ring_));
    unwrapped = position + static_cast<int64_t>(laps) * ring_;
    if (unwrapped < last_) unwrapped = last_ + ((position - lastRaw_) % ring_ + ring_) % ring_;
  } else if (position < last_) {
    // A position that counts up went back: the stream started again.
    lastRaw_ = position;
    anchor(position, ticks);
    return position;
  }
  lastRaw_ = position;
  if (unwrapped == last_) return unwrapped;
  const double onLine = t0_ + static_cast<double>(unwrapped - p0_) * period_;
  const double error = static_cast<double>(ticks) - onLine;
  const int64_t frames = unwrapped - last_;
  last_ = unwrapped;
  if (std::fabs(error) > resyncTicks_) {
    if (++outliers_ >= kResyncReadings) {
      const double kept = period_;
      anchor(unwrapped, ticks);
      period_ = kept;
    }
    return unwrapped;
  }
  outliers_ = 0;
  ++readings_;
  recent_.add(error);
  recentError_ += kRecentGain * (error - recentError_);
  if (readings_ > 2 / kRecentGain && std::fabs(recentError_) > shiftTicks_ &&
      std::fabs(recent_.median(RecentErrors::kSize)) > shiftTicks_) {
    // Most of those readings are past the jump, so the newest half are all.
    p0_ = unwrapped;
    t0_ = onLine + recent_.median(RecentErrors::kSize / 2);
    // From here the line takes the readings' mean again, that median counting as many.
    readings_ = RecentErrors::kSize / 2;
    recentError_ = 0.0;
    recent_.clear();
    ++anchors_;
    return unwrapped;
  }
  p0_ = unwrapped;
  t0_ = onLine + std::max(kPhaseGain, 1.0 / static_cast<double>(readings_ + 1)) * error;
  period_ += kRateGain * error / static_cast<double>(frames);
  period_ = std::clamp(period_, nominalPeriod_ * (1.0 - kMaxRateError),
                       nominalPeriod_ * (1.0 + kMaxRateError));
  return unwrapped;
}

void StreamClock::RecentErrors::add(double error) {
  errors_[next_] = error;
  next_ = (next_ + 1) % kSize;
  count_ = std::min(count_ + 1, kSize);
}

double StreamClock::RecentErrors::median(uint32_t newest) const {
  newest = std::min(newest, count_);
  if (newest == 0) return 0.0;
  // The rest sort last, so the whole array sorts (no part of it a compiler can't bound).
  std::array<double, kSize> sorted;
  sorted.fill(std::numeric_limits<double>::infinity());
  for (uint32_t i = 0; i < newest; ++i) sorted[i] = errors_[(next_ + kSize - 1 - i) % kSize];
  std::sort(sorted.begin(), sorted.end());
  return (sorted[(newest - 1) / 2] + sorted[newest / 2]) / 2.0;
}

int64_t StreamClock::ticksAt(int64_t position) const {
  return static_cast<int64_t>(std::llround(t0_ + static_cast<double>(position - p0_) * period_));
}
