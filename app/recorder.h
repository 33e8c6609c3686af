// One recording: the ring the audio thread fills through the rack's tap, and a writer
// thread (normal priority) that empties it into a WAV file every 50 ms and rewrites
// the file's header at least twice a second. The window starts it, sets and clears
// the tap, tells it about gaps in the sound, and asks it to stop; the writer then
// takes what is left in the ring, writes the final header and ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/wav_writer.h"
#include "common/record_ring.h"
#include "common/relaxed.h"
#include "platform/platform.h"

class Recorder {
 public:
  enum class Start { kStarted, kNoFile, kNoMemory, kNoThread };
  // How much the ring holds: a disk that stalls for this long loses nothing.
  static constexpr int32_t kRingSeconds = 2;
  static constexpr DWORD kDrainPeriodMs = 50;
  static constexpr DWORD kHeaderPeriodMs = 500;

  Recorder() = default;
  // Waits for the writer: the window destroys only a recorder whose writer has ended,
  // or one it was just told to stop (it drains a ring of at most kRingSeconds).
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  Start start(const std::wstring& path, WavSampleFormat format, int32_t sampleRate,
              int32_t channels);
  // What the rack's tap is set to while recording.
  RecordRing* ring() { return &ring_; }
  // Window thread, after the tap is cleared.
  void requestStop();
  // True once the writer has ended (at once when none was started).
  bool waitEnded(DWORD milliseconds) const;

  // Stretches the window saw without sound (the route lost), and the time missing from
  // the recording; not filled with silence, only counted.
  void setGaps(int32_t count, int64_t missingMs) {
    gaps_.set(count);
    missingMs_.set(missingMs);
  }

  // Read by the window at any time.
  int64_t framesWritten() const { return framesWritten_.get(); }
  // A write failed: the file holds what was written before, and the writer has ended.
  bool failed() const { return failed_.get(); }
  int64_t lostFrames() const { return ring_.lostFrames(); }
  int64_t foreignFrames() const { return ring_.foreignFrames(); }
  // The format the rack rendered in last, when it was not the file's.
  int32_t foreignChannels() const { return ring_.foreignChannels(); }
  int32_t foreignRate() const { return ring_.foreignRate(); }
  int64_t highWaterFrames() const { return ring_.highWaterFrames(); }
  int64_t framesDelivered() const { return ring_.framesDelivered(); }
  int32_t sampleRate() const { return ring_.sampleRate(); }
  int32_t channels() const { return ring_.channels(); }
  int32_t gaps() const { return gaps_.get(); }
  int64_t missingMs() const { return missingMs_.get(); }
  // The text the file's INFO note holds now.
  std::string note() const;

 private:
  static DWORD WINAPI writerMain(LPVOID self);
  void write();
  // Everything in the ring to the file; false on a write failure.
  bool drain();

  RecordRing ring_;
  WavWriter writer_;
  std::unique_ptr<float[]> chunk_;
  HANDLE stop_ = nullptr;
  HANDLE thread_ = nullptr;
  Relaxed<int64_t> framesWritten_;
  Relaxed<bool> failed_;
  Relaxed<int32_t> gaps_;
  Relaxed<int64_t> missingMs_;
};
