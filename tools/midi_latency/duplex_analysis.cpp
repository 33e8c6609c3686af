#include "duplex_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace midi_latency {

namespace {

bool parseWakeUp(const std::string& line, int64_t origin, int64_t frequency, WakeUp& out) {
  std::istringstream fields(line);
  std::string ms, ended, cursor, woken, taken, wrote, dropouts, onset, event;
  if (!(fields >> ms >> ended >> cursor >> woken >> taken >> wrote >> dropouts)) return false;
  fields >> onset >> event;
  const auto ticksOf = [&](double milliseconds) {
    return origin + std::llround(milliseconds * static_cast<double>(frequency) / 1000.0);
  };
  char* end = nullptr;
  const double at = std::strtod(ms.c_str(), &end);
  if (end == ms.c_str()) return false;
  out = WakeUp{};
  out.ticks = ticksOf(at);
  const double endedMs = std::strtod(ended.c_str(), &end);
  out.ended = end == ended.c_str() ? out.ticks : ticksOf(endedMs);
  unsigned taken0 = 0;
  out.taken = 0;
  for (const char* p = taken.c_str(); std::sscanf(p, "%u", &taken0) == 1;) {
    ++out.taken;
    p = std::strchr(p, ',');
    if (p == nullptr) break;
    ++p;
  }
  out.cursor = cursor == "-" ? -1 : std::strtoll(cursor.c_str(), nullptr, 10);
  unsigned first = 0, last = 0, count = 0;
  double renderedMs = 0.0;
  const int wroteFields =
      std::sscanf(wrote.c_str(), "%u..%u(%u)@%lf", &first, &last, &count, &renderedMs);
  if (wroteFields >= 3) out.written = static_cast<int32_t>(count);
  if (wroteFields == 4) out.rendered = ticksOf(renderedMs);
  int block = 0, frame = 0;
  double writtenMs = 0.0;
  if (std::sscanf(onset.c_str(), "%d:%d@%lf", &block, &frame, &writtenMs) == 3) {
    out.onsetBlock = block;
    out.onsetFrame = frame;
    out.onsetWritten = ticksOf(writtenMs);
  } else if (onset != "-") {
    event = onset;  // a trace from before onsets were noted
  }
  out.lostRing = event == "whole-ring" || event == "ring-went-round" || event == "stall";
  return true;
}

// The cursor readings of one run on one line: counter ticks against the play position
// in bytes since the stream started, laps included.
struct PlayClock {
  std::vector<double> ticks;
  std::vector<double> position;

  double positionAt(double t) const {
    const auto after = std::upper_bound(ticks.begin(), ticks.end(), t);
    if (after == ticks.begin()) return position.front();
    if (after == ticks.end()) return position.back();
    const size_t j = static_cast<size_t>(after - ticks.begin());
    return position[j - 1] +
           (position[j] - position[j - 1]) * (t - ticks[j - 1]) / (ticks[j] - ticks[j - 1]);
  }
  // When the cursor had passed `at`: the first reading at or past it; 0 if none was.
  // Interpolating between readings would assume a cursor that moves evenly, but Wine's
  // mixer moves it a whole period (10 ms) at once and only then wakes the worker: an
  // onset mixed at that step came out up to a period early, at times before the note
  // was even delivered. The reading is late by at most one wake-up on any device.
  double timeAt(double at) const {
    const auto reached = std::lower_bound(position.begin(), position.end(), at);
    if (reached == position.end()) return 0.0;
    return ticks[static_cast<size_t>(reached - position.begin())];
  }
};

// The counter when the cursor passed `at` on a line through the readings of one
// stretch (no lost ring inside) within a second of it. Wine's cursor moves a period at
// once and the worker reads it when woken, so each reading is late by its wake-up: a
// least-squares line, then again through the readings no more than 0.2 ms above it,
// follows the earliest of them, the steps themselves. 0 with fewer than 20 readings.
double timeOnClock(const PlayClock& clock, const std::vector<size_t>& stretchOf, double at,
                   int64_t frequency) {
  const auto reached = std::lower_bound(clock.position.begin(), clock.position.end(), at);
  if (reached == clock.position.end()) return 0.0;
  const size_t centre = static_cast<size_t>(reached - clock.position.begin());
  const double second = static_cast<double>(frequency);
  std::vector<size_t> used;
  for (size_t j = 0; j < clock.ticks.size(); ++j) {
    if (stretchOf[j] == stretchOf[centre] &&
        std::fabs(clock.ticks[j] - clock.ticks[centre]) <= second) {
      used.push_back(j);
    }
  }
  double slope = 0.0, intercept = 0.0;
  for (int pass = 0; pass < 3; ++pass) {
    if (used.size() < 20) return 0.0;
    // ticks = intercept + slope * (position - at)
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t j : used) {
      const double x = clock.position[j] - at;
      sx += x;
      sy += clock.ticks[j];
      sxx += x * x;
      sxy += x * clock.ticks[j];
    }
    const double n = static_cast<double>(used.size());
    const double d = n * sxx - sx * sx;
    if (d <= 0.0) return 0.0;
    slope = (n * sxy - sx * sy) / d;
    intercept = (sy - slope * sx) / n;
    std::vector<size_t> kept;
    for (size_t j : used) {
      if (clock.ticks[j] - (intercept + slope * (clock.position[j] - at)) <= 0.0002 * second) {
        kept.push_back(j);
      }
    }
    used.swap(kept);
  }
  return intercept;
}

