// The worker thread. Notifications only wake it: which of them happen to be set
// when it looks says little, because a sound service may signal a period's worth of
// them one by one while the worker already runs (Wine's mixer does). What is due is
// decided from the render ring's play cursor and the worker's own next block to
// refill: every block from that one up to the block the cursor is in, in play order,
// so a late wake-up catches up. The write cursor is of no use here: Wine's leads the
// play cursor by 10 ms, more than half of a typical ring. Nothing here allocates or
// locks; the rings are reached only through Lock/Unlock of the sound service.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "audio/dsound/dsound_duplex.h"
#include "audio/sample_conversion.h"
#include "synth/synth_rack.h"

DWORD WINAPI DsoundDuplex::workerMain(LPVOID self) {
  static_cast<DsoundDuplex*>(self)->runWorker();
  return 0;
}

// How long the worker waits for a notification before it looks at the device itself.
constexpr DWORD kWatchMs = 50;

void DsoundDuplex::runWorker() {
  // The block events and the stop request.
  const DWORD handles = blockCount_ + 1;
  SetEvent(readyEvent());
  for (;;) {
    const DWORD result = WaitForMultipleObjects(handles, events_.get(), FALSE, kWatchMs);
    if (result == WAIT_FAILED) return;
    if (result == WAIT_TIMEOUT) {
      if (watchQuietRing()) continue;
      waitWhileLost();
      return;
    }
    const DWORD index = result - WAIT_OBJECT_0;
    if (index == blockCount_) {
      ResetEvent(stopEvent());
      return;
    }
    lifeTicks_.set(BlockTiming::now());
    handleWakeUp(index);
    if (restoreWanted_.get()) restoreRing();
    if (failingTooLong() || dropoutStorm()) {
      waitWhileLost();
      return;
    }
    // The output plays on meanwhile: the owner opens the route anew when it can.
    if (captureStalled()) captureStuck_.set(true);
  }
}

// Takes every block notification that is set, one bit per block: each wait takes the
// lowest set one (the events reset themselves), and a wait that finds none ends it. A
// service signals each offset once per lap, in play order, possibly while this runs;
// whatever was signalled before the last look is taken, so what is taken is always a
// first part of a burst, never one with a gap.
uint64_t DsoundDuplex::takeNotifications() {
  uint64_t taken = 0;
  // Bounded: a burst signalled meanwhile can set a block again, but not without end.
  for (uint32_t n = 0; n < 2 * blockCount_; ++n) {
    const DWORD result = WaitForMultipleObjects(blockCount_, events_.get(), FALSE, 0);
    if (result >= WAIT_OBJECT_0 + blockCount_) break;
    taken |= uint64_t{1} << (result - WAIT_OBJECT_0);
  }
  return taken;
}

// One look, and so one round trip under Wine, at every block ahead of the cursor's
// block up to the next block to refill that expects no echo: whether the cursor passed
// its end and came round. Takes the notification found.
bool DsoundDuplex::takeFreshAhead(uint32_t cursorBlock, uint64_t& taken) {
  HANDLE ahead[64];
  uint32_t blocks[64];
  DWORD count = 0;
  const uint64_t expected = echoes_.get() | taken;
  const uint32_t next = nextBlock_.get();
  for (uint32_t j = (cursorBlock + 1) % blockCount_; j != next; j = (j + 1) % blockCount_) {
    if (expected & (uint64_t{1} << j)) continue;
    ahead[count] = events_[j];
    blocks[count++] = j;
  }
  if (count == 0) return false;
  const DWORD result = WaitForMultipleObjects(count, ahead, FALSE, 0);
  if (result >= WAIT_OBJECT_0 + count) return false;
  taken |= uint64_t{1} << blocks[result - WAIT_OBJECT_0];
  return true;
}

bool DsoundDuplex::readPlayCursor(DWORD& cursor, uint32_t& block) {
  DWORD play = 0;
  DWORD write = 0;
  if (FAILED(renderBuffer_->GetCurrentPosition(&play, &write)) || play >= renderBytes_) {
    return false;
  }
  cursor = play;
  block = play / static_cast<DWORD>(blockBytes_);
  clock_.observe(static_cast<int64_t>(play / static_cast<DWORD>(frameBytes_)), BlockTiming::now());
  return true;
}

