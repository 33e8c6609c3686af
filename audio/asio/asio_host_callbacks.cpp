// The driver's callbacks. They run on the driver's thread: no allocation, no lock.
// A callback that finds no open host (one that came after close) does nothing.
#include "audio/asio/asio_api.h"
#include "audio/asio/asio_host.h"
#include "audio/sample_conversion.h"
#include "synth/synth_rack.h"

void AsioHost::writeOutputs(int32_t index, bool mute) {
  const ASIOBufferInfo* outputs = bufferInfos_.get() + numInputs_;
  convertOutputs(
      sampleTypes_.get() + numInputs_,
      [outputs, index](int32_t c) { return outputs[c].buffers[index]; }, numOutputs_, bufferSize_,
      outFloat_.get(), mute);
}

void AsioHost::switchBuffers(int32_t index) {
  // Entered in one step with the gate's state: either this switch finds the gate shut,
  // or the window thread's shutSwitches finds it inside and waits for it.
  uint32_t gate = switchGate_.load(std::memory_order_relaxed);
  while ((gate & (kSwitchShut | kInSwitch)) == 0 &&
         !switchGate_.compare_exchange_weak(gate, gate | kInSwitch | kInRack,
                                            std::memory_order_acquire, std::memory_order_relaxed)) {
  }
  // Not started, stopped, or a stop the driver has not finished: a driver that calls
  // on regardless reaches nothing, least of all the rack, which another route may play.
  if ((gate & kSwitchShut) != 0) return;
  // Any switch, even a bad one, shows the driver's stream is alive.
  const int64_t started = BlockTiming::now();
  lastSwitchTicks_.set(started);
  calledBack_.set(true);
  if ((gate & kInSwitch) != 0) {
    // The previous switch has not returned: skip this one rather than queue it.
    dropouts_.set(dropouts_.get() + 1);
    if (outputReadySupported_) ASIOOutputReady();
    return;
  }
  // There are two halves: any other index from the driver would address memory
  // beyond a channel's pair of buffers. Such a switch is skipped and counted.
  const bool validHalf = index == 0 || index == 1;
  if (validHalf) {
    const ASIOBufferInfo* infos = bufferInfos_.get();
    convertInputs(
        sampleTypes_.get(), [infos, index](int32_t c) { return infos[c].buffers[index]; },
        numInputs_, bufferSize_, inFloat_.get());
    rack_->render(outFloat_.get(), inFloat_.get(), numOutputs_, numInputs_, bufferSize_,
                  static_cast<float>(sampleRate_.get()), started);
    writeOutputs(index, muteOutputs_.get());
  } else {
    dropouts_.set(dropouts_.get() + 1);
  }
  // Out of the rack before the driver is called: a driver that hangs in outputReady
  // must not keep the window thread waiting in shutSwitches.
  switchGate_.fetch_and(~kInRack, std::memory_order_release);
  if (validHalf) {
    if (outputReadySupported_) ASIOOutputReady();
    timing_.record(BlockTiming::now() - started);
  }
  switchGate_.fetch_and(~kInSwitch, std::memory_order_release);
}

void AsioHost::openSwitches() {
  switchGate_.fetch_and(~kSwitchShut, std::memory_order_release);
}

void AsioHost::shutSwitches() {
  switchGate_.fetch_or(kSwitchShut, std::memory_order_acq_rel);
  // A switch inside the rack makes no driver call and ends within its block; the
  // bound only keeps a frozen driver thread from holding the window for good.
  for (DWORD waited = 0;
       (switchGate_.load(std::memory_order_acquire) & kInRack) != 0 && waited < kDriverCallWaitMs;
       ++waited) {
    Sleep(1);
  }
}

int32_t AsioHost::handleMessage(int32_t selector) {
  switch (selector) {
    case kAsioResetRequest:
    case kAsioBufferSizeChange: {
      // Only noted: a driver called from inside its own callback may deadlock or
      // fail, so the owner's thread stops, disposes and reopens. A request that comes
      // when there is no stream to reopen (a driver thread that outlived close, or a
      // host that is closing) is not noted, or the owner would open ASIO on its own.
      AsioHostState seen = state_.get();
      if (seen == AsioHostState::Running || seen == AsioHostState::BuffersCreated) {
        state_.compareExchange(seen, AsioHostState::ResetRequested);
      }
      return 1;
    }
    case kAsioResyncRequest:
      dropouts_.set(dropouts_.get() + 1);
      return 1;
    default:
      return 0;
  }
}

ASIOTime* AsioHost::bufferSwitchTimeInfo(ASIOTime*, int32_t index, ASIOBool) {
  if (AsioHost* host = active_.load(std::memory_order_acquire)) host->switchBuffers(index);
  return nullptr;
}

void AsioHost::bufferSwitch(int32_t index, ASIOBool directProcess) {
  ASIOTime time{};
  bufferSwitchTimeInfo(&time, index, directProcess);
}

void AsioHost::sampleRateDidChange(ASIOSampleRate rate) {
  AsioHost* host = active_.load(std::memory_order_acquire);
  if (host == nullptr) return;
  // Some drivers announce the rate in use again: only a different one is noted,
  // and the owner's timer asks the driver for it (followRateChange).
  if (rate != host->sampleRate_.get()) host->rateChanged_.set(true);
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
    case kAsioResyncRequest: {
      // Answered also when no host is open any more; there is nothing to act on then.
      AsioHost* host = active_.load(std::memory_order_acquire);
      return host != nullptr ? host->handleMessage(selector) : 1;
    }
    case kAsioLatenciesChanged:
    case kAsioSupportsTimeInfo:
      return 1;
    default:
      return 0;
  }
}
