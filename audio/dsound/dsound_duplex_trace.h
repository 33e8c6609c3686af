// An opt-in record of the full-duplex worker's wake-ups, for finding out how a sound
// service really paces the worker. Set TONBRIK_DSOUND_TRACE to a file name before the
// program starts: the worker then fills a ring of records made in `open` (it neither
// allocates nor writes files), and `stop` appends the ring to that file as text, one
// line per wake-up, with a summary line at the end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/relaxed.h"

struct DuplexTraceRecord {
  enum Event : uint8_t { None = 0, WholeRing = 1, RingWentRound = 2, Stall = 3 };
  static constexpr uint32_t kNoCursor = 0xFFFFFFFFu;

  int64_t ticks = 0;    // performance counter at the wake-up
  uint64_t taken = 0;   // the notifications taken, one bit per block
  uint32_t cursor = 0;  // play cursor in bytes at the wake-up, kNoCursor if unreadable
  uint32_t woken = 0;   // which handle the wait reported
  uint16_t firstWritten = 0;
  uint16_t written = 0;  // blocks written, in play order from firstWritten
  uint8_t event = None;
  int32_t dropouts = 0;  // the count after this wake-up
};

class DuplexTrace {
 public:
  // Reads the environment; prepares the ring only when a file is named.
  void configure();
  bool enabled() const { return records_ != nullptr; }
  // Forgets what was recorded (on start).
  void clear() { count_.set(0); }
  // The record for the next wake-up; the oldest is overwritten once the ring is full.
  // Worker thread only.
  DuplexTraceRecord& next() {
    const uint64_t n = count_.get();
    count_.set(n + 1);
    DuplexTraceRecord& record = records_[n % kCapacity];
    record = DuplexTraceRecord{};
    return record;
  }
  // Appends what was recorded to the file; only once the worker has ended.
  void flush(int32_t sampleRate, int32_t blockFrames, int32_t blockBytes, uint32_t blockCount,
             int32_t dropouts) const;

 private:
  static constexpr uint64_t kCapacity = 1u << 16;  // several minutes of wake-ups
  std::unique_ptr<DuplexTraceRecord[]> records_;
  Relaxed<uint64_t> count_{0};
#ifdef _WIN32
  std::wstring path_;
#else
  std::string path_;
#endif
};
