// Per-block cost of the full-duplex engine's processing path (16-bit input to
// planar float, rack render, planar float to 16-bit output) at the window's
// settings, as a load figure: the fraction of one block's duration it takes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "common/block_timing.h"
#include "audio/sample_conversion.h"
#include "synth/synth_rack.h"

namespace {

constexpr int kChannels = 2;
constexpr int kFrames = 128;
constexpr int kSampleRate = 48000;

void BM_DuplexBlockPath(benchmark::State& state) {
  SynthRack rack;
  rack.createSynth(0, 1, 16, false);
  for (int p = 0; p <= 16; ++p) rack.setParameter(0, p, 0.0f);
  rack.setParameter(0, 1, 0.5f);
  rack.activate(0);

  std::vector<int16_t> in16(kChannels * kFrames), out16(kChannels * kFrames);
  std::vector<float> inFloat(kChannels * kFrames), outFloat(kChannels * kFrames);
  for (size_t i = 0; i < in16.size(); ++i) in16[i] = static_cast<int16_t>(i * 97);

  BlockTiming timing;
  int64_t totalTicks = 0;
  for (auto _ : state) {
    const int64_t start = BlockTiming::now();
    pcm16ToPlanar(in16.data(), inFloat.data(), kFrames, kChannels);
    rack.render(outFloat.data(), inFloat.data(), kChannels, kChannels, kFrames,
                static_cast<float>(kSampleRate));
    planarToPcm16(outFloat.data(), out16.data(), kFrames, kChannels);
    const int64_t elapsed = BlockTiming::now() - start;
    timing.record(elapsed);
    totalTicks += elapsed;
    benchmark::DoNotOptimize(out16.data());
  }

  // The engine's own figures, measured as the engine measures them.
  const int64_t frequency = performanceFrequency();
  const double meanTicks =
      static_cast<double>(totalTicks) / static_cast<double>(state.iterations());
  state.counters["load"] = blockLoad(meanTicks, frequency, kSampleRate, kFrames);
  state.counters["average_load"] =
      blockLoad(timing.averageTicks(), frequency, kSampleRate, kFrames);
  state.counters["peak_load"] = blockLoad(timing.peakTicks(), frequency, kSampleRate, kFrames);
}

}  // namespace

BENCHMARK(BM_DuplexBlockPath);
