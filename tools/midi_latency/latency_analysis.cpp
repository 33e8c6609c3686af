#include "latency_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <random>
#include <sstream>

namespace midi_latency {

bool parseDeliveries(const std::string& text, std::vector<Delivery>& out, int64_t& frequency) {
  std::istringstream lines(text);
  std::string line;
  out.clear();
  frequency = 0;
  while (std::getline(lines, line)) {
    long long value = 0;
    unsigned bytes[3] = {0, 0, 0};
    size_t at = line.find("frequency=");
    if (at != std::string::npos && std::sscanf(line.c_str() + at, "frequency=%lld", &value) == 1) {
      frequency = value;
      continue;
    }
    at = line.find("qpc=");
    if (at == std::string::npos) continue;
    const int got = std::sscanf(line.c_str() + at, "qpc=%lld data %x %x %x", &value, &bytes[0],
                                &bytes[1], &bytes[2]);
    if (got < 2) continue;
    out.push_back({value, static_cast<uint8_t>(bytes[0]), static_cast<uint8_t>(bytes[1]),
                   static_cast<uint8_t>(bytes[2])});
  }
  return frequency > 0;
}

bool parseSwitches(const std::string& text, std::vector<Switch>& out, int64_t& frequency) {
  std::istringstream lines(text);
  std::string line;
  out.clear();
  frequency = 0;
  Switch current;
  while (std::getline(lines, line)) {
    long long a = 0, b = 0;
    unsigned long long position = 0, recorded = 0;
    int frames = 0, latency = 0;
    double rate = 0.0;
    if (std::sscanf(line.c_str(), "stream frequency=%lld frames=%d output_latency=%d rate=%lf", &a,
                    &frames, &latency, &rate) == 4) {
      frequency = a;
      current.frames = frames;
      current.outputLatency = latency;
      current.rate = rate;
    } else if (std::sscanf(line.c_str(), "switch %lld %lld %llu %llu", &a, &b, &position,
                           &recorded) == 4 &&
               current.frames > 0) {
      current.called = a;
      current.returned = b;
      current.samplePosition = position;
      current.recordedFrame = recorded;
      out.push_back(current);
    }
  }
  return frequency > 0 && !out.empty();
}

std::vector<size_t> findOnsets(const float* samples, size_t count, float threshold,
                               size_t silence) {
  std::vector<size_t> onsets;
  size_t quiet = silence;  // the recording's start counts as silence
  for (size_t i = 0; i < count; ++i) {
    if (std::fabs(samples[i]) <= threshold) {
      ++quiet;
      continue;
    }
    if (quiet >= silence) onsets.push_back(i);
    quiet = 0;
  }
  return onsets;
}

bool frameTime(const std::vector<Switch>& switches, uint64_t frame, int64_t frequency,
               FrameTime& out) {
  // Switches come in recording order; the last one starting at or before the frame.
  auto after = std::upper_bound(switches.begin(), switches.end(), frame,
                                [](uint64_t f, const Switch& s) { return f < s.recordedFrame; });
  if (after == switches.begin()) return false;
  const Switch& s = *(after - 1);
  const uint64_t offset = frame - s.recordedFrame;
  if (offset >= static_cast<uint64_t>(s.frames) || s.rate <= 0.0) return false;
  const double perFrame = static_cast<double>(frequency) / s.rate;
  out.leaves = static_cast<double>(s.called) +
               (static_cast<double>(s.outputLatency) + static_cast<double>(offset)) * perFrame;
  out.blockEnd = static_cast<double>(s.returned);
  out.leavesOnSteadyClock = 0.0;
  if (after - 1 != switches.begin()) {
    const Switch& before = *(after - 2);
    const double period = static_cast<double>(before.frames) * perFrame;
    // After a stall the switch before is no mark of the clock: left out.
    if (before.recordedFrame + static_cast<uint64_t>(before.frames) == s.recordedFrame &&
        static_cast<double>(s.called - before.called) <= 2.0 * period) {
      out.leavesOnSteadyClock =
          static_cast<double>(before.called) +
          (static_cast<double>(before.frames + s.outputLatency) + static_cast<double>(offset)) *
              perFrame;
    }
  }
  return true;
}

Summary summarize(std::vector<double> values) {
  Summary s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  double sum = 0.0;
  for (double v : values) sum += v;
  s.mean = sum / static_cast<double>(values.size());
  double squares = 0.0;
  for (double v : values) squares += (v - s.mean) * (v - s.mean);
  s.stddev = values.size() > 1 ? std::sqrt(squares / static_cast<double>(values.size() - 1)) : 0.0;
  s.min = values.front();
  s.max = values.back();
  // Nearest rank.
  const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(values.size()))) - 1;
  s.p99 = values[std::min(rank, values.size() - 1)];
  return s;
}

