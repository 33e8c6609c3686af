// Evidence the program cannot make that something outside it disturbed a stretch of a
// recording, for the verdict on that stretch (stretch_verdict.h):
// - host_steal: the hypervisor took at least a ring's time from every core within the
//   stretch, widened by 0.1 s each side (it is not known which core the audio thread ran
//   on), from a log of each core's stolen time sampled every 100 ms;
// - mixer_stall: the full-duplex worker's trace shows it waiting (from the end of one
//   wake-up to the start of the next) for longer than the ring, then woken by no more
//   than one mixer stretch of notifications, with no ring lost next to it. Had the worker
//   been late, the mixer would have signalled every block meanwhile; so the sound
//   service did not run. A worker that was itself slow (a long wake-up) proves nothing;
// - registry_save: the wineserver was writing the registry to disk (registry_watch's log,
//   from the temporary file's creation to its rename). No Wine thread gets a wait or an
//   event through meanwhile, the sound service's and the program's alike, so silence,
//   a break or a lost ring next to it is the server's doing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "stretch_verdict.h"

namespace audio_analysis {

class ExternalEvidence {
 public:
  // "<wall seconds> <ticks of core 0> <ticks of core 1> ..." lines.
  bool readStealLog(const std::string& text, double ticksPerSecond);
  // The full-duplex worker's trace (TONBRIK_DSOUND_TRACE); each run's header holds the
  // wall-clock time of its first wake-up.
  bool readWorkerTrace(const std::string& text);
  // registry_watch's "<wall> start <tmp>" and "<wall> saved <file>" lines.
  bool readRegistrySaves(const std::string& text);
  // The wall-clock time of the recording's first frame.
  void setRecordingStart(double wall) { recordingWall_ = wall; }

  // Evidence for a stretch, in seconds from the recording's start; none if unproven. A
  // stalled sound service leaves silence, never a break of the signal (nor a lost ring):
  // with `breaks` only the host's steal explains it.
  std::optional<Excuse> explain(double from, double to, bool breaks) const;
  // The worker's lost rings, in seconds from the recording's start.
  std::vector<double> lostRings() const;

  // How far a stall of the worker's trace may lie from where the recording shows it: the
  // recording's start is known to a few ms, and the silence is heard within the wait.
  static constexpr double kStallBefore = 0.1;
  static constexpr double kStallAfter = 0.1;
  // How far stolen time is looked for around a stretch.
  static constexpr double kStealAround = 0.1;

 private:
  std::optional<Excuse> hostSteal(double from, double to) const;
  std::optional<Excuse> mixerStall(double from, double to) const;
  std::optional<Excuse> registrySave(double from, double to) const;

  struct StealSample {
    double wall = 0;
    std::vector<double> ticks;
  };
  struct Stall {
    double from = 0;  // wall clock
    double to = 0;
  };
  std::optional<Excuse> stallNear(const std::vector<Stall>& stalls, double from, double to,
                                  const char* rule, const char* what) const;
  std::vector<StealSample> steal_;
  double ticksPerSecond_ = 100;
  std::vector<Stall> stalls_;
  std::vector<Stall> saves_;
  std::vector<double> lostRingWalls_;
  double ringSeconds_ = 0;  // the shortest ring of the trace's runs
  double recordingWall_ = 0;
};

}  // namespace audio_analysis
