// Short MIDI messages with their arrival time on the performance counter, passed
// from the MIDI thread (one producer) to the audio thread (one consumer) without
// a lock or an allocation. A full queue keeps the newest: a message that arrives
// then takes the place of the oldest not yet taken, and the consumer counts what
// it lost. Every field is an atomic, so a slot overwritten while it is read is
// noticed (its sequence number changed) and never read torn.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/relaxed.h"

class StampedMidiQueue {
 public:
  static constexpr size_t kCapacity = 1024;
  // A message's bytes, as many as it has (at most three).
  struct Message {
    int64_t stamp = 0;
    uint8_t bytes[3] = {};
    int32_t count = 0;
  };

  // Producer: stores one message of 1 to 3 bytes (more are cut off).
  void push(int64_t stamp, const uint8_t* bytes, int32_t count);

  // Consumer: hands `take` every message stamped up to `until`, oldest first, and
  // removes it. Stops at the first newer one.
  template <class Take>
  void takeUpTo(int64_t until, Take&& take) {
    Message message;
    while (peek(message)) {
      if (message.stamp > until) return;
      ++head_;
      take(message);
    }
  }
  // Consumer: messages lost to a full queue so far. Any thread may read it.
  uint64_t dropped() const { return dropped_.get(); }
  // Only while neither side runs: empties the queue and the count.
  void clear();

 private:
  struct Slot {
    // The index of the message the slot holds; kWriting while it is being written.
    std::atomic<uint64_t> sequence{kEmpty};
    std::atomic<int64_t> stamp{0};
    std::atomic<uint32_t> packed{0};  // bytes 0-2, count in bits 24-31
  };
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static constexpr uint64_t kWriting = kEmpty - 1;

  // Reads the oldest message still there into `message` without taking it,
  // skipping (and counting) those the producer overwrote.
  bool peek(Message& message);

  Slot slots_[kCapacity];
  std::atomic<uint64_t> tail_{0};  // the producer's next index
  uint64_t head_ = 0;              // the consumer's next index
  Relaxed<uint64_t> dropped_;
};
