// Full-duplex audio through WASAPI: a render stream on the chosen (or the default)
// render endpoint, driven by its event, and a capture stream on the chosen capture
// endpoint, read on the same wake-up. A time-critical worker, registered with MMCSS as
// "Pro Audio", renders the rack once per device period. Shared mode plays at the
// engine's mix rate in 32-bit float with the smallest period it allows; exclusive mode
// negotiates a format at the device's minimum period and falls back to shared when the
// device refuses. Set-up is in wasapi_duplex.cpp, the worker in wasapi_duplex_worker.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/asio/asio_sample_types.h"
#include "audio/dsound/dsound_duplex_trace.h"
#include "audio/duplex_output.h"
#include "common/block_timing.h"
#include "common/relaxed.h"
#include "common/stream_clock.h"
#include "platform/platform.h"

class SynthRack;

enum class WasapiMode : int32_t { Shared = 0, Exclusive = 1 };

struct WasapiOpenOptions {
  WasapiMode mode = WasapiMode::Shared;
  // Endpoint ids (IMMDevice::GetId); empty for the system's default endpoint.
  std::wstring renderId;
  std::wstring captureId;
  bool withCapture = true;
};

class WasapiDuplex {
 public:
  // Periods of capture kept in hand before the input is read: the capture is handed
  // over in packets of the service's period, which may come late or several at once
  // (Wine's, up to 30 ms behind the render side). A capture later than that grows the
  // slack by a period, up to twice what it started with.
  static constexpr int32_t kCaptureSlackPeriods = 3;
  // A wait this long without the device's event: the device stalled or went away.
  static constexpr DWORD kStallMs = 500;
  // How long stop waits for the worker to end, and start for it to answer.
  static constexpr DWORD kWorkerWaitMs = 2000;

  WasapiDuplex() = default;
  // An engine whose worker was left running (workerLeftRunning) must not be destroyed.
  ~WasapiDuplex() { release(); }
  WasapiDuplex(const WasapiDuplex&) = delete;
  WasapiDuplex& operator=(const WasapiDuplex&) = delete;

  // The caller's thread has COM initialised.
  int32_t open(SynthRack* rack, const WasapiOpenOptions& options);
  int32_t start(DuplexOutput output);
  // As DsoundDuplex::stop: a worker that does not end within kWorkerWaitMs is left
  // running, the engine counts as lost and gives AudioWorkerLeftRunning.
  int32_t stop();
  void release();
  bool workerLeftRunning() const { return workerLeftRunning_; }

  // Observers.
  bool isOpened() const { return renderClient_ != nullptr; }
  WasapiMode mode() const { return mode_; }
  // Exclusive mode was asked for and refused (the device in use, no format it takes,
  // policy): the route plays shared; exclusiveRefusal() keeps the device's answer.
  bool sharedFallback() const { return sharedFallback_; }
  HRESULT exclusiveRefusal() const { return exclusiveRefusal_; }
  // No capture endpoint, or one that refused: the route plays without input.
  bool outputOnly() const { return captureClient_ == nullptr; }
  HRESULT captureRefusal() const { return captureRefusal_; }
  // Shared mode at the smallest period the engine allows (IAudioClient3), not its default.
  bool sharedMinimumPeriod() const { return sharedMinimumPeriod_; }
  int32_t sampleRate() const { return sampleRate_; }
  int32_t periodFrames() const { return periodFrames_; }
  uint32_t bufferFrames() const { return bufferFrames_; }
  int32_t renderChannels() const { return renderChannels_; }
  int32_t captureChannels() const { return captureChannels_; }
  ASIOSampleType sampleType() const { return sampleType_; }
  int32_t dropouts() const { return dropouts_.get(); }
  double peakTicks() const { return timing_.peakTicks(); }
  double averageTicks() const { return timing_.averageTicks(); }
  HANDLE thread() const { return thread_; }
  // The device went away (AUDCLNT_E_DEVICE_INVALIDATED) or its event stopped coming
  // for kStallMs: the worker has ended; the owner closes the route and opens it again.
  // Cleared by start.
  bool lost() const { return lost_.get(); }
  // The HRESULT behind the last failure of open, start or stop (S_OK: none).
  HRESULT lastHostError() const { return lastHostError_; }

