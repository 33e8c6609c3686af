// An opt-in record of the full-duplex worker's wake-ups, for finding out how a sound
// service really paces the worker. Set TONBRIK_DSOUND_TRACE to a file name before the
// program starts: the worker then fills a ring of records made in `open` (it neither
// allocates nor writes files), and `stop` appends the ring to that file as text, one
// line per wake-up, with a summary line at the end. It also notes where the first note
// onset written in each wake-up lies, so that a test can time a note from its MIDI
// delivery to the play cursor passing its first sample.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "common/relaxed.h"

struct DuplexTraceRecord {
  enum Event : uint8_t { None = 0, WholeRing = 1, RingWentRound = 2, Stall = 3 };
  static constexpr uint32_t kNoCursor = 0xFFFFFFFFu;
  static constexpr uint16_t kNoOnset = 0xFFFFu;

  int64_t ticks = 0;    // performance counter at the wake-up
  uint64_t taken = 0;   // the notifications taken, one bit per block
  uint32_t cursor = 0;  // play cursor in bytes at the wake-up, kNoCursor if unreadable
  uint32_t woken = 0;   // which handle the wait reported
  uint16_t firstWritten = 0;
  uint16_t written = 0;  // blocks written, in play order from firstWritten
  uint8_t event = None;
  int32_t dropouts = 0;  // the count after this wake-up
  // The first onset written in this wake-up: its block, its frame in the block, and the
  // counter when that block was in the ring. onsetBlock is kNoOnset when there was none.
  uint16_t onsetBlock = kNoOnset;
  uint16_t onsetFrame = 0;
  int64_t onsetWritten = 0;
};

class DuplexTrace {
 public:
  // Reads the environment; prepares the ring only when a file is named.
  void configure();
  bool enabled() const { return records_ != nullptr; }
  // Forgets what was recorded (on start); the stream starts from silence.
  void clear() {
    count_.set(0);
    quietFrames_.set(kOnsetSilenceFrames);
  }
  // The record for the next wake-up; the oldest is overwritten once the ring is full.
  // Worker thread only.
  DuplexTraceRecord& next() {
    const uint64_t n = count_.get();
    count_.set(n + 1);
    DuplexTraceRecord& record = records_[n % kCapacity];
    record = DuplexTraceRecord{};
    return record;
  }
  // Follows the 16-bit output block by block, as written into the ring, and notes the
  // first onset of the wake-up in its record. Worker thread only.
  void scanOutput(DuplexTraceRecord& record, uint32_t block, const int16_t* interleaved,
                  int32_t frames, int32_t channels, int64_t writtenTicks);
  void scanSilence(int32_t frames) {
    quietFrames_.set(std::min(quietFrames_.get() + frames, kOnsetSilenceFrames));
  }
  // Appends what was recorded to the file; only once the worker has ended.
  void flush(int32_t sampleRate, int32_t blockFrames, int32_t blockBytes, uint32_t blockCount,
             int32_t dropouts) const;

 private:
  static constexpr uint64_t kCapacity = 1u << 16;  // several minutes of wake-ups
  // An onset is the first frame with a sample outside {-1, 0} after at least this many
  // frames (5 ms at 48 kHz) with none: the conversion to 16 bits rounds down, so the
  // tail of a released note, far below one step, gives only 0 and -1.
  static constexpr int32_t kOnsetSilenceFrames = 240;
  std::unique_ptr<DuplexTraceRecord[]> records_;
  Relaxed<uint64_t> count_{0};
  Relaxed<int32_t> quietFrames_{kOnsetSilenceFrames};  // silent frames just written
#ifdef _WIN32
  std::wstring path_;
#else
  std::string path_;
#endif
};
