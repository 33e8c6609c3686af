// Full-duplex audio through DirectSound: a capture ring and a render ring on the
// default devices, processed block by block by a time-critical worker thread that
// the render ring's position notifications wake. Each block the play cursor has
// passed is filled anew, in play order, so what is written sounds one ring later.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/duplex_output.h"
#include "common/block_timing.h"
#include "audio/dsound/dsound_duplex_trace.h"
#include "platform/platform.h"
#include "common/relaxed.h"
#include "common/stream_clock.h"

class SynthRack;

class DsoundDuplex {
 public:
  // The block-count setting of open: a positive count is taken as it is; these ask
  // for a ring of about 10, 15 or 20 ms (any value below kRingOf15Ms means 20 ms),
  // plus two blocks.
  static constexpr int kRingOf10Ms = 0;
  static constexpr int kRingOf15Ms = -1;
  static constexpr int kRingOf20Ms = -2;
  // captureReadPos while the capture ring has no read position.
  static constexpr int32_t kNoCapturePosition = -1;
  // Blocks the capture is read behind the readable data beyond one render ring. The
  // sound service hands capture over once per period (10 ms), and the render side can
  // take two periods' worth of blocks before a late capture period arrives: with only
  // a ring between them the read overtakes the data and the input jumps back a ring.
  static constexpr uint32_t kCaptureSlackBlocks = 2;

  // How long stop waits for the worker to end, and start for it to answer. Far beyond
  // any stall of the host or the sound service seen so far.
  static constexpr DWORD kWorkerWaitMs = 2000;

  DsoundDuplex() = default;
  // An engine whose worker was left running (workerLeftRunning) must not be destroyed.
  ~DsoundDuplex() { release(); }
  DsoundDuplex(const DsoundDuplex&) = delete;
  DsoundDuplex& operator=(const DsoundDuplex&) = delete;

  int32_t open(SynthRack* rack, HWND window, int channels, int sampleRate, int blockFramesWanted,
               int blockCountSetting);
  int32_t start(DuplexOutput output);
  // A worker that does not end within kWorkerWaitMs is never killed (inside a call of
  // the sound service or the rack's render that would leave a lock held or the rack
  // half updated): it is left to end by itself, the engine counts as lost and gives
  // AudioWorkerLeftRunning, and everything the worker reaches (this engine, its
  // buffers and the rack) must stay alive. It renders nothing more. A later stop or
  // release that finds it ended finishes the work.
  int32_t stop();
  // Releases everything, unless the worker was left running.
  void release();
  bool workerLeftRunning() const { return workerLeftRunning_; }
  bool deviceNames(std::string& captureName, std::string& renderName);
  // The same names whole, also outside the ANSI code page, for display.
  bool deviceNamesW(std::wstring& captureName, std::wstring& renderName);

