// The driver's callback thread: buffer switches at the real buffer period, the test
// signal on the inputs, the recording of the outputs, and requests to the host.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/asio_driver/driver_faults.h"
#include "tools/asio_driver/driver_log.h"
#include "tools/asio_driver/sample_codec.h"
#include "tools/asio_driver/virtual_asio_driver.h"

namespace {

// Flags of AsioTimeInfo: system time, sample position and sample rate are valid.
constexpr uint32_t kTimeInfoValid = 0x1 | 0x2 | 0x4;
// A thread more than this many periods late starts counting afresh instead of
// racing to catch up.
constexpr LONGLONG kMaxLatePeriods = 8;
constexpr LONGLONG kControlPollMs = 100;
constexpr DWORD kHangPollMs = 20;
constexpr double kSignalAmplitude = 0.5;
constexpr double kSignalBaseHz = 440.0;
constexpr double kTwoPi = 6.283185307179586;

// Timed requests from the environment are sent once per process, not once per
// instance, or a host that reopens the driver would be reset forever.
std::atomic<bool> timedResetSent{false};
std::atomic<bool> timedSizeChangeSent{false};

int64_t counterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

LONGLONG fileTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) |
                               now.dwLowDateTime);
}

}  // namespace

DWORD WINAPI VirtualAsioDriver::threadEntry(LPVOID self) {
  static_cast<VirtualAsioDriver*>(self)->run();
  return 0;
}

