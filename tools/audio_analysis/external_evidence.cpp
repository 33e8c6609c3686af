#include "external_evidence.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "duplex_analysis.h"

namespace audio_analysis {

bool ExternalEvidence::readStealLog(const std::string& text, double ticksPerSecond) {
  ticksPerSecond_ = ticksPerSecond;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    StealSample sample;
    if (!(fields >> sample.wall)) continue;
    for (double ticks; fields >> ticks;) sample.ticks.push_back(ticks);
    if (sample.ticks.empty()) continue;
    if (!steal_.empty() &&
        (sample.wall < steal_.back().wall || sample.ticks.size() != steal_.back().ticks.size()))
      continue;
    steal_.push_back(sample);
  }
  return !steal_.empty();
}

bool ExternalEvidence::readWorkerTrace(const std::string& text) {
  midi_latency::WorkerTrace trace;
  if (!midi_latency::parseWorkerTrace(text, trace)) return false;
  const double frequency = static_cast<double>(trace.frequency);
  for (const midi_latency::WorkerRun& run : trace.runs) {
    if (run.wall <= 0 || run.sampleRate <= 0) continue;
    // What a stall must outlast to be heard: the stream's own buffer where the trace names
    // one (its ring of blocks is then only the trace's way to count positions).
    const double ring = run.bufferFrames > 0
                            ? double(run.bufferFrames) / run.sampleRate
                            : double(run.blockCount) * run.blockFrames / run.sampleRate;
    if (ringSeconds_ == 0 || ring < ringSeconds_) ringSeconds_ = ring;
    // Wine's mixer signals every block of the 10 ms it mixes at once.
    const int stretchBlocks = (run.sampleRate / 100 + run.blockFrames - 1) / run.blockFrames;
    const auto wallOf = [&](int64_t ticks) {
      return run.wall + static_cast<double>(ticks - run.origin) / frequency;
    };
    const std::vector<midi_latency::WakeUp>& w = run.wakeUps;
    for (size_t k = 0; k < w.size(); ++k) {
      if (w[k].lostRing) lostRingWalls_.push_back(wallOf(w[k].ticks));
      if (k == 0) continue;
      const bool lostNear =
          w[k - 1].lostRing || w[k].lostRing || (k + 1 < w.size() && w[k + 1].lostRing);
      const double waited = static_cast<double>(w[k].ticks - w[k - 1].ended) / frequency;
      if (waited > ring && w[k].taken <= stretchBlocks && !lostNear)
        stalls_.push_back({wallOf(w[k - 1].ended), wallOf(w[k].ticks)});
    }
  }
  return true;
}

bool ExternalEvidence::readRegistrySaves(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  double started = -1;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    double wall = 0;
    std::string what;
    if (!(fields >> wall >> what)) continue;
    if (what == "start" && started < 0) started = wall;
    if (what == "saved" && started >= 0 && wall >= started) {
      // The branches of one save follow one another: one stall from the first to the last.
      if (!saves_.empty() && started - saves_.back().to < kStallBefore)
        saves_.back().to = wall;
      else
        saves_.push_back({started, wall});
      started = -1;
    }
  }
  return !saves_.empty();
}

std::vector<double> ExternalEvidence::lostRings() const {
  std::vector<double> seconds;
  for (double wall : lostRingWalls_) seconds.push_back(wall - recordingWall_);
  return seconds;
}

std::optional<Excuse> ExternalEvidence::explain(double from, double to, bool breaks) const {
  if (auto excuse = hostSteal(from, to)) return excuse;
  if (auto excuse = registrySave(from, to)) return excuse;
  if (breaks) return std::nullopt;
  return mixerStall(from, to);
}

std::optional<Excuse> ExternalEvidence::hostSteal(double from, double to) const {
  if (steal_.size() < 2 || recordingWall_ <= 0) return std::nullopt;
  const double low = recordingWall_ + from - kStealAround;
  const double high = recordingWall_ + to + kStealAround;
  // Only samples inside the widened stretch: time stolen just outside it proves nothing.
  auto first = std::lower_bound(steal_.begin(), steal_.end(), low,
                                [](const StealSample& s, double t) { return s.wall < t; });
  auto last = std::upper_bound(steal_.begin(), steal_.end(), high,
                               [](double t, const StealSample& s) { return t < s.wall; });
  if (first == steal_.end() || last == steal_.begin()) return std::nullopt;
  --last;
  if (last <= first) return std::nullopt;
  // A ring's time; without a trace the shortest ring the program opens (7 x 128 at 48 kHz).
  const double ring = ringSeconds_ > 0 ? ringSeconds_ : 896.0 / 48000;
  double least = -1;
  std::string each;
  for (size_t c = 0; c < first->ticks.size(); ++c) {
    const double ms = 1000 * (last->ticks[c] - first->ticks[c]) / ticksPerSecond_;
    least = least < 0 ? ms : std::min(least, ms);
    char text[40];
    std::snprintf(text, sizeof text, "%score %zu %.0f ms", c ? ", " : "", c, ms);
    each += text;
  }
  if (least < 1000 * ring) return std::nullopt;
  char text[80];
  std::snprintf(text, sizeof text, " stolen in %.2f s", last->wall - first->wall);
  return Excuse{"host_steal", each + text};
}

// The first stall (wall clock) within kStallBefore/kStallAfter of the stretch, told as
// `what` (a format of the stall's milliseconds and its start in the recording).
std::optional<Excuse> ExternalEvidence::stallNear(const std::vector<Stall>& stalls, double from,
                                                  double to, const char* rule,
                                                  const char* what) const {
  for (const Stall& s : stalls) {
    const double begin = s.from - recordingWall_ - kStallBefore;
    const double end = s.to - recordingWall_ + kStallAfter;
    if (begin < to && end > from) {
      char text[120];
      std::snprintf(text, sizeof text, what, 1000 * (s.to - s.from), s.from - recordingWall_);
      return Excuse{rule, text};
    }
  }
  return std::nullopt;
}

std::optional<Excuse> ExternalEvidence::mixerStall(double from, double to) const {
  return stallNear(stalls_, from, to, "mixer_stall",
                   "the worker waited %.1f ms for a notification, from %.3f s of the recording");
}

std::optional<Excuse> ExternalEvidence::registrySave(double from, double to) const {
  return stallNear(saves_, from, to, "registry_save",
                   "the wineserver wrote the registry for %.1f ms, from %.3f s of the recording");
}

}  // namespace audio_analysis
