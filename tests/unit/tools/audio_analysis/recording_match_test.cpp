// The comparison of the program's recording with the virtual ASIO driver's: found at
// its offset when every sample is equal after both conversions, refused when one
// sample differs or a block is missing.
#include <gtest/gtest.h>

#include <cmath>

#include "recording_match.h"

namespace audio_analysis {
namespace {

TEST(RecordingMatch, EverySampleMustEqualTheDriversAfterItsConversion) {
  WavData recording;
  recording.channels = 2;
  recording.sampleRate = 48000;
  recording.format = "float32";
  recording.samples.assign(2, {});
  WavData longer = recording;
  for (int i = 0; i < 3000; ++i) {
    const auto x = static_cast<float>(0.1 * std::sin(0.145 * i));
    longer.samples[0].push_back(x);
    longer.samples[1].push_back(-x);
  }
  // The driver's file began 700 frames before the recording, which is 1000 frames long.
  for (int c = 0; c < 2; ++c) {
    recording.samples[c].assign(longer.samples[c].begin() + 700, longer.samples[c].begin() + 1700);
  }
  for (const ASIOSampleType type : {ASIOSTInt32LSB, ASIOSTFloat32LSB, ASIOSTInt32LSB24}) {
    std::vector<uint8_t> ours, driver;
    size_t frameBytes = 0, driverFrameBytes = 0;
    std::string error;
    ASSERT_TRUE(recordingAsDriverBytes(recording, type, ours, frameBytes, error)) << error;
    ASSERT_TRUE(recordingAsDriverBytes(longer, type, driver, driverFrameBytes, error)) << error;
    EXPECT_EQ(frameBytes, 8u);
    RecordingMatch match = matchRecording(ours, driver, frameBytes);
    EXPECT_TRUE(match.matched) << type;
    EXPECT_EQ(match.offset, 700);
    EXPECT_EQ(match.frames, 1000);

    // One sample off by its last bit.
    std::vector<uint8_t> changed = driver;
    changed[(700 + 400) * frameBytes + 4] ^= 1;
    match = matchRecording(ours, changed, frameBytes);
    EXPECT_FALSE(match.matched);
    EXPECT_EQ(match.equalFrames, 400);

    // A block of 128 frames the driver played that the recording left out.
    std::vector<uint8_t> gap = ours;
    gap.erase(gap.begin() + 500 * static_cast<ptrdiff_t>(frameBytes),
              gap.begin() + 628 * static_cast<ptrdiff_t>(frameBytes));
    EXPECT_FALSE(matchRecording(gap, driver, frameBytes).matched);
  }
}

}  // namespace
}  // namespace audio_analysis
