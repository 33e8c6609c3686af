// Cost of SynthRack::render on the reference path and on each vector path, side
// by side: real-time factor (seconds of audio rendered per CPU second, one core)
// and nanoseconds per voice-sample. A summary after the table gives the speed-up
// of the default (fastest) path over the reference and the window configuration's
// share of one core.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "synth/render_path.h"
#include "synth/synth_rack.h"

namespace {

constexpr float kSampleRate = 48000.0f;

struct Setup {
  const char* name;
  int slots;
  int voices;
  int frames;
};

// The window's own configuration (slot 0, 16 voices, 128-frame blocks), the full
// rack, and the full rack in the small blocks low-latency drivers use.
const Setup kSetups[] = {{"Window_1x16", 1, 16, 128},
                         {"FullRack_16x128", 16, 128, 128},
                         {"FullRack_16x128", 16, 128, 32}};

struct Entry {
  const Setup* setup;
  RenderPath path;
};
std::map<std::string, Entry> entries;

void setCounters(benchmark::State& state, int frames, int voices) {
  const double blocks = static_cast<double>(state.iterations());
  state.counters["realtime_factor"] =
      benchmark::Counter(blocks * frames / kSampleRate, benchmark::Counter::kIsRate);
  state.counters["ns_per_voice_sample"] = benchmark::Counter(
      blocks * frames * voices / 1e9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// slots x voices, every voice sounding, rendered in blocks of `frames`.
void renderRack(benchmark::State& state, const Setup& setup, RenderPath path) {
  const RenderPath previous = renderPath();
  if (!setRenderPath(path)) {
    state.SkipWithError("render path not available");
    return;
  }
  SynthRack rack;
  for (int slot = 0; slot < setup.slots; ++slot) {
    rack.createSynth(slot, slot + 1, setup.voices, false);
    for (int p = 0; p < 17; ++p) rack.setParameter(slot, p, 0.0f);
    rack.activate(slot);
    for (int note = 0; note < setup.voices; ++note) {
      const uint8_t message[3] = {static_cast<uint8_t>(0x90 | slot), static_cast<uint8_t>(note),
                                  100};
      rack.processMidi(message, 3);
    }
  }
  std::vector<float> in(2 * setup.frames, 0.0f);
  std::vector<float> out(2 * setup.frames);
  for (auto _ : state) {
    rack.render(out.data(), in.data(), 2, 2, setup.frames, kSampleRate);
    benchmark::DoNotOptimize(out.data());
  }
  setCounters(state, setup.frames, setup.slots * setup.voices);
  setRenderPath(previous);
}

std::string benchmarkName(const Setup& setup, RenderPath path) {
  std::string name =
      std::string(setup.name) + "/" + std::to_string(setup.frames) + "/" + renderPathName(path);
  if (path == fastestRenderPath()) name += "(fast)";
  return name;
}

// The console table as usual, plus the comparison once all runs are in.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      const auto entry = entries.find(run.benchmark_name());
      if (entry == entries.end()) continue;
      const Setup& setup = *entry->second.setup;
      // CPU time per iteration (one block), in the run's time unit.
      const double nsPerBlock =
          run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      nsPerVoiceSample_[run.benchmark_name()] =
          nsPerBlock / (setup.frames * setup.slots * setup.voices);
      realtimeFactor_[run.benchmark_name()] = setup.frames / kSampleRate * 1e9 / nsPerBlock;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nDefault path on this processor: %s\n", renderPathName(fastestRenderPath()));
    for (const Setup& setup : kSetups) {
      const std::string reference = benchmarkName(setup, RenderPath::kReference);
      const std::string fast = benchmarkName(setup, fastestRenderPath());
      if (!nsPerVoiceSample_.count(reference) || !nsPerVoiceSample_.count(fast)) continue;
      std::printf(
          "%-22s %3d frames: reference %6.2f ns/voice-sample (rt %7.1fx), fast %5.2f "
          "ns/voice-sample "
          "(rt %7.1fx), speed-up %.2fx, %.3f %% of one core\n",
          setup.name, setup.frames, nsPerVoiceSample_[reference], realtimeFactor_[reference],
          nsPerVoiceSample_[fast], realtimeFactor_[fast],
          nsPerVoiceSample_[reference] / nsPerVoiceSample_[fast], 100.0 / realtimeFactor_[fast]);
    }
  }

 private:
  std::map<std::string, double> nsPerVoiceSample_;
  std::map<std::string, double> realtimeFactor_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Setup& setup : kSetups) {
    for (RenderPath path :
         {RenderPath::kReference, RenderPath::kSse2, RenderPath::kAvx2, RenderPath::kAvx512}) {
      if (!renderPathSupported(path)) continue;
      const std::string name = benchmarkName(setup, path);
      entries[name] = Entry{&setup, path};
      benchmark::RegisterBenchmark(name.c_str(), [&setup, path](benchmark::State& state) {
        renderRack(state, setup, path);
      });
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
