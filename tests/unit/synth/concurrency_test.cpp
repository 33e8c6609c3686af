// The three threads that share the rack without locks: audio renders, MIDI plays,
// the window moves sliders. ThreadSanitizer must stay silent and the output sane.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "synth/synth_rack.h"

TEST(RackConcurrency, RenderMidiAndParametersTogether) {
  SynthRack rack;
  for (int slot = 0; slot < 4; ++slot) {
    rack.createSynth(slot, 1 + slot % 2, 16, false);
    for (int p = 0; p < 17; ++p) rack.setParameter(slot, p, 0.0f);
    rack.activate(slot);
  }
  std::atomic<bool> stop{false};
  std::atomic<long> badSamples{0};
  std::atomic<long> blocks{0};

  std::thread audio([&] {
    std::vector<float> in(256, 0.25f);
    std::vector<float> out(256);
    while (!stop) {
      rack.render(out.data(), in.data(), 2, 2, 128, 48000.0f);
      for (float x : out) badSamples += std::isnan(x) || x < -1.0f || x > 1.0f;
      ++blocks;
    }
  });
  std::thread midi([&] {
    std::mt19937 rng(7);
    while (!stop) {
      const uint8_t message[3] = {static_cast<uint8_t>(0x80 | (rng() % 0x70) | (rng() % 2)),
                                  static_cast<uint8_t>(rng() % 128),
                                  static_cast<uint8_t>(rng() % 128)};
      rack.processMidi(message, 3);
      if (rng() % 1000 == 0) rack.processMidi(nullptr, -1);
    }
  });
  std::thread window([&] {
    std::mt19937 rng(11);
    // Recordings start and end while blocks render: a ring is freed as soon as the
    // tap is cleared, so no block may still be inside it then.
    std::unique_ptr<RecordRing> recording;
    while (!stop) {
      rack.setParameter(rng() % 4, rng() % 17, static_cast<float>(rng() % 101) / 100.0f);
      (void)rack.getParameter(0, 0);
      (void)rack.takeMidiActivity();
      if (recording) {
        rack.setRecordTap(nullptr);
        recording.reset();
      } else if (rng() % 4 == 0) {
        recording = std::make_unique<RecordRing>();
        recording->allocate(2, 48000, 512);
        rack.setRecordTap(recording.get());
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    rack.setRecordTap(nullptr);
  });

  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  audio.join();
  midi.join();
  window.join();
  EXPECT_GT(blocks.load(), 0);
  EXPECT_EQ(badSamples.load(), 0);
}
