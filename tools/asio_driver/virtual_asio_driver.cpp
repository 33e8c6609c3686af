#include "tools/asio_driver/virtual_asio_driver.h"

#include <cstdio>
#include <cstring>

#include "tools/asio_driver/driver_faults.h"
#include "tools/asio_driver/driver_log.h"
#include "tools/asio_driver/sample_codec.h"

const CLSID CLSID_TonbrikVirtualAsio = {
    0x6b1e4c2a, 0x93d5, 0x4f7e, {0xa0, 0xb8, 0x5c, 0x3d, 0x2e, 0x1f, 0x9a, 0x74}};
const char kVirtualAsioName[] = "Tonbrik Virtual ASIO";
const CLSID CLSID_TonbrikVirtualAsio2 = {
    0x6b1e4c2a, 0x93d5, 0x4f7e, {0xa0, 0xb8, 0x5c, 0x3d, 0x2e, 0x1f, 0x9a, 0x75}};
const char kVirtualAsio2Name[] = "Tonbrik Virtual ASIO 2";
std::atomic<long> liveDriverObjects{0};
std::atomic<int32_t> announcedPreferredSize{0};

namespace {

constexpr int32_t kDriverVersion = 1;

}  // namespace

VirtualAsioDriver::VirtualAsioDriver(const CLSID& classId)
    : classId_(classId),
      config_(DriverConfig::fromEnvironment()),
      sampleRate_(config_.sampleRate),
      preferredSize_{announcedPreferredSize > 0 ? announcedPreferredSize.load()
                                                : config_.preferredSize} {
  ++liveDriverObjects;
  setDriverLogPath(config_.logPath);
  stamps_.setPath(config_.switchLog);
  stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  resetEvent_ = CreateEventA(nullptr, FALSE, FALSE, "TonbrikVirtualAsio.ResetRequest");
  sizeEvent_ = CreateEventA(nullptr, FALSE, FALSE, "TonbrikVirtualAsio.BufferSizeChange");
  driverLog("create: type %s, rate %.0f, preferred size %d", sampleTypeName(config_.sampleType),
            sampleRate_, preferredSize_.load());
}

VirtualAsioDriver::~VirtualAsioDriver() {
  halt();
  if (bufferSize_ > 0) freeBuffers();
  if (stopEvent_ != nullptr) CloseHandle(stopEvent_);
  if (resetEvent_ != nullptr) CloseHandle(resetEvent_);
  if (sizeEvent_ != nullptr) CloseHandle(sizeEvent_);
  driverLog("release");
  --liveDriverObjects;
}

HRESULT STDMETHODCALLTYPE VirtualAsioDriver::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualGUID(iid, classId_) || IsEqualGUID(iid, IID_IUnknown)) {
    AddRef();
    *object = static_cast<IASIO*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE VirtualAsioDriver::AddRef() {
  return ++references_;
}

ULONG STDMETHODCALLTYPE VirtualAsioDriver::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

ASIOBool VirtualAsioDriver::init(void* sysHandle) {
  char name[32];
  getDriverName(name);
  driverLog("init: window %p, %s", sysHandle, name);
  if (vanished()) {
    std::snprintf(errorText_, sizeof(errorText_), "device not present");
    return ASIOFalse;
  }
  waitWhileCallHangs("init", config_.controlFile);
  if (sampleBytes(config_.sampleType) == 0 || stopEvent_ == nullptr) {
    std::snprintf(errorText_, sizeof(errorText_), "sample type %d not offered or no event",
                  config_.sampleType);
    return ASIOFalse;
  }
  initialized_ = true;
  return ASIOTrue;
}

void VirtualAsioDriver::getDriverName(char* name) {
  const bool second = IsEqualGUID(classId_, CLSID_TonbrikVirtualAsio2);
  std::snprintf(name, 32, "%s", second ? kVirtualAsio2Name : kVirtualAsioName);
}

int32_t VirtualAsioDriver::getDriverVersion() {
  return kDriverVersion;
}

void VirtualAsioDriver::getErrorMessage(char* text) {
  std::snprintf(text, 124, "%s", errorText_);
}

bool VirtualAsioDriver::vanished() {
  char command[64];
  takeControlCommand(config_.controlFile, true, command, sizeof(command));
  return streamFault() == StreamFault::Vanish;
}

ASIOError VirtualAsioDriver::start() {
  if (vanished()) return ASE_NotPresent;
  waitWhileCallHangs("start", config_.controlFile);
  if (bufferSize_ <= 0) return ASE_InvalidMode;
  if (running_) return ASE_OK;
  joinThread();
  ResetEvent(stopEvent_);
  stopAsked_ = false;
  samplePosition_ = 0;
  running_ = true;
  thread_ = CreateThread(nullptr, 0, &VirtualAsioDriver::threadEntry, this, 0, &threadId_);
  if (thread_ == nullptr) {
    running_ = false;
    return ASE_HWMalfunction;
  }
  SetThreadPriority(thread_, THREAD_PRIORITY_TIME_CRITICAL);
  driverLog("start: %d frames at %.0f Hz", bufferSize_, sampleRate_);
  return ASE_OK;
}

ASIOError VirtualAsioDriver::stop() {
  driverLog("stop");
  // Hosts should not: a driver's stop made from its own callback may deadlock.
  if (GetCurrentThreadId() == threadId_) driverLog("stop: called from inside a callback");
  stopAsked_ = true;
  if (vanished()) return ASE_NotPresent;
  if (stopFails()) {
    driverLog("stop: refused, the stream goes on");
    return ASE_HWMalfunction;
  }
  waitWhileStopHangs(config_.controlFile);
  halt();
  return ASE_OK;
}

void VirtualAsioDriver::halt() {
  running_ = false;
  if (stopEvent_ != nullptr) SetEvent(stopEvent_);
  // Called from inside a callback (a host answering a reset request) the thread
  // cannot wait for itself: it ends on its own and is joined later.
  if (GetCurrentThreadId() != threadId_) joinThread();
}

void VirtualAsioDriver::joinThread() {
  if (thread_ == nullptr) return;
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = nullptr;
  threadId_ = 0;
}

ASIOError VirtualAsioDriver::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
  if (vanished()) return ASE_NotPresent;
  if (numInputChannels == nullptr || numOutputChannels == nullptr) return ASE_InvalidParameter;
  *numInputChannels = DriverConfig::kChannels;
  *numOutputChannels = DriverConfig::kChannels;
  return ASE_OK;
}

