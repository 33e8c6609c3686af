// The rack: 16 synth slots rendered and mixed once per audio block, fed by raw MIDI.
// Three threads enter it without locks: audio (render), MIDI input (processMidi) and
// the window (everything else). A slot is reached by render and processMidi only
// while it is active, and it is activated only after its synth is complete.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/function_ref.h"
#include "common/midi_delivery.h"
#include "common/record_ring.h"
#include "common/relaxed.h"
#include "platform/platform.h"
#include "synth/peak_meter.h"
#include "synth/stamped_midi_queue.h"
#include "synth/synth.h"
#include "synth/window_note_queue.h"

// What the rack needs of a MIDI port: its short-message send, and nothing else.
// Keeps the synthesizer engine free of the MIDI port's type and platform calls.
using MidiShortSender = FunctionRef<bool(uint8_t status, uint8_t data1, uint8_t data2)>;

// When incoming MIDI reaches the sound. Immediate: each message is dispatched as
// it arrives and is heard from the next block, wherever in a block it came.
// Steady: each message is stamped on arrival and queued; the audio thread places
// it at the same distance into the block after next as it arrived into the
// block before, so every message is one block late and none wanders.
enum class MidiTiming { kImmediate, kSteady };

class SynthRack {
 public:
  // Results of open and createSynth (which answers the parameter count on success).
  static constexpr int32_t kOk = 0;
  static constexpr int32_t kFailed = -1;
  // The channel of a slot that listens to none.
  static constexpr int32_t kNoChannel = -1;
  static constexpr int32_t kSlotCount = 16;
  static constexpr int32_t kMaxPolyphony = 128;

  // Voice-table entry layout: note in bits 0-6, held, sustained, voice number from bit 9.
  static constexpr uint32_t kNoteMask = 0x7F;
  static constexpr uint32_t kHeld = 0x80;
  static constexpr uint32_t kSustained = 0x100;
  static constexpr int kVoiceShift = 9;

  SynthRack() = default;
  ~SynthRack() { close(); }
  SynthRack(const SynthRack&) = delete;
  SynthRack& operator=(const SynthRack&) = delete;

  // Attaches the MIDI port (any type with sendShort) and starts the periodic timer.
  template <class Port>
  int32_t open(Port* midiPort, uint32_t timerPeriodMs) {
    return openWith(MidiShortSender::bind<&Port::sendShort>(midiPort), timerPeriodMs);
  }
  int32_t open(std::nullptr_t, uint32_t timerPeriodMs) {
    return openWith(MidiShortSender{}, timerPeriodMs);
  }
  void close();
  static void CALLBACK timerTick(UINT timerId, UINT message, DWORD_PTR user, DWORD_PTR reserved1,
                                 DWORD_PTR reserved2);

  int32_t createSynth(int32_t slot, int32_t channel, int32_t polyphony, bool pedalInverted);
  void removeSynth(int32_t slot);
  bool activate(int32_t slot);
  void deactivate(int32_t slot);
  void resetSlot(int32_t slot);
  void setParameter(int32_t slot, int32_t index, float value);
  float getParameter(int32_t slot, int32_t index) const;

  void render(float* out, const float* in, int32_t outChannels, int32_t inChannels, int32_t frames,
              float sampleRate);
  // The same for an engine that knows when its block began (the performance
  // counter at its callback). In steady timing the queued messages stamped up to
  // `blockStartTicks` are dispatched first, each where it falls in the block,
  // the render split at those frames; in immediate timing it is render.
  void render(float* out, const float* in, int32_t outChannels, int32_t inChannels, int32_t frames,
              float sampleRate, int64_t blockStartTicks);
  // `count` kMidiResetRequest (no bytes) silences every active slot (in steady
  // timing at the next block, after the messages that came before it).
  void processMidi(const uint8_t* bytes, int32_t count);
  // Window thread, while neither MIDI input nor audio runs: whichever thread
  // dispatches must not change while messages flow. Dispatches what is still
  // queued (and a reset asked for meanwhile) first.
  void setMidiTiming(MidiTiming timing);
  MidiTiming midiTiming() const {
    return steady_.get() ? MidiTiming::kSteady : MidiTiming::kImmediate;
  }
  // Window thread, on its timer, in steady timing: dispatches the queued messages
  // no block has taken for kStaleMidiMs (and a reset asked for before them). While
  // no engine renders (the route lost or closed) nothing else would: the queue
  // would overflow and lose the oldest, a held note's note-off among them. While
  // blocks come, they have taken every message long before it is that old.
  void dispatchStaleMidi();
  static constexpr int64_t kStaleMidiMs = 200;
  // Messages lost to a full steady-timing queue since the timing was set.
  uint64_t droppedMidiMessages() const { return queue_.dropped(); }
  bool takeMidiActivity();
  // Window thread: a note of the window's own keyboard for `slot`'s channel, velocity
  // 0 ending it. It takes the MIDI road: the next block dispatches it before the
  // MIDI it dispatches itself (in either timing), or dispatchStaleMidi when no block
  // comes. False when a note-on finds the queue full (it is dropped); a note-off is
  // always delivered, and one for a note the window does not hold is ignored.
  bool playWindowNote(int32_t slot, int32_t note, int32_t velocity);
  // Any thread: whether `note` sounds (held or sustained) in slot kNoteStateSlot, as
  // its dispatching thread last left it. Read-only for the window, one block late at
  // worst.
  static constexpr int32_t kNoteStateSlot = 0;
  bool isNoteSounding(int32_t note) const {
    return note >= 0 && note < 128 &&
           (noteState_[note >> 5].load(std::memory_order_relaxed) >> (note & 31) & 1u) != 0;
  }
  // The largest output magnitude rendered since the previous call.
  float takeOutputPeak() { return outputPeak_.take(); }
  bool sendMidi(uint8_t status, uint8_t data1, uint8_t data2);
  // Window thread: every block rendered from now on, as clipped for the output, is also
  // put in `ring` (nullptr: in none). Clearing returns once no block is inside the old
  // ring, which may then be freed: at most the one push under way is waited for.
  void setRecordTap(RecordRing* ring);