// What in the trace alone excuses a note with no onset, if anything does. A note held
// between two renders is no excuse: the synth sounds a note for a block even when its
// release came first.
MissingNote explainMissing(const WorkerTrace& trace, const HeldNote& note, size_t index) {
  MissingNote m;
  m.note = index;
  m.delivered = note.on;
  const int64_t on = note.on;
  const int64_t off = note.off;
  if (off == INT64_MAX) return m;
  const double toMs = 1000.0 / static_cast<double>(trace.frequency);
  const auto sinceOn = [&](int64_t t) { return static_cast<double>(t - on) * toMs; };
  char text[200];
  for (const WorkerRun& run : trace.runs) {
    if (run.wakeUps.empty() || run.sampleRate <= 0) continue;
    const int64_t ring =
        static_cast<int64_t>(run.blockFrames) * run.blockCount * trace.frequency / run.sampleRate;
    for (const WakeUp& w : run.wakeUps) {
      // A lost ring that can have taken the onset: found after the note came (its onset
      // cannot lie before), and before the note-off's block has had a ring's time to play.
      if (w.lostRing && w.ticks >= on && w.ticks <= off + ring && m.excuse == Excuse::Unexplained) {
        m.excuse = Excuse::LostRing;
        std::snprintf(text, sizeof text,
                      "trace_ms=%.3f lost_ring_ms=%.3f held_ms=%.3f ring_ms=%.3f",
                      static_cast<double>(on - run.wakeUps.front().ticks) * toMs, sinceOn(w.ticks),
                      sinceOn(off), static_cast<double>(ring) * toMs);
        m.evidence = text;
      }
    }
  }
  return m;
}

// The median of the kEnvelopeReadings readings from `from` on, each taken against the
// stream's nominal rate (counter ticks less the position's time).
double medianOffset(const PlayClock& clock, size_t from, double bytesPerTick) {
  double offsets[kEnvelopeReadings];
  for (size_t j = 0; j < kEnvelopeReadings; ++j) {
    offsets[j] = clock.ticks[from + j] - clock.position[from + j] / bytesPerTick;
  }
  std::sort(offsets, offsets + kEnvelopeReadings);
  return (offsets[kEnvelopeReadings / 2 - 1] + offsets[kEnvelopeReadings / 2]) / 2.0;
}

// Where the readings from `at` on stand against those before it, in counter ticks: the
// median offset of the kEnvelopeReadings on each side. A late wake-up makes a reading
// late, and Wine's mixer makes one early now and then (its step after a late one), but
// only the stream itself moves the median.
double shiftAt(const PlayClock& clock, size_t at, double bytesPerTick) {
  return medianOffset(clock, at, bytesPerTick) -
         medianOffset(clock, at - kEnvelopeReadings, bytesPerTick);
}

