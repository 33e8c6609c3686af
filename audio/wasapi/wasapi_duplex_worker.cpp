// The worker thread: woken by the render stream's event, it reads what the capture
// stream has handed over into its input ring and renders the rack once per period into
// the render buffer's free room. Nothing here allocates, locks or waits but for the
// event and the stop request; a device that goes away or stops signalling ends it.
#include <algorithm>
#include <cstring>

#include "audio/sample_conversion.h"
#include "audio/wasapi/wasapi_duplex.h"
#include "synth/synth_rack.h"

namespace {

// Bounds one wake-up's reading: a capture stream cannot hand over more packets than
// its buffer holds, and a device that keeps answering with more is not followed.
constexpr int kMaxPacketsPerWakeUp = 64;

}  // namespace

DWORD WINAPI WasapiDuplex::workerMain(LPVOID self) {
  static_cast<WasapiDuplex*>(self)->runWorker();
  return 0;
}

void WasapiDuplex::runWorker() {
  const bool comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  DWORD taskIndex = 0;
  const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
  SetEvent(readyEvent_);
  // The stop request first: WaitForMultipleObjects answers the lowest signalled index.
  const HANDLE handles[2] = {stopEvent_, deviceEvent_};
  for (;;) {
    const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, kStallMs);
    if (woken == WAIT_OBJECT_0) break;
    if (woken == WAIT_OBJECT_0 + 1 && serveEvent()) continue;
    // No event for kStallMs (a stalled or vanished device), a failed wait, or the
    // device invalidated: waiting on would only spin or sleep for nothing.
    lost_.set(true);
    break;
  }
  if (task != nullptr) AvRevertMmThreadCharacteristics(task);
  if (comInitialized) CoUninitialize();
}

bool WasapiDuplex::deviceGone(HRESULT result) {
  return result == AUDCLNT_E_DEVICE_INVALIDATED;
}

// False when the device went away.
bool WasapiDuplex::serveEvent() {
  // Back late from a call after stop gave up on it: the rack may be another's by now.
  if (quitting_.load(std::memory_order_acquire)) return true;
  const int64_t woken = BlockTiming::now();
  const bool read = readClock();
  record_ = traceOut_ != nullptr ? &trace_.next() : nullptr;
  if (record_ != nullptr) {
    const int64_t blockFrames = mode_ == WasapiMode::Exclusive
                                    ? static_cast<int64_t>(bufferFrames_)
                                    : static_cast<int64_t>(periodFrames_);
    const int64_t ringFrames = blockFrames * kTraceBlocks;
    // The reading itself, not the line: the tools fit their own.
    record_->ticks = read ? readTicks_ : woken;
    record_->cursor = read ? static_cast<uint32_t>(readFrames_ % ringFrames * 2 * rackChannels_)
                           : DuplexTraceRecord::kNoCursor;
    record_->firstWritten = static_cast<uint16_t>(written_ / blockFrames % kTraceBlocks);
  }
  const bool served = serveWakeUp();
  if (record_ != nullptr) {
    record_->dropouts = dropouts_.get();
    record_->ended = BlockTiming::now();
    // In frames, not bytes: how the capture hands its packets over, a burst or a gap.
    if (captureClient_ != nullptr) record_->captureRead = static_cast<uint32_t>(capturedFrames_);
  }
  return served;
}

bool WasapiDuplex::serveWakeUp() {
  if (mode_ == WasapiMode::Exclusive) {
    // Exclusive mode hands over a whole buffer per event.
    return processPeriod(static_cast<int32_t>(bufferFrames_));
  }
  UINT32 padding = 0;
  const HRESULT hr = renderAudio_->GetCurrentPadding(&padding);
  if (FAILED(hr)) return !deviceGone(hr);
  uint32_t room = bufferFrames_ > padding ? bufferFrames_ - padding : 0;
  while (room >= static_cast<uint32_t>(periodFrames_)) {
    if (!processPeriod(periodFrames_)) return false;
    room -= static_cast<uint32_t>(periodFrames_);
  }
  return true;
}