  // Observers.
  int32_t sampleRate() const { return sampleRate_; }
  int32_t channels() const { return channels_; }
  int32_t blockFrames() const { return blockFrames_; }
  int32_t blockSamples() const { return blockSamples_; }
  int32_t blockBytes() const { return blockBytes_; }
  int32_t frameBytes() const { return frameBytes_; }
  uint32_t blockCount() const { return blockCount_; }
  uint32_t renderBytes() const { return renderBytes_; }
  uint32_t captureBytes() const { return captureBytes_; }
  int32_t dropouts() const { return dropouts_.get(); }
  bool inSync() const { return inSync_.get(); }
  int32_t captureReadPos() const { return captureReadPos_.get(); }
  DuplexOutput outputMode() const { return outputMode_.get(); }
  double peakTicks() const { return timing_.peakTicks(); }
  double averageTicks() const { return timing_.averageTicks(); }
  bool isOpened() const { return out16_ != nullptr; }
  HANDLE thread() const { return thread_; }
  // The device went away while running: its calls kept failing, no notification came
  // for more than half a second (Wine's mixer just stops when its sound server goes), or
  // dropouts came in a storm for seconds (Wine's mixer with its sink suspended: it runs
  // at two thirds of the pace, nothing is heard, and the capture keeps overtaking), or
  // its worker did not stop. The worker then only waits for stop; the owner releases
  // the engine and opens a new one. Cleared by start.
  bool lost() const { return lost_.get(); }
  // The sound service took more than the ring in less than the ring's time while the
  // worker waited with everything due refilled: a ring was lost that no speed of the
  // worker could have kept, and only a longer ring rides out. The owner may open the
  // route again with more blocks. Cleared by start.
  bool ringOutrun() const { return ringOutrun_.get(); }
  // The capture's read position stood still while 3 s of blocks were rendered: it hands
  // nothing over, and the input would be silence or a stale stretch for good. Only a
  // stream created anew gets it going; the output plays on until the owner opens the
  // route again, as a device lost would cost seconds of silence. Cleared by start.
  bool captureStuck() const { return captureStuck_.get(); }
  // The HRESULT behind the last failure of open, start or stop; S_OK when that
  // failure had none behind it or the call succeeded.
  HRESULT lastHostError() const { return lastHostError_; }

 private:
  static DWORD WINAPI workerMain(LPVOID self);
  void runWorker();
  void handleWakeUp(DWORD woken);
  uint64_t takeNotifications();
  bool takeFreshAhead(uint32_t cursorBlock, uint64_t& taken);
  bool readPlayCursor(DWORD& cursor, uint32_t& block);
  uint32_t firstUnnotified(uint64_t taken) const;
  bool freshAheadOfCursor(uint64_t fresh, uint32_t cursorBlock) const;
  void loseRing();
  // The counter at which the block that starts at `block` is taken to begin, for
  // steady MIDI timing: when it will play, less the most any block is rendered ahead.
  int64_t steadyBlockStart(uint32_t block, int64_t now) const;
  void noteFirstReading(int64_t wakeTicks, DWORD cursor);
  void noteLapWhileWaiting(DWORD cursor);
  void endWakeUp(DuplexTraceRecord* record);
  bool workerAlive() const;
  // The worker's watch over the device (dsound_duplex_watch.cpp).
  void resetWatch();
  bool watchQuietRing();
  void answerQuietRing();
  bool restoreRing();
  void noteRenderLock(HRESULT result);
  bool failingTooLong() const;
  void noteCaptureRead(DWORD readPosition, DuplexTraceRecord* record);
  bool captureStalled() const;
  bool dropoutStorm();
  void waitWhileLost();
  // `record`: the wake-up's trace record, when the trace is on.
  void processBlock(uint32_t block, DuplexTraceRecord* record);
  bool captureBlockUnusable(DuplexTraceRecord* record);
  void placeCapture(DuplexTraceRecord* record);
  bool readCapture();
  void noteCapturePeak(DuplexTraceRecord& record) const;
  void closeEvents();
  // A failed call of the sound service: keeps its HRESULT for lastHostError, gives `code`.
  int32_t failed(int32_t code, HRESULT result);
  HANDLE stopEvent() const { return events_[blockCount_]; }
  HANDLE readyEvent() const { return events_[blockCount_ + 1]; }