// How much later the cursor reached reading `at` than the one before, on its own rate.
double lagGained(const PlayClock& clock, size_t at, double bytesPerTick) {
  return clock.ticks[at] - clock.ticks[at - 1] -
         (clock.position[at] - clock.position[at - 1]) / bytesPerTick;
}

// The laps a reading went past `unwrapped` after more than a ring's time: those that put
// it least late on the trend of the last readings (their median offset from the stream's
// nominal rate) but not early by more than a late wake-up may be late. A wake-up that
// kept the processor for a ring has the cursor go round meanwhile; a mixer that fell
// behind for a step (and catches up after) has it go less than its time. Without
// readings enough for a trend, the elapsed time says.
double lapsOnTrend(const PlayClock& clock, double ticks, double unwrapped, double ring,
                   double bytesPerTick, int64_t frequency) {
  constexpr double kMostEarlySeconds = 0.003;
  const double elapsed = (ticks - clock.ticks.back()) * bytesPerTick;
  if (clock.ticks.size() < kEnvelopeReadings) {
    return std::max(0.0, std::round((elapsed - (unwrapped - clock.position.back())) / ring));
  }
  const double offset = medianOffset(clock, clock.ticks.size() - kEnvelopeReadings, bytesPerTick);
  const double expected = (ticks - offset) * bytesPerTick;
  const double mostEarly = kMostEarlySeconds * static_cast<double>(frequency) * bytesPerTick;
  return std::max(0.0, std::floor((expected + mostEarly - unwrapped) / ring));
}

struct Jump {
  size_t at = 0;       // the first reading after it
  double shift = 0.0;  // counter ticks, later (+) or earlier (-)
};

// The jumps of the stream, each starting a stretch of its own at the reading that gained
// (or, for a jump earlier, lost) the most lag where the medians part. A jump later is the
// stream's only if the worker was waiting through that reading's lag, from the end of
// the wake-up before to the start of the one that read it: a worker that kept the
// processor can have held up the sound service's mixer, which runs in its process.
// Nothing the worker does makes a reading early.
std::vector<Jump> findJumps(const WorkerRun& run, const PlayClock& clock,
                            const std::vector<size_t>& wakeUpOf, int64_t frequency,
                            double bytesPerTick, std::vector<size_t>& stretchOf) {
  std::vector<Jump> jumps;
  const size_t k = kEnvelopeReadings;
  const double least = kJumpMs * static_cast<double>(frequency) / 1000.0;
  const size_t count = clock.ticks.size();
  const auto parts = [&](size_t j) {
    return stretchOf[j - k] == stretchOf[j + k - 1] &&
           std::fabs(shiftAt(clock, j, bytesPerTick)) > least;
  };
  for (size_t j = k; j + k <= count; ++j) {
    if (!parts(j)) continue;
    size_t last = j;
    while (last + 1 + k <= count && parts(last + 1)) ++last;
    const double sign = shiftAt(clock, j, bytesPerTick) > 0.0 ? 1.0 : -1.0;
    size_t at = j;
    for (size_t n = j + 1; n <= last; ++n) {
      if (sign * lagGained(clock, n, bytesPerTick) > sign * lagGained(clock, at, bytesPerTick)) {
        at = n;
      }
    }
    const size_t woke = wakeUpOf[at];
    const double waited =
        woke > 0 ? static_cast<double>(run.wakeUps[woke].ticks - run.wakeUps[woke - 1].ended) : 0.0;
    if (sign < 0.0 || waited >= lagGained(clock, at, bytesPerTick)) {
      jumps.push_back({at, shiftAt(clock, at, bytesPerTick)});
    }
    j = last;
  }
  // Stretch numbers stay in order: a jump adds one to every reading from it on.
  for (size_t j = 0, passed = 0; j < count; ++j) {
    while (passed < jumps.size() && jumps[passed].at <= j) ++passed;
    stretchOf[j] += passed;
  }
  return jumps;
}

}  // namespace

