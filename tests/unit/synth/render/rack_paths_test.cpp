// Ten seconds of a busy rack rendered on the reference path and on every vector
// path the processor runs, in lock-step: random MIDI on all 16 slots, varied
// polyphony, block sizes and pitch factors (negative increments and phases far
// past the wrap included). The vector paths may differ only in a rare last bit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "synth/render_path.h"
#include "synth/synth_rack.h"

namespace {

constexpr float kSampleRate = 48000.0f;
constexpr uint32_t kSeed = 20261207;

struct PathRack {
  RenderPath path;
  std::unique_ptr<SynthRack> rack = std::make_unique<SynthRack>();
  std::vector<float> out;
  int64_t identical = 0;
  int64_t compared = 0;
  double maxDifference = 0.0;
};

void send(std::vector<PathRack>& racks, uint8_t status, uint8_t data1, uint8_t data2) {
  const uint8_t message[3] = {status, data1, data2};
  for (PathRack& r : racks) r.rack->processMidi(message, 3);
}

void setParameter(std::vector<PathRack>& racks, int32_t slot, int32_t index, float value) {
  for (PathRack& r : racks) r.rack->setParameter(slot, index, value);
}

// Pitch factors (parameter 0): ordinary, octave up, slowed, stopped, reversed (the
// phase then runs negative without bound), and fast enough to step past the wrap.
const float kPitchFactors[] = {0.0f, 1.0f, 0.37f, -1.0f, -1.6f, -3.0f, 7.5f, 60.0f};

TEST(RackPathsTest, VectorPathsMatchTheReferenceOverTenSeconds) {
  SCOPED_TRACE(::testing::Message() << "seed " << kSeed);
  std::vector<PathRack> racks;
  for (RenderPath path :
       {RenderPath::kReference, RenderPath::kSse2, RenderPath::kAvx2, RenderPath::kAvx512}) {
    if (renderPathSupported(path))
      racks.push_back(PathRack{path, std::make_unique<SynthRack>(), {}, 0, 0, 0.0});
  }
  ASSERT_GE(racks.size(), 2u);

  std::mt19937 random(kSeed);
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  for (int32_t slot = 0; slot < SynthRack::kSlotCount; ++slot) {
    const int32_t polyphony =
        slot < 4 ? SynthRack::kMaxPolyphony : pick(1, SynthRack::kMaxPolyphony);
    for (PathRack& r : racks) {
      ASSERT_EQ(r.rack->createSynth(slot, slot + 1, polyphony, slot % 3 == 0),
                Synth::kParameterCount);
      for (int32_t p = 0; p < 17; ++p) r.rack->setParameter(slot, p, 0.0f);
    }
    setParameter(racks, slot, 0, kPitchFactors[slot % 8]);
    setParameter(racks, slot, 1, 0.25f);
    for (PathRack& r : racks) r.rack->activate(slot);
  }

  const RenderPath previous = renderPath();
  const int blockSizes[] = {1, 3, 32, 64, 100, 128, 128, 128, 255, 512};
  std::vector<float> in(2 * 512);
  int64_t frame = 0;
  while (frame < 10 * static_cast<int64_t>(kSampleRate)) {
    for (int events = pick(0, 12); events > 0; --events) {
      const uint8_t channel = static_cast<uint8_t>(pick(0, 15));
      const int kind = pick(0, 99);
      if (kind < 55) {
        send(racks, 0x90 | channel, static_cast<uint8_t>(pick(0, 127)),
             static_cast<uint8_t>(pick(1, 127)));
      } else if (kind < 90) {
        send(racks, 0x80 | channel, static_cast<uint8_t>(pick(0, 127)), 0);
      } else if (kind < 95) {
        send(racks, 0xB0 | channel, 64, static_cast<uint8_t>(pick(0, 127)));
      } else if (kind < 97) {
        send(racks, 0xB0 | channel, 123, 0);
      } else {
        setParameter(racks, channel, 0, kPitchFactors[pick(0, 7)]);
      }
    }
    const int frames = blockSizes[pick(0, 9)];
    for (int i = 0; i < 2 * frames; ++i)
      in[i] = std::uniform_real_distribution<float>(-0.5f, 0.5f)(random);
    for (PathRack& r : racks) {
      ASSERT_TRUE(setRenderPath(r.path));
      r.out.assign(2 * frames, 0.0f);
      r.rack->render(r.out.data(), in.data(), 2, 2, frames, kSampleRate);
    }
    const std::vector<float>& reference = racks[0].out;
    for (size_t k = 1; k < racks.size(); ++k) {
      PathRack& r = racks[k];
      for (int i = 0; i < 2 * frames; ++i) {
        r.identical += std::memcmp(&r.out[i], &reference[i], sizeof(float)) == 0 ? 1 : 0;
        r.maxDifference =
            std::max(r.maxDifference, std::fabs(static_cast<double>(r.out[i]) - reference[i]));
      }
      r.compared += 2 * frames;
    }
    frame += frames;
  }
  setRenderPath(previous);

  for (size_t k = 1; k < racks.size(); ++k) {
    const PathRack& r = racks[k];
    SCOPED_TRACE(renderPathName(r.path));
    EXPECT_GE(static_cast<double>(r.identical), 0.99999 * static_cast<double>(r.compared))
        << r.compared - r.identical << " of " << r.compared << " samples differ";
    EXPECT_LE(r.maxDifference, 2.4e-7);
    // Phase and amplitude steps are float arithmetic on both sides: exactly equal.
    for (int32_t slot = 0; slot < SynthRack::kSlotCount; ++slot) {
      const Synth* mine = r.rack->synthAt(slot);
      const Synth* theirs = racks[0].rack->synthAt(slot);
      for (int32_t v = 0; v < mine->voiceCount(); ++v) {
        ASSERT_EQ(mine->voice(v).phase.get(), theirs->voice(v).phase.get())
            << "slot " << slot << " voice " << v;
        ASSERT_EQ(mine->voice(v).amplitude.get(), theirs->voice(v).amplitude.get())
            << "slot " << slot << " voice " << v;
      }
    }
  }
}

}  // namespace