ASIOError VirtualAsioDriver::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
  if (inputLatency == nullptr || outputLatency == nullptr) return ASE_InvalidParameter;
  const int32_t size = bufferSize_ > 0 ? bufferSize_ : preferredSize_.load();
  *inputLatency = size;
  *outputLatency = size;
  return ASE_OK;
}

ASIOError VirtualAsioDriver::getBufferSize(int32_t* minSize, int32_t* maxSize,
                                           int32_t* preferredSize, int32_t* granularity) {
  if (minSize == nullptr || maxSize == nullptr || preferredSize == nullptr ||
      granularity == nullptr) {
    return ASE_InvalidParameter;
  }
  *minSize = DriverConfig::kMinSize;
  *maxSize = DriverConfig::kMaxSize;
  *preferredSize = preferredSize_;
  *granularity = -1;  // powers of two
  return ASE_OK;
}

ASIOError VirtualAsioDriver::canSampleRate(ASIOSampleRate sampleRate) {
  return DriverConfig::isRateSupported(sampleRate) ? ASE_OK : ASE_NoClock;
}

ASIOError VirtualAsioDriver::getSampleRate(ASIOSampleRate* sampleRate) {
  if (sampleRate == nullptr) return ASE_InvalidParameter;
  *sampleRate = sampleRate_;
  return ASE_OK;
}

ASIOError VirtualAsioDriver::setSampleRate(ASIOSampleRate sampleRate) {
  if (!DriverConfig::isRateSupported(sampleRate)) return ASE_NoClock;
  if (sampleRate == sampleRate_) return ASE_OK;
  // The recording has one rate; changing it while streaming is refused.
  if (running_) return ASE_InvalidMode;
  driverLog("setSampleRate: %.0f", sampleRate);
  sampleRate_ = sampleRate;
  if (callbacks_.sampleRateDidChange != nullptr) callbacks_.sampleRateDidChange(sampleRate);
  return ASE_OK;
}

ASIOError VirtualAsioDriver::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
  if (clocks == nullptr || numSources == nullptr || *numSources < 1) return ASE_InvalidParameter;
  clocks[0] = ASIOClockSource{0, -1, 0, ASIOTrue, "Internal"};
  *numSources = 1;
  return ASE_OK;
}

ASIOError VirtualAsioDriver::setClockSource(int32_t reference) {
  return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

ASIOError VirtualAsioDriver::getSamplePosition(ASIOSamples* samplePosition,
                                               ASIOTimeStamp* timeStamp) {
  if (samplePosition == nullptr || timeStamp == nullptr) return ASE_InvalidParameter;
  if (!running_) return ASE_SPNotAdvancing;
  const uint64_t position = samplePosition_;
  const uint64_t time = systemTimeNs_;
  *samplePosition =
      ASIOSamples{static_cast<uint32_t>(position >> 32), static_cast<uint32_t>(position)};
  *timeStamp = ASIOTimeStamp{static_cast<uint32_t>(time >> 32), static_cast<uint32_t>(time)};
  return ASE_OK;
}

ASIOError VirtualAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
  if (info == nullptr || info->channel < 0 || info->channel >= DriverConfig::kChannels) {
    return ASE_InvalidParameter;
  }
  const bool isInput = info->isInput != ASIOFalse;
  info->isActive = ASIOFalse;
  for (const Channel& channel : channels_) {
    if (channel.isInput == isInput && channel.number == info->channel) info->isActive = ASIOTrue;
  }
  info->channelGroup = 0;
  info->type = config_.sampleType;
  std::snprintf(info->name, sizeof(info->name), "Virtual %s %d", isInput ? "In" : "Out",
                static_cast<int>(info->channel) + 1);
  return ASE_OK;
}

