// The ASIO host: plays the synth rack through one ASIO driver. The driver's callbacks
// carry no context; they reach the open host through one process-wide pointer, set by
// open and cleared by close. So one host at a time may hold the driver: another
// host's open fails with AudioNoDriver until the first one is closed.
//
// The window thread and the driver's callback thread meet here without a lock: the
// values both touch are single relaxed atomics; the arrays are made before the
// driver is started and freed after it has stopped. The callbacks never call the
// driver back (except ASIOOutputReady, which is meant for that): what the driver
// asks for is noted, and the window thread acts on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/asio/asio.h"
#include "audio/asio/bounded_driver_call.h"
#include "common/block_timing.h"
#include "common/relaxed.h"

class SynthRack;

enum class AsioHostState : int32_t {
  Closed = 0,
  DriverInitialised = 1,  // what a probe leaves: no buffers
  BuffersCreated = 2,     // ready to start, or stopped
  Running = 3,
  // The driver asked for a reset or a new buffer size. It may still be streaming:
  // the owner closes (which stops it first) and opens again on its own thread.
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

  // How long the window thread waits for the driver's stop or buffer disposal.
  static constexpr DWORD kDriverCallWaitMs = 1000;
  // The shortest silence of a started driver that counts as lost.
  static constexpr double kLostAfterSeconds = 0.25;
  static constexpr int32_t kLostAfterBuffers = 4;

  AsioHost() = default;
  ~AsioHost();
  AsioHost(const AsioHost&) = delete;
  AsioHost& operator=(const AsioHost&) = delete;

  int32_t open(SynthRack* rack, HWND window, const AsioOpenOptions& options);
  // As open, with the channel counts as upper bounds: the driver's first outputs up
  // to `outputs` (at least one) and its first inputs up to `inputs` (none is fine),
  // so a driver with fewer channels than the window would like still plays.
  int32_t openUpTo(SynthRack* rack, HWND window, const AsioOpenOptions& options);
  // Stops the driver (if it may be streaming), disposes its buffers and lets it go.
  // A stop or disposal that does not return within kDriverCallWaitMs is left to the
  // driver: the host then reports itself closed, keeps what the driver may still
  // use, and finishes closing (and can open again) only once that call is back. A
  // stop the driver refuses (AudioStartStopFailed) is handled alike: its buffers are
  // not disposed, and the next close asks for the stop again. Either way no buffer
  // switch of this host touches the rack once close has returned.
  int32_t close();
  int32_t start(bool muteOutputs);
  int32_t stop();

  AsioHostState state() const { return state_.get(); }
  // Started, and no buffer switch for more than kLostAfterBuffers buffers or
  // kLostAfterSeconds, whichever is longer: the driver's stream has died.
  bool lost() const;
  // A buffer switch has come since the last start.
  bool calledBack() const { return calledBack_.get(); }
  // True while a stop or disposal that did not return in time is still inside the
  // driver; open fails (AudioNoDriver) meanwhile.
  bool driverCallPending() { return driverCall_.pending(); }
  // True after a close that could not finish (see close): the driver may still call
  // back, so the rack must stay, and no other route may open while the driver holds
  // the device. A later close tries to finish.
  bool closeUnfinished() const { return resumeClose_ != AsioHostState::Closed; }
  // True once a driver call other than the stop or disposal did not return within
  // kDriverCallWaitMs: the host gave the driver up with that call, and every open
  // fails (AudioDriverNotAnswering) from then on, so no driver of this process is
  // asked anything beside it (their callbacks carry no context to tell them apart).
  bool driverAbandoned() const { return abandoned_; }
  // The list name of the driver given up (empty while none is).
  const std::string& abandonedDriverName() const { return abandonedName_; }
  // Reads back a sample rate the driver announced as changed (the callback only
  // notes it); for the owner's timer.
  void followRateChange();
  bool driverName(std::string& out) const;
  bool channelName(int index, bool isInput, std::string& out) const;
  int32_t sampleRate() const;
  // The output channels the rack renders for the open route (0 when none is open).
  int32_t outputChannels() const { return numOutputs_; }
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
  // A bounded stop or disposal; false when it is still inside the driver, which the
  // host then leaves to it: closing goes on from `resumeFrom` once it is back.
  bool callDriver(BoundedDriverCall::Call call, ASIOError& answer, AsioHostState resumeFrom);
  // Any other driver call, bounded alike; false when it did not return in time, and
  // the driver is then given up (abandonDriver).
  bool ask(BoundedDriverCall::CallWithArgs call, DriverCallArgs& args, ASIOError& answer);
  void abandonDriver();
  // Releases the current driver instance (a bounded call too); false when it hung.
  bool releaseDriver();
  // A failed driver call: keeps its answer for lastHostError and gives `code`.
  int32_t failed(int32_t code, ASIOError answer);
  bool isOpen() const;
  bool isPrepared() const;
  double load(double ticks) const;

  // The callbacks' work on this host (asio_host_callbacks.cpp).
  void switchBuffers(int32_t index);
  // Lets the driver's buffer switches in; before the driver is started.
  void openSwitches();
  // Keeps them out, and waits for one already inside the rack to finish its block.
  void shutSwitches();
  // Writes silence or outFloat_ into half `index` of every output channel.
  void writeOutputs(int32_t index, bool mute);
  int32_t handleMessage(int32_t selector);

  // The host the driver's callbacks reach; null while none is open.
  static std::atomic<AsioHost*> active_;

  // What createBuffers hands the driver, which may keep its address: it outlives every
  // host, also one freed while a driver it gave up still holds a call.
  static ASIOCallbacks callbacks_;
  std::string driverName_;
  std::string entryName_;  // the driver's name in the driver list, from its selection
  bool abandoned_ = false;
  std::string abandonedName_;
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
  // Performance-counter time of the latest buffer switch (or of start).
  Relaxed<int64_t> lastSwitchTicks_;
  Relaxed<bool> calledBack_;
  // Set by the driver's announcement of a different sample rate.
  Relaxed<bool> rateChanged_;
  BoundedDriverCall driverCall_;
  // Where closing goes on once a late driver call is back, or after a refused stop;
  // Closed when closing has finished.
  AsioHostState resumeClose_ = AsioHostState::Closed;
  // The buffer switch's gate: one word that the switch and the window thread change in
  // one step each, so that a switch either finds the gate shut or is waited for by
  // shutSwitches. Shut while the driver is not started for this host, and from a stop
  // on, also one that failed or did not return: a driver that calls on then reaches
  // nothing. kInSwitch spans a whole switch (a second one, re-entered or on another
  // thread, is skipped); kInRack the part inside the rack and the buffers.
  static constexpr uint32_t kSwitchShut = 1;
  static constexpr uint32_t kInSwitch = 2;
  static constexpr uint32_t kInRack = 4;
  std::atomic<uint32_t> switchGate_{kSwitchShut};
};
