// The ASIO host: plays the synth rack through one ASIO driver. The driver's callbacks
// carry no context; they reach the open host through one process-wide pointer, set by
// open and cleared by close. So one host at a time may hold the driver: another
// host's open fails with AudioNoDriver until the first one is closed.
//
// The window thread and the driver's callback thread meet here without a lock: the
// values both touch are single relaxed atomics; the arrays are made before the
// driver is started and freed after it has stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/asio/asio.h"
#include "common/block_timing.h"
#include "common/relaxed.h"

class SynthRack;

enum class AsioHostState : int32_t {
  Closed = 0,
  DriverInitialised = 1,  // what a probe leaves: no buffers
  BuffersCreated = 2,     // ready to start, or stopped
  Running = 3,
  // The driver asked for a reset: stopped, buffers held; the owner closes and opens
  // again on its own thread.
  ResetRequested = 4,
};

struct AsioOpenOptions {
  int outputs = 0;      // output channels wanted (the first ones)
  int inputs = 0;       // input channels wanted (the first ones)
  int sampleRate = 0;   // Hz
  int bufferSize = 0;   // frames per half buffer; 0 or less takes the driver's preferred size
  int driverIndex = 0;  // position in the driver list; below 0 counts as 0
  // An index beyond the list fails (AudioBadDriverIndex) instead of taking the first driver.
  bool strictIndex = false;
  // Checks the driver, rate and channels without creating buffers or changing the rate.
  bool probeOnly = false;
};

class AsioHost {
 public:
  // What the queries answer while the host holds no driver (or no buffers).
  static constexpr int32_t kUnknown = -1;

  AsioHost() = default;
  ~AsioHost() { close(); }
  AsioHost(const AsioHost&) = delete;
  AsioHost& operator=(const AsioHost&) = delete;

  int32_t open(SynthRack* rack, HWND window, const AsioOpenOptions& options);
  // As open, with the channel counts as upper bounds: the driver's first outputs up
  // to `outputs` (at least one) and its first inputs up to `inputs` (none is fine),
  // so a driver with fewer channels than the window would like still plays.
  int32_t openUpTo(SynthRack* rack, HWND window, const AsioOpenOptions& options);
  int32_t close();
  int32_t start(bool muteOutputs);
  int32_t stop();

  AsioHostState state() const { return state_.get(); }
  // The driver went away while running; the owner closes the host and opens it again.
  bool lost() const { return false; }
  bool driverName(std::string& out) const;
  bool channelName(int index, bool isInput, std::string& out) const;
  int32_t sampleRate() const;
  int32_t bufferSize() const;
  int32_t inputLatency() const;
  int32_t outputLatency() const;
  int32_t dropoutCount() const { return dropouts_.get(); }
  double peakLoad() const;
  double averageLoad() const;
  ASIOError controlPanel();
  // The driver's answer behind the last failure of open, openUpTo, start or stop;
  // ASE_OK when that failure had none behind it or the call succeeded.
  ASIOError lastHostError() const { return lastHostError_.get(); }

  // The callbacks handed to the driver; they act on the open host, if any.
  static void bufferSwitch(int32_t index, ASIOBool directProcess);
  static void sampleRateDidChange(ASIOSampleRate rate);
  static int32_t asioMessage(int32_t selector, int32_t value, void* message, double* opt);
  static ASIOTime* bufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool directProcess);

 private:
  int32_t openHost(SynthRack* rack, HWND window, AsioOpenOptions options, bool channelsUpTo);
  int32_t prepare(const AsioOpenOptions& options, bool channelsUpTo);
  int32_t negotiateRate(int sampleRateWanted, bool probeOnly);
  int32_t negotiateChannels(int outputsWanted, int inputsWanted, bool upTo);
  int32_t negotiateBufferSize(int bufferSizeWanted);
  int32_t describeChannels();
  int32_t stopRunning();
  // A failed driver call: keeps its answer for lastHostError and gives `code`.
  int32_t failed(int32_t code, ASIOError answer);
  bool isOpen() const;
  bool isPrepared() const;
  double load(double ticks) const;

  // The callbacks' work on this host (asio_host_callbacks.cpp).
  void switchBuffers(int32_t index);
  // Writes silence or outFloat_ into half `index` of every output channel.
  void writeOutputs(int32_t index, bool mute);
  int32_t handleMessage(int32_t selector);

  // The host the driver's callbacks reach; null while none is open.
  static std::atomic<AsioHost*> active_;

  ASIOCallbacks callbacks_{};
  std::string driverName_;
  Relaxed<double> sampleRate_;
  int32_t numInputs_ = 0;
  int32_t numOutputs_ = 0;
  int32_t bufferSize_ = 0;
  Relaxed<int32_t> dropouts_;
  BlockTiming timing_;  // peak and average ticks of one buffer switch
  std::unique_ptr<ASIOSampleType[]> sampleTypes_;
  std::unique_ptr<ASIOBufferInfo[]> bufferInfos_;
  std::unique_ptr<float[]> outFloat_;
  std::unique_ptr<float[]> inFloat_;
  SynthRack* rack_ = nullptr;
  bool outputReadySupported_ = false;
  Relaxed<bool> muteOutputs_;
  Relaxed<AsioHostState> state_{AsioHostState::Closed};
  Relaxed<ASIOError> lastHostError_{ASE_OK};
  // kNoSwitch when no buffer switch is in progress. Atomic, so that a switch entered on
  // a second thread while one is still running is detected, not raced.
  static constexpr int32_t kNoSwitch = -1;
  std::atomic<int32_t> callDepth_{kNoSwitch};
};