std::vector<HeldNote> heldNotes(const std::vector<Delivery>& deliveries, int note) {
  std::vector<HeldNote> notes;
  for (size_t i = 0; i < deliveries.size(); ++i) {
    const Delivery& d = deliveries[i];
    if ((d.status & 0xF0) != 0x90 || d.data1 != note || d.data2 == 0) continue;
    int64_t off = INT64_MAX;
    for (size_t j = i + 1; j < deliveries.size() && off == INT64_MAX; ++j) {
      const Delivery& e = deliveries[j];
      const bool ends = (e.status & 0xF0) == 0x80 || ((e.status & 0xF0) == 0x90 && e.data2 == 0);
      if (ends && e.data1 == note) off = e.counter;
    }
    notes.push_back({d.counter, off});
  }
  return notes;
}

const char* excuseName(Excuse excuse) {
  switch (excuse) {
    case Excuse::InTail:
      return "in_tail";
    case Excuse::LostRing:
      return "lost_ring";
    case Excuse::StreamJump:
      return "stream_jump";
    case Excuse::Unexplained:
      break;
  }
  return "none";
}

size_t excuseCap(size_t notes) {
  return (notes * 15 + 999) / 1000;
}

bool trainPasses(size_t notes, bool inOrder, const std::vector<MissingNote>& missing) {
  const bool allExcused = std::all_of(missing.begin(), missing.end(), [](const MissingNote& m) {
    return m.excuse != Excuse::Unexplained;
  });
  return notes > 0 && inOrder && allExcused && missing.size() <= excuseCap(notes);
}

double nextBlockDue(const std::vector<Switch>& switches, int64_t at, int64_t frequency) {
  const auto after = std::lower_bound(switches.begin(), switches.end(), at,
                                      [](const Switch& s, int64_t t) { return s.called < t; });
  if (after == switches.begin()) {
    return after == switches.end() ? HUGE_VAL : static_cast<double>(after->called);
  }
  const auto last = after - 1;
  // The schedule of the stream that holds `last`: a stream starts where the sample
  // position goes back or the block's shape changes.
  auto first = last;
  while (first != switches.begin()) {
    const Switch& before = *(first - 1);
    if (before.samplePosition >= first->samplePosition || before.frames != first->frames ||
        before.rate != first->rate) {
      break;
    }
    --first;
  }
  if (last->rate <= 0.0) return static_cast<double>(last->called);
  const double perFrame = static_cast<double>(frequency) / last->rate;
  double scheduled = static_cast<double>(first->called);
  for (auto s = first + 1; s <= last; ++s) {
    const double projected =
        scheduled + static_cast<double>(s->samplePosition - (s - 1)->samplePosition) * perFrame;
    scheduled = std::min(static_cast<double>(s->called), projected);
  }
  return scheduled + static_cast<double>(last->frames) * perFrame;
}

namespace {

// The blocks the driver asked for between a note-off and the next note-on, and whether
// each of our calls returned within its block's time (so the driver's own waits, not a
// slow call of ours, kept it from asking for more).
struct HeldDriver {
  size_t switches = 0;
  int64_t frames = 0;
  double rate = 0.0;
  double longestCall = 0.0;  // counter ticks
  double longestWait = 0.0;
  bool calledQuickly = false;
};

HeldDriver driverBetween(const std::vector<Switch>& switches, int64_t off, int64_t on,
                         int64_t frequency) {
  HeldDriver held;
  for (size_t j = 1; j < switches.size(); ++j) {
    const Switch& s = switches[j];
    if (s.called <= off || s.called > on) continue;
    ++held.switches;
    held.frames += s.frames;
    held.rate = s.rate;
    held.longestCall = std::max(held.longestCall, static_cast<double>(s.returned - s.called));
    held.longestWait =
        std::max(held.longestWait, static_cast<double>(s.called - switches[j - 1].returned));
  }
  const bool any = held.switches > 0;
  const double blockTicks = held.rate > 0.0 && any ? static_cast<double>(switches.back().frames) *
                                                         static_cast<double>(frequency) / held.rate
                                                   : 0.0;
  held.calledQuickly = any && held.longestCall <= blockTicks;
  return held;
}

// What the driver did between the note-off before a missing note and its note-on (its
// calls and waits within 100 ms of either): a note is heard only if some block rendered
// the release and a later one the new note. Facts for whoever reads the log; they
// excuse nothing.
std::string driverFacts(const std::vector<Switch>& switches, int64_t off, int64_t on,
                        int64_t frequency) {
  const double toMs = 1000.0 / static_cast<double>(frequency);
  const HeldDriver around =
      driverBetween(switches, off - frequency / 10, on + frequency / 10, frequency);
  char text[200];
  std::snprintf(text, sizeof text,
                "after_note_off_ms=%.3f switches_between=%zu longest_call_ms=%.3f "
                "longest_wait_ms=%.3f (within 100 ms of either)",
                static_cast<double>(on - off) * toMs,
                driverBetween(switches, off, on, frequency).switches, around.longestCall * toMs,
                around.longestWait * toMs);
  return text;
}

}  // namespace