  // Read access for observers and tests.
  const Synth* synthAt(int32_t slot) const { return inRange(slot) ? synth_[slot].get() : nullptr; }
  bool isActive(int32_t slot) const {
    return inRange(slot) && active_[slot].load(std::memory_order_acquire);
  }
  int32_t polyphonyOf(int32_t slot) const { return inRange(slot) ? polyphony_[slot] : 0; }
  int32_t channelOf(int32_t slot) const { return inRange(slot) ? channel_[slot] : kNoChannel; }
  bool isSustainDown(int32_t slot) const { return inRange(slot) && sustain_[slot]; }
  uint32_t voiceEntry(int32_t slot, int32_t index) const { return voiceTable_[slot][index]; }
  int32_t lastActiveEntry(int32_t slot) const;
  bool hasMidiPort() const { return midiPort_.bound(); }
  UINT timerId() const { return timerId_; }

 private:
  static bool inRange(int32_t slot) { return slot >= 0 && slot < kSlotCount; }
  static bool isEntryActive(uint32_t entry) { return (entry & (kHeld | kSustained)) != 0; }
  static int32_t voiceOf(uint32_t entry) {
    return static_cast<int32_t>((entry >> kVoiceShift) & 0x7F);
  }

  int32_t openWith(MidiShortSender midiPort, uint32_t timerPeriodMs);
  void writeInitialVoiceTable(int32_t slot);

  // MIDI dispatch (midi_dispatch.cpp).
  void dispatchBytes(const uint8_t* bytes, int32_t count);
  void resetActiveSlots();
  void dispatchChannelMessage(uint8_t status, uint8_t data1, uint8_t data2);
  void controlChange(int32_t channel, uint8_t controller, uint8_t value);
  bool isTarget(int32_t slot, int32_t channel) const;
  void noteOn(int32_t slot, int32_t note, int32_t velocity);
  void noteOff(int32_t slot, int32_t note);
  void keyPressure(int32_t slot, int32_t note, float value);
  void allNotesOff(int32_t slot, bool respectPedal);
  void releaseSustained(int32_t slot);

  // Rendering (synth_rack.cpp, steady_midi.cpp).
  void renderSpan(float* out, const float* in, int32_t outChannels, int32_t inChannels,
                  int32_t first, int32_t end, int32_t frames, float sampleRate);
  void clipAndMeasure(float* out, int64_t samples);
  // Audio thread: the finished block to the recording, if one is tapping.
  void tapBlock(const float* out, int32_t outChannels, int32_t frames, float sampleRate);
  void queueMessages(const uint8_t* bytes, int32_t count);
  int64_t steadyWindowStart(int64_t blockStartTicks, int32_t frames, float sampleRate) const;
  // The queue's one consumer at a time: the audio thread for each block, the window
  // thread for stale messages, and in immediate timing the MIDI thread for each
  // message. None waits for another: a block that finds the queue taken renders
  // without messages, which keep for the next block; a MIDI message that finds it
  // taken is queued for whoever dispatches next. The window's notes and the voice
  // table are dispatched under the same claim, so they have one writer at a time.
  bool claimQueue() { return !queueClaimed_.exchange(true, std::memory_order_acquire); }
  void releaseQueue() { queueClaimed_.store(false, std::memory_order_release); }
  // A reset asked for up to `until` follows the messages that came before it.
  template <class Dispatch>
  void takeReset(int64_t until, Dispatch&& dispatch);
  static int64_t counterNow();
  // Holder of the claim: the window's notes up to `until`, and in immediate timing
  // the MIDI messages queued while the claim was held elsewhere.
  void takeWindowNotes(int64_t until);
  void takeDeferredMidi(int64_t until);
  // The dispatching thread, after the voice table of kNoteStateSlot changed.
  void publishNoteState();

  MidiShortSender midiPort_;
  UINT timerId_ = 0;
  std::atomic<bool> midiActivity_{false};
  std::unique_ptr<Synth> synth_[kSlotCount];
  int32_t polyphony_[kSlotCount] = {};
  int32_t channel_[kSlotCount] = {};
  // Release on activate, acquire on use: seeing a slot active means seeing its synth.
  std::atomic<bool> active_[kSlotCount] = {};
  bool sustain_[kSlotCount] = {};
  bool pedalInverted_[kSlotCount] = {};
  uint32_t voiceTable_[kSlotCount][kMaxPolyphony] = {};
  PeakMeter outputPeak_;
  // The recording's ring, and the blocks inside it now (for the window to wait on when
  // it clears the tap).
  std::atomic<RecordRing*> recordTap_{nullptr};
  std::atomic<int32_t> tapUsers_{0};

  // Steady timing. The queue and the reset request are filled by the MIDI side;
  // the rest belongs to whichever thread holds the queue's claim (the audio
  // thread, or the window while no block takes it), hadBlock_ and
  // previousBlockStart_ to the audio thread alone.
  Relaxed<bool> steady_;
  StampedMidiQueue queue_;
  std::atomic<bool> queueClaimed_{false};
  std::atomic<uint32_t> resetRequests_{0};
  Relaxed<int64_t> resetStamp_;
  uint32_t resetsTaken_ = 0;
  int64_t previousBlockStart_ = 0;
  bool hadBlock_ = false;
  int64_t ticksPerSecond_ = 0;

  WindowNoteQueue windowNotes_;
  std::atomic<uint32_t> noteState_[4] = {};
};
