// An opt-in record of the full-duplex worker's wake-ups, for finding out how a sound
// service really paces the worker. Set TONBRIK_DSOUND_TRACE to a file name before the
// program starts: the worker then fills a ring of records made in `open` (it neither
// allocates nor writes files), and a writer thread of ordinary priority appends what is
// new to that file as text ten times a second while the stream runs, one line per
// wake-up, so that a test can judge a stretch of sound while the program still plays;
// `stop` adds what is left and a summary line. It also notes where the first note onset
// written in each wake-up lies, so that a test can time a note from its MIDI delivery to
// the play cursor passing its first sample.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/relaxed.h"
#include "platform/platform.h"

struct DuplexTraceRecord {
  enum Event : uint8_t { None = 0, WholeRing = 1, RingWentRound = 2, Stall = 3 };
  static constexpr uint32_t kNoCursor = 0xFFFFFFFFu;
  static constexpr uint16_t kNoOnset = 0xFFFFu;

  int64_t ticks = 0;  // performance counter at the wake-up
  // Counter when the wake-up's work was done and the worker went back to waiting: the
  // time between one wake-up's end and the next one's start is time the worker spent
  // waiting for the sound service, not its own.
  int64_t ended = 0;
  uint64_t taken = 0;   // the notifications taken, one bit per block
  uint32_t cursor = 0;  // play cursor in bytes at the wake-up, kNoCursor if unreadable
  uint32_t woken = 0;   // which handle the wait reported
  uint16_t firstWritten = 0;
  uint16_t written = 0;  // blocks written, in play order from firstWritten
  // Counter when the first of them began rendering: a MIDI message that came later is
  // not in it, though it came after the wake-up. 0 when none was rendered.
  int64_t rendered = 0;
  uint8_t event = None;
  int32_t dropouts = 0;  // the count after this wake-up
  // The first onset written in this wake-up: its block, its frame in the block, and the
  // counter when that block was in the ring. onsetBlock is kNoOnset when there was none.
  uint16_t onsetBlock = kNoOnset;
  uint16_t onsetFrame = 0;
  int64_t onsetWritten = 0;
  // The capture ring as the wake-up's blocks saw it: its read position in bytes when last
  // looked at (kNoCursor: not looked at), and the largest magnitude of the input samples
  // read (-1: none read). A read position that stands still, or input that stays at 0
  // while the device should deliver sound, tells a capture that does not flow.
  uint32_t captureRead = kNoCursor;
  int32_t capturePeak = -1;
};

// The stream's shape, for the header of each run in the file.
struct DuplexTraceFormat {
  int32_t sampleRate = 0;
  int32_t blockFrames = 0;
  int32_t blockBytes = 0;
  uint32_t blockCount = 0;
  // The frames the stream itself holds ahead of what is heard, where that is not the ring
  // of blocks (0): what a stall must outlast to be heard.
  int32_t bufferFrames = 0;
};

class DuplexTrace {
 public:
  DuplexTrace() = default;
  DuplexTrace(const DuplexTrace&) = delete;
  DuplexTrace& operator=(const DuplexTrace&) = delete;
  ~DuplexTrace() { end(0); }

  // Reads the environment; prepares the ring only when a file is named.
  void configure();
  bool enabled() const { return records_ != nullptr; }
  // Starts a run before the worker starts (owner's thread): forgets what was recorded,
  // as the stream starts from silence, and starts the writer.
  void begin(const DuplexTraceFormat& format);
  // Ends the run once the worker has ended (owner's thread): stops the writer and
  // appends what it had not written and the summary line. Nothing when no run is on.
  void end(int32_t dropouts);
  // The record for the next wake-up; the oldest is overwritten once the ring is full.
  // Worker thread only. The record before it is complete from here on, which the
  // release tells the writer.
  DuplexTraceRecord& next() {
    const uint64_t n = count_.load(std::memory_order_relaxed);
    DuplexTraceRecord& record = records_[n % kCapacity];
    record = DuplexTraceRecord{};
    count_.store(n + 1, std::memory_order_release);
    return record;
  }
  // Follows the 16-bit output block by block, as written into the ring, and notes the
  // first onset of the wake-up in its record. Worker thread only.
  void scanOutput(DuplexTraceRecord& record, uint32_t block, const int16_t* interleaved,
                  int32_t frames, int32_t channels, int64_t writtenTicks);
  void scanSilence(int32_t frames) {
    quietFrames_.set(std::min(quietFrames_.get() + frames, kOnsetSilenceFrames));
  }

 private:
  static constexpr uint64_t kCapacity = 1u << 16;  // several minutes of wake-ups
  // The writer keeps this far from the worker's end of the ring, so that it never reads a
  // record the worker is overwriting.
  static constexpr uint64_t kWriterMargin = 1024;
  static constexpr DWORD kWritePeriodMs = 100;
  static DWORD WINAPI writerMain(LPVOID self);
  // Appends the records from written_ up to (not including) `upTo`, with the run's header
  // first. Writer thread while it runs, else the owner's.
  void writeRecords(uint64_t upTo);
  // An onset is the first frame with a sample outside {-1, 0} after at least this many
  // frames (5 ms at 48 kHz) with none: the conversion to 16 bits rounds down, so the
  // tail of a released note, far below one step, gives only 0 and -1.
  static constexpr int32_t kOnsetSilenceFrames = 240;
  std::unique_ptr<DuplexTraceRecord[]> records_;
  std::atomic<uint64_t> count_{0};
  Relaxed<int32_t> quietFrames_{kOnsetSilenceFrames};  // silent frames just written
  // The run's file and the writer; only the owner's thread changes these.
  DuplexTraceFormat format_;
  std::FILE* file_ = nullptr;
  HANDLE writer_ = nullptr;
  HANDLE writerStop_ = nullptr;
  uint64_t written_ = 0;  // records appended to the file in this run
  bool headerWritten_ = false;
  int64_t origin_ = 0;  // counter at the run's first wake-up
#ifdef _WIN32
  std::wstring path_;
#else
  std::string path_;
#endif
};
