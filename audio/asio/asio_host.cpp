#include "audio/asio/asio_host.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>

#include "audio/asio/asio_api.h"
#include "audio/asio/asio_driver_registry.h"
#include "audio/asio/asio_host_state.h"
#include "audio/sample_conversion.h"

AsioHostState asioHost;

namespace {

constexpr int32_t kMaxDrivers = 64;

// The rate as the driver's rate is compared with a wanted one: plus 0.5, truncated
// to an integer. Empty for a rate no integer can hold (not finite, or beyond int32).
std::optional<int32_t> roundedRate(double rate) {
  const double shifted = rate + 0.5;
  if (!std::isfinite(shifted) || shifted <= -2147483649.0 || shifted >= 2147483648.0) {
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

// Picks the driver by index and makes it current; 0 or a code. The index is what
// selects: shortened names of two drivers may agree.
int32_t selectDriver(int driverIndex, bool strictIndex) {
  AsioDriverRegistry list;
  char names[kMaxDrivers][AsioDriverRegistry::kNameCapacity] = {};
  char* texts[kMaxDrivers];
  for (int32_t i = 0; i < kMaxDrivers; ++i) texts[i] = names[i];
  const int32_t count = list.entryNames(texts, kMaxDrivers);
  if (driverIndex < 0) driverIndex = 0;
  if (count <= 0) return -11;
  if (driverIndex >= count) {
    if (strictIndex) return -2;
    driverIndex = 0;
  }
  return selectDriverByIndex(driverIndex, list) ? 0 : -11;
}

int32_t negotiateRate(int sampleRateWanted, bool probeOnly) {
  ASIOSampleRate rate = 0.0;
  ASIOGetSampleRate(&rate);
  asioHost.sampleRate.set(rate);
  // A driver already running at the wanted rate is left alone, also in a full open:
  // some cannot be set while they follow an external clock.
  const std::optional<int32_t> current = roundedRate(rate);
  if (current.has_value() && *current == sampleRateWanted) return 0;
  if (ASIOCanSampleRate(static_cast<ASIOSampleRate>(sampleRateWanted)) != ASE_OK) return -14;
  if (probeOnly) return 0;
  if (ASIOSetSampleRate(static_cast<ASIOSampleRate>(sampleRateWanted)) != ASE_OK) return -14;
  if (ASIOGetSampleRate(&rate) != ASE_OK) return -14;
  asioHost.sampleRate.set(rate);
  return 0;
}

int32_t negotiateChannels(int outputsWanted, int inputsWanted, bool upTo) {
  int32_t inputs = 0;
  int32_t outputs = 0;
  if (ASIOGetChannels(&inputs, &outputs) != ASE_OK) return -1;
  if (upTo) {
    inputsWanted = std::min(inputsWanted, std::max(inputs, 0));
    if (outputsWanted > 0) {
      outputsWanted = std::min(outputsWanted, std::max(outputs, 0));
      if (outputsWanted == 0) return -3;
    } else if (inputsWanted == 0) {
      return -4;
    }
  }
  if (inputs < inputsWanted) return -4;
  asioHost.numInputs = inputsWanted;
  if (outputs < outputsWanted) return -3;
  asioHost.numOutputs = outputsWanted;
  return 0;
}

int32_t negotiateBufferSize(int bufferSizeWanted) {
  int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
  if (ASIOGetBufferSize(&minimum, &maximum, &preferred, &granularity) != ASE_OK) return -1;
  const int64_t size = chooseBufferSize(bufferSizeWanted, minimum, maximum, preferred, granularity);
  if (size <= 0) return -1;
  asioHost.bufferSize = static_cast<int32_t>(size);
  return 0;
}

// Describes every channel in use (inputs first) and checks its type; 0 or a code.
int32_t describeChannels() {
  const int32_t channels = asioHost.numInputs + asioHost.numOutputs;
  asioHost.sampleTypes.reset(new (std::nothrow) ASIOSampleType[channels]);
  asioHost.bufferInfos.reset(new (std::nothrow) ASIOBufferInfo[channels]);
  if (!asioHost.sampleTypes || !asioHost.bufferInfos) return -1;
  for (int32_t entry = 0; entry < channels; ++entry) {
    const bool isInput = entry < asioHost.numInputs;
    const int32_t channel = isInput ? entry : entry - asioHost.numInputs;
    const int32_t unavailable = isInput ? -4 : -3;
    asioHost.bufferInfos[entry] =
        ASIOBufferInfo{isInput ? ASIOTrue : ASIOFalse, channel, {nullptr, nullptr}};
    ASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = isInput ? ASIOTrue : ASIOFalse;
    if (ASIOGetChannelInfo(&info) != ASE_OK) return unavailable;
    asioHost.sampleTypes[entry] = info.type;
    if (!isSupportedSampleType(info.type)) return -12;
    if (info.isActive == ASIOTrue) return unavailable;
  }
  return 0;
}

// Everything after the driver's initialisation; a failure is closed by the caller.
int32_t prepare(int outputsWanted, int inputsWanted, bool channelsUpTo, int sampleRateWanted,
                int bufferSizeWanted, bool probeOnly) {
  int32_t result = negotiateRate(sampleRateWanted, probeOnly);
  if (result == 0) result = negotiateChannels(outputsWanted, inputsWanted, channelsUpTo);
  if (result == 0) result = negotiateBufferSize(bufferSizeWanted);
  if (result != 0) return result;
  asioHost.outputReadySupported = ASIOOutputReady() == ASE_OK;
  result = describeChannels();
  if (result != 0 || probeOnly) return result;
  if (ASIOCreateBuffers(asioHost.bufferInfos.get(), asioHost.numInputs + asioHost.numOutputs,
                        asioHost.bufferSize, &asioHost.callbacks) != ASE_OK) {
    return -6;
  }
  const size_t frames = static_cast<size_t>(asioHost.bufferSize);
  asioHost.inFloat.reset(new (std::nothrow) float[frames * asioHost.numInputs]());
  asioHost.outFloat.reset(new (std::nothrow) float[frames * asioHost.numOutputs]());
  if (!asioHost.inFloat || !asioHost.outFloat) return -6;
  asioHost.state.set(2);
  return 0;
}

int32_t openHost(SynthRack* rack, HWND window, int outputsWanted, int inputsWanted,
                 bool channelsUpTo, int sampleRateWanted, int bufferSizeWanted, int driverIndex,
                 bool strictIndex, bool probeOnly) {
  AsioHost::close();
  if (outputsWanted < 0) outputsWanted = 0;
  if (inputsWanted < 0) inputsWanted = 0;
  if (outputsWanted == 0 && inputsWanted == 0) return -1;
  if (rack == nullptr) return -5;
  asioHost.rack = rack;

  const int32_t selected = selectDriver(driverIndex, strictIndex);
  if (selected != 0) return selected;

  ASIODriverInfo info{};
  info.asioVersion = 2;
  info.sysRef = window;
  if (ASIOInit(&info) != ASE_OK) {
    driverRegistry->releaseCurrent();
    return -1;
  }
  asioHost.driverName = info.name;
  asioHost.state.set(1);
  asioHost.callbacks = ASIOCallbacks{&AsioHost::bufferSwitch, &AsioHost::sampleRateDidChange,
                                     &AsioHost::asioMessage, &AsioHost::bufferSwitchTimeInfo};

  const int32_t result = prepare(outputsWanted, inputsWanted, channelsUpTo, sampleRateWanted,
                                 bufferSizeWanted, probeOnly);
  if (result != 0) AsioHost::close();
  return result;
}

}  // namespace

int32_t AsioHost::open(SynthRack* rack, HWND window, int outputsWanted, int inputsWanted,
                       int sampleRateWanted, int bufferSizeWanted, int driverIndex,
                       bool strictIndex, bool probeOnly) {
  return openHost(rack, window, outputsWanted, inputsWanted, false, sampleRateWanted,
                  bufferSizeWanted, driverIndex, strictIndex, probeOnly);
}

int32_t AsioHost::openUpTo(SynthRack* rack, HWND window, int outputsWanted, int inputsWanted,
                           int sampleRateWanted, int bufferSizeWanted, int driverIndex,
                           bool strictIndex, bool probeOnly) {
  return openHost(rack, window, outputsWanted, inputsWanted, true, sampleRateWanted,
                  bufferSizeWanted, driverIndex, strictIndex, probeOnly);
}

int32_t AsioHost::close() {
  if (asioHost.state.get() == 3) {
    ASIOStop();
    asioHost.state.set(2);
  }
  const int32_t state = asioHost.state.get();
  if (state == 2 || state == 4) {
    ASIODisposeBuffers();
    asioHost.state.set(1);
  }
  if (asioHost.state.get() == 1) ASIOExit();
  asioHost.state.set(0);
  asioHost.sampleTypes.reset();
  asioHost.bufferInfos.reset();
  asioHost.inFloat.reset();
  asioHost.outFloat.reset();
  asioHost.driverName.clear();
  asioHost.numInputs = 0;
  asioHost.numOutputs = 0;
  asioHost.bufferSize = 0;
  asioHost.dropouts.set(0);
  asioHost.timing.clear();
  asioHost.sampleRate.set(0.0);
  asioHost.callDepth.store(-1, std::memory_order_relaxed);
  asioHost.muteOutputs.set(false);
  asioHost.outputReadySupported = false;
  return 0;
}

int32_t AsioHost::start(bool muteOutputs) {
  asioHost.dropouts.set(0);
  asioHost.timing.clear();
  asioHost.muteOutputs.set(muteOutputs);
  const int32_t state = asioHost.state.get();
  if (state == 3) return 0;
  if (state != 2) return -13;
  asioHost.state.set(3);
  convertHostOutputs(1, true);
  asioHost.callDepth.store(-1, std::memory_order_relaxed);
  if (ASIOStart() == ASE_OK) return 0;
  asioHost.state.set(2);
  close();
  return -13;
}

int32_t AsioHost::stop() {
  if (asioHost.state.get() != 3) return 0;
  if (ASIOStop() != ASE_OK) return -13;
  asioHost.state.set(2);
  return 0;
}