// A block is refilled after the cursor has left it, so it plays when the cursor next
// comes to its start; blocks rendered back to back in one wake-up play a block apart.
// Steady timing needs every message stamped up to a block's start in hand when it is
// rendered, so that start is the block's play time less the most any block is rendered
// ahead (the ring less one block, just after the cursor left it) and a margin for the
// line's wander, and never later than now.
int64_t DsoundDuplex::steadyBlockStart(uint32_t block, int64_t now) const {
  if (!clock_.anchored()) return now;
  const int64_t ring = static_cast<int64_t>(renderBytes_ / static_cast<DWORD>(frameBytes_));
  const int64_t cursorFrame = clock_.position() % ring;
  const int64_t ahead = (static_cast<int64_t>(block) * blockFrames_ - cursorFrame + ring) % ring;
  const int64_t plays = clock_.position() + (ahead == 0 ? ring : ahead);
  return std::min(now, clock_.ticksAt(plays - ring + blockFrames_) - marginTicks_);
}

// Without a cursor: the block after the run of notified blocks that starts at the
// next block to refill (notifications behind it were for blocks already refilled).
uint32_t DsoundDuplex::firstUnnotified(uint64_t taken) const {
  uint32_t block = nextBlock_.get();
  for (uint32_t n = 0; n < blockCount_ && (taken & (uint64_t{1} << block)); ++n) {
    block = (block + 1) % blockCount_;
  }
  return block;
}

// A fresh notification of a block ahead of the cursor's block (in play order up to the
// next block to refill) means the cursor passed that block's end and then came round
// to where it is now. The cursor's own block does not count: a service that signals
// exactly at the offset of a block's last frame still reports the cursor inside it.
bool DsoundDuplex::freshAheadOfCursor(uint64_t fresh, uint32_t cursorBlock) const {
  const uint32_t next = nextBlock_.get();
  for (uint32_t j = (cursorBlock + 1) % blockCount_; j != next; j = (j + 1) % blockCount_) {
    if (fresh & (uint64_t{1} << j)) return true;
  }
  return false;
}

// The play cursor went round the ring before the worker refilled what was due.
void DsoundDuplex::loseRing() {
  clock_.reanchor();
  if (inSync_.get()) dropouts_.set(dropouts_.get() + 1);
  inSync_.set(false);
  captureReadPos_.set(kNoCapturePosition);
}

// Where the cursor stood when the worker first looked after a wait in which it moved,
// kept only when that wait was shorter than the ring.
void DsoundDuplex::noteFirstReading(int64_t wakeTicks, DWORD cursor) {
  const DWORD last = lastCursor_.get();
  if (cursor == last) return;  // a look at the same stretch again
  const int64_t ring = ringTicks_.get();
  const int64_t ended = endedTicks_.get();
  const bool shortWait =
      last != kNoCursorReading && ring > 0 && ended > 0 && wakeTicks - ended < ring;
  catchUpCursor_.set(shortWait ? cursor : kNoCursorReading);
}

// A lap found before the cursor moved on from where the worker first saw it after a
// wait shorter than the ring happened in that wait, with everything due refilled: the
// service took more than the ring in less than the ring's time, in one catch-up. No
// worker could have kept that ring; only a longer one rides it out. A lap found once
// the cursor has moved on may have happened while the worker worked.
void DsoundDuplex::noteLapWhileWaiting(DWORD cursor) {
  const DWORD at = catchUpCursor_.get();
  if (inSync_.get() && at != kNoCursorReading && cursor == at) ringOutrun_.set(true);
}

void DsoundDuplex::endWakeUp(DuplexTraceRecord* record) {
  const int64_t ended = BlockTiming::now();
  endedTicks_.set(ended);
  if (record) {
    record->dropouts = dropouts_.get();
    record->ended = ended;
  }
}

