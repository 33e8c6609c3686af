// MIDI-to-sound latency from three records of one run, all on the performance counter:
// when the test MIDI input handed each message to the program, when the virtual ASIO
// driver called each buffer switch (and where that block lies in its recording), and
// the recording itself, in which each note starts after silence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace midi_latency {

struct Delivery {
  int64_t counter = 0;
  uint8_t status = 0;
  uint8_t data1 = 0;
  uint8_t data2 = 0;
};

struct Switch {
  int64_t called = 0;           // counter when the driver called the host
  int64_t returned = 0;         // counter when the host returned the filled block
  uint64_t samplePosition = 0;  // the block's first frame on the driver's sample clock
  uint64_t recordedFrame = 0;
  int32_t frames = 0;
  int32_t outputLatency = 0;  // frames, as the driver states it
  double rate = 0.0;
};

// A note of the train: the counter at its note-on's delivery and at its note-off's
// (INT64_MAX when none came).
struct HeldNote {
  int64_t on = 0;
  int64_t off = 0;
};
// The note-ons of `note` in delivery order, each with the first note-off after it.
std::vector<HeldNote> heldNotes(const std::vector<Delivery>& deliveries, int note);

// "qpc=<counter> data <hex bytes>" lines and one "frequency=<f>"; other lines are skipped.
bool parseDeliveries(const std::string& text, std::vector<Delivery>& out, int64_t& frequency);
// "stream frequency=.. frames=.. output_latency=.. rate=.." heads the "switch <called>
// <returned> <sample position> <recorded frame>" lines of one stream.
bool parseSwitches(const std::string& text, std::vector<Switch>& out, int64_t& frequency);

// Frames at which a sound starts: the first sample above `threshold` after at least
// `silence` samples at or below it (the recording's start counts as silence).
std::vector<size_t> findOnsets(const float* samples, size_t count, float threshold, size_t silence);

// The counter times of one recorded frame: when it leaves the driver's output buffer
// (the switch that took its block, plus the stated output latency and its place in the
// block) and when the program handed its block over. False if no switch holds it.
struct FrameTime {
  double leaves = 0.0;
  double blockEnd = 0.0;
  // `leaves` as if the switch had come exactly one block after the one before it: a
  // hardware driver's switches follow its sample clock, the virtual driver's follow the
  // wake-ups of its thread, and those wander. Unset (0) for a stream's first block and
  // after a switch more than one block late.
  double leavesOnSteadyClock = 0.0;
};
bool frameTime(const std::vector<Switch>& switches, uint64_t frame, int64_t frequency,
               FrameTime& out);

struct Summary {
  size_t count = 0;
  double mean = 0.0;
  double stddev = 0.0;  // the jitter
  double min = 0.0;
  double max = 0.0;
  double p99 = 0.0;
};
Summary summarize(std::vector<double> values);

// How long a released note's tail stays above the onset finder's threshold: the train
// leaves at least this much between a note-off and the next note-on.
constexpr int64_t kReleaseTailMs = 36;
// The test player delivers on a millisecond clock and may shorten a gap by this much.
constexpr int64_t kWanderMs = 2;

// Why a note of the train may have no onset. Each rule names a fact in the records that
// the program cannot have made; a missing note with none (Unexplained) fails the train.
// StreamJump leaves a note that was heard out of the full-duplex route's clock figure.
enum class Excuse { Unexplained, InTail, LostRing, StreamJump };
// "in_tail", "lost_ring", "stream_jump"; "none" for Unexplained.
const char* excuseName(Excuse excuse);
// How many notes of a train may be excused: 1.5 %, rounded up (3 of 200). Each excuse is
// a judgement from outside the program; more than a few would no longer measure it.
size_t excuseCap(size_t notes);

// A note of the train with no onset of its own, and the facts that excuse it, if any.
struct MissingNote {
  size_t note = 0;  // its place in the train, from 0
  int64_t delivered = 0;
  Excuse excuse = Excuse::Unexplained;
  std::string evidence;  // name=value pairs, times in ms from the note's delivery
};

// The verdict on a train: notes were delivered, the onsets pair with them in play order,
// every note without one is excused, and no more than excuseCap of them (`missing` holds
// also the notes heard but left out of a figure, each with its excuse).
bool trainPasses(size_t notes, bool inOrder, const std::vector<MissingNote>& missing);

// When the driver's block after `at` was due on its sample clock: one buffer after the
// scheduled time of the last switch called before `at`. A driver's switches are late,
// never early, on its clock (a wake-up that came late, a host that returned a block
// late), so a switch's scheduled time is the earliest that any switch before it in the
// stream projects, through their sample positions. Before the stream's first switch,
// that switch's call (no clock ran yet); HUGE_VAL when there is no switch at all.
double nextBlockDue(const std::vector<Switch>& switches, int64_t at, int64_t frequency);

struct Result {
  size_t notes = 0;    // note-ons of the train delivered
  size_t onsets = 0;   // onsets heard after the first of them
  size_t matched = 0;  // notes whose window (delivery to next delivery) holds one onset
  // Notes whose note-off came before the driver's next block was due on its sample clock
  // (nextBlockDue): Immediate timing cannot sound them, Steady timing can, when the
  // note-off falls inside the last block before that; a missing one is excused.
  size_t unplayable = 0;
  // Notes delivered sooner after the note-off before them than the train plans, by more
  // than the player's millisecond clock accounts for (kWanderMs): the delivery wandered,
  // and their onset may be lost in that note's release tail; a missing one is excused.
  size_t inTail = 0;
  // No window holds two onsets and every onset lies in a window.
  bool inOrder = false;
  std::vector<MissingNote> missing;
  std::vector<double> outputMs;       // delivery -> onset leaves the driver
  std::vector<double> programMs;      // delivery -> end of the block holding the onset
  std::vector<double> steadyClockMs;  // delivery -> leavesOnSteadyClock
};
// Pairs the note-ons of `note` with the onsets found in the recording.
Result analyse(const std::vector<Delivery>& deliveries, const std::vector<Switch>& switches,
               int64_t frequency, const std::vector<size_t>& onsetFrames, int note);

// An event list for the test MIDI input: a priming note (it takes the synth's start-up
// voice, which never falls silent by itself), then `count` notes of `note`, each held
// 10 to 24 ms, the next one 36 to 70 ms after its note-off, from a fixed seed.
std::string trainEvents(int count, uint32_t seed, int note);

}  // namespace midi_latency
