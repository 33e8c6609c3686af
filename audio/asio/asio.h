// The ASIO driver interface: scalar types, structures, codes and IASIO itself.
// Every `long` of the standard is a fixed 32-bit integer here, so the layout is the
// same in the Windows build and in the native build against the simulated platform.
// Structures are packed to 4 bytes, as drivers built for the standard expect.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/asio/asio_sample_types.h"
#include "platform/platform.h"

typedef int32_t ASIOError;
typedef int32_t ASIOBool;
typedef double ASIOSampleRate;

enum : ASIOBool { ASIOFalse = 0, ASIOTrue = 1 };

enum : ASIOError {
  ASE_OK = 0,
  ASE_SUCCESS = 0x3f4847a0,
  ASE_NotPresent = -1000,
  ASE_HWMalfunction = -999,
  ASE_InvalidParameter = -998,
  ASE_InvalidMode = -997,
  ASE_SPNotAdvancing = -996,
  ASE_NoClock = -995,
  ASE_NoMemory = -994,
};

// Selectors of the driver's asioMessage callback.
enum : int32_t {
  kAsioSelectorSupported = 1,
  kAsioEngineVersion = 2,
  kAsioResetRequest = 3,
  kAsioBufferSizeChange = 4,
  kAsioResyncRequest = 5,
  kAsioLatenciesChanged = 6,
  kAsioSupportsTimeInfo = 7,
  kAsioSupportsTimeCode = 8,
  kAsioMMCCommand = 9,
  kAsioSupportsInputMonitor = 10,
  kAsioSupportsInputGain = 11,
  kAsioSupportsInputMeter = 12,
  kAsioSupportsOutputGain = 13,
  kAsioSupportsOutputMeter = 14,
  kAsioOverload = 15,
};

#pragma pack(push, 4)

struct ASIOSamples {
  uint32_t hi;
  uint32_t lo;
};

struct ASIOTimeStamp {
  uint32_t hi;
  uint32_t lo;
};

struct ASIODriverInfo {
  int32_t asioVersion;
  int32_t driverVersion;
  char name[32];
  char errorMessage[124];
  void* sysRef;
};

struct ASIOClockSource {
  int32_t index;
  int32_t associatedChannel;
  int32_t associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};

struct ASIOChannelInfo {
  int32_t channel;
  ASIOBool isInput;
  ASIOBool isActive;
  int32_t channelGroup;
  ASIOSampleType type;
  char name[32];
};

struct ASIOBufferInfo {
  ASIOBool isInput;
  int32_t channelNum;
  void* buffers[2];
};

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  uint32_t flags;
  char reserved[12];
};

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  uint32_t flags;
  char future[64];
};

struct ASIOTime {
  int32_t reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
};

struct ASIOCallbacks {
  void (*bufferSwitch)(int32_t index, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sampleRate);
  int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
  ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, int32_t index, ASIOBool directProcess);
};

#pragma pack(pop)

// The driver object. Its interface id equals the driver's class id. x86-64 Windows has
// one calling convention, so no attribute is needed for drivers built elsewhere.
struct IASIO : public IUnknown {
  virtual ASIOBool init(void* sysHandle) = 0;
  virtual void getDriverName(char* name) = 0;
  virtual int32_t getDriverVersion() = 0;
  virtual void getErrorMessage(char* string) = 0;
  virtual ASIOError start() = 0;
  virtual ASIOError stop() = 0;
  virtual ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
  virtual ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
  virtual ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                  int32_t* granularity) = 0;
  virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
  virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
  virtual ASIOError setClockSource(int32_t reference) = 0;
  virtual ASIOError getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) = 0;
  virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
  virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                  int32_t bufferSize, ASIOCallbacks* callbacks) = 0;
  virtual ASIOError disposeBuffers() = 0;
  virtual ASIOError controlPanel() = 0;
  virtual ASIOError future(int32_t selector, void* opt) = 0;
  virtual ASIOError outputReady() = 0;
};

static_assert(sizeof(ASIODriverInfo) == 4 + 4 + 32 + 124 + 8, "driver info layout");
static_assert(sizeof(ASIOChannelInfo) == 5 * 4 + 32, "channel info layout");
static_assert(sizeof(ASIOBufferInfo) == 8 + 16, "buffer info layout");
static_assert(sizeof(AsioTimeInfo) == 8 + 8 + 8 + 8 + 4 + 12, "time info layout");
static_assert(sizeof(ASIOTimeCode) == 8 + 8 + 4 + 64, "time code layout");
static_assert(sizeof(ASIOTime) == 16 + sizeof(AsioTimeInfo) + sizeof(ASIOTimeCode), "time layout");

// Offsets as drivers built for x86-64 Windows see them; with 4-byte packing the
// pointers and doubles after an odd number of 32-bit fields are not 8-aligned.
static_assert(offsetof(ASIODriverInfo, name) == 8 && offsetof(ASIODriverInfo, errorMessage) == 40 &&
                  offsetof(ASIODriverInfo, sysRef) == 164,
              "driver info offsets");
static_assert(sizeof(ASIOClockSource) == 48 && offsetof(ASIOClockSource, name) == 16,
              "clock source layout");
static_assert(offsetof(ASIOChannelInfo, type) == 16 && offsetof(ASIOChannelInfo, name) == 20,
              "channel info offsets");
static_assert(offsetof(ASIOBufferInfo, buffers) == 8, "buffer info offsets");
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8, "64-bit halves");
static_assert(offsetof(AsioTimeInfo, systemTime) == 8 &&
                  offsetof(AsioTimeInfo, samplePosition) == 16 &&
                  offsetof(AsioTimeInfo, sampleRate) == 24 && offsetof(AsioTimeInfo, flags) == 32 &&
                  offsetof(AsioTimeInfo, reserved) == 36,
              "time info offsets");
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8 && offsetof(ASIOTimeCode, flags) == 16 &&
                  offsetof(ASIOTimeCode, future) == 20,
              "time code offsets");
static_assert(sizeof(ASIOTime) == 148 && offsetof(ASIOTime, timeInfo) == 16 &&
                  offsetof(ASIOTime, timeCode) == 64,
              "time offsets");
static_assert(sizeof(ASIOCallbacks) == 4 * sizeof(void*) &&
                  offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 3 * sizeof(void*),
              "callbacks layout");
