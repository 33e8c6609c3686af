// `audio_analysis verdict`: the whole judgement of one stretch and channel of a recording
// that must hold one steady tone, with every excused window and its evidence.
#include "verdict_command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "external_evidence.h"
#include "stretch_verdict.h"
#include "wav_file.h"

namespace audio_analysis {
namespace {

const char kUsage[] =
    "usage: audio_analysis verdict --start S --end S --channel C --freq F --tol HZ\n"
    "           --min A --max A [--window S] [--max-excused SHARE]\n"
    "           [--wall SECONDS --steal FILE [--tick-rate HZ]] [--trace FILE [--lost-rings]]\n"
    "           [--saves FILE]\n"
    "           FILE.wav\n"
    "  judges every window of the stretch: silence of 1 ms or more (a gap), a break of the\n"
    "  sine, the pitch within HZ and the amplitude between the two limits. A window with a\n"
    "  gap or break is left out only where the stolen-time log (--steal, sampled every\n"
    "  100 ms, the recording starting at wall-clock --wall), the full-duplex worker's trace\n"
    "  (--trace) or the wineserver's registry saves (--saves, registry_watch's log) prove\n"
    "  the machine, the sound service or every Wine thread stalled; --lost-rings also\n"
    "  fails each ring the trace shows lost in the stretch that the host's steal does not\n"
    "  explain. Exit 0 on pass, 1 on fail, 2 on bad use.\n"
    "output:\n"
    "  verdict pass|fail|over_cap|inconclusive ch=0 from=.. to=.. judged=.. windows=N gaps=N\n"
    "    breaks=N pitch=N level=N lost_rings=N excused=N excused_share=.. freq=.. amp=..\n"
    "  fault start=.. end=.. kind=gap|break|pitch|level|lost_ring detail=\"..\"\n"
    "  excused start=.. end=.. kind=.. rule=host_steal|mixer_stall|registry_save evidence=\"..\"\n"
    "  excused rule=NAME count=N\n";

bool readText(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream buffer;
  buffer << file.rdbuf();
  text = buffer.str();
  return true;
}

}  // namespace

int runVerdict(int argc, char** argv) {
  std::map<std::string, std::string> option;
  std::string path;
  bool lostRings = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--lost-rings") {
      lostRings = true;
    } else if (word.rfind("--", 0) == 0 && i + 1 < argc) {
      option[word.substr(2)] = argv[++i];
    } else if (path.empty() && word.rfind("--", 0) != 0) {
      path = word;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  const auto number = [&](const char* name, double fallback, bool required) {
    const auto found = option.find(name);
    if (found == option.end()) return required ? std::nan("") : fallback;
    char* rest = nullptr;
    const double value = std::strtod(found->second.c_str(), &rest);
    return *rest == '\0' ? value : std::nan("");
  };
  const double start = number("start", 0, true);
  const double end = number("end", 0, true);
  const double channel = number("channel", 0, true);
  ToneExpectation tone;
  tone.frequency = number("freq", 0, true);
  tone.tolerance = number("tol", 0, true);
  tone.minAmplitude = number("min", 0, true);
  tone.maxAmplitude = number("max", 0, true);
  VerdictLimits limits;
  limits.window = number("window", limits.window, false);
  limits.maxExcusedShare = number("max-excused", limits.maxExcusedShare, false);
  const double wall = number("wall", 0, false);
  const double tickRate = number("tick-rate", 100, false);
  for (double v : {start, end, channel, tone.frequency, tone.tolerance, tone.minAmplitude,
                   tone.maxAmplitude, limits.window, limits.maxExcusedShare, wall, tickRate}) {
    if (v != v) {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (path.empty() || end <= start || start < 0 || limits.window <= 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  WavData wav;
  std::string error;
  if (!readWav(path, wav, error)) {
    std::fprintf(stderr, "audio_analysis: %s\n", error.c_str());
    return 1;
  }
  const int ch = static_cast<int>(channel);
  if (ch < 0 || ch >= wav.channels) {
    std::fprintf(stderr, "audio_analysis: no channel %d in %s\n", ch, path.c_str());
    return 1;
  }
  ExternalEvidence evidence;
  evidence.setRecordingStart(wall);
  std::string text;
  if (option.count("steal")) {
    if (!readText(option["steal"], text) || !evidence.readStealLog(text, tickRate))
      std::fprintf(stderr, "audio_analysis: no stolen-time samples in %s\n",
                   option["steal"].c_str());
  }
  if (option.count("trace")) {
    if (!readText(option["trace"], text) || !evidence.readWorkerTrace(text)) {
      std::fprintf(stderr, "audio_analysis: no worker trace in %s\n", option["trace"].c_str());
      if (lostRings) return 1;  // the rings cannot be checked
    }
  }
  if (option.count("saves") && readText(option["saves"], text)) evidence.readRegistrySaves(text);
  const ExcuseFinder excuses = [&](double from, double to, bool breaks) {
    return evidence.explain(from, to, breaks);
  };

  const size_t frames = wav.frames();
  const size_t first = std::min(frames, static_cast<size_t>(start * wav.sampleRate + 0.5));
  const size_t last = std::min(frames, static_cast<size_t>(end * wav.sampleRate + 0.5));
  StretchVerdict verdict =
      judgeStretch(wav.samples[ch].data() + first, last - first, wav.sampleRate,
                   double(first) / wav.sampleRate, end - start, tone, excuses, limits);
  if (lostRings) addLostRings(verdict, start, end, evidence.lostRings(), excuses, limits);

  const char* word = verdict.pass              ? "pass"
                     : !verdict.faults.empty() ? "fail"
                     : verdict.overCap         ? "over_cap"
                                               : "inconclusive";
  std::printf(
      "verdict %s ch=%d from=%.3f to=%.3f judged=%.3f windows=%d gaps=%d breaks=%d pitch=%d "
      "level=%d lost_rings=%d excused=%zu excused_share=%.3f freq=%.2f amp=%.5f\n",
      word, ch, start, end, verdict.judgedShare, verdict.windows, verdict.gaps, verdict.breaks,
      verdict.pitchFaults, verdict.levelFaults, verdict.lostRings, verdict.excused.size(),
      verdict.excusedShare, verdict.medianFrequency, verdict.medianAmplitude);
  for (const JudgedWindow& w : verdict.faults)
    std::printf("fault start=%.3f end=%.3f kind=%s detail=\"%s\"\n", w.start, w.end, w.kind.c_str(),
                w.detail.c_str());
  std::map<std::string, int> perRule;
  for (const JudgedWindow& w : verdict.excused) {
    std::printf("excused start=%.3f end=%.3f kind=%s rule=%s evidence=\"%s\"\n", w.start, w.end,
                w.kind.c_str(), w.excuse->rule.c_str(), w.excuse->evidence.c_str());
    ++perRule[w.excuse->rule];
  }
  for (const auto& [rule, count] : perRule)
    std::printf("excused rule=%s count=%d\n", rule.c_str(), count);
  return verdict.pass ? 0 : 1;
}

}  // namespace audio_analysis
