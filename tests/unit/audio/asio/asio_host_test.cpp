#include "audio/asio/asio_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "audio/asio/asio_api.h"
#include "audio/audio_result.h"
#include "fake_asio_driver.h"
#include "synth/synth_rack.h"

namespace {

HWND const kWindow = reinterpret_cast<HWND>(0x1234);

class AsioHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetAsioWorld();
    rack.createSynth(0, 1, 16, false);
    rack.activate(0);
  }
  void TearDown() override {
    host.close();
    resetAsioWorld();
  }

  FakeDriverScript& install(const std::string& name = "Fake") {
    drivers.push_back(std::make_unique<FakeDriverInstall>(name, name, 100 + drivers.size()));
    drivers.back()->script->name = name;
    return *drivers.back()->script;
  }

  // The main window's full open: 2 out, 2 in, 48000 Hz, the preferred size.
  int32_t openFull(int bufferSize = 0) {
    return host.open(&rack, kWindow,
                     {.outputs = 2, .inputs = 2, .sampleRate = 48000, .bufferSize = bufferSize});
  }
  // The start-up probe of one driver, as the window makes it, by index.
  int32_t probeDriver(int32_t index, bool strictIndex) {
    return host.open(&rack, kWindow,
                     {.outputs = 2,
                      .inputs = 0,
                      .sampleRate = 48000,
                      .driverIndex = index,
                      .strictIndex = strictIndex,
                      .probeOnly = true});
  }
  int32_t probe(int rate = 48000, int bufferSize = 0) {
    return host.open(&rack, kWindow,
                     {.outputs = 1,
                      .inputs = 0,
                      .sampleRate = rate,
                      .bufferSize = bufferSize,
                      .probeOnly = true});
  }

  AsioHost host;
  SynthRack rack;
  std::vector<std::unique_ptr<FakeDriverInstall>> drivers;
};

bool allBytesAre(const void* data, size_t bytes, uint8_t value) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < bytes; ++i) {
    if (p[i] != value) return false;
  }
  return true;
}

TEST_F(AsioHostTest, ArgumentsAreCheckedBeforeAnyDriverIsTouched) {
  FakeDriverScript& driver = install();
  EXPECT_EQ(host.open(&rack, kWindow, {.outputs = 0, .inputs = 0, .sampleRate = 48000}),
            AudioFailed);
  EXPECT_EQ(host.open(&rack, kWindow, {.outputs = -2, .inputs = -1, .sampleRate = 48000}),
            AudioFailed);
  EXPECT_EQ(host.open(nullptr, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000}),
            AudioNoRack);
  EXPECT_EQ(driver.created, 0);
  EXPECT_EQ(host.state(), AsioHostState::Closed);
}

TEST_F(AsioHostTest, MissingOrUnloadableDriverGivesMinus11) {
  EXPECT_EQ(openFull(), AudioNoDriver);
  FakeDriverScript& driver = install();
  driver.createResult = E_FAIL;
  EXPECT_EQ(openFull(), AudioNoDriver);
  EXPECT_EQ(host.state(), AsioHostState::Closed);
  EXPECT_EQ(sim::comInitializeBalance(), 1);  // the process-wide list keeps COM
}

TEST_F(AsioHostTest, DriverIndexRules) {
  FakeDriverScript& first = install("First");
  install("Second");
  FakeDriverScript& third = install("Third");
  EXPECT_EQ(probeDriver(5, true), AudioBadDriverIndex);
  EXPECT_EQ(first.created + third.created, 0);

  std::string name;
  ASSERT_EQ(probeDriver(5, false), AudioOk);
  EXPECT_TRUE(host.driverName(name));
  EXPECT_EQ(name, "First");
  ASSERT_EQ(probeDriver(-3, true), AudioOk);
  host.driverName(name);
  EXPECT_EQ(name, "First");
  ASSERT_EQ(probeDriver(2, true), AudioOk);
  host.driverName(name);
  EXPECT_EQ(name, "Third");
  EXPECT_EQ(first.live, 0);  // reopening closed the earlier driver
  EXPECT_EQ(third.sysRef, kWindow);
}

TEST_F(AsioHostTest, DriversWhoseShortenedNamesAgreeAreTakenByIndex) {
  // Both descriptions shorten to the same 28 characters and "...".
  const std::string common = "Studio Interface USB Audio 24";
  drivers.push_back(std::make_unique<FakeDriverInstall>("A", common + " first", 100));
  drivers.back()->script->name = "Driver A";
  drivers.push_back(std::make_unique<FakeDriverInstall>("B", common + " second", 101));
  drivers.back()->script->name = "Driver B";
  std::string name;
  ASSERT_EQ(probeDriver(1, true), AudioOk);
  host.driverName(name);
  EXPECT_EQ(name, "Driver B");
  EXPECT_EQ(drivers[0]->script->created, 0);
  ASSERT_EQ(probeDriver(0, true), AudioOk);
  host.driverName(name);
  EXPECT_EQ(name, "Driver A");
}

