// audio_analysis: dominant tones and levels of a recorded WAV file, per channel and per
// time window, one line each, for the end-to-end tests to check with awk or grep.
#include "recording_match.h"
#include "tone_analysis.h"
#include "verdict_command.h"
#include "wav_file.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace audio_analysis;

namespace {

const char kUsage[] =
    "usage: audio_analysis [options] FILE.wav\n"
    "       audio_analysis verdict ... (the verdict on one stretch; see its usage)\n"
    "       audio_analysis match ... (a recording against the ASIO driver's; see its usage)\n"
    "  --window S   window length in seconds (default 1); 0: one window over the range\n"
    "  --hop S      step from one window to the next (default: the window length)\n"
    "  --start S    begin at S seconds (default 0)\n"
    "  --end S      end at S seconds (default: end of file)\n"
    "  --tones N    dominant tones per window and channel (default 3)\n"
    "  --floor A    ignore tones below amplitude A (default 0.0005)\n"
    "  --min-freq F ignore tones below F Hz (default 20)\n"
    "  --at F       also report the amplitude at F Hz (may be repeated)\n"
    "  --glitch-freq F  count discontinuities of a steady sine of F Hz (glitches=N), told\n"
    "                   apart as silent gaps (gaps=N) and other breaks (breaks=N)\n"
    "output:\n"
    "  file rate=48000 channels=2 frames=N seconds=S format=pcm16\n"
    "  window=0 start=0.200 end=1.200 ch=0 peak=0.05000 rms=0.03536 tones=1 f1=1114.08 "
    "a1=0.05000\n"
    "  at window=0 ch=0 freq=440.00 amp=0.01000\n";

struct Options {
  double window = 1.0, hop = -1, start = 0, end = -1, floor = 5e-4, minFrequency = 20;
  double glitchFrequency = 0;
  int tones = 3;
  std::vector<double> at;
  std::string path;
};

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.rfind("--", 0) != 0) {
      if (!o.path.empty()) return false;
      o.path = word;
      continue;
    }
    if (i + 1 >= argc) return false;
    char* end = nullptr;
    double value = std::strtod(argv[++i], &end);
    if (*end != '\0') return false;
    if (word == "--window")
      o.window = value;
    else if (word == "--hop")
      o.hop = value;
    else if (word == "--start")
      o.start = value;
    else if (word == "--end")
      o.end = value;
    else if (word == "--tones")
      o.tones = static_cast<int>(value);
    else if (word == "--floor")
      o.floor = value;
    else if (word == "--min-freq")
      o.minFrequency = value;
    else if (word == "--at")
      o.at.push_back(value);
    else if (word == "--glitch-freq")
      o.glitchFrequency = value;
    else
      return false;
  }
  return !o.path.empty() && o.window >= 0 && o.start >= 0 && o.tones >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "verdict") return runVerdict(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "match") return runMatch(argc - 1, argv + 1);
  Options o;
  if (!parse(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  WavData wav;
  std::string error;
  if (!readWav(o.path, wav, error)) {
    std::fprintf(stderr, "audio_analysis: %s\n", error.c_str());
    return 1;
  }
  const double rate = wav.sampleRate;
  const size_t frames = wav.frames();
  std::printf("file rate=%d channels=%d frames=%zu seconds=%.3f format=%s\n", wav.sampleRate,
              wav.channels, frames, frames / rate, wav.format.c_str());
  size_t first = static_cast<size_t>(o.start * rate + 0.5);
  size_t last = o.end >= 0 ? static_cast<size_t>(o.end * rate + 0.5) : frames;
  if (last > frames) last = frames;
  if (first >= last) {
    std::fprintf(stderr, "audio_analysis: no samples between %.3f s and %.3f s\n", o.start,
                 last / rate);
    return 1;
  }
  size_t length = o.window > 0 ? static_cast<size_t>(o.window * rate + 0.5) : last - first;
  size_t hop = o.hop > 0 ? static_cast<size_t>(o.hop * rate + 0.5) : length;
  if (length == 0 || hop == 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  ToneSearch search;
  search.maxTones = o.tones;
  search.minAmplitude = o.floor;
  search.minFrequency = o.minFrequency;
  int index = 0;
  for (size_t begin = first; begin + length <= last; begin += hop, ++index) {
    for (int c = 0; c < wav.channels; ++c) {
      const float* x = wav.samples[c].data() + begin;
      Levels levels = measureLevels(x, length);
      std::vector<Tone> tones = dominantTones(x, length, rate, search);
      std::printf("window=%d start=%.3f end=%.3f ch=%d peak=%.5f rms=%.5f tones=%zu", index,
                  begin / rate, (begin + length) / rate, c, levels.peak, levels.rms, tones.size());
      for (size_t t = 0; t < tones.size(); ++t)
        std::printf(" f%zu=%.2f a%zu=%.5f", t + 1, tones[t].frequency, t + 1, tones[t].amplitude);
      if (o.glitchFrequency > 0) {
        const Discontinuities d = classifyGlitches(x, length, rate, o.glitchFrequency);
        std::printf(" glitches=%d breaks=%d gaps=%d",
                    countGlitches(x, length, rate, o.glitchFrequency), d.breaks, d.gaps);
      }
      std::printf("\n");
      for (double f : o.at) {
        std::printf("at window=%d ch=%d freq=%.2f amp=%.5f\n", index, c, f,
                    amplitudeAt(x, length, rate, f));
      }
    }
  }
  if (index == 0) {
    std::fprintf(stderr, "audio_analysis: range shorter than one window\n");
    return 1;
  }
  return 0;
}
