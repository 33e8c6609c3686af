// MIDI-to-sound latency on the full-duplex route, from the test MIDI input's delivery
// stamps and the full-duplex worker's trace (TONBRIK_DSOUND_TRACE), both on the
// performance counter. The trace gives, per wake-up, the play cursor of the DirectSound
// ring and where the first note onset written in it lies; the worker writes the block
// the cursor has just left, so an onset sounds when the cursor next comes round to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "latency_analysis.h"

namespace midi_latency {

struct WakeUp {
  int64_t ticks = 0;
  int64_t ended = 0;      // counter when the worker went back to waiting
  int32_t taken = 0;      // block notifications taken
  int64_t cursor = -1;    // play cursor in bytes, -1 when unreadable
  bool lostRing = false;  // the worker found the ring lost (whole-ring, ring-went-round, stall)
  int32_t written = 0;    // blocks written
  int64_t rendered = 0;   // counter when the first of them began rendering; 0 if not noted
  int32_t onsetBlock = -1;
  int32_t onsetFrame = 0;
  int64_t onsetWritten = 0;  // counter when the onset's block was in the ring
};

// One start of the stream: its geometry and its wake-ups.
struct WorkerRun {
  int32_t sampleRate = 0;
  int32_t blockFrames = 0;
  int32_t blockBytes = 0;
  int32_t blockCount = 0;
  int64_t origin = 0;        // counter at the first wake-up
  double wall = 0;           // wall-clock seconds at the first wake-up; 0 if not noted
  int32_t bufferFrames = 0;  // what the stream holds ahead, where not the ring; 0 if not noted
  std::vector<WakeUp> wakeUps;
};

struct WorkerTrace {
  int64_t frequency = 0;
  std::vector<WorkerRun> runs;
};

// Reads every run of a trace file; false if it holds none or no counter frequency.
bool parseWorkerTrace(const std::string& text, WorkerTrace& out);

// An onset as the ring plays it: when its block was written, and the first wake-up that
// found the play cursor past its first frame (0 when the stream stopped before that).
struct RingOnset {
  double written = 0.0;
  double played = 0.0;
  // When the cursor passed it on the sample clock: a straight line fitted to the cursor
  // readings within a second of it (those of its stretch between lost rings and jumps of
  // the stream), taking the earliest readings as the line, as a reading is only ever
  // late. 0 when too few.
  double onClock = 0.0;
  // Set when the stream jumped after the onset was rendered and before the worker could
  // have seen it (kJumpReadings readings on), and the onset played after the jump. The
  // program cannot know such a jump when it places the note.
  double jumpFrom = 0.0;  // 0, or the last reading before the jump
  double jumpMs = 0.0;    // how far the stream jumped: later (+) or earlier (-)
};

// A jump of the stream itself: the earliest cursor readings after it stand off the line
// of the earliest before it by more than this (Wine's mixer falls behind for good).
constexpr double kJumpMs = 1.0;
// Readings on each side that make that line, and readings after a jump before the
// program's clock may be expected to follow it (it re-anchors on the fourth).
constexpr size_t kEnvelopeReadings = 8;
constexpr size_t kJumpReadings = 4;

// The onsets of one run in the order written. A stretch between two cursor readings is
// taken as less than one ring when its two wake-ups took fewer notifications than the
// ring has blocks, or when no lost ring lies beside it and no more than a ring's time
// passed; beside a lost ring the elapsed time chooses the laps, otherwise the trend of
// the readings before it.
std::vector<RingOnset> placeOnsets(const WorkerRun& run, int64_t frequency);

struct DuplexResult {
  size_t notes = 0;      // note-ons of the train delivered
  size_t onsets = 0;     // onsets written after the first of them
  size_t matched = 0;    // notes whose window (delivery to next delivery) holds one onset
  size_t unheard = 0;    // matched, but the stream stopped before the cursor came round
  bool inOrder = false;  // no window holds two onsets, and no onset lies outside the windows
  // Notes with no onset. One rule may excuse one, read in the trace alone: lost_ring,
  // the worker found the ring lost between the note's delivery (its onset cannot lie
  // before) and one ring's time after its note-off.
  std::vector<MissingNote> missing;
  // Notes heard but left out of the clock figure, each with its excuse (stream_jump);
  // they count toward the train's cap with the missing ones.
  std::vector<MissingNote> offClock;
  std::vector<double> cursorMs;   // delivery -> a wake-up finds the cursor past the onset
  std::vector<double> programMs;  // delivery -> the onset's block is in the ring
  std::vector<double> clockMs;    // delivery -> the cursor passes the onset on the sample clock
};

// Pairs the note-ons of `note` with the onsets the worker wrote, in play order.
DuplexResult analyseDuplex(const std::vector<Delivery>& deliveries, const WorkerTrace& trace,
                           int note);

}  // namespace midi_latency