TEST_F(AsioHostTest, ADriverInstalledSinceTheLastOpenIsTakenAtItsIndex) {
  install("Beta");
  std::string name;
  ASSERT_EQ(probeDriver(0, true), AudioOk);
  host.close();
  install("Alpha");  // lists before Beta now
  ASSERT_EQ(probeDriver(0, true), AudioOk);
  host.driverName(name);
  EXPECT_EQ(name, "Alpha");
  ASSERT_EQ(probeDriver(1, true), AudioOk);
  host.driverName(name);
  EXPECT_EQ(name, "Beta");
  host.close();
  EXPECT_EQ(sim::comInitializeBalance(), 1);
}

TEST_F(AsioHostTest, FailedInitReleasesTheDriver) {
  FakeDriverScript& driver = install();
  driver.initResult = false;
  EXPECT_EQ(openFull(), AudioFailed);
  EXPECT_EQ(host.state(), AsioHostState::Closed);
  EXPECT_EQ(driver.live, 0);
  std::string name = "x";
  EXPECT_FALSE(host.driverName(name));
  EXPECT_EQ(name, "");
}

TEST_F(AsioHostTest, RateCloseToTheWantedOneIsLeftAlone) {
  FakeDriverScript& driver = install();
  driver.rate = 47999.6;
  driver.possibleRates = {44100.0};  // 48000 itself would be refused
  ASSERT_EQ(probe(48000), AudioOk);
  EXPECT_FALSE(driver.called("canSampleRate"));
  EXPECT_FALSE(driver.called("setSampleRate"));
  EXPECT_EQ(host.sampleRate(), 47999);
  // A full open does not touch a rate that already counts as the wanted one either.
  ASSERT_EQ(openFull(), AudioOk);
  EXPECT_FALSE(driver.called("setSampleRate"));
  EXPECT_EQ(driver.rate, 47999.6);
  EXPECT_EQ(host.sampleRate(), 47999);
}

TEST_F(AsioHostTest, OnlyRatesNoIntegerHoldsCountAsDifferent) {
  FakeDriverScript& driver = install();
  driver.possibleRates = {};  // every rate the host asks for is refused
  // Not a number is never the wanted rate, not even one that equals a marker value.
  driver.rate = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(probe(-1), AudioRateNotPossible);
  EXPECT_TRUE(driver.called("canSampleRate"));
  driver.rate = 1e12;
  EXPECT_EQ(probe(-1), AudioRateNotPossible);
  driver.rate = std::numeric_limits<double>::infinity();
  EXPECT_EQ(probe(2147483647), AudioRateNotPossible);
  // A rate that rounds to the wanted one is left alone, whatever its sign.
  driver.calls.clear();
  driver.rate = -0.3;  // -0.3 + 0.5 truncates to 0
  EXPECT_EQ(probe(0), AudioOk);
  driver.rate = -7.9;  // -7.4 truncates to -7
  EXPECT_EQ(probe(-7), AudioOk);
  driver.rate = 2147483646.9;
  EXPECT_EQ(probe(2147483647), AudioOk);
  EXPECT_FALSE(driver.called("canSampleRate"));
}

TEST_F(AsioHostTest, ProbeChecksTheRateWithoutChangingIt) {
  FakeDriverScript& driver = install();
  EXPECT_EQ(probe(32000), AudioRateNotPossible);
  EXPECT_EQ(host.state(), AsioHostState::Closed);
  EXPECT_EQ(driver.live, 0);

  ASSERT_EQ(probe(48000), AudioOk);
  EXPECT_EQ(host.state(), AsioHostState::DriverInitialised);
  EXPECT_EQ(driver.rate, 44100.0);
  EXPECT_FALSE(driver.called("setSampleRate"));
  EXPECT_FALSE(driver.called("createBuffers"));
  EXPECT_EQ(host.sampleRate(), 44100);
  EXPECT_EQ(host.inputLatency(), AsioHost::kUnknown);  // no buffers yet
  EXPECT_EQ(host.close(), AudioOk);
  EXPECT_TRUE(driver.called("init"));
  EXPECT_FALSE(driver.called("disposeBuffers"));
  EXPECT_EQ(driver.live, 0);
}

TEST_F(AsioHostTest, FullOpenSetsTheRate) {
  FakeDriverScript& driver = install();
  ASSERT_EQ(openFull(), AudioOk);
  EXPECT_EQ(driver.rate, 48000.0);
  EXPECT_EQ(host.sampleRate(), 48000);
  host.close();
  driver.rate = 44100.0;
  driver.setSampleRateResult = ASE_HWMalfunction;
  EXPECT_EQ(openFull(), AudioRateNotPossible);
  EXPECT_EQ(host.lastHostError(), ASE_HWMalfunction);
  driver.setSampleRateResult = ASE_OK;
  driver.rate = 44100.0;
  driver.getSampleRateResult = ASE_HWMalfunction;
  EXPECT_EQ(openFull(), AudioRateNotPossible);
  EXPECT_EQ(host.state(), AsioHostState::Closed);
}

struct SizeCase {
  int32_t minimum, maximum, preferred, granularity;
  int wanted;
  int32_t expected;
};

