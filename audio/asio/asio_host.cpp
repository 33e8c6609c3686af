#include "audio/asio/asio_host.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>

#include "audio/asio/asio_api.h"
#include "audio/asio/asio_driver_registry.h"
#include "audio/audio_result.h"
#include "audio/sample_conversion.h"

namespace {

constexpr int32_t kMaxDrivers = 64;

// The rate as the driver's rate is compared with a wanted one: plus 0.5, truncated
// to an integer. Empty for a rate no integer can hold (not finite, or beyond int32).
std::optional<int32_t> roundedRate(double rate) {
  // The open interval whose values truncate into int32 (both bounds are exact doubles).
  constexpr double kBelowInt32 = static_cast<double>(INT32_MIN) - 1.0;
  constexpr double kAboveInt32 = static_cast<double>(INT32_MAX) + 1.0;
  const double shifted = rate + 0.5;
  if (!std::isfinite(shifted) || shifted <= kBelowInt32 || shifted >= kAboveInt32) {
    return std::nullopt;
  }
  return static_cast<int32_t>(shifted);
}

// The frames per half buffer for the wanted size within the driver's limits.
int64_t chooseBufferSize(int bufferSizeWanted, int32_t minimum, int32_t maximum, int32_t preferred,
                         int32_t granularity) {
  if (bufferSizeWanted <= 0) return preferred;
  if (granularity > 0) {
    int64_t size = bufferSizeWanted - bufferSizeWanted % granularity;
    if (size < minimum) size = minimum;
    if (size > maximum) size = maximum;
    return size;
  }
  // Powers of two from the minimum. A minimum of 0 or less cannot be doubled up
  // to anything: it is reported as a failed size rather than looping forever.
  int64_t size = minimum;
  while (size > 0 && size < bufferSizeWanted) {
    size *= 2;
    if (size > maximum) {
      size = maximum;
      break;
    }
  }
  return size;
}

// Picks the driver by index and makes it current; AudioOk or a code. The index is
// what selects: shortened names of two drivers may agree.
int32_t selectDriver(int driverIndex, bool strictIndex) {
  AsioDriverRegistry list;
  char names[kMaxDrivers][AsioDriverRegistry::kNameCapacity] = {};
  char* texts[kMaxDrivers];
  for (int32_t i = 0; i < kMaxDrivers; ++i) texts[i] = names[i];
  const int32_t count = list.entryNames(texts, kMaxDrivers);
  if (driverIndex < 0) driverIndex = 0;
  if (count <= 0) return AudioNoDriver;
  if (driverIndex >= count) {
    if (strictIndex) return AudioBadDriverIndex;
    driverIndex = 0;
  }
  return selectDriverByIndex(driverIndex, list) ? AudioOk : AudioNoDriver;
}

// The window thread's calls on the driver, each a job for the bounded call. They call
// the driver they are given, never the process-wide current one, which a call that
// comes back late must not touch.
ASIOError initJob(DriverCallArgs& args) {
  if (args.driver->init(args.info.sysRef) == ASIOFalse) {
    // The driver writes at most the standard's 124 bytes.
    args.driver->getErrorMessage(args.info.errorMessage);
    return ASE_NotPresent;
  }
  args.driver->getDriverName(args.info.name);
  args.info.driverVersion = args.driver->getDriverVersion();
  return ASE_OK;
}
ASIOError getSampleRateJob(DriverCallArgs& args) {
  return args.driver->getSampleRate(&args.rate);
}
ASIOError canSampleRateJob(DriverCallArgs& args) {
  return args.driver->canSampleRate(args.rate);
}
ASIOError setSampleRateJob(DriverCallArgs& args) {
  return args.driver->setSampleRate(args.rate);
}
ASIOError getChannelsJob(DriverCallArgs& args) {
  return args.driver->getChannels(&args.values[0], &args.values[1]);
}
ASIOError getBufferSizeJob(DriverCallArgs& args) {
  return args.driver->getBufferSize(&args.values[0], &args.values[1], &args.values[2],
                                    &args.values[3]);
}
ASIOError outputReadyJob(DriverCallArgs& args) {
  return args.driver->outputReady();
}
ASIOError getChannelInfoJob(DriverCallArgs& args) {
  return args.driver->getChannelInfo(&args.channel);
}
ASIOError createBuffersJob(DriverCallArgs& args) {
  return args.driver->createBuffers(args.buffers.get(), args.channels, args.bufferSize,
                                    args.callbacks);
}
ASIOError startJob(DriverCallArgs& args) {
  return args.driver->start();
}
ASIOError releaseJob(DriverCallArgs& args) {
  args.driver->Release();
  return ASE_OK;
}

}  // namespace

