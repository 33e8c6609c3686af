// A scriptable ASIO driver for tests: a C++ class behind IASIO, registered with the
// simulated COM by class id. Its behaviour lives in a FakeDriverScript that the test
// keeps and may change at any time; the script also records what the host did.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/asio/asio.h"
#include "platform/sim/registry.h"

struct FakeDriverScript {
  // Identity.
  std::string name = "Fake";
  int32_t version = 7;
  bool initResult = true;
  std::string errorMessage = "fake init failed";

  // Capabilities.
  int32_t inputs = 2;
  int32_t outputs = 2;
  std::vector<ASIOSampleType> inputTypes;   // per channel; default ASIOSTInt32LSB
  std::vector<ASIOSampleType> outputTypes;  // per channel; default ASIOSTInt32LSB
  std::vector<bool> activeInputs, activeOutputs;
  int32_t minSize = 64, maxSize = 2048, preferredSize = 256, granularity = 32;
  double rate = 44100.0;
  std::vector<double> possibleRates = {44100.0, 48000.0, 96000.0};
  int32_t inputLatency = 300, outputLatency = 500;

  // Failure injection: the named method answers ASE_HWMalfunction (or the code).
  ASIOError getChannelsResult = ASE_OK;
  ASIOError getBufferSizeResult = ASE_OK;
  ASIOError setSampleRateResult = ASE_OK;
  ASIOError getSampleRateResult = ASE_OK;
  ASIOError channelInfoResult = ASE_OK;
  ASIOError createBuffersResult = ASE_OK;
  ASIOError startResult = ASE_OK;
  ASIOError stopResult = ASE_OK;
  ASIOError outputReadyResult = ASE_OK;
  ASIOError controlPanelResult = ASE_OK;
  // Instantiation fails with this HRESULT when not S_OK.
  HRESULT createResult = S_OK;

  // Observations.
  std::vector<std::string> calls;
  std::atomic<int> callCount{0};  // the calls recorded, for a test that cannot wait for them
  int live = 0;                   // objects not yet destroyed
  int created = 0;                // objects made
  std::atomic<int> outputReadyCalls{0};
  void* sysRef = nullptr;
  ASIOCallbacks callbacks{};
  int32_t bufferSize = 0;
  std::vector<ASIOBufferInfo> infos;          // as handed to createBuffers, filled
  std::vector<std::vector<uint8_t>> storage;  // two halves per channel
  // When set, stop waits for this event before it answers: a driver that hangs.
  HANDLE stopWaitsFor = nullptr;
  // Meanwhile its stream goes on: the stop's thread calls the buffer switch every
  // millisecond, and counts those switches.
  bool callsBackWhileStopHangs = false;
  std::atomic<int> switchesWhileStopHangs{0};
  // When set, the method named in hangsIn ("init", "createBuffers" or "start") waits
  // for this event before it answers.
  std::string hangsIn;
  HANDLE hangUntil = nullptr;
  IASIO* instance = nullptr;  // the latest object made
  // Called from outputReady (lets a test re-enter the buffer switch).
  void (*onOutputReady)(FakeDriverScript&) = nullptr;

  ASIOSampleType typeOf(bool isInput, int32_t channel) const;
  bool called(const std::string& method) const;
  int countOf(const std::string& method) const;
  void* buffer(bool isInput, int32_t channel, int32_t half);
};

// Registers a driver class in the simulated COM and lists it in the simulated
// registry under HKLM\software\asio\<keyName>, with a server file that exists.
class FakeDriverInstall {
 public:
  FakeDriverInstall(const std::string& keyName, const std::string& description, int classNumber);
  ~FakeDriverInstall();

  std::shared_ptr<FakeDriverScript> script = std::make_shared<FakeDriverScript>();
  CLSID classId{};
  std::string classIdText;
  std::string keyName;
};

// Makes a GUID text "{0000000n-1111-2222-3333-444444444444}" from a number.
std::string fakeClassIdText(int classNumber);

// Empties the simulated registry and COM and forgets the process-wide driver list.
void resetAsioWorld();
