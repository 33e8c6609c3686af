// Where a stream's sample position meets the performance counter: a straight line,
// fitted slowly to readings of the position and the counter, that follows the
// device's clock (its drift included) while the readings themselves come coarse or
// late. A sound service may move its position in steps (Wine's DirectSound mixer takes
// 480 frames every 10 ms) and the reading waits for the thread that looks, so one
// reading says little; the line is what tells when each frame plays. Used by one
// thread only (the audio thread), it never allocates.
#pragma once

#include <array>
#include <cstdint>

class StreamClock {
 public:
  // ringFrames: positions wrap at this length (a DirectSound ring); 0 when they
  // count up from the stream's start. The next reading anchors the line anew.
  void start(double sampleRate, int64_t ticksPerSecond, int64_t ringFrames);

  // The next reading anchors the line anew (the ring was lost, the stream restarted).
  void reanchor() { anchored_ = false; }

  // A reading: `position` seen at counter `ticks`. Answers the position unwrapped
  // (counting up from the first reading's lap). A reading of the position seen last
  // changes nothing: the first sight of a position is the closest to when it came.
  int64_t observe(int64_t position, int64_t ticks);

  bool anchored() const { return anchored_; }
  // The unwrapped position of the last reading.
  int64_t position() const { return last_; }
  // The counter when the unwrapped `position` passes, on the line.
  int64_t ticksAt(int64_t position) const;
  // Counter ticks per frame on the line.
  double ticksPerFrame() const { return period_; }
  // How often the line was placed anew since start: once, plus every re-anchoring or
  // move to where the recent readings are.
  uint32_t anchors() const { return anchors_; }

 private:
  // The last readings' errors from the line, in counter ticks.
  class RecentErrors {
   public:
    static constexpr uint32_t kSize = 16;
    void add(double error);
    void clear() { count_ = next_ = 0; }
    // Of the newest `newest` errors (all there are, if fewer).
    double median(uint32_t newest) const;

   private:
    std::array<double, kSize> errors_{};
    uint32_t count_ = 0;
    uint32_t next_ = 0;
  };

  void anchor(int64_t position, int64_t ticks);

  double nominalPeriod_ = 0.0;
  double period_ = 0.0;
  int64_t ring_ = 0;
  // The line passes through (p0_, t0_).
  int64_t p0_ = 0;
  double t0_ = 0.0;
  int64_t last_ = 0;
  int64_t lastRaw_ = 0;
  double resyncTicks_ = 0.0;
  double shiftTicks_ = 0.0;
  double recentError_ = 0.0;
  RecentErrors recent_;
  uint32_t readings_ = 0;  // in line since the anchor
  uint32_t outliers_ = 0;
  uint32_t anchors_ = 0;
  bool anchored_ = false;
};