std::atomic<AsioHost*> AsioHost::active_{nullptr};
ASIOCallbacks AsioHost::callbacks_{&AsioHost::bufferSwitch, &AsioHost::sampleRateDidChange,
                                   &AsioHost::asioMessage, &AsioHost::bufferSwitchTimeInfo};

bool AsioHost::ask(BoundedDriverCall::CallWithArgs call, DriverCallArgs& args, ASIOError& answer) {
  if (args.driver == nullptr) args.driver = currentDriver.get();
  if (args.driver == nullptr) {
    answer = ASE_NotPresent;
    return true;
  }
  if (driverCall_.run(call, args, kDriverCallWaitMs, answer)) return true;
  abandonDriver();
  return false;
}

void AsioHost::abandonDriver() {
  driverCall_.abandon();
  abandoned_ = true;
  abandonedName_ = entryName_;
  // The instance stays with the call that holds it: it is never released, nor asked
  // anything again.
  if (driverRegistry != nullptr) (void)driverRegistry->detachCurrent();
  currentDriver.set(nullptr);
  state_.set(AsioHostState::Closed);
  shutSwitches();
}

bool AsioHost::releaseDriver() {
  if (driverRegistry == nullptr) return true;
  DriverCallArgs args;
  args.driver = driverRegistry->detachCurrent();
  currentDriver.set(nullptr);
  if (args.driver == nullptr) return true;
  ASIOError answer = ASE_OK;
  return ask(&releaseJob, args, answer);
}

int32_t AsioHost::failed(int32_t code, ASIOError answer) {
  lastHostError_.set(answer);
  return code;
}

int32_t AsioHost::negotiateRate(int sampleRateWanted, bool probeOnly) {
  DriverCallArgs args;
  ASIOError answer = ASE_OK;
  if (!ask(&getSampleRateJob, args, answer)) return AudioDriverNotAnswering;
  sampleRate_.set(args.rate);
  // A driver already running at the wanted rate is left alone, also in a full open:
  // some cannot be set while they follow an external clock.
  const std::optional<int32_t> current = roundedRate(args.rate);
  if (current.has_value() && *current == sampleRateWanted) return AudioOk;
  args.rate = static_cast<ASIOSampleRate>(sampleRateWanted);
  if (!ask(&canSampleRateJob, args, answer)) return AudioDriverNotAnswering;
  if (answer != ASE_OK) return failed(AudioRateNotPossible, answer);
  if (probeOnly) return AudioOk;
  if (!ask(&setSampleRateJob, args, answer)) return AudioDriverNotAnswering;
  if (answer != ASE_OK) return failed(AudioRateNotPossible, answer);
  if (!ask(&getSampleRateJob, args, answer)) return AudioDriverNotAnswering;
  if (answer != ASE_OK) return failed(AudioRateNotPossible, answer);
  sampleRate_.set(args.rate);
  return AudioOk;
}

int32_t AsioHost::negotiateChannels(int outputsWanted, int inputsWanted, bool upTo) {
  DriverCallArgs args;
  ASIOError answer = ASE_OK;
  if (!ask(&getChannelsJob, args, answer)) return AudioDriverNotAnswering;
  if (answer != ASE_OK) return failed(AudioFailed, answer);
  const int32_t inputs = args.values[0];
  const int32_t outputs = args.values[1];
  if (upTo) {
    inputsWanted = std::min(inputsWanted, std::max(inputs, 0));
    if (outputsWanted > 0) {
      outputsWanted = std::min(outputsWanted, std::max(outputs, 0));
      if (outputsWanted == 0) return AudioNoOutputChannels;
    } else if (inputsWanted == 0) {
      return AudioNoInputChannels;
    }
  }
  if (inputs < inputsWanted) return AudioNoInputChannels;
  numInputs_ = inputsWanted;
  if (outputs < outputsWanted) return AudioNoOutputChannels;
  numOutputs_ = outputsWanted;
  return AudioOk;
}

int32_t AsioHost::negotiateBufferSize(int bufferSizeWanted) {
  DriverCallArgs args;
  ASIOError answer = ASE_OK;
  if (!ask(&getBufferSizeJob, args, answer)) return AudioDriverNotAnswering;
  if (answer != ASE_OK) return failed(AudioFailed, answer);
  const int64_t size = chooseBufferSize(bufferSizeWanted, args.values[0], args.values[1],
                                        args.values[2], args.values[3]);
  if (size <= 0) return AudioFailed;
  bufferSize_ = static_cast<int32_t>(size);
  return AudioOk;
}