bool WasapiDuplex::processPeriod(int32_t frames) {
  const int64_t startTicks = BlockTiming::now();
  const DuplexOutput output = outputMode_.get();
  if (captureClient_ != nullptr) {
    if (!pullCapture()) return false;
    readInput(frames);
  }
  if (output != DuplexOutput::NoRender) {
    // When the rack takes the messages that came so far: what the timing analysis needs.
    if (record_ != nullptr && record_->rendered == 0) record_->rendered = BlockTiming::now();
    rack_->render(outFloat_.get(), inFloat_.get(), rackChannels_, rackChannels_, frames,
                  static_cast<float>(sampleRate_), steadyBlockStart(startTicks));
  }
  BYTE* data = nullptr;
  HRESULT hr = renderClient_->GetBuffer(static_cast<UINT32>(frames), &data);
  if (FAILED(hr)) return !deviceGone(hr);
  planarToInterleaved(sampleType_, outFloat_.get(), rackChannels_, data, renderChannels_, frames,
                      output != DuplexOutput::Play);
  hr = renderClient_->ReleaseBuffer(static_cast<UINT32>(frames), 0);
  if (FAILED(hr)) return !deviceGone(hr);
  if (record_ != nullptr) traceBlock(frames, output);
  written_ += frames;
  timing_.record(BlockTiming::now() - startTicks);
  return true;
}

void WasapiDuplex::traceBlock(int32_t frames, DuplexOutput output) {
  ++record_->written;
  if (output != DuplexOutput::Play) {
    trace_.scanSilence(frames);
    return;
  }
  planarToPcm16(outFloat_.get(), traceOut_.get(), frames, rackChannels_);
  const auto block = static_cast<uint32_t>(written_ / frames % kTraceBlocks);
  trace_.scanOutput(*record_, block, traceOut_.get(), frames, rackChannels_, BlockTiming::now());
}

// The stream's position and the counter when the device was there (in 100 ns units).
bool WasapiDuplex::readClock() {
  UINT64 position = 0;
  UINT64 counter = 0;
  if (audioClock_ == nullptr || FAILED(audioClock_->GetPosition(&position, &counter)) ||
      counter == 0) {
    return false;
  }
  constexpr UINT64 kUnitsPerSecond = 10'000'000;
  const auto frequency = static_cast<UINT64>(counterFrequency_);
  const UINT64 ticks = counter / kUnitsPerSecond * frequency +
                       counter % kUnitsPerSecond * frequency / kUnitsPerSecond;
  const UINT64 frames =
      position / clockFrequency_ * static_cast<UINT64>(sampleRate_) +
      position % clockFrequency_ * static_cast<UINT64>(sampleRate_) / clockFrequency_;
  readFrames_ = static_cast<int64_t>(frames);
  readTicks_ = static_cast<int64_t>(ticks);
  clock_.observe(readFrames_, readTicks_);
  return true;
}

// Steady timing needs every message stamped up to a block's start in hand when it is
// rendered: that start is when the block will play, less how far ahead the stream has
// blocks rendered and a margin, so blocks rendered back to back still start a block
// apart. That lead settles within the first periods and is kept, as it tells the
// stream's own buffering: moving it would move every later message by as much. A block
// further ahead than the lead and the margin (a wake-up early, a clock line moved for a
// while by late readings) starts when rendered; only a stream that stays further ahead
// for a run of blocks has its lead grown, to the least of that run.
int64_t WasapiDuplex::steadyBlockStart(int64_t now) {
  constexpr int32_t kBlocksToGrowLead = 16;
  if (!clock_.anchored()) return now;
  const int64_t plays = clock_.ticksAt(written_);
  const int64_t ahead = plays - now;
  if (ahead > leadTicks_ + marginTicks_) {
    leastAhead_ = blocksAhead_ == 0 ? ahead : std::min(leastAhead_, ahead);
    if (++blocksAhead_ >= kBlocksToGrowLead) {
      leadTicks_ = leastAhead_;
      blocksAhead_ = 0;
    }
  } else {
    blocksAhead_ = 0;
  }
  return std::min(now, plays - leadTicks_ - marginTicks_);
}

