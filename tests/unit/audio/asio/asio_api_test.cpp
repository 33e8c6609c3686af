#include "audio/asio/asio_api.h"

#include <gtest/gtest.h>

#include <cstring>

#include "audio/asio/asio_driver_registry.h"
#include "fake_asio_driver.h"

namespace {

class AsioApiTest : public ::testing::Test {
 protected:
  void SetUp() override { resetAsioWorld(); }
  void TearDown() override { resetAsioWorld(); }
};

TEST_F(AsioApiTest, WithoutDriverEveryCallAnswersNotPresentAndClearsItsOutputs) {
  int32_t a = 5, b = 5, c = 5, d = 5;
  EXPECT_EQ(ASIOGetChannels(&a, &b), ASE_NotPresent);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  a = b = 5;
  EXPECT_EQ(ASIOGetLatencies(&a, &b), ASE_NotPresent);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  a = b = 5;
  EXPECT_EQ(ASIOGetBufferSize(&a, &b, &c, &d), ASE_NotPresent);
  EXPECT_EQ(a + b + c + d, 0);
  ASIOSampleRate rate = 12.5;
  EXPECT_EQ(ASIOGetSampleRate(&rate), ASE_NotPresent);
  EXPECT_EQ(rate, 12.5);
  EXPECT_EQ(ASIOCanSampleRate(48000.0), ASE_NotPresent);
  EXPECT_EQ(ASIOSetSampleRate(48000.0), ASE_NotPresent);
  ASIOClockSource clocks[1];
  a = 5;
  EXPECT_EQ(ASIOGetClockSources(clocks, &a), ASE_NotPresent);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(ASIOSetClockSource(0), ASE_NotPresent);
  ASIOSamples position{1, 2};
  ASIOTimeStamp stamp{3, 4};
  EXPECT_EQ(ASIOGetSamplePosition(&position, &stamp), ASE_NotPresent);
  EXPECT_EQ(position.lo, 2u);
  EXPECT_EQ(stamp.lo, 4u);
  ASIOChannelInfo info{};
  info.type = ASIOSTInt32LSB;
  EXPECT_EQ(ASIOGetChannelInfo(&info), ASE_NotPresent);
  EXPECT_EQ(info.channelGroup, -1);
  EXPECT_EQ(info.type, 0);
  EXPECT_STREQ(info.name, "None");
  int dummy = 0;
  ASIOBufferInfo infos[2] = {{1, 0, {&dummy, &dummy}}, {0, 0, {&dummy, &dummy}}};
  ASIOCallbacks callbacks{};
  EXPECT_EQ(ASIOCreateBuffers(infos, 2, 64, &callbacks), ASE_NotPresent);
  EXPECT_EQ(infos[1].buffers[0], nullptr);
  EXPECT_EQ(infos[1].buffers[1], nullptr);
  EXPECT_EQ(ASIODisposeBuffers(), ASE_NotPresent);
  EXPECT_EQ(ASIOStart(), ASE_NotPresent);
  EXPECT_EQ(ASIOStop(), ASE_NotPresent);
  EXPECT_EQ(ASIOControlPanel(), ASE_NotPresent);
  EXPECT_EQ(ASIOFuture(1, nullptr), ASE_NotPresent);
  EXPECT_EQ(ASIOOutputReady(), ASE_NotPresent);
  EXPECT_EQ(ASIOExit(), ASE_OK);

  ASIODriverInfo driverInfo{};
  driverInfo.driverVersion = 9;
  EXPECT_EQ(ASIOInit(&driverInfo), ASE_NotPresent);
  EXPECT_STREQ(driverInfo.name, "No ASIO Driver");
  EXPECT_EQ(driverInfo.driverVersion, 0);
}

TEST_F(AsioApiTest, FailedInitReportsTheDriversTextAndDropsTheDriver) {
  FakeDriverInstall a("A", "Driver A", 1);
  a.script->initResult = false;
  a.script->errorMessage = "no hardware found";
  ASSERT_TRUE(selectDriverByName("Driver A"));
  ASIODriverInfo info{};
  int window = 0;
  info.sysRef = &window;
  EXPECT_EQ(ASIOInit(&info), ASE_NotPresent);
  EXPECT_STREQ(info.errorMessage, "no hardware found");
  EXPECT_STREQ(info.name, "No ASIO Driver");
  EXPECT_EQ(info.driverVersion, 0);
  EXPECT_EQ(a.script->sysRef, &window);
  EXPECT_EQ(currentDriver.get(), nullptr);
  // The list still holds the instance until the caller releases it.
  EXPECT_EQ(a.script->live, 1);
  driverRegistry->releaseCurrent();
  EXPECT_EQ(a.script->live, 0);
}

TEST_F(AsioApiTest, CallsGoToTheCurrentDriverUntilExit) {
  FakeDriverInstall a("A", "Driver A", 1);
  a.script->name = "Fake Interface";
  ASSERT_TRUE(selectDriverByName("Driver A"));
  ASIODriverInfo info{};
  ASSERT_EQ(ASIOInit(&info), ASE_OK);
  EXPECT_STREQ(info.name, "Fake Interface");
  EXPECT_STREQ(info.errorMessage, "No ASIO Driver Error");
  EXPECT_EQ(info.driverVersion, 7);

  int32_t in = 0, out = 0;
  a.script->inputs = 8;
  EXPECT_EQ(ASIOGetChannels(&in, &out), ASE_OK);
  EXPECT_EQ(in, 8);
  a.script->getChannelsResult = ASE_HWMalfunction;
  EXPECT_EQ(ASIOGetChannels(&in, &out), ASE_HWMalfunction);
  EXPECT_EQ(ASIOCanSampleRate(22050.0), ASE_NoClock);
  EXPECT_EQ(ASIOSetSampleRate(96000.0), ASE_OK);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(ASIOGetSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 96000.0);
  ASIOSamples position{};
  ASIOTimeStamp stamp{};
  EXPECT_EQ(ASIOGetSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(position.lo, 1234u);
  EXPECT_EQ(ASIOFuture(3, nullptr), ASE_InvalidParameter);
  a.script->controlPanelResult = ASE_OK;
  EXPECT_EQ(ASIOControlPanel(), ASE_OK);

  EXPECT_EQ(ASIOExit(), ASE_OK);
  EXPECT_EQ(a.script->live, 0);
  EXPECT_EQ(ASIOStart(), ASE_NotPresent);
}

}  // namespace