bool parseWorkerTrace(const std::string& text, WorkerTrace& out) {
  std::istringstream lines(text);
  std::string line;
  out = WorkerTrace{};
  long long origin = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("# full-duplex worker:", 0) == 0) {
      WorkerRun run;
      long long frequency = 0;
      const size_t at = line.find("counter frequency=");
      if (std::sscanf(line.c_str(),
                      "# full-duplex worker: %d Hz, %d blocks of %d frames (%d bytes)",
                      &run.sampleRate, &run.blockCount, &run.blockFrames, &run.blockBytes) != 4 ||
          at == std::string::npos ||
          std::sscanf(line.c_str() + at, "counter frequency=%lld origin=%lld", &frequency,
                      &origin) != 2) {
        return false;
      }
      if (out.frequency != 0 && out.frequency != frequency) return false;
      const size_t wall = line.find(" wall=");
      if (wall != std::string::npos) run.wall = std::strtod(line.c_str() + wall + 6, nullptr);
      const size_t buffer = line.find(" buffer=");
      if (buffer != std::string::npos) {
        run.bufferFrames =
            static_cast<int32_t>(std::strtol(line.c_str() + buffer + 8, nullptr, 10));
      }
      run.origin = origin;
      out.frequency = frequency;
      out.runs.push_back(run);
      continue;
    }
    if (line.empty() || line[0] == '#' || line.rfind("summary", 0) == 0 || out.runs.empty()) {
      continue;
    }
    WakeUp wakeUp;
    if (parseWakeUp(line, origin, out.frequency, wakeUp)) out.runs.back().wakeUps.push_back(wakeUp);
  }
  return out.frequency > 0 && !out.runs.empty();
}

std::vector<RingOnset> placeOnsets(const WorkerRun& run, int64_t frequency) {
  std::vector<RingOnset> onsets;
  if (run.blockFrames <= 0 || run.blockCount <= 0 || frequency <= 0) return onsets;
  const double ring = static_cast<double>(run.blockBytes) * run.blockCount;
  const double frameBytes = static_cast<double>(run.blockBytes) / run.blockFrames;
  const double bytesPerTick = run.sampleRate * frameBytes / static_cast<double>(frequency);

  PlayClock clock;
  std::vector<size_t> stretchOf;  // per reading: lost rings and jumps before it
  std::vector<size_t> wakeUpOf;   // per reading: its wake-up
  size_t stretch = 0;
  std::vector<double> positionOf(run.wakeUps.size(), -1.0);
  size_t previous = 0;
  bool lostSince = false;  // a lost ring marked since the previous reading
  for (size_t i = 0; i < run.wakeUps.size(); ++i) {
    const WakeUp& w = run.wakeUps[i];
    lostSince = lostSince || w.lostRing;
    if (w.lostRing) ++stretch;
    if (w.cursor < 0) continue;
    double position = static_cast<double>(w.cursor);
    if (!clock.ticks.empty()) {
      const WakeUp& p = run.wakeUps[previous];
      const double moved = std::fmod(static_cast<double>(w.cursor - p.cursor) + ring, ring);
      const double elapsed = static_cast<double>(w.ticks - p.ticks) * bytesPerTick;
      // Every notification the cursor set off between the two readings was taken by one
      // of the two wake-ups: fewer than blocks, and it went less than a ring, however
      // long the mixer took (it stalls, then catches up).
      const bool partRing = w.taken > 0 && w.taken + p.taken < run.blockCount;
      double laps = 0.0;
      if (lostSince || p.lostRing) {
        laps = std::max(0.0, std::round((elapsed - moved) / ring));
      } else if (elapsed > ring && !partRing) {
        laps = lapsOnTrend(clock, static_cast<double>(w.ticks), clock.position.back() + moved, ring,
                           bytesPerTick, frequency);
      }
      position = clock.position.back() + moved + laps * ring;
    }
    clock.ticks.push_back(static_cast<double>(w.ticks));
    clock.position.push_back(position);
    stretchOf.push_back(stretch);
    wakeUpOf.push_back(i);
    positionOf[i] = position;
    previous = i;
    lostSince = false;
  }
  if (clock.ticks.empty()) return onsets;
  const std::vector<Jump> jumps =
      findJumps(run, clock, wakeUpOf, frequency, bytesPerTick, stretchOf);

  for (size_t i = 0; i < run.wakeUps.size(); ++i) {
    const WakeUp& w = run.wakeUps[i];
    if (w.onsetBlock < 0) continue;
    const double cursor =
        positionOf[i] >= 0 ? positionOf[i] : clock.positionAt(static_cast<double>(w.ticks));
    // The block's next start after the cursor: the worker writes behind the cursor.
    double start = std::floor(cursor / ring) * ring + w.onsetBlock * run.blockBytes;
    if (start <= cursor) start += ring;
    RingOnset onset;
    onset.written = static_cast<double>(w.onsetWritten);
    onset.played = clock.timeAt(start + w.onsetFrame * frameBytes);
    onset.onClock = timeOnClock(clock, stretchOf, start + w.onsetFrame * frameBytes, frequency);
    const double plays = onset.played > 0.0 ? onset.played : onset.onClock;
    for (const Jump& jump : jumps) {
      const double from = clock.ticks[jump.at - 1];
      const double seen =
          clock.ticks[std::min(jump.at + kJumpReadings - 1, clock.ticks.size() - 1)];
      if (onset.written < seen && plays > from) {
        onset.jumpFrom = from;
        onset.jumpMs = jump.shift * 1000.0 / static_cast<double>(frequency);
      }
    }
    onsets.push_back(onset);
  }
  return onsets;
}