TEST_F(AsioHostTest, BufferSizeFollowsTheDriversLimits) {
  FakeDriverScript& driver = install();
  const SizeCase cases[] = {
      {64, 2048, 256, 32, 100, 96},    {64, 2048, 256, 32, 40, 64},
      {64, 2048, 256, 32, 4096, 2048}, {64, 1024, 256, -1, 200, 256},
      {64, 1024, 256, -1, 5000, 1024}, {64, 1024, 256, 0, 64, 64},
      {64, 2048, 192, 32, 0, 192},     {64, 2048, 192, -1, -5, 192},
      {0, 1024, 256, -1, 300, -1},     {64, 2048, 0, 32, 0, -1},
  };
  for (const SizeCase& c : cases) {
    driver.minSize = c.minimum;
    driver.maxSize = c.maximum;
    driver.preferredSize = c.preferred;
    driver.granularity = c.granularity;
    const int32_t result = probe(48000, c.wanted);
    if (c.expected == AsioHost::kUnknown) {
      EXPECT_EQ(result, -1) << "minimum " << c.minimum << " wanted " << c.wanted;
      EXPECT_EQ(host.state(), AsioHostState::Closed);
    } else {
      ASSERT_EQ(result, 0);
      EXPECT_EQ(host.bufferSize(), c.expected)
          << "granularity " << c.granularity << " wanted " << c.wanted;
    }
  }
}

TEST_F(AsioHostTest, ChannelsInUseAreTheFirstOnesInputsFirst) {
  FakeDriverScript& driver = install();
  driver.inputs = 8;
  ASSERT_EQ(openFull(), AudioOk);
  ASSERT_EQ(driver.infos.size(), 4u);
  for (int e = 0; e < 4; ++e) {
    EXPECT_EQ(driver.infos[e].isInput, e < 2 ? ASIOTrue : ASIOFalse);
    EXPECT_EQ(driver.infos[e].channelNum, e % 2);
  }
  EXPECT_EQ(driver.bufferSize, 256);
  std::string name;
  EXPECT_TRUE(host.channelName(1, true, name));
  EXPECT_EQ(name, "In 2");
  EXPECT_TRUE(host.channelName(0, false, name));
  EXPECT_EQ(name, "Out 1");
  EXPECT_FALSE(host.channelName(2, true, name));
  EXPECT_EQ(name, "");
  EXPECT_FALSE(host.channelName(-1, false, name));
  EXPECT_EQ(host.inputLatency(), 300);
  EXPECT_EQ(host.outputLatency(), 500);
}

TEST_F(AsioHostTest, OpeningUpToTakesTheChannelsTheDriverHas) {
  struct Case {
    int32_t driverOutputs, driverInputs;
    int32_t expected, outputs, inputs;
  };
  const Case cases[] = {
      {2, 2, 0, 2, 2}, {8, 8, 0, 2, 2}, {1, 0, 0, 1, 0},
      {2, 1, 0, 2, 1}, {1, 4, 0, 1, 2}, {0, 2, AudioNoOutputChannels, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.driverOutputs << " outputs, " << c.driverInputs << " inputs");
    resetAsioWorld();
    drivers.clear();
    FakeDriverScript& driver = install();
    driver.outputs = c.driverOutputs;
    driver.inputs = c.driverInputs;
    ASSERT_EQ(host.openUpTo(&rack, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000}),
              c.expected);
    if (c.expected != AudioOk) {
      EXPECT_EQ(host.state(), AsioHostState::Closed);
      EXPECT_EQ(driver.live, 0);
      continue;
    }
    ASSERT_EQ(driver.infos.size(), static_cast<size_t>(c.outputs + c.inputs));
    std::string name;
    EXPECT_EQ(host.channelName(c.outputs - 1, false, name), true);
    EXPECT_EQ(host.channelName(c.outputs, false, name), false);
    EXPECT_EQ(host.channelName(c.inputs, true, name), false);
  }
  // The wanted counts stay the upper bound; a probe creates no buffers.
  resetAsioWorld();
  drivers.clear();
  FakeDriverScript& driver = install();
  driver.inputs = 8;
  ASSERT_EQ(host.openUpTo(&rack, kWindow,
                          {.outputs = 1, .inputs = 0, .sampleRate = 48000, .probeOnly = true}),
            AudioOk);
  EXPECT_FALSE(driver.called("createBuffers"));
  EXPECT_EQ(host.open(&rack, kWindow, {.outputs = 0, .inputs = 0, .sampleRate = 48000}),
            AudioFailed);
  EXPECT_EQ(host.openUpTo(&rack, kWindow, {.outputs = 0, .inputs = 0, .sampleRate = 48000}),
            AudioFailed);
}

TEST_F(AsioHostTest, ADriverWithOneOutputAndNoInputPlaysTheRack) {
  FakeDriverScript& driver = install();
  driver.outputs = 1;
  driver.inputs = 0;
  driver.outputTypes = {ASIOSTFloat32LSB};
  ASSERT_EQ(host.openUpTo(&rack, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000}),
            AudioOk);
  ASSERT_EQ(host.start(false), AudioOk);
  for (int i = 0; i < 8; ++i) driver.callbacks.bufferSwitch(i % 2, ASIOTrue);
  const auto* out = static_cast<const float*>(driver.buffer(false, 0, 1));
  ASSERT_NE(out, nullptr);
  float peak = 0.0f;
  for (int32_t i = 0; i < driver.bufferSize; ++i) peak = std::max(peak, std::fabs(out[i]));
  EXPECT_GT(peak, 0.01f);  // the start-up tone
  EXPECT_EQ(host.dropoutCount(), 0);
}

