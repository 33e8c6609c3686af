// The worker's watch over the device. A render buffer reported lost gets one Restore
// and a silenced ring, and streaming goes on. A device that is gone shows in one of
// two ways: its calls keep failing, or (Wine, when its sound server goes away) nothing
// fails at all and the mixer just stops: no notification comes and the play cursor
// stands still. Either, for longer than lossTicks_, marks the engine lost, as does a
// storm of dropouts that goes on for seconds; the worker then waits only for its stop,
// so a lost engine costs no CPU.
#include <cstring>

#include "audio/dsound/dsound_duplex.h"

void DsoundDuplex::resetWatch() {
  lifeTicks_.set(BlockTiming::now());
  watchedCursor_.set(0);
  failingSince_.set(-1);
  restoreWanted_.set(false);
  lossTicks_.set(performanceFrequency() / 2);
  stormSecondTicks_.set(BlockTiming::now());
  stormSecondDropouts_.set(0);
  stormSeconds_.set(0);
  captureSeen_.set(kNoCursorReading);
  captureStillBlocks_.set(0);
  lost_.set(false);
}

// A wait timed out: no notification for a while. False when the device counts as lost.
bool DsoundDuplex::watchQuietRing() {
  DWORD status = 0;
  const HRESULT statusResult = renderBuffer_->GetStatus(&status);
  if (restoreWanted_.get() || statusResult == DSERR_BUFFERLOST ||
      (SUCCEEDED(statusResult) && (status & DSBSTATUS_BUFFERLOST))) {
    if (restoreRing()) return true;
  } else {
    DWORD play = 0;
    DWORD write = 0;
    // Moved since the last wake-up or look: the ring plays on unanswered. Answered here;
    // no sign of life though, so a service that goes on like this counts as lost.
    if (SUCCEEDED(renderBuffer_->GetCurrentPosition(&play, &write)) &&
        play != watchedCursor_.get() && play != lastCursor_.get()) {
      watchedCursor_.set(play);
      answerQuietRing();
    }
  }
  return BlockTiming::now() - lifeTicks_.get() <= lossTicks_.get();
}

// The play cursor ran through a wait with no notification. A ring shorter than that
// wait went round playing what it held: one dropout, and the worker resumes behind the
// cursor. Either way it refills up to the cursor, so the ring does not loop a stale
// stretch. The notifications of that time, should they still come, are of a lap gone.
void DsoundDuplex::answerQuietRing() {
  DWORD cursor = 0;
  uint32_t cursorBlock = 0;
  if (!readPlayCursor(cursor, cursorBlock)) return;
  const int64_t wakeTicks = BlockTiming::now();
  DuplexTraceRecord* record = trace_.enabled() ? &trace_.next() : nullptr;
  if (record) {
    record->ticks = wakeTicks;
    record->cursor = cursor;
    record->woken = WAIT_TIMEOUT;
    record->firstWritten = static_cast<uint16_t>(nextBlock_.get());
  }
  const int64_t ring = ringTicks_.get();
  if (ring <= 0 || wakeTicks - endedTicks_.get() > ring) {
    loseRing();
    nextBlock_.set((cursorBlock + 1) % blockCount_);
    if (record) record->event = DuplexTraceRecord::WholeRing;
  }
  inSync_.set(true);
  uint16_t written = 0;
  while (nextBlock_.get() != cursorBlock) {
    processBlock(nextBlock_.get(), record);
    ++written;
    nextBlock_.set((nextBlock_.get() + 1) % blockCount_);
  }
  const uint64_t taken = takeNotifications();
  const uint64_t all = blockCount_ >= 64 ? ~uint64_t{0} : (uint64_t{1} << blockCount_) - 1;
  echoes_.set(all & ~taken);
  carried_.set(0);
  lastCursor_.set(cursor);
  catchUpCursor_.set(kNoCursorReading);
  if (record) {
    record->taken = taken;
    record->written = written;
  }
  endWakeUp(record);
}

