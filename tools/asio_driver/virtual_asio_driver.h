// The virtual ASIO driver: two inputs carrying a known test signal, two outputs that
// are recorded to a WAV file, and a thread that calls the host back at the real
// buffer period. Requests to the host (reset, buffer-size change) and faults (a
// stalled, hung or vanished device, a failing stop; driver_faults.h) can be
// triggered from outside while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/asio/asio.h"
#include "tools/asio_driver/driver_config.h"
#include "tools/asio_driver/switch_stamps.h"
#include "tools/asio_driver/wav_recorder.h"

// {6B1E4C2A-93D5-4F7E-A0B8-5C3D2E1F9A74}
extern const CLSID CLSID_TonbrikVirtualAsio;
extern const char kVirtualAsioName[];
// A second class of the same driver that reports a name of its own, so a test can
// register two drivers and tell which one a host opened. Not self-registered.
// {6B1E4C2A-93D5-4F7E-A0B8-5C3D2E1F9A75}
extern const CLSID CLSID_TonbrikVirtualAsio2;
extern const char kVirtualAsio2Name[];
extern std::atomic<long> liveDriverObjects;
// The preferred size of the last buffer-size change, 0 before any. Process-wide: a
// host answers the change by releasing the driver and creating it anew.
extern std::atomic<int32_t> announcedPreferredSize;

class VirtualAsioDriver final : public IASIO {
 public:
  explicit VirtualAsioDriver(const CLSID& classId = CLSID_TonbrikVirtualAsio);
  ~VirtualAsioDriver();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  int32_t getDriverVersion() override;
  void getErrorMessage(char* text) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
  ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
  ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                          int32_t* granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
  ASIOError setClockSource(int32_t reference) override;
  ASIOError getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                          ASIOCallbacks* callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(int32_t selector, void* opt) override;
  ASIOError outputReady() override;

 private:
  struct Channel {
    bool isInput;
    int32_t number;
    uint8_t* halves[2];
  };

  static DWORD WINAPI threadEntry(LPVOID self);
  void run();
  void processBlock(int32_t half, ASIOTime* time);
  void fillInputs(int32_t half);
  void recordOutputs(int32_t half);
  size_t recordedFrameBytes() const;
  void checkRequests(LONGLONG elapsedMs);
  void sendRequest(int32_t selector, int32_t newSize);
  void probeHost();
  void joinThread();
  // Ends the stream whatever the faults say (stop may be told to fail).
  void halt();
  void freeBuffers();
  // Takes a fault command from the control file; true while the device is gone.
  bool vanished();
  // The thread's wait while it hangs: it takes nothing but fault commands.
  void hang();

  std::atomic<ULONG> references_{1};
  const CLSID classId_;
  DriverConfig config_;
  char errorText_[124] = "";
  bool initialized_ = false;

  double sampleRate_;
  std::atomic<int32_t> preferredSize_;
  int32_t bufferSize_ = 0;
  ASIOCallbacks callbacks_{};
  bool hostUsesTimeInfo_ = false;
  std::vector<Channel> channels_;
  std::vector<uint8_t> storage_;
  std::vector<uint8_t> wavBlock_;
  WavRecorder recorder_;
  SwitchStamps stamps_;

  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
  HANDLE stopEvent_ = nullptr;
  HANDLE resetEvent_ = nullptr;  // named: a test tool can trigger a reset request
  HANDLE sizeEvent_ = nullptr;   // named: a test tool can trigger a buffer-size change
  std::atomic<bool> running_{false};
  bool stopAsked_ = false;  // since the last start
  std::atomic<uint64_t> samplePosition_{0};
  std::atomic<uint64_t> systemTimeNs_{0};
  uint64_t signalFrame_ = 0;
};
