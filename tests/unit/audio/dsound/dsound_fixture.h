// Shared set-up for the full-duplex engine tests: a clean simulated device and
// kernel, a rack, and helpers that move the device clock one block at a time.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "audio/audio_result.h"
#include "audio/dsound/dsound_duplex.h"
#include "platform/platform.h"
#include "synth/synth_rack.h"

class DsoundFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::resetDsound();
    sim::resetKernel();
    handlesBefore_ = sim::liveHandleCount();
  }

  void TearDown() override {
    engine.release();
    EXPECT_EQ(sim::liveDsoundReferences(), 0) << "DirectSound objects left behind";
    EXPECT_EQ(sim::liveHandleCount(), handlesBefore_) << "handles left open";
    sim::resetDsound();
    sim::resetKernel();
  }

  // Slot 0 as the window sets it up: 16 voices (the last plays the start-up tone).
  static void setUpSynth(SynthRack& rack, int voices, float audioIn = 0.0f) {
    rack.createSynth(0, 1, voices, false);
    for (int p = 0; p <= 16; ++p) rack.setParameter(0, p, 0.0f);
    rack.setParameter(0, 1, audioIn);
    rack.activate(0);
  }

  int32_t openWindowSettings() {
    return engine.open(&rack, window, 2, 48000, 128, DsoundDuplex::kRingOf15Ms);
  }

  // Advances the clock by whole blocks, letting the worker finish after each one.
  void playBlocks(int blocks) {
    for (int b = 0; b < blocks; ++b) {
      sim::advanceDsound(static_cast<DWORD>(engine.blockFrames()));
      ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
    }
  }

  // Advances the clock by `blocks` while the worker sleeps through it, then wakes it.
  void playBlocksLate(int blocks) {
    ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
    sim::holdThreadWakeUps(engine.thread(), true);
    sim::advanceDsound(static_cast<DWORD>(blocks * engine.blockFrames()));
    sim::holdThreadWakeUps(engine.thread(), false);
    ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  }

  // A look that leaves the notification set: the block events reset themselves when a
  // wait takes them.
  bool blockEventSignaled(uint32_t block) {
    const HANDLE event = sim::dsoundNotificationPositions().at(block).hEventNotify;
    if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return false;
    SetEvent(event);
    return true;
  }

  // The 16-bit output rule written out independently: truncate, then shift down.
  static int16_t expected16(float x) {
    return static_cast<int16_t>(static_cast<int32_t>(2145336192.0 * static_cast<double>(x)) >> 16);
  }

  // Interleaved 16-bit blocks of a reference rack rendered with silent input.
  static std::vector<int16_t> referenceBlocks(SynthRack& reference, int blocks, int frames) {
    std::vector<int16_t> result;
    std::vector<float> in(2 * frames, 0.0f), out(2 * frames);
    for (int b = 0; b < blocks; ++b) {
      reference.render(out.data(), in.data(), 2, 2, frames, 48000.0f);
      for (int i = 0; i < frames; ++i) {
        result.push_back(expected16(out[i]));
        result.push_back(expected16(out[frames + i]));
      }
    }
    return result;
  }

  // Ring block `block` of the render ring as interleaved samples.
  std::vector<int16_t> ringBlock(uint32_t block) {
    const std::vector<uint8_t> ring = sim::dsoundRenderRing();
    const int16_t* samples = reinterpret_cast<const int16_t*>(ring.data());
    const size_t perBlock = static_cast<size_t>(engine.blockSamples());
    return std::vector<int16_t>(samples + block * perBlock, samples + (block + 1) * perBlock);
  }

  SynthRack rack;
  DsoundDuplex engine;
  HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x4242));

 private:
  int handlesBefore_ = 0;
};