  int32_t sampleRate_ = 0;
  int32_t channels_ = 0;
  uint32_t renderBytes_ = 0;
  uint32_t captureBytes_ = 0;
  int32_t blockFrames_ = 0;
  int32_t blockSamples_ = 0;
  int32_t blockBytes_ = 0;
  int32_t frameBytes_ = 0;
  uint32_t blockCount_ = 0;
  // Written by the worker while it runs, by start before it exists, read by observers.
  Relaxed<int32_t> captureReadPos_{kNoCapturePosition};
  // Blocks to read after a placement before the capture has proved that it flows: the
  // first ones were captured before it. Until then an unusable block is no dropout (the
  // capture device is still starting, or stalled, and the input holds still data).
  Relaxed<uint32_t> captureReadsToFlow_{0};
  Relaxed<bool> inSync_{false};
  Relaxed<int32_t> dropouts_{0};
  BlockTiming timing_;
  Relaxed<DuplexOutput> outputMode_{DuplexOutput::Play};
  // The worker's (set by start before the worker exists): the
  // next block to refill in play order, the blocks refilled ahead of their notification,
  // and a ring's duration in counter ticks (0: not measurable).
  Relaxed<uint32_t> nextBlock_{0};
  Relaxed<uint64_t> echoes_{0};  // blocks refilled whose notification is still to come
  Relaxed<int64_t> ringTicks_{0};
  // The play cursor's frames against the counter (worker thread only, set up before it
  // starts), and a millisecond's margin on the render-ahead.
  StreamClock clock_;
  int64_t marginTicks_ = 0;
  // Notifications taken after the last refill that no refill has answered yet: blocks
  // the cursor passed once the worker had looked, due at the next wake-up.
  Relaxed<uint64_t> carried_{0};
  // When the last wake-up ended (counter ticks), the last play cursor it read and where
  // the cursor stood when first read after a short wait in which it moved
  // (kNoCursorReading: none), to tell a ring lost while the worker waited.
  static constexpr DWORD kNoCursorReading = 0xFFFFFFFFu;
  Relaxed<int64_t> endedTicks_{0};
  Relaxed<DWORD> lastCursor_{kNoCursorReading};
  Relaxed<DWORD> catchUpCursor_{kNoCursorReading};
  Relaxed<bool> ringOutrun_{false};
  Relaxed<bool> captureStuck_{false};
  // The worker's watch (counter ticks): the last sign of a live device (a notification,
  // a moving cursor, a restore), the play cursor seen then, the first of a run of
  // failed render locks (-1: none), a restore asked for, and the time without a sign
  // after which the device counts as lost.
  Relaxed<int64_t> lifeTicks_{0};
  Relaxed<DWORD> watchedCursor_{0};
  Relaxed<int64_t> failingSince_{-1};
  Relaxed<bool> restoreWanted_{false};
  Relaxed<int64_t> lossTicks_{0};
  // The dropout storm watch: the second being counted (its start in counter ticks, the
  // dropout count then) and how many seconds in a row held a storm's worth.
  Relaxed<int64_t> stormSecondTicks_{0};
  Relaxed<int32_t> stormSecondDropouts_{0};
  Relaxed<int32_t> stormSeconds_{0};
  // The capture watch: the read position last seen (kNoCursorReading: none yet), the
  // blocks rendered since it last moved, and how many seconds' worth of them it may stand
  // still before the capture counts as stuck.
  static constexpr int64_t kCaptureStallSeconds = 3;
  Relaxed<DWORD> captureSeen_{kNoCursorReading};
  Relaxed<int64_t> captureStillBlocks_{0};
  Relaxed<bool> lost_{false};
  DuplexTrace trace_;
  std::unique_ptr<int16_t[]> out16_;
  std::unique_ptr<float[]> outFloat_;
  std::unique_ptr<int16_t[]> in16_;
  std::unique_ptr<float[]> inFloat_;
  IDirectSoundFullDuplex* duplex_ = nullptr;
  IDirectSoundBuffer8* renderBuffer_ = nullptr;
  IDirectSoundCaptureBuffer8* captureBuffer_ = nullptr;
  HANDLE thread_ = nullptr;
  // Set by stop before it asks the worker to end: a worker that comes back late from
  // a call renders and writes nothing more.
  std::atomic<bool> quitting_{false};
  bool workerLeftRunning_ = false;  // the owner's thread only
  std::unique_ptr<HANDLE[]> events_;
  std::unique_ptr<DSBPOSITIONNOTIFY[]> notifyPositions_;
  SynthRack* rack_ = nullptr;
  HRESULT lastHostError_ = S_OK;  // the owner's thread only
};
