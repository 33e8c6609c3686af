// The driver's callbacks. They run on the driver's thread: no allocation, no lock.
#include "audio/asio/asio_api.h"
#include "audio/asio/asio_host.h"
#include "audio/asio/asio_host_state.h"
#include "audio/sample_conversion.h"
#include "synth/synth_rack.h"

void convertHostOutputs(int32_t index, bool mute) {
  const ASIOBufferInfo* outputs = asioHost.bufferInfos.get() + asioHost.numInputs;
  convertOutputs(
      asioHost.sampleTypes.get() + asioHost.numInputs,
      [outputs, index](int32_t c) { return outputs[c].buffers[index]; }, asioHost.numOutputs,
      asioHost.bufferSize, asioHost.outFloat.get(), mute);
}

ASIOTime* AsioHost::bufferSwitchTimeInfo(ASIOTime*, int32_t index, ASIOBool) {
  // There are two halves: any other index from the driver would address memory
  // beyond a channel's pair of buffers. Such a switch is skipped and counted.
  if (index != 0 && index != 1) {
    asioHost.dropouts.set(asioHost.dropouts.get() + 1);
    return nullptr;
  }
  const int32_t depth = asioHost.callDepth.fetch_add(1, std::memory_order_relaxed) + 1;
  if (depth > 0) {
    // The previous switch has not returned: skip this one rather than queue it.
    asioHost.dropouts.set(asioHost.dropouts.get() + 1);
    if (asioHost.outputReadySupported) ASIOOutputReady();
  } else {
    const int64_t started = BlockTiming::now();
    const ASIOBufferInfo* infos = asioHost.bufferInfos.get();
    convertInputs(
        asioHost.sampleTypes.get(), [infos, index](int32_t c) { return infos[c].buffers[index]; },
        asioHost.numInputs, asioHost.bufferSize, asioHost.inFloat.get());
    asioHost.rack->render(asioHost.outFloat.get(), asioHost.inFloat.get(), asioHost.numOutputs,
                          asioHost.numInputs, asioHost.bufferSize,
                          static_cast<float>(asioHost.sampleRate.get()));
    convertHostOutputs(index, asioHost.muteOutputs.get());
    if (asioHost.outputReadySupported) ASIOOutputReady();
    asioHost.timing.record(BlockTiming::now() - started);
  }
  asioHost.callDepth.fetch_sub(1, std::memory_order_relaxed);
  return nullptr;
}

void AsioHost::bufferSwitch(int32_t index, ASIOBool directProcess) {
  ASIOTime time{};
  bufferSwitchTimeInfo(&time, index, directProcess);
}

void AsioHost::sampleRateDidChange(ASIOSampleRate) {
  ASIOSampleRate rate = 0.0;
  if (ASIOGetSampleRate(&rate) == ASE_OK) asioHost.sampleRate.set(rate);
}

int32_t AsioHost::asioMessage(int32_t selector, int32_t value, void*, double*) {
  switch (selector) {
    case kAsioSelectorSupported:
      return (value >= kAsioEngineVersion && value <= kAsioSupportsTimeCode) ||
                     value == kAsioSupportsInputMonitor
                 ? 1
                 : 0;
    case kAsioEngineVersion:
      return 2;
    case kAsioResetRequest:
    case kAsioBufferSizeChange:
      // Only stop here: the buffers are given back later on the owner's thread.
      stop();
      // A request that arrives after the host let the driver go (a driver thread that
      // outlived close) must not make the owner open ASIO again on its own.
      if (asioHost.state.get() != 0) asioHost.state.set(4);
      return 1;
    case kAsioResyncRequest:
      asioHost.dropouts.set(asioHost.dropouts.get() + 1);
      return 1;
    case kAsioLatenciesChanged:
    case kAsioSupportsTimeInfo:
      return 1;
    default:
      return 0;
  }
}