TEST_F(AsioHostTest, EveryOpenFailureLeavesNothingHeld) {
  struct Failure {
    const char* what;
    void (*arrange)(FakeDriverScript&);
    int32_t expected;
    ASIOError answer;  // the driver's, behind the code
  };
  const Failure failures[] = {
      {"too few outputs", [](FakeDriverScript& d) { d.outputs = 1; }, AudioNoOutputChannels,
       ASE_OK},
      {"too few inputs", [](FakeDriverScript& d) { d.inputs = 1; }, AudioNoInputChannels, ASE_OK},
      {"channels", [](FakeDriverScript& d) { d.getChannelsResult = ASE_HWMalfunction; },
       AudioFailed, ASE_HWMalfunction},
      {"buffer size", [](FakeDriverScript& d) { d.getBufferSizeResult = ASE_HWMalfunction; },
       AudioFailed, ASE_HWMalfunction},
      {"channel info", [](FakeDriverScript& d) { d.channelInfoResult = ASE_HWMalfunction; },
       AudioNoInputChannels, ASE_HWMalfunction},
      {"active input",
       [](FakeDriverScript& d) {
         d.activeInputs = {false, true};
       },
       AudioNoInputChannels, ASE_OK},
      {"active output", [](FakeDriverScript& d) { d.activeOutputs = {true}; },
       AudioNoOutputChannels, ASE_OK},
      {"big-endian output",
       [](FakeDriverScript& d) {
         d.outputTypes = {18, ASIOSTInt32MSB};
       },
       AudioUnsupportedSampleType, ASE_OK},
      {"big-endian input", [](FakeDriverScript& d) { d.inputTypes = {ASIOSTInt16MSB}; },
       AudioUnsupportedSampleType, ASE_OK},
      {"DSD input", [](FakeDriverScript& d) { d.inputTypes = {ASIOSTDSDInt8LSB1}; },
       AudioUnsupportedSampleType, ASE_OK},
      {"create buffers", [](FakeDriverScript& d) { d.createBuffersResult = ASE_NoMemory; },
       AudioStreamSetupFailed, ASE_NoMemory},
  };
  for (const Failure& failure : failures) {
    resetAsioWorld();
    drivers.clear();
    FakeDriverScript& driver = install();
    failure.arrange(driver);
    EXPECT_EQ(openFull(), failure.expected) << failure.what;
    EXPECT_EQ(host.lastHostError(), failure.answer) << failure.what;
    EXPECT_EQ(host.state(), AsioHostState::Closed) << failure.what;
    EXPECT_EQ(driver.live, 0) << failure.what;
    EXPECT_EQ(host.bufferSize(), AsioHost::kUnknown) << failure.what;
    EXPECT_EQ(currentDriver.get(), nullptr) << failure.what;
  }
  // A driver whose server has gone fails every try of the window's retry: a hundred
  // tries leave no instance, handle (of the bounded calls' threads) or COM
  // initialisation behind.
  resetAsioWorld();
  drivers.clear();
  FakeDriverScript& gone = install();
  int handles = 0;
  int apartments = 0;
  for (int i = 0; i < 100; ++i) {
    // Counted from the second try on: the first makes the process-wide driver list.
    if (i == 1) handles = sim::liveHandleCount();
    if (i == 1) apartments = sim::comInitializeBalance();
    gone.initResult = i % 2 == 0;
    gone.startResult = ASE_NotPresent;
    if (openFull() == AudioOk) host.start(false);
  }
  EXPECT_EQ(gone.created, 100);
  EXPECT_EQ(gone.live, 0);
  EXPECT_EQ(sim::liveHandleCount(), handles);
  EXPECT_EQ(sim::comInitializeBalance(), apartments);
}

TEST_F(AsioHostTest, DriverMessagesAreAnswered) {
  install();
  ASSERT_EQ(openFull(), AudioOk);
  EXPECT_EQ(AsioHost::asioMessage(kAsioSelectorSupported, 9, nullptr, nullptr), 0);
  EXPECT_EQ(AsioHost::asioMessage(kAsioSelectorSupported, 11, nullptr, nullptr), 0);
  EXPECT_EQ(AsioHost::asioMessage(kAsioSelectorSupported, 1, nullptr, nullptr), 0);
  for (int32_t value : {2, 3, 4, 5, 6, 7, 8, 10}) {
    EXPECT_EQ(AsioHost::asioMessage(kAsioSelectorSupported, value, nullptr, nullptr), 1) << value;
  }
  EXPECT_EQ(AsioHost::asioMessage(kAsioEngineVersion, 77, nullptr, nullptr), 2);
  EXPECT_EQ(AsioHost::asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr), 1);
  EXPECT_EQ(AsioHost::asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr), 1);
  for (int32_t selector : {8, 9, 10, 11, 15, 0, -1, 1000}) {
    EXPECT_EQ(AsioHost::asioMessage(selector, 0, nullptr, nullptr), 0) << selector;
  }
  EXPECT_EQ(AsioHost::asioMessage(kAsioResyncRequest, 0, nullptr, nullptr), 1);
  EXPECT_EQ(host.dropoutCount(), 1);
}