// Describes every channel in use (inputs first) and checks its type; AudioOk or a code.
int32_t AsioHost::describeChannels() {
  const int32_t channels = numInputs_ + numOutputs_;
  sampleTypes_.reset(new (std::nothrow) ASIOSampleType[channels]);
  bufferInfos_.reset(new (std::nothrow) ASIOBufferInfo[channels]);
  if (!sampleTypes_ || !bufferInfos_) return AudioFailed;
  for (int32_t entry = 0; entry < channels; ++entry) {
    const bool isInput = entry < numInputs_;
    const int32_t channel = isInput ? entry : entry - numInputs_;
    const int32_t unavailable = isInput ? AudioNoInputChannels : AudioNoOutputChannels;
    bufferInfos_[entry] =
        ASIOBufferInfo{isInput ? ASIOTrue : ASIOFalse, channel, {nullptr, nullptr}};
    DriverCallArgs args;
    args.channel.channel = channel;
    args.channel.isInput = isInput ? ASIOTrue : ASIOFalse;
    ASIOError answer = ASE_OK;
    if (!ask(&getChannelInfoJob, args, answer)) return AudioDriverNotAnswering;
    if (answer != ASE_OK) return failed(unavailable, answer);
    const ASIOChannelInfo& info = args.channel;
    sampleTypes_[entry] = info.type;
    if (!isSupportedSampleType(info.type)) return AudioUnsupportedSampleType;
    if (info.isActive == ASIOTrue) return unavailable;
  }
  return AudioOk;
}

// Everything after the driver's initialisation; a failure is closed by the caller.
int32_t AsioHost::prepare(const AsioOpenOptions& options, bool channelsUpTo) {
  int32_t result = negotiateRate(options.sampleRate, options.probeOnly);
  if (result == AudioOk) result = negotiateChannels(options.outputs, options.inputs, channelsUpTo);
  if (result == AudioOk) result = negotiateBufferSize(options.bufferSize);
  if (result != AudioOk) return result;
  DriverCallArgs ready;
  ASIOError answer = ASE_OK;
  if (!ask(&outputReadyJob, ready, answer)) return AudioDriverNotAnswering;
  outputReadySupported_ = answer == ASE_OK;
  result = describeChannels();
  if (result != AudioOk || options.probeOnly) return result;
  DriverCallArgs args;
  args.channels = numInputs_ + numOutputs_;
  args.buffers.reset(new (std::nothrow) ASIOBufferInfo[args.channels]);
  if (!args.buffers) return AudioStreamSetupFailed;
  std::copy_n(bufferInfos_.get(), args.channels, args.buffers.get());
  args.bufferSize = bufferSize_;
  args.callbacks = &callbacks_;
  if (!ask(&createBuffersJob, args, answer)) return AudioDriverNotAnswering;
  std::copy_n(args.buffers.get(), args.channels, bufferInfos_.get());
  if (answer != ASE_OK) return failed(AudioStreamSetupFailed, answer);
  const size_t frames = static_cast<size_t>(bufferSize_);
  inFloat_.reset(new (std::nothrow) float[frames * numInputs_]());
  outFloat_.reset(new (std::nothrow) float[frames * numOutputs_]());
  if (!inFloat_ || !outFloat_) return AudioStreamSetupFailed;
  state_.set(AsioHostState::BuffersCreated);
  return AudioOk;
}

int32_t AsioHost::openHost(SynthRack* rack, HWND window, AsioOpenOptions options,
                           bool channelsUpTo) {
  close();
  lastHostError_.set(ASE_OK);
  // A driver that once did not answer holds a call of ours for good.
  if (abandoned_) return AudioDriverNotAnswering;
  if (options.outputs < 0) options.outputs = 0;
  if (options.inputs < 0) options.inputs = 0;
  if (options.outputs == 0 && options.inputs == 0) return AudioFailed;
  if (rack == nullptr) return AudioNoRack;
  // The driver and its callbacks belong to one host at a time.
  AsioHost* none = nullptr;
  if (!active_.compare_exchange_strong(none, this, std::memory_order_acq_rel)) {
    return AudioNoDriver;
  }
  rack_ = rack;

  const int32_t selected = selectDriver(options.driverIndex, options.strictIndex);
  if (selected != AudioOk) {
    close();
    return selected;
  }

  char entryName[AsioDriverRegistry::kNameCapacity] = {};
  driverRegistry->currentEntryName(entryName);
  entryName_ = entryName;
  DriverCallArgs args;
  args.info.asioVersion = 2;
  args.info.sysRef = window;
  ASIOError answer = ASE_OK;
  if (!ask(&initJob, args, answer)) {
    close();
    return AudioDriverNotAnswering;
  }
  if (answer != ASE_OK) {
    releaseDriver();
    close();
    return failed(abandoned_ ? AudioDriverNotAnswering : AudioFailed, answer);
  }
  args.info.name[sizeof(args.info.name) - 1] = 0;
  driverName_ = args.info.name;
  state_.set(AsioHostState::DriverInitialised);

  const int32_t result = prepare(options, channelsUpTo);
  if (result != AudioOk) close();
  return result;
}

