// The worker thread: woken by the render ring's notifications, it handles every
// block the play position has passed, in play order, so that a late wake-up
// catches up. Nothing here allocates or locks; the rings are reached only
// through Lock/Unlock of the sound service.
#include <algorithm>
#include <cstring>

#include "audio/dsound_duplex.h"
#include "audio/sample_conversion.h"
#include "synth/synth_rack.h"

DWORD WINAPI DsoundDuplex::workerMain(LPVOID self) {
  static_cast<DsoundDuplex*>(self)->runWorker();
  return 0;
}

void DsoundDuplex::runWorker() {
  const DWORD handles = blockCount_ + 2;
  for (;;) {
    const DWORD result = WaitForMultipleObjects(handles, events_.get(), FALSE, INFINITE);
    if (result == WAIT_FAILED) return;
    const DWORD index = result - WAIT_OBJECT_0;
    if (index == blockCount_) {
      ResetEvent(stopEvent());
      return;
    }
    if (index == blockCount_ + 1) {
      ResetEvent(handshakeEvent());
      continue;
    }
    if (index < blockCount_) handleWakeUp();
  }
}

bool DsoundDuplex::isSignaled(uint32_t block) const {
  return WaitForSingleObject(events_[block], 0) == WAIT_OBJECT_0;
}

void DsoundDuplex::handleWakeUp() {
  const uint32_t last = blockCount_ - 1;
  if (isSignaled(last)) {
    // The signalled run may straddle the end of the ring: its older part is the
    // run of signalled blocks that ends at the last block.
    int32_t i = static_cast<int32_t>(blockCount_) - 2;
    while (i >= 0 && isSignaled(static_cast<uint32_t>(i))) --i;
    if (i < 0) {
      // Every block is due: the play position went round the ring unanswered.
      if (inSync_.get()) dropouts_.set(dropouts_.get() + 1);
      inSync_.set(false);
      captureReadPos_.set(-1);
    } else if (!inSync_.get()) {
      inSync_.set(true);
    }
    for (uint32_t j = static_cast<uint32_t>(i + 1); j < blockCount_; ++j) {
      ResetEvent(events_[j]);
      if (inSync_.get()) processAndCheck(j);
    }
  } else if (!inSync_.get()) {
    inSync_.set(true);
  }
  for (uint32_t j = 0; j < blockCount_; ++j) {
    if (!isSignaled(j)) continue;
    ResetEvent(events_[j]);
    if (inSync_.get()) processAndCheck(j);
  }
}

void DsoundDuplex::processAndCheck(uint32_t block) {
  processBlock(block);
  // The block before this one signalled again: the play position has gone round
  // the whole ring since it was handled, so the rest of this wake-up is stale.
  const uint32_t previous = block == 0 ? blockCount_ - 1 : block - 1;
  if (isSignaled(previous)) {
    dropouts_.set(dropouts_.get() + 1);
    inSync_.set(false);
    captureReadPos_.set(-1);
  }
}

void DsoundDuplex::processBlock(uint32_t block) {
  const int64_t startTicks = BlockTiming::now();
  const int32_t mode = outputMode_.get();

  if (captureReadPos_.get() >= 0 && captureBlockUnusable()) {
    captureReadPos_.set(-1);
    dropouts_.set(dropouts_.get() + 1);
  }
  if (captureReadPos_.get() < 0) placeCapture();
  if (captureReadPos_.get() >= 0) {
    readCapture();
    captureReadPos_.set(static_cast<int32_t>(
        (static_cast<uint32_t>(captureReadPos_.get()) + static_cast<uint32_t>(blockBytes_)) %
        captureBytes_));
  }

  pcm16ToPlanar(in16_.get(), inFloat_.get(), blockFrames_, channels_);
  if (mode != 2) {
    rack_->render(outFloat_.get(), inFloat_.get(), channels_, channels_, blockFrames_,
                  static_cast<float>(sampleRate_));
  }
  planarToPcm16(outFloat_.get(), out16_.get(), blockFrames_, channels_);

  void* region1 = nullptr;
  void* region2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  if (SUCCEEDED(renderBuffer_->Lock(block * static_cast<DWORD>(blockBytes_),
                                    static_cast<DWORD>(blockBytes_), &region1, &bytes1, &region2,
                                    &bytes2, 0))) {
    // A block never wraps the ring, so the first region is all of it.
    const size_t bytes = std::min<size_t>(bytes1, static_cast<size_t>(blockBytes_));
    if (mode == 0) {
      std::memcpy(region1, out16_.get(), bytes);
    } else {
      std::memset(region1, 0, bytes);
    }
    renderBuffer_->Unlock(region1, bytes1, region2, bytes2);
  }

  timing_.record(BlockTiming::now() - startTicks);
}

// P is where the next block is read, C the capture position, R the read position:
// the data in [P, R) is complete unless C lies inside it (the device overtook P).
bool DsoundDuplex::captureBlockUnusable() {
  DWORD capturePosition = 0;
  DWORD readPosition = 0;
  if (FAILED(captureBuffer_->GetCurrentPosition(&capturePosition, &readPosition))) return true;
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

// The input lags the readable data by one render-ring length.
void DsoundDuplex::placeCapture() {
  DWORD readPosition = 0;
  if (FAILED(captureBuffer_->GetCurrentPosition(nullptr, &readPosition))) return;
  int64_t position = static_cast<int64_t>(readPosition) -
                     static_cast<int64_t>(readPosition % static_cast<DWORD>(frameBytes_)) -
                     static_cast<int64_t>(renderBytes_);
  if (position < 0) position += captureBytes_;
  captureReadPos_.set(static_cast<int32_t>(position));
}

// On failure in16 keeps the previous block's samples.
void DsoundDuplex::readCapture() {
  void* region1 = nullptr;
  void* region2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  if (FAILED(captureBuffer_->Lock(static_cast<DWORD>(captureReadPos_.get()),
                                  static_cast<DWORD>(blockBytes_), &region1, &bytes1, &region2,
                                  &bytes2, 0))) {
    return;
  }
  uint8_t* destination = reinterpret_cast<uint8_t*>(in16_.get());
  const size_t total = static_cast<size_t>(blockBytes_);
  const size_t first = std::min<size_t>(bytes1, total);
  std::memcpy(destination, region1, first);
  if (region2 != nullptr) {
    std::memcpy(destination + first, region2, std::min<size_t>(bytes2, total - first));
  }
  captureBuffer_->Unlock(region1, bytes1, region2, bytes2);
}
