// The ASIO host's process-wide state, shared by its operations and the callbacks.
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

struct AsioHostState {
  ASIOCallbacks callbacks{};
  std::string driverName;
  Relaxed<double> sampleRate;
  int32_t numInputs = 0;
  int32_t numOutputs = 0;
  int32_t bufferSize = 0;
  Relaxed<int32_t> dropouts;
  BlockTiming timing;  // peak and average ticks of one buffer switch
  std::unique_ptr<ASIOSampleType[]> sampleTypes;
  std::unique_ptr<ASIOBufferInfo[]> bufferInfos;
  std::unique_ptr<float[]> outFloat;
  std::unique_ptr<float[]> inFloat;
  SynthRack* rack = nullptr;
  bool outputReadySupported = false;
  Relaxed<bool> muteOutputs;
  Relaxed<int32_t> state;
  // -1 when no buffer switch is in progress. Atomic, so that a switch entered on a
  // second thread while one is still running is detected, not raced.
  std::atomic<int32_t> callDepth{-1};
};

extern AsioHostState asioHost;

// Writes silence or `outFloat` into half `index` of every output channel.
void convertHostOutputs(int32_t index, bool mute);