TEST_F(AsioHostTest, ResetRequestIsOnlyNotedAndTheOwnerReopens) {
  FakeDriverScript& driver = install();
  for (int32_t selector : {kAsioResetRequest, kAsioBufferSizeChange}) {
    ASSERT_EQ(openFull(), AudioOk);
    ASSERT_EQ(host.start(false), AudioOk);
    EXPECT_EQ(host.state(), AsioHostState::Running);
    driver.calls.clear();
    EXPECT_EQ(driver.callbacks.asioMessage(selector, 512, nullptr, nullptr), 1);
    // Nothing is asked of the driver from inside its own callback.
    EXPECT_EQ(driver.calls, std::vector<std::string>{});
    EXPECT_EQ(host.state(), AsioHostState::ResetRequested);
    EXPECT_EQ(host.start(false), AudioStartStopFailed);
    EXPECT_EQ(host.sampleRate(), AsioHost::kUnknown);
    EXPECT_EQ(host.bufferSize(), AsioHost::kUnknown);
    std::string name;
    EXPECT_TRUE(host.driverName(name));
    // The host's own stop keeps the request.
    EXPECT_EQ(host.stop(), AudioOk);
    EXPECT_EQ(host.state(), AsioHostState::ResetRequested);
    EXPECT_EQ(host.close(), AudioOk);
    EXPECT_EQ(driver.live, 0);
    ASSERT_EQ(openFull(), AudioOk);
    EXPECT_EQ(host.start(false), AudioOk);
    host.close();
  }
  // Even a host that is not running is parked.
  ASSERT_EQ(openFull(), AudioOk);
  driver.callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  EXPECT_EQ(host.state(), AsioHostState::ResetRequested);
  // A closed host is not: the owner would take the route back to ASIO by itself.
  const ASIOCallbacks late = driver.callbacks;
  host.close();
  EXPECT_EQ(late.asioMessage(kAsioResetRequest, 0, nullptr, nullptr), 1);
  EXPECT_EQ(late.asioMessage(kAsioBufferSizeChange, 1024, nullptr, nullptr), 1);
  EXPECT_EQ(host.state(), AsioHostState::Closed);
}

TEST_F(AsioHostTest, CloseStopsAStreamingDriverBeforeItsBuffersGo) {
  FakeDriverScript& driver = install();
  // Running; running with a request pending; the same with a stop the driver refuses.
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(openFull(), AudioOk);
    ASSERT_EQ(host.start(false), AudioOk);
    driver.stopResult = round == 2 ? ASE_HWMalfunction : ASE_OK;
    if (round > 0) driver.callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    driver.calls.clear();
    if (round == 2) {
      // The driver may stream on: its buffers stay, its switches reach nothing, and
      // the host stays unfinished (no open) until a later close gets the stop.
      EXPECT_EQ(host.close(), AudioStartStopFailed);
      EXPECT_EQ(host.lastHostError(), ASE_HWMalfunction);
      EXPECT_EQ(driver.calls, std::vector<std::string>{"stop"});
      EXPECT_EQ(host.state(), AsioHostState::Closed);
      EXPECT_TRUE(host.closeUnfinished());
      std::memset(driver.buffer(false, 0, 0), 0xA5, 4 * 256);
      driver.callbacks.bufferSwitch(0, ASIOTrue);
      EXPECT_TRUE(allBytesAre(driver.buffer(false, 0, 0), 4 * 256, 0xA5));
      EXPECT_EQ(openFull(), AudioNoDriver);
      EXPECT_EQ(driver.live, 1);
      driver.stopResult = ASE_OK;
      driver.calls.clear();
    }
    EXPECT_EQ(host.close(), AudioOk);
    EXPECT_EQ(driver.calls, (std::vector<std::string>{"stop", "disposeBuffers"})) << round;
    EXPECT_FALSE(host.closeUnfinished());
    EXPECT_EQ(driver.live, 0);
  }
}

TEST_F(AsioHostTest, StartSilencesHalfOneAndFailuresAreReported) {
  FakeDriverScript& driver = install();
  EXPECT_EQ(host.start(false), AudioStartStopFailed);
  ASSERT_EQ(openFull(), AudioOk);
  const size_t bytes = 4 * 256;
  ASSERT_TRUE(allBytesAre(driver.buffer(false, 0, 1), bytes, 0xA5));
  ASSERT_EQ(host.start(false), AudioOk);
  EXPECT_TRUE(allBytesAre(driver.buffer(false, 0, 1), bytes, 0));
  EXPECT_TRUE(allBytesAre(driver.buffer(false, 1, 1), bytes, 0));
  EXPECT_TRUE(allBytesAre(driver.buffer(false, 0, 0), bytes, 0xA5));
  EXPECT_TRUE(allBytesAre(driver.buffer(true, 0, 1), bytes, 0xA5));
  EXPECT_EQ(host.start(false), AudioOk);  // already running
  EXPECT_EQ(driver.countOf("start"), 1);

  driver.stopResult = ASE_HWMalfunction;
  EXPECT_EQ(host.stop(), AudioStartStopFailed);
  EXPECT_EQ(host.lastHostError(), ASE_HWMalfunction);
  EXPECT_EQ(host.state(), AsioHostState::Running);
  driver.stopResult = ASE_OK;
  EXPECT_EQ(host.stop(), AudioOk);
  EXPECT_EQ(host.lastHostError(), ASE_OK);
  EXPECT_EQ(host.state(), AsioHostState::BuffersCreated);
  EXPECT_EQ(host.stop(), AudioOk);

  driver.startResult = ASE_InvalidMode;
  EXPECT_EQ(host.start(false), AudioStartStopFailed);
  EXPECT_EQ(host.lastHostError(), ASE_InvalidMode);
  EXPECT_EQ(host.state(), AsioHostState::Closed);
  EXPECT_EQ(driver.live, 0);
}

