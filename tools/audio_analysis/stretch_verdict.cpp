#include "stretch_verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tone_analysis.h"

namespace audio_analysis {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Span {
  size_t begin = 0;
  size_t end = 0;
};

// Runs of at least `minLength` samples none of which rises above `quiet`. A sine well
// above `quiet` stays under it only for a sliver around each zero crossing (3 us at
// 1 kHz for -40 dB), so such runs are silence, wherever they lie in the stretch.
std::vector<Span> findSilences(const float* x, size_t count, double quiet, size_t minLength) {
  std::vector<Span> silences;
  for (size_t i = 0; i < count;) {
    if (std::fabs(x[i]) > quiet) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < count && std::fabs(x[end]) <= quiet) ++end;
    if (end - i >= minLength) silences.push_back({i, end});
    i = end;
  }
  return silences;
}

// First samples of the sine's breaks outside the silences; breaks closer than `merge`
// samples count as one.
std::vector<size_t> findBreaks(const float* x, size_t count, double sampleRate, double frequency,
                               double threshold, const std::vector<Span>& silences, size_t merge) {
  std::vector<bool> nearSilence(count, false);
  for (const Span& s : silences)
    for (size_t k = s.begin > 2 ? s.begin - 2 : 0; k < std::min(count, s.end + 2); ++k)
      nearSilence[k] = true;
  const double twoCos = 2 * std::cos(2 * kPi * frequency / sampleRate);
  std::vector<size_t> breaks;
  for (size_t i = 1; i + 1 < count; ++i) {
    if (nearSilence[i - 1] || nearSilence[i] || nearSilence[i + 1]) continue;
    const double residual = double(x[i + 1]) + double(x[i - 1]) - twoCos * x[i];
    if (std::fabs(residual) <= threshold) continue;
    if (breaks.empty() || i - breaks.back() > merge) breaks.push_back(i);
  }
  return breaks;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string format(const char* pattern, double a, double b = 0) {
  char text[96];
  std::snprintf(text, sizeof text, pattern, a, b);
  return text;
}

// The time the excused windows cover, counted once where they overlap (rings lost one
// after the other in one stall).
double coveredSeconds(std::vector<JudgedWindow> windows) {
  std::sort(windows.begin(), windows.end(),
            [](const JudgedWindow& a, const JudgedWindow& b) { return a.start < b.start; });
  double total = 0, reached = -1e300;
  for (const JudgedWindow& w : windows) {
    total += std::max(0.0, w.end - std::max(w.start, reached));
    reached = std::max(reached, w.end);
  }
  return total;
}

void conclude(StretchVerdict& verdict, const VerdictLimits& limits) {
  const double excusedSeconds = coveredSeconds(verdict.excused);
  verdict.excusedShare = excusedSeconds / verdict.seconds;
  verdict.judgedShare = std::max(0.0, verdict.recorded - excusedSeconds) / verdict.seconds;
  // Window edges are sums of floating-point seconds: the cap itself is allowed.
  verdict.overCap = verdict.excusedShare > limits.maxExcusedShare + 1e-9;
  verdict.inconclusive = verdict.judgedShare < limits.minJudgedShare;
  verdict.pass = verdict.faults.empty() && !verdict.overCap && !verdict.inconclusive;
}

}  // namespace