// Every round trip to the sound service or the wineserver before the first block is
// rendered delays all of this wake-up's blocks, so the usual wake-up reads the play
// cursor (no round trip under Wine), looks once at the blocks ahead of it for a sign
// that the ring went round, renders, and only then takes the notifications, to tell
// the next wake-up's fresh ones from echoes. Where that one look cannot decide (no
// cursor, nothing due, or so much due that no block lies ahead) the notifications are
// taken first and the cursor read after them, as before.
void DsoundDuplex::handleWakeUp(DWORD woken) {
  const uint64_t all = blockCount_ >= 64 ? ~uint64_t{0} : (uint64_t{1} << blockCount_) - 1;
  const int64_t wakeTicks = BlockTiming::now();
  const uint64_t echoes = echoes_.get();
  // The wait took the notification that woke the worker.
  uint64_t taken = woken < blockCount_ ? uint64_t{1} << woken : 0;
  const uint64_t carried = carried_.get();
  carried_.set(0);
  DWORD cursor = 0;
  uint32_t cursorBlock = 0;
  bool haveCursor = readPlayCursor(cursor, cursorBlock);
  if (haveCursor) noteFirstReading(wakeTicks, cursor);
  const uint32_t due =
      haveCursor ? (cursorBlock + blockCount_ - nextBlock_.get()) % blockCount_ : 0;
  const bool renderFirst = haveCursor && due > 0 && due + 1 < blockCount_ &&
                           !freshAheadOfCursor((taken | carried) & ~echoes, cursorBlock) &&
                           !takeFreshAhead(cursorBlock, taken);
  if (!renderFirst) {
    taken |= takeNotifications();
    // Read after the notifications, the cursor has passed every block end they tell of.
    if (haveCursor) haveCursor = readPlayCursor(cursor, cursorBlock);
  }
  int64_t cursorTicks = haveCursor ? BlockTiming::now() : -1;

  DuplexTraceRecord* record = trace_.enabled() ? &trace_.next() : nullptr;
  if (record) {
    record->ticks = wakeTicks;
    record->cursor = haveCursor ? cursor : DuplexTraceRecord::kNoCursor;
    record->woken = woken;
    record->firstWritten = static_cast<uint16_t>(nextBlock_.get());
  }

  if (!renderFirst) {
    const uint64_t fresh = (taken | carried) & ~echoes;
    if (fresh == all || (haveCursor && freshAheadOfCursor(fresh, cursorBlock))) {
      // Every block's end was passed since the last look, or the end of a block the
      // cursor has not reached in this lap: a whole ring went by unanswered. Nothing
      // written now could sound in time; resume at the cursor. Every block's end was
      // passed in that lap, so the notifications not taken yet are still on their way:
      // they belong to the lap that was lost.
      if (haveCursor) {
        noteLapWhileWaiting(cursor);
        nextBlock_.set(cursorBlock);
      }
      loseRing();
      echoes_.set(all & ~(taken | carried));
      lastCursor_.set(haveCursor ? cursor : kNoCursorReading);
      if (record) {
        record->taken = taken;
        record->event = DuplexTraceRecord::WholeRing;
      }
      endWakeUp(record);
      return;
    }
    if (!haveCursor) cursorBlock = firstUnnotified(fresh);
  }
  if (!inSync_.get()) inSync_.set(true);

  uint64_t refilled = 0;
  uint64_t refilledTwice = 0;
  uint16_t written = 0;
  DuplexTraceRecord::Event lostBy = DuplexTraceRecord::None;
  uint32_t nowBlock = cursorBlock;
  uint64_t takenBeforeLast = taken;
  bool wholeLap = false;  // the cursor passed every block's end since the worker looked
  for (;;) {
    while (nextBlock_.get() != cursorBlock) {
      const uint32_t block = nextBlock_.get();
      // How far the cursor is ahead of this block; it is behind the cursor, so at least 1.
      const uint32_t behind = (cursorBlock + blockCount_ - block) % blockCount_;
      processBlock(block, record);
      ++written;
      const uint64_t bit = uint64_t{1} << block;
      if (refilled & bit) refilledTwice |= bit;
      refilled |= bit;
      nextBlock_.set((block + 1) % blockCount_);

      DWORD now = 0;
      if (!readPlayCursor(now, nowBlock)) {
        cursorTicks = -1;  // go on to the last known cursor
        nowBlock = cursorBlock;
        continue;
      }
      cursor = now;
      const int64_t ticks = BlockTiming::now();
      // The cursor came round into what was due (the block just written included): it
      // played blocks the worker had not refilled. A stall longer than the ring may show
      // as less on the cursor; the counter tells.
      const int64_t ring = ringTicks_.get();
      if ((nowBlock + blockCount_ - block) % blockCount_ < behind) {
        lostBy = DuplexTraceRecord::RingWentRound;
      } else if (ring > 0 && cursorTicks >= 0 && ticks - cursorTicks > ring) {
        lostBy = DuplexTraceRecord::Stall;
      }
      if (lostBy != DuplexTraceRecord::None) break;
      cursorBlock = nowBlock;
      cursorTicks = ticks;
    }
    if (lostBy != DuplexTraceRecord::None) {
      takenBeforeLast = taken;
      taken |= takeNotifications();
      break;
    }
    if (!renderFirst) break;
    // The blocks are written; now the notifications, then the cursor once more, read
    // after them: one of a block not refilled that lies ahead of it tells that the
    // cursor went round while the worker was at work. A block that fell due meanwhile is
    // refilled now, as the notification that would have woken the worker is taken.
    takenBeforeLast = taken;
    taken |= takeNotifications();
    DWORD now = 0;
    uint32_t newBlock = 0;
    if (!readPlayCursor(now, newBlock)) break;
    cursor = now;
    nowBlock = newBlock;
    if (freshAheadOfCursor((taken | carried) & ~echoes & ~refilled, newBlock)) {
      // Found only now, the lap may still have come before the wake-up: the rest of a
      // burst the worker woke at the start of.
      noteLapWhileWaiting(now);
      lostBy = DuplexTraceRecord::RingWentRound;
      wholeLap = true;
      break;
    }
    if (newBlock == cursorBlock) break;
    cursorBlock = newBlock;
    cursorTicks = BlockTiming::now();
  }
  // A block refilled on the cursor's word before its notification came still gets that
  // notification later: an echo, not a sign that the ring went round. A block refilled
  // twice in one wake-up may still get the second lap's.
  const uint64_t fresh = (taken | carried) & ~echoes;
  uint64_t outstanding = (echoes & ~taken) | (refilled & ~fresh) | refilledTwice;
  if (lostBy != DuplexTraceRecord::None) {
    loseRing();
    // What was signalled meanwhile belongs to the lap that was lost. The blocks
    // refilled or skipped in this wake-up whose notification is still to come get it
    // as an echo: were it taken as fresh, it would look like another lost ring. After a
    // whole lap that is every notification not taken yet.
    for (uint32_t j = nextBlock_.get(); j != nowBlock; j = (j + 1) % blockCount_) {
      if (!(takenBeforeLast & (uint64_t{1} << j))) outstanding |= uint64_t{1} << j;
    }
    echoes_.set(wholeLap ? all & ~(taken | carried) : outstanding & ~(taken & ~takenBeforeLast));
    nextBlock_.set(nowBlock);
    if (record) record->event = lostBy;
  } else {
    echoes_.set(outstanding);
    carried_.set(fresh & ~refilled);
  }
  lastCursor_.set(haveCursor ? cursor : kNoCursorReading);
  if (record) {
    record->taken = taken;
    record->written = written;
  }
  endWakeUp(record);
}