void VirtualAsioDriver::run() {
  HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
  if (timer == nullptr) {
    driverLog("no waitable timer");
    running_ = false;
    return;
  }
  timeBeginPeriod(1);
  int32_t inputLatency = 0;
  int32_t outputLatency = 0;
  getLatencies(&inputLatency, &outputLatency);
  stamps_.begin(bufferSize_, outputLatency, sampleRate_);
  const LONGLONG rate = static_cast<LONGLONG>(sampleRate_);
  const LONGLONG start = fileTimeNow();
  LONGLONG base = start;
  LONGLONG blocks = 0;
  LONGLONG lastPollMs = 0;
  int32_t half = 0;
  // Deadlines are absolute (base + blocks periods, in 100 ns units), so rounding and
  // wake-up jitter never accumulate into drift.
  auto deadline = [&] { return base + blocks * bufferSize_ * 10'000'000LL / rate; };
  blocks = 1;
  bool armed = false;
  while (running_) {
    if (!armed) {
      const LONGLONG now = fileTimeNow();
      if (now - deadline() > kMaxLatePeriods * bufferSize_ * 10'000'000LL / rate) {
        base = now;
        blocks = 1;
      }
      LARGE_INTEGER due;
      due.QuadPart = deadline();
      SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
      armed = true;
    }
    HANDLE handles[4] = {stopEvent_, timer, resetEvent_, sizeEvent_};
    const DWORD count = (resetEvent_ != nullptr && sizeEvent_ != nullptr) ? 4 : 2;
    const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (!running_ || woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
    if (woken == WAIT_OBJECT_0 + 2) {
      sendRequest(kAsioResetRequest, 0);
      continue;
    }
    if (woken == WAIT_OBJECT_0 + 3) {
      sendRequest(kAsioBufferSizeChange, 0);
      continue;
    }
    armed = false;
    const StreamFault fault = streamFault();
    if (fault == StreamFault::Hang) hang();
    if (fault == StreamFault::None) {
      ASIOTime time{};
      time.timeInfo.speed = 1.0;
      const uint64_t position = samplePosition_;
      const uint64_t nanoseconds = static_cast<uint64_t>(fileTimeNow()) * 100;
      systemTimeNs_ = nanoseconds;
      time.timeInfo.systemTime = {static_cast<uint32_t>(nanoseconds >> 32),
                                  static_cast<uint32_t>(nanoseconds)};
      time.timeInfo.samplePosition = {static_cast<uint32_t>(position >> 32),
                                      static_cast<uint32_t>(position)};
      time.timeInfo.sampleRate = sampleRate_;
      time.timeInfo.flags = kTimeInfoValid;
      const uint64_t recorded = recorder_.dataBytes() / recordedFrameBytes();
      const int64_t called = counterNow();
      processBlock(half, &time);
      if (stamps_.enabled()) stamps_.record(called, counterNow(), position, recorded);
      half ^= 1;
      samplePosition_ = position + static_cast<uint64_t>(bufferSize_);
    }
    ++blocks;
    const LONGLONG elapsedMs = (fileTimeNow() - start) / 10'000;
    if (elapsedMs - lastPollMs >= kControlPollMs) {
      lastPollMs = elapsedMs;
      stamps_.flush();
      checkRequests(elapsedMs);
    }
  }
  stamps_.flush();
  CancelWaitableTimer(timer);
  CloseHandle(timer);
  timeEndPeriod(1);
}

void VirtualAsioDriver::hang() {
  driverLog("hanging: no callbacks, stop waits");
  char command[64];
  while (streamFault() == StreamFault::Hang) {
    Sleep(kHangPollMs);
    takeControlCommand(config_.controlFile, true, command, sizeof(command));
  }
  driverLog("hang over");
}

void VirtualAsioDriver::processBlock(int32_t half, ASIOTime* time) {
  fillInputs(half);
  if (hostUsesTimeInfo_) {
    callbacks_.bufferSwitchTimeInfo(time, half, ASIOTrue);
  } else {
    callbacks_.bufferSwitch(half, ASIOTrue);
  }
  recordOutputs(half);
}

void VirtualAsioDriver::fillInputs(int32_t half) {
  const size_t bytes = sampleBytes(config_.sampleType);
  for (const Channel& channel : channels_) {
    if (!channel.isInput) continue;
    // Input n carries a sine of n x 440 Hz at half full scale.
    const double step = kTwoPi * kSignalBaseHz * (channel.number + 1) / sampleRate_;
    uint8_t* out = channel.halves[half];
    for (int32_t j = 0; j < bufferSize_; ++j) {
      const double frame = static_cast<double>(signalFrame_ + static_cast<uint64_t>(j));
      encodeSample(kSignalAmplitude * std::sin(step * frame), config_.sampleType, out);
      out += bytes;
    }
  }
  signalFrame_ += static_cast<uint64_t>(bufferSize_);
}

size_t VirtualAsioDriver::recordedFrameBytes() const {
  return wavFormatOf(config_.sampleType).bitsPerSample / 8 * DriverConfig::kChannels;
}

void VirtualAsioDriver::recordOutputs(int32_t half) {
  if (!recorder_.isOpen()) return;
  const size_t bytes = sampleBytes(config_.sampleType);
  const size_t wavBytes = wavFormatOf(config_.sampleType).bitsPerSample / 8;
  const size_t frameBytes = recordedFrameBytes();
  // Outputs the host did not ask for are recorded as silence.
  std::memset(wavBlock_.data(), 0, frameBytes * static_cast<size_t>(bufferSize_));
  for (const Channel& channel : channels_) {
    if (channel.isInput) continue;
    const uint8_t* in = channel.halves[half];
    uint8_t* out = wavBlock_.data() + wavBytes * static_cast<size_t>(channel.number);
    for (int32_t j = 0; j < bufferSize_; ++j) {
      toWavSample(in, config_.sampleType, out);
      in += bytes;
      out += frameBytes;
    }
  }
  recorder_.append(wavBlock_.data(), static_cast<uint32_t>(frameBytes * bufferSize_));
}

void VirtualAsioDriver::checkRequests(LONGLONG elapsedMs) {
  if (config_.resetAfterMs >= 0 && elapsedMs >= config_.resetAfterMs &&
      !timedResetSent.exchange(true)) {
    sendRequest(kAsioResetRequest, 0);
    return;
  }
  if (config_.sizeChangeAfterMs >= 0 && elapsedMs >= config_.sizeChangeAfterMs &&
      !timedSizeChangeSent.exchange(true)) {
    sendRequest(kAsioBufferSizeChange, config_.changedSize);
    return;
  }
  char command[64] = "";
  if (!takeControlCommand(config_.controlFile, false, command, sizeof(command))) return;
  long size = 0;
  if (applyFaultCommand(command)) return;
  if (std::strncmp(command, "reset", 5) == 0) {
    sendRequest(kAsioResetRequest, 0);
  } else if (std::sscanf(command, "buffersize %ld", &size) == 1) {
    sendRequest(kAsioBufferSizeChange, static_cast<int32_t>(size));
  } else if (std::strncmp(command, "resync", 6) == 0) {
    sendRequest(kAsioResyncRequest, 0);
  } else if (std::strncmp(command, "latencies", 9) == 0) {
    sendRequest(kAsioLatenciesChanged, 0);
  } else {
    driverLog("unknown control command: %s", command);
  }
}

void VirtualAsioDriver::sendRequest(int32_t selector, int32_t newSize) {
  const auto message = callbacks_.asioMessage;
  if (message == nullptr) return;
  int32_t value = 0;
  if (selector == kAsioBufferSizeChange) {
    if (newSize < DriverConfig::kMinSize || newSize > DriverConfig::kMaxSize) {
      const int32_t preferred = preferredSize_;
      newSize = preferred * 2 <= DriverConfig::kMaxSize ? preferred * 2 : preferred / 2;
    }
    preferredSize_ = newSize;
    announcedPreferredSize = newSize;
    value = newSize;
    // A host that cannot follow a size change is asked for a reset instead.
    if (message(kAsioSelectorSupported, kAsioBufferSizeChange, nullptr, nullptr) != 1) {
      selector = kAsioResetRequest;
      value = 0;
    }
  }
  const int32_t answer = message(selector, value, nullptr, nullptr);
  driverLog("asioMessage %d (value %d) -> %d", selector, value, answer);
}
