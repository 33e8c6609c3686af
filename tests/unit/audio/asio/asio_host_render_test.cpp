// The buffer switch end to end: driver buffers in each supported sample type, the
// rack's rendering, and the result back in the driver's buffers.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/asio/asio_api.h"
#include "audio/asio/asio_host.h"
#include "audio/audio_result.h"
#include "audio/sample_conversion.h"
#include "fake_asio_driver.h"
#include "synth/synth_rack.h"

namespace {

constexpr int32_t kFrames = 64;

// One element of `type` holding exactly `value` (a multiple of 2^-14 within +-1).
void writeExact(ASIOSampleType type, double value, uint8_t* out) {
  auto store = [out](int64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      out[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  };
  switch (type) {
    case ASIOSTInt16LSB:
      return store(static_cast<int64_t>(value * 32768.0), 2);
    case ASIOSTInt24LSB:
      return store(static_cast<int64_t>(value * 8388608.0), 3);
    case ASIOSTInt32LSB:
      return store(static_cast<int64_t>(value * 2147483648.0), 4);
    case ASIOSTFloat32LSB: {
      const float f = static_cast<float>(value);
      std::memcpy(out, &f, 4);
      return;
    }
    case ASIOSTFloat64LSB:
      std::memcpy(out, &value, 8);
      return;
    default: {
      const int bits = type == ASIOSTInt32LSB16   ? 16
                       : type == ASIOSTInt32LSB18 ? 18
                       : type == ASIOSTInt32LSB20 ? 20
                                                  : 24;
      return store(static_cast<int64_t>(std::ldexp(value, bits - 1)), 4);
    }
  }
}

size_t elementBytes(ASIOSampleType type) {
  return type == ASIOSTInt16LSB ? 2 : type == ASIOSTInt24LSB ? 3 : type == ASIOSTFloat64LSB ? 8 : 4;
}

// One step of the type's resolution (the shifts round down), plus float rounding.
double tolerance(ASIOSampleType type) {
  switch (type) {
    case ASIOSTInt16LSB:
    case ASIOSTInt32LSB16:
      return std::ldexp(1.0, -15) + 1e-6;
    case ASIOSTInt32LSB18:
      return std::ldexp(1.0, -17) + 1e-6;
    case ASIOSTInt32LSB20:
      return std::ldexp(1.0, -19) + 1e-6;
    default:
      return 1e-6;
  }
}

class AsioHostRenderTest : public ::testing::TestWithParam<ASIOSampleType> {
 protected:
  void SetUp() override { resetAsioWorld(); }
  void TearDown() override {
    host.close();
    resetAsioWorld();
  }

  AsioHost host;
};

void prepareRack(SynthRack& rack) {
  rack.createSynth(0, 1, 16, false);
  rack.setParameter(0, 1, 0.5f);  // audio in
  rack.activate(0);
}

TEST_P(AsioHostRenderTest, RackOutputReachesTheDriverInItsType) {
  const ASIOSampleType type = GetParam();
  FakeDriverInstall install("Fake", "Fake", 1);
  FakeDriverScript& driver = *install.script;
  driver.inputTypes = {type, type};
  driver.outputTypes = {type, type};
  driver.possibleRates = {48000.0};
  driver.rate = 48000.0;
  SynthRack hosted;
  SynthRack reference;
  prepareRack(hosted);
  prepareRack(reference);
  ASSERT_EQ(host.open(&hosted, nullptr,
                      {.outputs = 2,
                       .inputs = 2,
                       .sampleRate = 48000,
                       .bufferSize = kFrames,
                       .strictIndex = true}),
            AudioOk);
  ASSERT_EQ(host.bufferSize(), kFrames);
  ASSERT_EQ(host.start(false), AudioOk);

  std::vector<float> in(2 * kFrames);
  std::vector<float> expected(2 * kFrames);
  const size_t bytes = elementBytes(type);
  for (int32_t block = 0; block < 6; ++block) {
    const int32_t half = block % 2;
    // Inputs: a ramp on channel 0, a constant on channel 1.
    for (int32_t c = 0; c < 2; ++c) {
      auto* buffer = static_cast<uint8_t*>(driver.buffer(true, c, half));
      for (int32_t j = 0; j < kFrames; ++j) {
        const double value = c == 0 ? (j - 32) / 64.0 : -0.25 * (block + 1) / 8.0;
        writeExact(type, value, buffer + bytes * j);
        in[c * kFrames + j] = static_cast<float>(value);
      }
    }
    driver.callbacks.bufferSwitchTimeInfo(nullptr, half, ASIOTrue);
    reference.render(expected.data(), in.data(), 2, 2, kFrames, 48000.0f);

    for (int32_t c = 0; c < 2; ++c) {
      float decoded[kFrames];
      convertInputChannel(type, driver.buffer(false, c, half), decoded, kFrames);
      for (int32_t j = 0; j < kFrames; ++j) {
        const double want = 0.999 * expected[c * kFrames + j];
        ASSERT_NEAR(decoded[j], want, tolerance(type))
            << "type " << type << " block " << block << " channel " << c << " frame " << j;
      }
    }
  }
  // The start-up tone is in the output: not silence.
  float decoded[kFrames];
  convertInputChannel(type, driver.buffer(false, 0, 1), decoded, kFrames);
  double energy = 0;
  for (float v : decoded) energy += v * v;
  EXPECT_GT(energy, 0.0);
}

TEST_P(AsioHostRenderTest, MutedStartWritesZerosOfTheType) {
  const ASIOSampleType type = GetParam();
  FakeDriverInstall install("Fake", "Fake", 1);
  FakeDriverScript& driver = *install.script;
  driver.outputTypes = {type, type};
  SynthRack rack;
  prepareRack(rack);
  ASSERT_EQ(host.open(&rack, nullptr,
                      {.outputs = 2,
                       .inputs = 0,
                       .sampleRate = 44100,
                       .bufferSize = kFrames,
                       .strictIndex = true}),
            AudioOk);
  ASSERT_EQ(host.start(true), AudioOk);
  driver.callbacks.bufferSwitch(0, ASIOTrue);
  // Zeros of the type: float types may carry the sign of the muted value.
  float decoded[kFrames];
  convertInputChannel(type, driver.buffer(false, 1, 0), decoded, kFrames);
  for (float value : decoded) ASSERT_EQ(value, 0.0f);
  if (type != ASIOSTFloat32LSB && type != ASIOSTFloat64LSB) {
    const auto* out = static_cast<const uint8_t*>(driver.buffer(false, 1, 0));
    for (size_t i = 0; i < elementBytes(type) * kFrames; ++i) ASSERT_EQ(out[i], 0) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(SupportedTypes, AsioHostRenderTest,
                         ::testing::Values(ASIOSTInt16LSB, ASIOSTInt24LSB, ASIOSTInt32LSB,
                                           ASIOSTFloat32LSB, ASIOSTFloat64LSB, ASIOSTInt32LSB16,
                                           ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24));

// A driver thread calling back while the window thread reads the figures, and a second
// driver thread whose switches meet the first one's; under ThreadSanitizer this checks
// that the shared state is race-free.
TEST(AsioHostThreadTest, CallbacksOnADriverThreadRaceWithNothing) {
  resetAsioWorld();
  FakeDriverInstall install("Fake", "Fake", 1);
  FakeDriverScript& driver = *install.script;
  SynthRack rack;
  prepareRack(rack);
  AsioHost host;
  ASSERT_EQ(host.open(&rack, nullptr,
                      {.outputs = 2, .inputs = 2, .sampleRate = 44100, .strictIndex = true}),
            AudioOk);
  ASSERT_EQ(host.start(false), AudioOk);
  const ASIOCallbacks callbacks = driver.callbacks;
  std::atomic<bool> done{false};
  std::thread thread([&] {
    for (int i = 0; i < 200; ++i) callbacks.bufferSwitch(i % 2, ASIOTrue);
    callbacks.asioMessage(kAsioResyncRequest, 0, nullptr, nullptr);
    callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    done = true;
  });
  std::thread second([&] {
    for (int i = 0; i < 200; ++i) callbacks.bufferSwitchTimeInfo(nullptr, i % 2, ASIOTrue);
  });
  double load = 0;
  while (!done) load += host.averageLoad() + host.dropoutCount() + static_cast<int>(host.state());
  thread.join();
  second.join();
  EXPECT_GE(load, 0.0);
  EXPECT_EQ(host.state(), AsioHostState::ResetRequested);
  EXPECT_GE(host.dropoutCount(), 1);
  host.close();
  resetAsioWorld();
}

}  // namespace