void DsoundDuplex::processBlock(uint32_t block, DuplexTraceRecord* record) {
  // Back late from a call after stop gave up on it: the rack may be another's by now.
  if (quitting_.load(std::memory_order_acquire)) return;
  const int64_t startTicks = BlockTiming::now();
  const DuplexOutput output = outputMode_.get();

  // Cleared again below when the capture's read position has moved.
  captureStillBlocks_.set(captureStillBlocks_.get() + 1);
  if (captureReadPos_.get() != kNoCapturePosition && captureBlockUnusable(record)) {
    captureReadPos_.set(kNoCapturePosition);
    if (captureReadsToFlow_.get() == 0) dropouts_.set(dropouts_.get() + 1);
  }
  if (captureReadPos_.get() == kNoCapturePosition) placeCapture(record);
  if (captureReadPos_.get() != kNoCapturePosition) {
    if (captureReadsToFlow_.get() > 0) captureReadsToFlow_.set(captureReadsToFlow_.get() - 1);
    if (readCapture() && record) noteCapturePeak(*record);
    captureReadPos_.set(static_cast<int32_t>(
        (static_cast<uint32_t>(captureReadPos_.get()) + static_cast<uint32_t>(blockBytes_)) %
        captureBytes_));
  }

  pcm16ToPlanar(in16_.get(), inFloat_.get(), blockFrames_, channels_);
  if (output != DuplexOutput::NoRender) {
    if (record && record->rendered == 0) record->rendered = BlockTiming::now();
    rack_->render(outFloat_.get(), inFloat_.get(), channels_, channels_, blockFrames_,
                  static_cast<float>(sampleRate_), steadyBlockStart(block, startTicks));
  }
  planarToPcm16(outFloat_.get(), out16_.get(), blockFrames_, channels_);

  void* region1 = nullptr;
  void* region2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  const HRESULT locked =
      renderBuffer_->Lock(block * static_cast<DWORD>(blockBytes_), static_cast<DWORD>(blockBytes_),
                          &region1, &bytes1, &region2, &bytes2, 0);
  noteRenderLock(locked);
  if (SUCCEEDED(locked)) {
    // A block never wraps the ring, so the first region is all of it.
    const size_t bytes = std::min<size_t>(bytes1, static_cast<size_t>(blockBytes_));
    if (output == DuplexOutput::Play) {
      std::memcpy(region1, out16_.get(), bytes);
    } else {
      std::memset(region1, 0, bytes);
    }
    renderBuffer_->Unlock(region1, bytes1, region2, bytes2);
  }

  const int64_t endTicks = BlockTiming::now();
  timing_.record(endTicks - startTicks);
  if (record && SUCCEEDED(locked)) {
    if (output == DuplexOutput::Play) {
      trace_.scanOutput(*record, block, out16_.get(), blockFrames_, channels_, endTicks);
    } else {
      trace_.scanSilence(blockFrames_);
    }
  }
}

