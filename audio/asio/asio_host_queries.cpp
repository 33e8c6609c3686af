#include <cstring>

#include "audio/asio/asio_api.h"
#include "audio/asio/asio_host.h"
#include "audio/asio/asio_host_state.h"

namespace {

bool isOpen(int32_t state) {
  return state >= 1 && state <= 3;
}
bool isPrepared(int32_t state) {
  return state == 2 || state == 3;
}

double load(double ticks) {
  if (!isOpen(asioHost.state.get())) return -1.0;
  return blockLoad(ticks, performanceFrequency(), asioHost.sampleRate.get(), asioHost.bufferSize);
}

}  // namespace

int32_t AsioHost::state() {
  return asioHost.state.get();
}

bool AsioHost::driverName(std::string& out) {
  if (asioHost.state.get() == 0) {
    out.clear();
    return false;
  }
  out = asioHost.driverName;
  return true;
}

bool AsioHost::channelName(int index, bool isInput, std::string& out) {
  out.clear();
  if (!isOpen(asioHost.state.get())) return false;
  const int32_t count = isInput ? asioHost.numInputs : asioHost.numOutputs;
  if (index < 0 || index >= count) return false;
  ASIOChannelInfo info{};
  info.channel = index;
  info.isInput = isInput ? ASIOTrue : ASIOFalse;
  if (ASIOGetChannelInfo(&info) != ASE_OK) return false;
  info.name[sizeof(info.name) - 1] = 0;
  out = info.name;
  return true;
}

int32_t AsioHost::sampleRate() {
  if (!isOpen(asioHost.state.get())) return -1;
  const double rate = asioHost.sampleRate.get();
  return (rate >= 0.0 && rate < 2147483648.0) ? static_cast<int32_t>(rate) : -1;
}

int32_t AsioHost::bufferSize() {
  return isOpen(asioHost.state.get()) ? asioHost.bufferSize : -1;
}

int32_t AsioHost::inputLatency() {
  int32_t input = -1, output = -1;
  if (isPrepared(asioHost.state.get())) ASIOGetLatencies(&input, &output);
  return input;
}

int32_t AsioHost::outputLatency() {
  int32_t input = -1, output = -1;
  if (isPrepared(asioHost.state.get())) ASIOGetLatencies(&input, &output);
  return output;
}

int32_t AsioHost::dropoutCount() {
  return asioHost.dropouts.get();
}

double AsioHost::peakLoad() {
  return load(asioHost.timing.peakTicks());
}

double AsioHost::averageLoad() {
  return load(asioHost.timing.averageTicks());
}

int32_t AsioHost::controlPanel() {
  return ASIOControlPanel();
}
