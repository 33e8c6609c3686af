// Cost of SynthRack::render, reported as a real-time factor (seconds of audio
// rendered per second of CPU) and as nanoseconds per voice-sample.
#include <benchmark/benchmark.h>

#include <vector>

#include "synth/synth_rack.h"

namespace {

constexpr float kSampleRate = 48000.0f;

void setCounters(benchmark::State& state, int frames, int voices) {
  const double blocks = static_cast<double>(state.iterations());
  state.counters["realtime_factor"] =
      benchmark::Counter(blocks * frames / kSampleRate, benchmark::Counter::kIsRate);
  state.counters["ns_per_voice_sample"] = benchmark::Counter(
      blocks * frames * voices / 1e9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// slots x voices, every voice sounding, rendered in blocks of `frames`.
void renderRack(benchmark::State& state, int slots, int voices, int frames) {
  SynthRack rack;
  for (int slot = 0; slot < slots; ++slot) {
    rack.createSynth(slot, slot + 1, voices, false);
    for (int p = 0; p < 17; ++p) rack.setParameter(slot, p, 0.0f);
    rack.activate(slot);
    for (int note = 0; note < voices; ++note) {
      const uint8_t message[3] = {static_cast<uint8_t>(0x90 | slot), static_cast<uint8_t>(note),
                                  100};
      rack.processMidi(message, 3);
    }
  }
  std::vector<float> in(2 * frames, 0.0f);
  std::vector<float> out(2 * frames);
  for (auto _ : state) {
    rack.render(out.data(), in.data(), 2, 2, frames, kSampleRate);
    benchmark::DoNotOptimize(out.data());
  }
  setCounters(state, frames, slots * voices);
}

void BM_WindowConfiguration(benchmark::State& state) {
  renderRack(state, 1, 16, 128);
}
void BM_FullRack(benchmark::State& state) {
  renderRack(state, 16, 128, 128);
}

}  // namespace

BENCHMARK(BM_WindowConfiguration);
BENCHMARK(BM_FullRack);
BENCHMARK_MAIN();