// P is where the next block is read, C the capture position, R the read position:
// the data in [P, R) is complete unless C lies inside it (the device overtook P).
bool DsoundDuplex::captureBlockUnusable(DuplexTraceRecord* record) {
  DWORD capturePosition = 0;
  DWORD readPosition = 0;
  if (FAILED(captureBuffer_->GetCurrentPosition(&capturePosition, &readPosition))) return true;
  noteCaptureRead(readPosition, record);
  const int64_t p = captureReadPos_.get();
  const int64_t c = capturePosition;
  int64_t r = readPosition;
  if (r >= p) {
    if (p <= c && c < r) return true;
  } else {
    if (c >= p || c < r) return true;
    r += captureBytes_;
  }
  return r - p < blockBytes_;
}

// The input lags the readable data by one render-ring length and the slack.
void DsoundDuplex::placeCapture(DuplexTraceRecord* record) {
  DWORD readPosition = 0;
  if (FAILED(captureBuffer_->GetCurrentPosition(nullptr, &readPosition))) return;
  noteCaptureRead(readPosition, record);
  const int64_t lag =
      static_cast<int64_t>(renderBytes_) + static_cast<int64_t>(kCaptureSlackBlocks) * blockBytes_;
  int64_t position = static_cast<int64_t>(readPosition) -
                     static_cast<int64_t>(readPosition % static_cast<DWORD>(frameBytes_)) - lag;
  if (position < 0) position += captureBytes_;
  captureReadPos_.set(static_cast<int32_t>(position));
  // The block after the ones captured already proves the capture flows.
  captureReadsToFlow_.set(static_cast<uint32_t>(lag / blockBytes_) + 1);
}

// On failure (false) in16 keeps the previous block's samples.
bool DsoundDuplex::readCapture() {
  void* region1 = nullptr;
  void* region2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  if (FAILED(captureBuffer_->Lock(static_cast<DWORD>(captureReadPos_.get()),
                                  static_cast<DWORD>(blockBytes_), &region1, &bytes1, &region2,
                                  &bytes2, 0))) {
    return false;
  }
  uint8_t* destination = reinterpret_cast<uint8_t*>(in16_.get());
  const size_t total = static_cast<size_t>(blockBytes_);
  const size_t first = std::min<size_t>(bytes1, total);
  std::memcpy(destination, region1, first);
  if (region2 != nullptr) {
    std::memcpy(destination + first, region2, std::min<size_t>(bytes2, total - first));
  }
  captureBuffer_->Unlock(region1, bytes1, region2, bytes2);
  return true;
}

void DsoundDuplex::noteCapturePeak(DuplexTraceRecord& record) const {
  int32_t peak = std::max(record.capturePeak, int32_t{0});
  for (int32_t i = 0; i < blockSamples_; ++i) peak = std::max(peak, std::abs(int32_t{in16_[i]}));
  record.capturePeak = peak;
}