DuplexResult analyseDuplex(const std::vector<Delivery>& deliveries, const WorkerTrace& trace,
                           int note) {
  DuplexResult result;
  const std::vector<HeldNote> notes = heldNotes(deliveries, note);
  result.notes = notes.size();
  if (notes.empty()) return result;

  std::vector<RingOnset> onsets;
  for (const WorkerRun& run : trace.runs) {
    for (const RingOnset& onset : placeOnsets(run, trace.frequency)) {
      if (onset.written >= static_cast<double>(notes[0].on)) onsets.push_back(onset);
    }
  }
  std::stable_sort(onsets.begin(), onsets.end(),
                   [](const RingOnset& a, const RingOnset& b) { return a.written < b.written; });
  result.onsets = onsets.size();

  const double toMs = 1000.0 / static_cast<double>(trace.frequency);
  bool crowded = false;
  size_t next = 0;
  for (size_t i = 0; i < notes.size(); ++i) {
    const int64_t from = notes[i].on;
    const int64_t to = i + 1 < notes.size() ? notes[i + 1].on : INT64_MAX;
    const size_t first = next;
    while (next < onsets.size() && onsets[next].written < static_cast<double>(to)) ++next;
    if (next - first > 1) crowded = true;
    if (next - first != 1) {
      if (next == first) result.missing.push_back(explainMissing(trace, notes[i], i));
      continue;
    }
    ++result.matched;
    const RingOnset& onset = onsets[first];
    result.programMs.push_back((onset.written - static_cast<double>(from)) * toMs);
    if (onset.jumpFrom > 0.0) {
      MissingNote left{i, from, Excuse::StreamJump, ""};
      char text[160];
      std::snprintf(text, sizeof text, "jump_ms=%.3f at_ms=%.3f written_ms=%.3f", onset.jumpMs,
                    (onset.jumpFrom - static_cast<double>(from)) * toMs,
                    (onset.written - static_cast<double>(from)) * toMs);
      left.evidence = text;
      result.offClock.push_back(left);
    } else if (onset.onClock > 0.0) {
      result.clockMs.push_back((onset.onClock - static_cast<double>(from)) * toMs);
    } else {
      // Too few readings around it to time it on the clock: left out, and nothing excuses that.
      result.offClock.push_back({i, from, Excuse::Unexplained, "clock_readings=too_few"});
    }
    if (onset.played > 0.0) {
      result.cursorMs.push_back((onset.played - static_cast<double>(from)) * toMs);
    } else {
      ++result.unheard;
    }
  }
  result.inOrder = !crowded && result.matched == result.onsets;
  return result;
}

}  // namespace midi_latency
