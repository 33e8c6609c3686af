// The verdict on one stretch of a recording that must hold one steady tone: every window
// of it is judged, and nothing is left out but what evidence from outside the program
// explains, counted and capped.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace audio_analysis {

struct ToneExpectation {
  double frequency = 0;     // Hz
  double tolerance = 0;     // Hz either side
  double minAmplitude = 0;  // of the sine, full scale 1.0
  double maxAmplitude = 0;
};

struct VerdictLimits {
  double window = 0.1;            // seconds; every window is judged on its own
  double maxExcusedShare = 0.05;  // more excused than this fails the stretch
  double minJudgedShare = 0.9;    // less judged than this is no verdict: it fails
};

// Evidence, from outside the program, that something else disturbed a stretch of the
// recording: the rule that proves it and what was measured.
struct Excuse {
  std::string rule;
  std::string evidence;
};
// Asked for each window that holds a discontinuity (seconds from the recording's start);
// `breaks`: whether the window holds a break of the signal, not only silence.
using ExcuseFinder = std::function<std::optional<Excuse>(double from, double to, bool breaks)>;

// One window that failed (kind: gap, break, pitch, level, missing) or was excused.
struct JudgedWindow {
  double start = 0;
  double end = 0;
  std::string kind;
  std::string detail;
  std::optional<Excuse> excuse;
};

struct StretchVerdict {
  bool pass = false;
  bool overCap = false;       // more excused than the limit allows
  bool inconclusive = false;  // less judged than the limit asks
  double seconds = 0;         // the stretch claimed
  double recorded = 0;        // of it, what the recording holds
  double judgedShare = 0;
  double excusedShare = 0;
  int windows = 0;
  int gaps = 0;  // silences of 1 ms or more, including at either end
  int breaks = 0;
  int pitchFaults = 0;
  int levelFaults = 0;
  int lostRings = 0;
  double medianFrequency = 0;  // over the judged windows, for the log
  double medianAmplitude = 0;
  std::vector<JudgedWindow> faults;
  std::vector<JudgedWindow> excused;
};

// Judges samples [0, count) that begin `offset` seconds into the recording and are meant to
// cover `claimed` seconds (a recording that ends early leaves the rest unjudged).
// A gap is a run of 1 ms or more in which no sample rises above the expected level less
// 40 dB (exact zeros among them); a break is a place where the sine's recurrence
// x[n+1] + x[n-1] = 2 cos(w) x[n] fails by more than a tenth of the expected level.
// Windows without either must hold the tone within the tolerance and the level range.
StretchVerdict judgeStretch(const float* samples, size_t count, double sampleRate, double offset,
                            double claimed, const ToneExpectation& tone,
                            const ExcuseFinder& excuses, const VerdictLimits& limits);

// Adds the rings the worker lost inside the stretch (seconds from the recording's start) as
// faults, but for those the evidence explains, and judges the stretch again.
void addLostRings(StretchVerdict& verdict, double from, double to,
                  const std::vector<double>& lostRings, const ExcuseFinder& excuses,
                  const VerdictLimits& limits);

}  // namespace audio_analysis