StretchVerdict judgeStretch(const float* samples, size_t count, double sampleRate, double offset,
                            double claimed, const ToneExpectation& tone,
                            const ExcuseFinder& excuses, const VerdictLimits& limits) {
  StretchVerdict verdict;
  verdict.seconds = claimed;
  const size_t windowLength = static_cast<size_t>(limits.window * sampleRate + 0.5);
  if (sampleRate <= 0 || windowLength == 0 || claimed <= 0) return verdict;

  const double expected = (tone.minAmplitude + tone.maxAmplitude) / 2;
  const size_t millisecond = static_cast<size_t>(sampleRate / 1000);
  const std::vector<Span> silences =
      findSilences(samples, count, expected / 100, std::max<size_t>(2, millisecond));
  const std::vector<size_t> breaks =
      findBreaks(samples, count, sampleRate, tone.frequency, 0.1 * expected, silences, millisecond);

  // The windows: a remainder shorter than half a window joins the one before it.
  std::vector<Span> windows;
  for (size_t begin = 0; begin < count; begin += windowLength) {
    const size_t end = std::min(count, begin + windowLength);
    if (!windows.empty() && end - begin < windowLength / 2) {
      windows.back().end = end;
      break;
    }
    windows.push_back({begin, end});
  }
  verdict.windows = static_cast<int>(windows.size());

  ToneSearch search;
  search.maxTones = 4;
  std::vector<double> frequencies, amplitudes;
  std::vector<const Span*> counted;  // silences in windows that fail
  for (const Span& w : windows) {
    JudgedWindow judged;
    judged.start = offset + w.begin / sampleRate;
    judged.end = offset + w.end / sampleRate;
    int gaps = 0, windowBreaks = 0;
    for (const Span& s : silences) gaps += s.begin < w.end && s.end > w.begin;
    for (size_t b : breaks) windowBreaks += b >= w.begin && b < w.end;
    if (gaps || windowBreaks) {
      judged.kind = gaps ? "gap" : "break";
      judged.detail = format("%.0f gaps, %.0f breaks", gaps, windowBreaks);
      judged.excuse = excuses ? excuses(judged.start, judged.end, windowBreaks > 0) : std::nullopt;
      if (judged.excuse) {
        verdict.excused.push_back(judged);
      } else {
        verdict.breaks += windowBreaks;
        verdict.faults.push_back(judged);
        for (const Span& silence : silences)
          if (silence.begin < w.end && silence.end > w.begin) counted.push_back(&silence);
      }
      continue;
    }
    const std::vector<Tone> tones =
        dominantTones(samples + w.begin, w.end - w.begin, sampleRate, search);
    const Tone* nearest = nullptr;
    for (const Tone& t : tones)
      if (std::fabs(t.frequency - tone.frequency) <= 20 &&
          (!nearest || std::fabs(t.frequency - tone.frequency) <
                           std::fabs(nearest->frequency - tone.frequency)))
        nearest = &t;
    if (!nearest || std::fabs(nearest->frequency - tone.frequency) > tone.tolerance) {
      ++verdict.pitchFaults;
      judged.kind = "pitch";
      judged.detail = nearest ? format("%.2f Hz", nearest->frequency) : "no tone near it";
      verdict.faults.push_back(judged);
      continue;
    }
    frequencies.push_back(nearest->frequency);
    amplitudes.push_back(nearest->amplitude);
    if (nearest->amplitude < tone.minAmplitude || nearest->amplitude > tone.maxAmplitude) {
      ++verdict.levelFaults;
      judged.kind = "level";
      judged.detail = format("amplitude %.5f at %.2f Hz", nearest->amplitude, nearest->frequency);
      verdict.faults.push_back(judged);
    }
  }
  // A silence over several windows is one gap.
  std::sort(counted.begin(), counted.end());
  verdict.gaps = static_cast<int>(std::unique(counted.begin(), counted.end()) - counted.begin());
  verdict.medianFrequency = median(frequencies);
  verdict.medianAmplitude = median(amplitudes);
  verdict.recorded = std::min(count / sampleRate, claimed);
  conclude(verdict, limits);
  return verdict;
}

void addLostRings(StretchVerdict& verdict, double from, double to,
                  const std::vector<double>& lostRings, const ExcuseFinder& excuses,
                  const VerdictLimits& limits) {
  for (double at : lostRings) {
    if (at < from || at >= to) continue;
    JudgedWindow judged;
    judged.start = at - limits.window / 2;
    judged.end = at + limits.window / 2;
    judged.kind = "lost_ring";
    judged.detail = format("the worker lost a ring at %.3f s", at);
    judged.excuse = excuses ? excuses(judged.start, judged.end, true) : std::nullopt;
    if (judged.excuse) {
      verdict.excused.push_back(judged);
    } else {
      ++verdict.lostRings;
      verdict.faults.push_back(judged);
    }
  }
  conclude(verdict, limits);
}

}  // namespace audio_analysis
