// The buffer switches of one stream, stamped with the performance counter: when the
// driver called the host, when the host returned, the switch's sample position and
// where its block begins in the recording. Kept in a preallocated table by the
// driver's thread and written out by the same thread between switches, so stamping
// costs a counter read and no file access.
#pragma once

#include <cstdint>
#include <string>

class SwitchStamps {
 public:
  // path empty: nothing is stamped.
  void setPath(const std::string& path) { path_ = path; }
  bool enabled() const { return !path_.empty(); }
  // A stream begins: its block size, its stated output latency and the counter's rate.
  void begin(int32_t frames, int32_t outputLatency, double sampleRate);
  void record(int64_t called, int64_t returned, uint64_t samplePosition, uint64_t recordedFrame) {
    if (count_ == kCapacity) {
      ++lost_;
      return;
    }
    stamps_[count_++] = {called, returned, samplePosition, recordedFrame};
  }
  // Appends the stamps taken so far to the file.
  void flush();

 private:
  struct Stamp {
    int64_t called;
    int64_t returned;
    uint64_t samplePosition;
    uint64_t recordedFrame;
  };
  // More than a second of switches at the smallest buffer; flushed every 100 ms.
  static constexpr int32_t kCapacity = 4096;

  void append(const std::string& text);

  std::string path_;
  Stamp stamps_[kCapacity];
  int32_t count_ = 0;
  int64_t lost_ = 0;
};