Result analyse(const std::vector<Delivery>& deliveries, const std::vector<Switch>& switches,
               int64_t frequency, const std::vector<size_t>& onsetFrames, int note) {
  Result result;
  const std::vector<HeldNote> notes = heldNotes(deliveries, note);
  result.notes = notes.size();
  if (notes.empty()) return result;
  const double toMs = 1000.0 / static_cast<double>(frequency);
  const int64_t tailTicks = (kReleaseTailMs - kWanderMs) * frequency / 1000;
  // What may excuse each note, should it have no onset.
  std::vector<MissingNote> excusable(notes.size());
  for (size_t i = 0; i < notes.size(); ++i) {
    const HeldNote& held = notes[i];
    MissingNote& m = excusable[i];
    m.note = i;
    m.delivered = held.on;
    char text[160];
    // Released before the driver's next block was due: counted, never excused, as the
    // synth sounds a note for a block even when its release came first.
    const double due = nextBlockDue(switches, held.on, frequency);
    if (held.off != INT64_MAX && static_cast<double>(held.off) < due) ++result.unplayable;
    if (i > 0 && held.on - notes[i - 1].off < tailTicks) {
      ++result.inTail;
      if (m.excuse == Excuse::Unexplained) {
        m.excuse = Excuse::InTail;
        std::snprintf(text, sizeof text, "after_note_off_ms=%.3f planned_ms=%lld",
                      static_cast<double>(held.on - notes[i - 1].off) * toMs,
                      static_cast<long long>(kReleaseTailMs));
        m.evidence = text;
      }
    } else if (i > 0) {
      // The tail lasts so many frames, not so long: a driver that stopped calling renders
      // fewer frames meanwhile, and the note starts inside the tail on its sample clock.
      // As with a delivery, a margin for the player's clock, and a block for where in its
      // block each message fell.
      const HeldDriver driver = driverBetween(switches, notes[i - 1].off, held.on, frequency);
      const double tailFrames =
          driver.calledQuickly
              ? static_cast<double>(kReleaseTailMs - kWanderMs) * driver.rate / 1000.0 -
                    static_cast<double>(switches.back().frames)
              : 0.0;
      if (static_cast<double>(driver.frames) < tailFrames) {
        m.excuse = Excuse::InTail;
        std::snprintf(text, sizeof text,
                      "after_note_off_ms=%.3f frames_between=%lld tail_frames=%.0f "
                      "longest_call_ms=%.3f longest_wait_ms=%.3f",
                      static_cast<double>(held.on - notes[i - 1].off) * toMs,
                      static_cast<long long>(driver.frames), tailFrames, driver.longestCall * toMs,
                      driver.longestWait * toMs);
        m.evidence = text;
      }
    }
  }
  std::vector<FrameTime> heard;
  for (size_t frame : onsetFrames) {
    FrameTime t;
    if (frameTime(switches, frame, frequency, t) && t.blockEnd >= static_cast<double>(notes[0].on))
      heard.push_back(t);
  }
  result.onsets = heard.size();
  size_t next = 0;  // onsets are in time order, so each window's search starts where the last ended
  for (size_t i = 0; i < notes.size(); ++i) {
    const double from = static_cast<double>(notes[i].on);
    const double to = i + 1 < notes.size() ? static_cast<double>(notes[i + 1].on) : 1e300;
    while (next < heard.size() && heard[next].blockEnd < from) ++next;
    size_t inWindow = 0;
    size_t first = next;
    while (next < heard.size() && heard[next].blockEnd < to) {
      ++inWindow;
      ++next;
    }
    if (inWindow == 0) {
      MissingNote m = excusable[i];
      if (m.excuse == Excuse::Unexplained && i > 0)
        m.evidence = driverFacts(switches, notes[i - 1].off, notes[i].on, frequency);
      result.missing.push_back(m);
    }
    if (inWindow != 1) continue;
    ++result.matched;
    result.outputMs.push_back((heard[first].leaves - from) * toMs);
    result.programMs.push_back((heard[first].blockEnd - from) * toMs);
    if (heard[first].leavesOnSteadyClock > 0.0)
      result.steadyClockMs.push_back((heard[first].leavesOnSteadyClock - from) * toMs);
  }
  result.inOrder = result.onsets == result.matched;
  return result;
}

std::string trainEvents(int count, uint32_t seed, int note) {
  std::mt19937 random(seed);
  std::string text = "# priming note: takes the start-up voice\n0 90 30 64\n60 80 30 00\n";
  char line[64];
  uint32_t at = 400;
  for (int i = 0; i < count; ++i) {
    const uint32_t held = 10 + random() % 15;
    const uint32_t gap = static_cast<uint32_t>(kReleaseTailMs) + random() % 35;
    std::snprintf(line, sizeof(line), "%u 90 %02X 64\n%u 80 %02X 00\n", at, note, at + held, note);
    text += line;
    at += held + gap;
  }
  return text;
}

}  // namespace midi_latency