TEST_F(AsioHostTest, ReenteredBufferSwitchIsSkippedAndCounted) {
  FakeDriverScript& driver = install();
  ASSERT_EQ(openFull(), AudioOk);
  ASSERT_EQ(host.start(false), AudioOk);
  // The driver calls back for half 1 while half 0 is still being processed.
  driver.onOutputReady = [](FakeDriverScript& d) {
    d.onOutputReady = nullptr;
    d.callbacks.bufferSwitch(1, ASIOTrue);
  };
  std::memset(driver.buffer(false, 0, 1), 0xA5, 4 * 256);
  driver.callbacks.bufferSwitch(0, ASIOTrue);
  EXPECT_EQ(host.dropoutCount(), 1);
  EXPECT_EQ(driver.outputReadyCalls, 3);  // the probe in open, the skipped and the real switch
  EXPECT_TRUE(allBytesAre(driver.buffer(false, 0, 1), 4 * 256, 0xA5));
  EXPECT_FALSE(allBytesAre(driver.buffer(false, 0, 0), 4 * 256, 0xA5));
  // The next switch is processed normally.
  driver.callbacks.bufferSwitchTimeInfo(nullptr, 1, ASIOFalse);
  EXPECT_EQ(host.dropoutCount(), 1);
  EXPECT_FALSE(allBytesAre(driver.buffer(false, 0, 1), 4 * 256, 0xA5));
  // A half the driver cannot have is skipped and counted, its neighbours untouched.
  std::memset(driver.buffer(false, 0, 1), 0xA5, 4 * 256);
  driver.callbacks.bufferSwitch(2, ASIOTrue);
  driver.callbacks.bufferSwitchTimeInfo(nullptr, -1, ASIOFalse);
  EXPECT_EQ(host.dropoutCount(), 3);
  EXPECT_TRUE(allBytesAre(driver.buffer(false, 0, 1), 4 * 256, 0xA5));
  // start clears the count.
  host.start(false);
  EXPECT_EQ(host.dropoutCount(), 0);
}

TEST_F(AsioHostTest, WithoutOutputReadyTheDriverIsNotToldAfterEachSwitch) {
  FakeDriverScript& driver = install();
  driver.outputReadyResult = ASE_InvalidMode;
  ASSERT_EQ(openFull(), AudioOk);
  ASSERT_EQ(host.start(false), AudioOk);
  driver.callbacks.bufferSwitch(0, ASIOTrue);
  EXPECT_EQ(driver.outputReadyCalls, 1);  // only the probe during open
}

TEST_F(AsioHostTest, LoadFiguresUseTheMeasuredTicks) {
  FakeDriverScript& driver = install();
  driver.possibleRates = {48000.0};
  EXPECT_EQ(host.peakLoad(), AsioHost::kUnknown);
  ASSERT_EQ(openFull(), AudioOk);
  ASSERT_EQ(host.start(false), AudioOk);
  sim::setManualPerformanceCounter(true);
  // 256 frames at 48000 Hz last 5.333 ms; processing "takes" 2.667 ms.
  driver.onOutputReady = [](FakeDriverScript&) { sim::advancePerformanceCounter(26667); };
  driver.callbacks.bufferSwitch(0, ASIOTrue);
  sim::setManualPerformanceCounter(false);
  EXPECT_NEAR(host.peakLoad(), 0.5, 1e-4);
  EXPECT_NEAR(host.averageLoad(), 0.005, 1e-6);
  host.start(false);
  EXPECT_EQ(host.peakLoad(), 0.0);
  sim::resetKernel();
}

TEST_F(AsioHostTest, SteadyMidiIsTakenByTheBufferSwitchAfterItArrived) {
  // The switch hands the rack its start time: a message stamped before it is
  // dispatched in that block, not before and not never.
  FakeDriverScript& driver = install();
  driver.possibleRates = {48000.0};
  rack.setMidiTiming(MidiTiming::kSteady);
  ASSERT_EQ(openFull(), AudioOk);
  ASSERT_EQ(host.start(false), AudioOk);
  sim::setManualPerformanceCounter(true);
  driver.callbacks.bufferSwitch(0, ASIOTrue);
  sim::advancePerformanceCounter(10000);
  const uint8_t on[3] = {0x90, 69, 100};
  rack.processMidi(on, 3);
  EXPECT_EQ(rack.lastActiveEntry(0), -1) << "queued, not yet dispatched";
  sim::advancePerformanceCounter(43333);
  driver.callbacks.bufferSwitch(1, ASIOTrue);
  sim::setManualPerformanceCounter(false);
  EXPECT_EQ(rack.lastActiveEntry(0), 0);
  EXPECT_EQ(rack.voiceEntry(0, 0) & SynthRack::kNoteMask, 69u);
  sim::resetKernel();
}