// Moves every packet the capture stream holds into the input ring. False when the
// device went away.
bool WasapiDuplex::pullCapture() {
  const int32_t frameBytes = sampleTypeBytes(captureType_) * captureChannels_;
  for (int n = 0; n < kMaxPacketsPerWakeUp; ++n) {
    UINT32 next = 0;
    HRESULT hr = captureClient_->GetNextPacketSize(&next);
    if (FAILED(hr)) return !deviceGone(hr);
    if (next == 0) return true;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    hr = captureClient_->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(hr)) return !deviceGone(hr);
    if (hr == AUDCLNT_S_BUFFER_EMPTY || frames == 0) return true;
    // The first packet of a stream is often marked: nothing came before it to lose.
    if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) && captureFlowing_) {
      dropouts_.set(dropouts_.get() + 1);
    }
    captureFlowing_ = true;
    capturedFrames_ += frames;
    if (inputPlaced_) flowingSincePlaced_ = true;
    int32_t count = static_cast<int32_t>(std::min<UINT32>(frames, fifoFrames_));
    const BYTE* from = data + static_cast<int64_t>(frames - count) * frameBytes;
    if (fifoFill_ + count > fifoFrames_) {
      // The capture ran ahead of the render side by more than the ring: the oldest go.
      const int32_t drop = fifoFill_ + count - fifoFrames_;
      fifoRead_ = (fifoRead_ + drop) % fifoFrames_;
      fifoFill_ -= drop;
      dropouts_.set(dropouts_.get() + 1);
      inputPlaced_ = false;
    }
    int32_t write = (fifoRead_ + fifoFill_) % fifoFrames_;
    while (count > 0) {
      const int32_t chunk = std::min(count, fifoFrames_ - write);
      float* to = fifo_.get() + static_cast<int64_t>(write) * rackChannels_;
      if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
        std::fill_n(to, static_cast<int64_t>(chunk) * rackChannels_, 0.0f);
      } else {
        interleavedToFloat(captureType_, from, captureChannels_, to, rackChannels_, chunk);
      }
      from += static_cast<int64_t>(chunk) * frameBytes;
      fifoFill_ += chunk;
      count -= chunk;
      write = (write + chunk) % fifoFrames_;
    }
    hr = captureClient_->ReleaseBuffer(frames);
    if (FAILED(hr)) return !deviceGone(hr);
  }
  return true;
}

// A period of input from the ring into the rack's planar block. Reading starts once
// a period and the slack are in hand; a ring that runs dry after that is a dropout
// (once the capture has handed something over since), and the input waits for the
// slack again, a period longer, so one late packet costs one gap, not one per period,
// and a capture that keeps coming that late costs no more.
void WasapiDuplex::readInput(int32_t frames) {
  if (!inputPlaced_ && fifoFill_ >= frames + slackFrames_) {
    // Older input than the slack is only latency.
    const int32_t skip = fifoFill_ - (frames + slackFrames_);
    fifoRead_ = (fifoRead_ + skip) % fifoFrames_;
    fifoFill_ -= skip;
    inputPlaced_ = true;
    flowingSincePlaced_ = false;
  }
  if (inputPlaced_ && fifoFill_ < frames) {
    if (flowingSincePlaced_) {
      dropouts_.set(dropouts_.get() + 1);
      slackFrames_ = std::min(slackFrames_ + periodFrames_, mostSlackFrames_);
    }
    inputPlaced_ = false;
  }
  float* in = inFloat_.get();
  if (!inputPlaced_) {
    std::fill_n(in, static_cast<int64_t>(frames) * rackChannels_, 0.0f);
    return;
  }
  for (int32_t i = 0; i < frames; ++i) {
    const float* frame = fifo_.get() + static_cast<int64_t>(fifoRead_) * rackChannels_;
    for (int32_t c = 0; c < rackChannels_; ++c) in[static_cast<int64_t>(c) * frames + i] = frame[c];
    fifoRead_ = fifoRead_ + 1 == fifoFrames_ ? 0 : fifoRead_ + 1;
  }
  fifoFill_ -= frames;
}
