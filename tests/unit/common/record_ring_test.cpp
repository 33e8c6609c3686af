// The recording ring between the audio thread and the writer, run on two threads (and
// under ThreadSanitizer by make tsan): every frame arrives once, in order, whole blocks
// or none, and every block left out is counted.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/record_ring.h"

namespace {

TEST(RecordRing, TwoThreadsKeepOrderAndCountEveryLostBlock) {
  constexpr int32_t kFrames = 96;  // not a divisor of the capacity: blocks wrap around
  constexpr int64_t kBlocks = 20000;
  RecordRing ring;
  ASSERT_TRUE(ring.allocate(2, 48000, 1000));
  std::thread audio([&] {
    std::vector<float> block(2 * kFrames);
    for (int64_t b = 0; b < kBlocks; ++b) {
      // Planar: the left channel counts frames, the right one is its negative.
      for (int32_t i = 0; i < kFrames; ++i) {
        block[i] = static_cast<float>(b * kFrames + i);
        block[kFrames + i] = -block[i];
      }
      ring.push(block.data(), 2, kFrames, 48000.0f);
      if (b % 64 == 0) std::this_thread::yield();
    }
  });
  int64_t taken = 0;
  float expected = 0.0f;
  std::vector<float> out(2 * 300);
  bool inOrder = true;
  const auto takeSome = [&] {
    const int64_t frames = ring.take(out.data(), 300);
    for (int64_t i = 0; i < frames; ++i) {
      const float left = out[2 * i];
      // A skip must be of whole blocks, and never backwards.
      if (left != expected && (left < expected || static_cast<int64_t>(left) % kFrames != 0)) {
        inOrder = false;
      }
      if (out[2 * i + 1] != -left) inOrder = false;
      expected = left + 1.0f;
    }
    taken += frames;
  };
  while (taken + ring.lostFrames() < kBlocks * kFrames && inOrder) takeSome();
  audio.join();
  takeSome();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(taken + ring.lostFrames(), kBlocks * kFrames);
  EXPECT_LE(ring.highWaterFrames(), 1000);
  EXPECT_EQ(ring.lostFrames() % kFrames, 0);
}

TEST(RecordRing, BlocksOfAnotherFormatAreCountedApart) {
  RecordRing ring;
  ASSERT_TRUE(ring.allocate(2, 48000, 256));
  std::vector<float> block(256, 0.5f);
  ring.push(block.data(), 1, 128, 48000.0f);
  ring.push(block.data(), 2, 64, 44100.0f);
  ring.push(block.data(), 2, 128, 48000.0f);
  ring.push(block.data(), 2, 128, 48000.0f);
  ring.push(block.data(), 2, 128, 48000.0f);  // full: lost whole
  EXPECT_EQ(ring.foreignFrames(), 192);
  // The last of them tells the window the format to begin a new file in.
  EXPECT_EQ(ring.foreignChannels(), 2);
  EXPECT_EQ(ring.foreignRate(), 44100);
  EXPECT_EQ(ring.lostFrames(), 128);
  EXPECT_EQ(ring.highWaterFrames(), 256);
}

}  // namespace