 private:
  static DWORD WINAPI workerMain(LPVOID self);
  void runWorker();
  bool serveEvent();
  bool serveWakeUp();
  void traceBlock(int32_t frames, DuplexOutput output);
  bool processPeriod(int32_t frames);
  bool readClock();
  int64_t steadyBlockStart(int64_t now);
  bool pullCapture();
  void readInput(int32_t frames);
  bool deviceGone(HRESULT result);
  int32_t openRender(IMMDevice* device, const WasapiOpenOptions& options);
  HRESULT openExclusive(IMMDevice* device);
  HRESULT initializeExclusive(IMMDevice* device, const WAVEFORMATEX* format);
  HRESULT openShared(IMMDevice* device);
  void openCapture(IMMDeviceEnumerator* enumerator, const WasapiOpenOptions& options);
  int32_t failed(int32_t code, HRESULT result);
  void releaseClients();

  SynthRack* rack_ = nullptr;
  WasapiMode mode_ = WasapiMode::Shared;
  bool sharedFallback_ = false;
  bool sharedMinimumPeriod_ = false;
  HRESULT exclusiveRefusal_ = S_OK;
  HRESULT captureRefusal_ = S_OK;
  int32_t sampleRate_ = 0;
  int32_t periodFrames_ = 0;
  uint32_t bufferFrames_ = 0;
  int32_t renderChannels_ = 0;
  int32_t rackChannels_ = 0;
  int32_t captureChannels_ = 0;
  int32_t rackInChannels_ = 0;
  ASIOSampleType sampleType_ = ASIOSTFloat32LSB;
  ASIOSampleType captureType_ = ASIOSTFloat32LSB;
  WAVEFORMATEXTENSIBLE format_{};

  IAudioClient* renderAudio_ = nullptr;
  IAudioRenderClient* renderClient_ = nullptr;
  IAudioClient* captureAudio_ = nullptr;
  IAudioCaptureClient* captureClient_ = nullptr;
  // The render stream's position against the counter, when the stream has a clock.
  IAudioClock* audioClock_ = nullptr;
  UINT64 clockFrequency_ = 0;
  HANDLE deviceEvent_ = nullptr;
  HANDLE stopEvent_ = nullptr;
  HANDLE readyEvent_ = nullptr;
  HANDLE thread_ = nullptr;

  // The worker's buffers, made by open: the rack's planar blocks and the captured
  // input, interleaved floats in a ring of fifoFrames_ frames.
  std::unique_ptr<float[]> outFloat_;
  std::unique_ptr<float[]> inFloat_;
  std::unique_ptr<float[]> fifo_;
  int32_t fifoFrames_ = 0;
  // Captured frames held beyond a period when the input is (re)placed.
  int32_t slackFrames_ = 0;
  int32_t mostSlackFrames_ = 0;
  // The worker's alone once it runs (set by start before).
  int32_t fifoRead_ = 0;
  int32_t fifoFill_ = 0;
  bool inputPlaced_ = false;
  bool captureFlowing_ = false;  // a packet came since start
  int64_t capturedFrames_ = 0;   // handed over since start (the trace's capture column)
  // A packet came since the input was (re)placed: only then is running dry a dropout.
  // Wine's capture may hand over a packet at start and then nothing for a while.
  bool flowingSincePlaced_ = false;

  // Steady MIDI timing (the worker's alone once it runs): the stream's clock, the
  // frames handed to the render stream since start, and the most any block was
  // rendered ahead of when it plays.
  StreamClock clock_;
  int64_t written_ = 0;
  // The same opt-in trace as the full-duplex worker's (TONBRIK_DSOUND_TRACE), one
  // record per wake-up: the stream's position (bytes of 16-bit frames in a ring of
  // kTraceBlocks periods, so its tools read it as that worker's play cursor) with the
  // counter time the clock gave it, and the first onset written, found in the output
  // converted to 16 bits (traceOut_, made by open when the trace is on).
  static constexpr uint32_t kTraceBlocks = 16;
  DuplexTrace trace_;
  std::unique_ptr<int16_t[]> traceOut_;
  DuplexTraceRecord* record_ = nullptr;
  int64_t readFrames_ = 0;  // the last reading of the stream's position, and its counter
  int64_t readTicks_ = 0;
  int64_t leadTicks_ = 0;
  // Blocks in a row further ahead than the lead allows, and the least of them (ticks).
  int32_t blocksAhead_ = 0;
  int64_t leastAhead_ = 0;
  int64_t marginTicks_ = 0;
  int64_t counterFrequency_ = 0;

  Relaxed<int32_t> dropouts_{0};
  Relaxed<bool> lost_{false};
  Relaxed<DuplexOutput> outputMode_{DuplexOutput::Play};
  BlockTiming timing_;
  std::atomic<bool> quitting_{false};
  bool workerLeftRunning_ = false;  // the owner's thread only
  HRESULT lastHostError_ = S_OK;    // the owner's thread only
};