TEST_F(AsioHostTest, SampleRateChangeIsAskedFromTheDriverOnTheOwnersThread) {
  FakeDriverScript& driver = install();
  ASSERT_EQ(openFull(), AudioOk);
  ASSERT_EQ(host.sampleRate(), 48000);
  driver.calls.clear();
  // The rate in use announced again: nothing to follow.
  driver.rate = 96000.0;
  driver.callbacks.sampleRateDidChange(48000.0);
  host.followRateChange();
  EXPECT_EQ(host.sampleRate(), 48000);
  // A different one is only noted in the callback.
  driver.callbacks.sampleRateDidChange(44100.0);
  EXPECT_EQ(driver.calls, std::vector<std::string>{});
  host.followRateChange();
  EXPECT_EQ(driver.calls, std::vector<std::string>{"getSampleRate"});
  EXPECT_EQ(host.sampleRate(), 96000);
  driver.rate = 44100.0;
  driver.getSampleRateResult = ASE_HWMalfunction;
  driver.callbacks.sampleRateDidChange(44100.0);
  host.followRateChange();
  EXPECT_EQ(host.sampleRate(), 96000);
  EXPECT_EQ(host.state(), AsioHostState::BuffersCreated);
}

TEST_F(AsioHostTest, ADriverThatStopsCallingBackIsLostAfterTheLimit) {
  FakeDriverScript& driver = install();
  driver.possibleRates = {48000.0};
  driver.maxSize = 8192;
  sim::setManualPerformanceCounter(true);
  constexpr LONGLONG kMs = sim::kPerformanceFrequency / 1000;
  // 256 frames: four buffers last 21 ms, so the limit is 250 ms. 8192 frames: four
  // buffers last 683 ms.
  for (const auto& [size, limitMs] : {std::pair{256, 250}, std::pair{8192, 683}}) {
    ASSERT_EQ(openFull(size), AudioOk);
    EXPECT_FALSE(host.lost());
    sim::advancePerformanceCounter(1000 * kMs);
    EXPECT_FALSE(host.lost()) << "not started";
    ASSERT_EQ(host.start(false), AudioOk);
    sim::advancePerformanceCounter((limitMs - 1) * kMs);
    EXPECT_FALSE(host.lost()) << size;
    EXPECT_FALSE(host.calledBack());
    driver.callbacks.bufferSwitch(0, ASIOTrue);
    EXPECT_TRUE(host.calledBack());
    sim::advancePerformanceCounter((limitMs - 1) * kMs);
    EXPECT_FALSE(host.lost()) << size;
    sim::advancePerformanceCounter(2 * kMs);
    EXPECT_TRUE(host.lost()) << size;
    ASSERT_EQ(host.stop(), AudioOk);
    EXPECT_FALSE(host.lost());
    host.close();
  }
  sim::resetKernel();
}

TEST_F(AsioHostTest, ADriverCallThatDoesNotReturnIsLeftToTheDriver) {
  FakeDriverScript& driver = install();
  rack.setMidiTiming(MidiTiming::kSteady);
  ASSERT_EQ(openFull(), AudioOk);
  ASSERT_EQ(host.start(false), AudioOk);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  driver.stopWaitsFor = release;
  // A driver whose stop hangs while its stream goes on.
  driver.callsBackWhileStopHangs = true;
  const DWORD before = GetTickCount();
  EXPECT_EQ(host.stop(), AudioStartStopFailed);
  EXPECT_EQ(host.close(), AudioOk);
  EXPECT_LT(GetTickCount() - before, AsioHost::kDriverCallWaitMs + 1000);
  EXPECT_EQ(host.state(), AsioHostState::Closed);
  EXPECT_TRUE(host.driverCallPending());
  EXPECT_TRUE(host.closeUnfinished());
  EXPECT_EQ(openFull(), AudioNoDriver);
  EXPECT_EQ(driver.live, 1);
  // Its switches from now on touch neither the rack (a queued note stays queued) nor
  // the buffers.
  std::memset(driver.buffer(false, 0, 0), 0xA5, 4 * 256);
  std::memset(driver.buffer(false, 0, 1), 0xA5, 4 * 256);
  const uint8_t on[3] = {0x90, 69, 100};
  rack.processMidi(on, 3);
  const int switched = driver.switchesWhileStopHangs;
  for (int i = 0; i < 200 && driver.switchesWhileStopHangs < switched + 10; ++i) Sleep(10);
  EXPECT_GE(driver.switchesWhileStopHangs, switched + 10);
  EXPECT_TRUE(allBytesAre(driver.buffer(false, 0, 0), 4 * 256, 0xA5));
  EXPECT_TRUE(allBytesAre(driver.buffer(false, 0, 1), 4 * 256, 0xA5));
  EXPECT_EQ(rack.lastActiveEntry(0), -1);
  // Once the stop is back, closing finishes and the driver can be opened again.
  SetEvent(release);
  for (int i = 0; i < 200 && host.driverCallPending(); ++i) Sleep(10);
  ASSERT_FALSE(host.driverCallPending());
  driver.stopWaitsFor = nullptr;
  EXPECT_EQ(host.close(), AudioOk);
  EXPECT_TRUE(driver.called("disposeBuffers"));
  EXPECT_EQ(driver.live, 0);
  EXPECT_EQ(openFull(), AudioOk);
  CloseHandle(release);
}