int32_t AsioHost::open(SynthRack* rack, HWND window, const AsioOpenOptions& options) {
  return openHost(rack, window, options, false);
}

int32_t AsioHost::openUpTo(SynthRack* rack, HWND window, const AsioOpenOptions& options) {
  return openHost(rack, window, options, true);
}

AsioHost::~AsioHost() {
  close();
  if (!closeUnfinished()) return;
  // The driver still holds a call it never returned from, or refused to stop. The
  // arrays it may write through the callbacks are left to it rather than freed under it.
  AsioHost* self = this;
  active_.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  (void)sampleTypes_.release();
  (void)bufferInfos_.release();
  (void)inFloat_.release();
  (void)outFloat_.release();
}

bool AsioHost::callDriver(BoundedDriverCall::Call call, ASIOError& answer,
                          AsioHostState resumeFrom) {
  if (driverCall_.run(call, kDriverCallWaitMs, answer)) return true;
  resumeClose_ = resumeFrom;
  state_.set(AsioHostState::Closed);
  shutSwitches();
  return false;
}

int32_t AsioHost::close() {
  // A late call still inside the driver: nothing it may use can be let go yet.
  if (driverCall_.pending()) return AudioOk;
  if (resumeClose_ != AsioHostState::Closed) {
    state_.set(resumeClose_);
    resumeClose_ = AsioHostState::Closed;
  }
  ASIOError answer = ASE_OK;
  const AsioHostState state = state_.get();
  // A driver that asked for a reset has not been stopped by the request: it may
  // still be streaming into the buffers about to be disposed.
  if (state == AsioHostState::Running || state == AsioHostState::ResetRequested) {
    if (!callDriver(&ASIOStop, answer, AsioHostState::Running)) return AudioOk;
    if (answer != ASE_OK) {
      // A driver that refused to stop may stream on into its buffers: they are not
      // disposed under it. Its switches reach nothing from now on, and the next close
      // asks for the stop again.
      resumeClose_ = AsioHostState::Running;
      state_.set(AsioHostState::Closed);
      shutSwitches();
      return failed(AudioStartStopFailed, answer);
    }
    state_.set(AsioHostState::BuffersCreated);
  }
  shutSwitches();
  if (state_.get() == AsioHostState::BuffersCreated) {
    if (!callDriver(&ASIODisposeBuffers, answer, AsioHostState::DriverInitialised)) {
      return AudioOk;
    }
    state_.set(AsioHostState::DriverInitialised);
  }
  if (state_.get() == AsioHostState::DriverInitialised) releaseDriver();
  state_.set(AsioHostState::Closed);
  // The driver has let go of the buffers: no callback reaches this host any more.
  AsioHost* self = this;
  active_.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  sampleTypes_.reset();
  bufferInfos_.reset();
  inFloat_.reset();
  outFloat_.reset();
  driverName_.clear();
  numInputs_ = 0;
  numOutputs_ = 0;
  bufferSize_ = 0;
  dropouts_.set(0);
  timing_.clear();
  sampleRate_.set(0.0);
  muteOutputs_.set(false);
  rateChanged_.set(false);
  calledBack_.set(false);
  outputReadySupported_ = false;
  return AudioOk;
}