// One Restore; the ring is silenced and played again, and refilling resumes at the
// play cursor. A failure leaves the restore to the next look, within the loss time.
bool DsoundDuplex::restoreRing() {
  restoreWanted_.set(true);
  if (FAILED(renderBuffer_->Restore())) return false;
  void* region1 = nullptr;
  void* region2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  if (FAILED(renderBuffer_->Lock(0, renderBytes_, &region1, &bytes1, &region2, &bytes2,
                                 DSBLOCK_ENTIREBUFFER))) {
    return false;
  }
  std::memset(region1, 0, bytes1);
  renderBuffer_->Unlock(region1, bytes1, region2, bytes2);
  if (FAILED(renderBuffer_->Play(0, 0, DSBPLAY_LOOPING))) return false;
  restoreWanted_.set(false);
  loseRing();
  DWORD cursor = 0;
  uint32_t block = 0;
  if (readPlayCursor(cursor, block)) nextBlock_.set(block);
  takeNotifications();
  echoes_.set(0);
  carried_.set(0);
  failingSince_.set(-1);
  lifeTicks_.set(BlockTiming::now());
  return true;
}

void DsoundDuplex::noteRenderLock(HRESULT result) {
  if (SUCCEEDED(result)) {
    failingSince_.set(-1);
  } else if (result == DSERR_BUFFERLOST) {
    restoreWanted_.set(true);
  } else if (failingSince_.get() < 0) {
    failingSince_.set(BlockTiming::now());
  }
}

// A stream that plays loses a ring now and then, a few a second at most under a host
// that keeps every core busy. One whose dropouts come in a storm second after second
// plays nothing worth hearing: Wine's mixer, with its sink suspended, still wakes and
// moves the cursor, at two thirds of the pace, while the capture runs on at full pace
// and overtakes the read position about ten times a second. True once that has gone
// on long enough to count as a device gone.
bool DsoundDuplex::dropoutStorm() {
  constexpr int32_t kStormDropoutsPerSecond = 5;
  constexpr int32_t kStormSeconds = 2;
  const int64_t now = BlockTiming::now();
  if (now - stormSecondTicks_.get() < performanceFrequency()) return false;
  const int32_t dropouts = dropouts_.get();
  const bool storm = dropouts - stormSecondDropouts_.get() >= kStormDropoutsPerSecond;
  stormSeconds_.set(storm ? stormSeconds_.get() + 1 : 0);
  stormSecondTicks_.set(now);
  stormSecondDropouts_.set(dropouts);
  return stormSeconds_.get() >= kStormSeconds;
}

// The capture ring's read position as the worker last saw it; a move is a sign that the
// capture flows.
void DsoundDuplex::noteCaptureRead(DWORD readPosition, DuplexTraceRecord* record) {
  if (record) record->captureRead = readPosition;
  if (readPosition == captureSeen_.get()) return;
  captureSeen_.set(readPosition);
  captureStillBlocks_.set(0);
}

// The render side plays on, but the capture hands nothing over: every block of input is
// the same stale stretch (silence, when it never flowed). Wine's capture hands over its
// first sound 1.2 to 1.6 s after it starts; one that stood still while 3 s of blocks were
// rendered is taken as stuck, and only a stream created anew gets it going again. Counted
// in blocks, not time: a stall of the whole process moves neither side.
bool DsoundDuplex::captureStalled() const {
  const int64_t blocks = blockFrames_ > 0 ? kCaptureStallSeconds * sampleRate_ / blockFrames_ : 0;
  return captureStillBlocks_.get() > blocks;
}

bool DsoundDuplex::failingTooLong() const {
  const int64_t since = failingSince_.get();
  return since >= 0 && BlockTiming::now() - since > lossTicks_.get();
}

void DsoundDuplex::waitWhileLost() {
  lost_.set(true);
  WaitForSingleObject(stopEvent(), INFINITE);
  ResetEvent(stopEvent());
}