ASIOError VirtualAsioDriver::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                           int32_t bufferSize, ASIOCallbacks* callbacks) {
  driverLog("createBuffers: %d channels, %d frames", numChannels, bufferSize);
  if (vanished()) return ASE_NotPresent;
  waitWhileCallHangs("buffers", config_.controlFile);
  if (!initialized_ || bufferSize_ > 0) return ASE_InvalidMode;
  if (bufferInfos == nullptr || callbacks == nullptr || callbacks->bufferSwitch == nullptr ||
      numChannels <= 0 || numChannels > 2 * DriverConfig::kChannels ||
      bufferSize < DriverConfig::kMinSize || bufferSize > DriverConfig::kMaxSize) {
    return ASE_InvalidParameter;
  }
  for (int32_t i = 0; i < numChannels; ++i) {
    const ASIOBufferInfo& info = bufferInfos[i];
    if (info.channelNum < 0 || info.channelNum >= DriverConfig::kChannels) {
      return ASE_InvalidParameter;
    }
    for (int32_t j = 0; j < i; ++j) {
      if (bufferInfos[j].isInput == info.isInput && bufferInfos[j].channelNum == info.channelNum) {
        return ASE_InvalidParameter;
      }
    }
  }
  const size_t half = sampleBytes(config_.sampleType) * static_cast<size_t>(bufferSize);
  storage_.assign(half * 2 * static_cast<size_t>(numChannels), 0);
  channels_.clear();
  for (int32_t i = 0; i < numChannels; ++i) {
    uint8_t* base = storage_.data() + half * 2 * static_cast<size_t>(i);
    Channel channel{
        bufferInfos[i].isInput != ASIOFalse, bufferInfos[i].channelNum, {base, base + half}};
    bufferInfos[i].buffers[0] = channel.halves[0];
    bufferInfos[i].buffers[1] = channel.halves[1];
    channels_.push_back(channel);
  }
  wavBlock_.assign(static_cast<size_t>(bufferSize) * DriverConfig::kChannels * 8, 0);
  bufferSize_ = bufferSize;
  callbacks_ = *callbacks;
  signalFrame_ = 0;
  probeHost();
  if (!config_.outputWav.empty() &&
      !recorder_.open(config_.outputWav, wavFormatOf(config_.sampleType), DriverConfig::kChannels,
                      static_cast<int32_t>(sampleRate_))) {
    driverLog("cannot record to %s", config_.outputWav.c_str());
  }
  return ASE_OK;
}

ASIOError VirtualAsioDriver::disposeBuffers() {
  driverLog("disposeBuffers");
  if (vanished()) return ASE_NotPresent;
  if (bufferSize_ <= 0) return ASE_InvalidMode;
  // What a real driver may not survive: its buffers taken while it streams into them.
  if (running_) {
    driverLog(stopAsked_ ? "disposeBuffers: still streaming, stop refused"
                         : "disposeBuffers: still streaming, stop not asked");
  }
  halt();
  freeBuffers();
  return ASE_OK;
}

void VirtualAsioDriver::freeBuffers() {
  recorder_.close();
  channels_.clear();
  storage_.clear();
  bufferSize_ = 0;
  callbacks_ = ASIOCallbacks{};
}

ASIOError VirtualAsioDriver::controlPanel() {
  driverLog("controlPanel");
  return ASE_OK;
}

ASIOError VirtualAsioDriver::future(int32_t selector, void*) {
  driverLog("future: selector %d", selector);
  return ASE_InvalidParameter;
}

ASIOError VirtualAsioDriver::outputReady() {
  return ASE_OK;
}

void VirtualAsioDriver::probeHost() {
  const auto message = callbacks_.asioMessage;
  if (message == nullptr) {
    driverLog("host has no asioMessage");
    hostUsesTimeInfo_ = false;
    return;
  }
  char line[160];
  int length = std::snprintf(line, sizeof(line), "host supports:");
  for (int32_t selector = kAsioEngineVersion; selector <= kAsioOverload; ++selector) {
    if (message(kAsioSelectorSupported, selector, nullptr, nullptr) == 1) {
      length += std::snprintf(line + length, sizeof(line) - static_cast<size_t>(length), " %d",
                              static_cast<int>(selector));
    }
  }
  driverLog("%s", line);
  driverLog("host engine version: %d", message(kAsioEngineVersion, 0, nullptr, nullptr));
  hostUsesTimeInfo_ =
      callbacks_.bufferSwitchTimeInfo != nullptr &&
      message(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr) == 1 &&
      message(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
  driverLog("host takes time info: %s", hostUsesTimeInfo_ ? "yes" : "no");
}