TEST_F(AsioHostTest, ADriverThatHangsInAnyOtherCallIsGivenUpForTheRun) {
  // What the program does too: a driver left with a call is kept for the process's life,
  // beyond the static destructors, which the leak check at exit comes after.
  static auto& givenUp = *new std::vector<std::shared_ptr<FakeDriverScript>>;
  for (const char* method : {"init", "createBuffers", "start"}) {
    resetAsioWorld();
    drivers.clear();
    FakeDriverScript& driver = install();
    givenUp.push_back(drivers.back()->script);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    driver.hangsIn = method;
    driver.hangUntil = release;
    // The driver answers at last, well after the window's wait.
    std::thread late([release] {
      Sleep(AsioHost::kDriverCallWaitMs + 500);
      SetEvent(release);
    });
    AsioHost window;
    const DWORD before = GetTickCount();
    int32_t result = window.open(&rack, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000});
    if (result == AudioOk) result = window.start(false);
    EXPECT_LT(GetTickCount() - before, AsioHost::kDriverCallWaitMs + 400) << method;
    EXPECT_EQ(result, AudioDriverNotAnswering) << method;
    EXPECT_TRUE(window.driverAbandoned()) << method;
    EXPECT_EQ(window.abandonedDriverName(), "Fake") << method;
    EXPECT_EQ(window.state(), AsioHostState::Closed) << method;
    EXPECT_EQ(currentDriver.get(), nullptr) << method;
    // Not asked anything again, nor released, while its call hangs or after.
    const int calls = driver.callCount;
    EXPECT_EQ(window.open(&rack, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000}),
              AudioDriverNotAnswering);
    EXPECT_EQ(driver.callCount, calls) << method;
    EXPECT_EQ(driver.created, 1) << method;
    late.join();
    EXPECT_EQ(window.open(&rack, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000}),
              AudioDriverNotAnswering);
    window.close();
    EXPECT_EQ(driver.live, 1) << method;
    EXPECT_EQ(driver.created, 1) << method;
  }
}

TEST_F(AsioHostTest, OneHostAtATimeHoldsTheDriver) {
  FakeDriverScript& driver = install();
  ASSERT_EQ(openFull(), AudioOk);
  ASSERT_EQ(host.start(false), AudioOk);
  {
    AsioHost second;
    EXPECT_EQ(second.open(&rack, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000}),
              AudioNoDriver);
    EXPECT_EQ(second.state(), AsioHostState::Closed);
    EXPECT_EQ(second.lastHostError(), ASE_OK);
    EXPECT_EQ(driver.created, 1);
    // Closing the refused host, here and in its destructor, leaves the first alone.
    second.close();
  }
  EXPECT_EQ(host.state(), AsioHostState::Running);
  driver.callbacks.asioMessage(kAsioResyncRequest, 0, nullptr, nullptr);
  EXPECT_EQ(host.dropoutCount(), 1);

  // Once the first lets go, the driver's callbacks reach the second.
  host.close();
  AsioHost second;
  ASSERT_EQ(second.open(&rack, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000}), AudioOk);
  ASSERT_EQ(second.start(false), AudioOk);
  driver.callbacks.asioMessage(kAsioResyncRequest, 0, nullptr, nullptr);
  EXPECT_EQ(second.dropoutCount(), 1);
  EXPECT_EQ(host.dropoutCount(), 0);
  EXPECT_EQ(host.open(&rack, kWindow, {.outputs = 2, .inputs = 2, .sampleRate = 48000}),
            AudioNoDriver);
  EXPECT_EQ(second.state(), AsioHostState::Running);
}

TEST_F(AsioHostTest, TheDriversAnswerIsKeptBehindTheCode) {
  FakeDriverScript& driver = install();
  driver.initResult = false;
  EXPECT_EQ(openFull(), AudioFailed);
  EXPECT_EQ(host.lastHostError(), ASE_NotPresent);
  driver.initResult = true;
  driver.possibleRates = {44100.0};
  EXPECT_EQ(openFull(), AudioRateNotPossible);
  EXPECT_EQ(host.lastHostError(), ASE_NoClock);
  driver.possibleRates = {48000.0};
  EXPECT_EQ(openFull(), AudioOk);
  EXPECT_EQ(host.lastHostError(), ASE_OK);
}

TEST_F(AsioHostTest, ControlPanelGoesToTheDriver) {
  EXPECT_EQ(host.controlPanel(), ASE_NotPresent);
  FakeDriverScript& driver = install();
  ASSERT_EQ(openFull(), AudioOk);
  EXPECT_EQ(host.controlPanel(), ASE_OK);
  EXPECT_TRUE(driver.called("controlPanel"));
}

}  // namespace