int32_t AsioHost::start(bool muteOutputs) {
  lastHostError_.set(ASE_OK);
  dropouts_.set(0);
  timing_.clear();
  muteOutputs_.set(muteOutputs);
  const AsioHostState state = state_.get();
  if (state == AsioHostState::Running) return AudioOk;
  if (state != AsioHostState::BuffersCreated) return AudioStartStopFailed;
  state_.set(AsioHostState::Running);
  writeOutputs(1, true);
  lastSwitchTicks_.set(BlockTiming::now());
  calledBack_.set(false);
  openSwitches();
  DriverCallArgs args;
  ASIOError answer = ASE_OK;
  if (!ask(&startJob, args, answer)) {
    close();
    return AudioDriverNotAnswering;
  }
  if (answer == ASE_OK) return AudioOk;
  shutSwitches();
  state_.set(AsioHostState::BuffersCreated);
  close();
  return failed(AudioStartStopFailed, answer);
}

int32_t AsioHost::stop() {
  lastHostError_.set(ASE_OK);
  return stopRunning();
}

int32_t AsioHost::stopRunning() {
  if (state_.get() != AsioHostState::Running) return AudioOk;
  ASIOError answer = ASE_OK;
  // A late stop's answer is never known: closing asks for the stop again once it is back.
  if (!callDriver(&ASIOStop, answer, AsioHostState::Running)) {
    return AudioStartStopFailed;  // no answer to keep: the call has not come back
  }
  // Refused: the driver may stream on, so the host goes on playing.
  if (answer != ASE_OK) return failed(AudioStartStopFailed, answer);
  shutSwitches();
  // A request the driver made meanwhile stays noted.
  AsioHostState running = AsioHostState::Running;
  state_.compareExchange(running, AsioHostState::BuffersCreated);
  return AudioOk;
}

bool AsioHost::lost() const {
  if (state_.get() != AsioHostState::Running) return false;
  const double rate = sampleRate_.get();
  const double buffers = rate > 0.0 ? kLostAfterBuffers * bufferSize_ / rate : 0.0;
  const double limitTicks =
      std::max(buffers, kLostAfterSeconds) * static_cast<double>(performanceFrequency());
  return static_cast<double>(BlockTiming::now() - lastSwitchTicks_.get()) > limitTicks;
}

void AsioHost::followRateChange() {
  if (!rateChanged_.get()) return;
  rateChanged_.set(false);
  if (!isOpen()) return;
  DriverCallArgs args;
  ASIOError answer = ASE_OK;
  if (ask(&getSampleRateJob, args, answer) && answer == ASE_OK) sampleRate_.set(args.rate);
}

bool AsioHost::isOpen() const {
  const AsioHostState state = state_.get();
  return state == AsioHostState::DriverInitialised || state == AsioHostState::BuffersCreated ||
         state == AsioHostState::Running;
}

bool AsioHost::isPrepared() const {
  const AsioHostState state = state_.get();
  return state == AsioHostState::BuffersCreated || state == AsioHostState::Running;
}

double AsioHost::load(double ticks) const {
  if (!isOpen()) return kUnknown;
  return blockLoad(ticks, performanceFrequency(), sampleRate_.get(), bufferSize_);
}

bool AsioHost::driverName(std::string& out) const {
  if (state_.get() == AsioHostState::Closed) {
    out.clear();
    return false;
  }
  out = driverName_;
  return true;
}

bool AsioHost::channelName(int index, bool isInput, std::string& out) const {
  out.clear();
  if (!isOpen()) return false;
  const int32_t count = isInput ? numInputs_ : numOutputs_;
  if (index < 0 || index >= count) return false;
  ASIOChannelInfo info{};
  info.channel = index;
  info.isInput = isInput ? ASIOTrue : ASIOFalse;
  if (ASIOGetChannelInfo(&info) != ASE_OK) return false;
  info.name[sizeof(info.name) - 1] = 0;
  out = info.name;
  return true;
}

int32_t AsioHost::sampleRate() const {
  if (!isOpen()) return kUnknown;
  const double rate = sampleRate_.get();
  return (rate >= 0.0 && rate < 2147483648.0) ? static_cast<int32_t>(rate) : kUnknown;
}

int32_t AsioHost::bufferSize() const {
  return isOpen() ? bufferSize_ : kUnknown;
}

int32_t AsioHost::inputLatency() const {
  int32_t input = kUnknown, output = kUnknown;
  if (isPrepared()) ASIOGetLatencies(&input, &output);
  return input;
}

int32_t AsioHost::outputLatency() const {
  int32_t input = kUnknown, output = kUnknown;
  if (isPrepared()) ASIOGetLatencies(&input, &output);
  return output;
}

double AsioHost::peakLoad() const {
  return load(timing_.peakTicks());
}

double AsioHost::averageLoad() const {
  return load(timing_.averageTicks());
}

ASIOError AsioHost::controlPanel() {
  return ASIOControlPanel();
}
