// Notes the window plays (its on-screen keyboard, the computer's keys) on their way
// into the rack: the window thread is the one producer, and whichever thread holds
// the rack's dispatch claim is the one consumer. Nothing allocates, locks or waits.
// The producer keeps the set of notes it holds on, and a note-on is taken only while
// the queue keeps room for a note-off of every held note besides its own, so a
// release always gets through: a full queue drops the newest note-on, never a
// note-off, and no key stays stuck.
#pragma once

#include <atomic>
#include <cstdint>

class WindowNoteQueue {
 public:
  // More than the 128 note-offs that may be owed, with room to play.
  static constexpr uint32_t kCapacity = 256;
  struct Message {
    int64_t stamp = 0;
    uint8_t bytes[3] = {};
  };

  // Producer: a note-on on `channel` (0-15) with velocity 1-127. False when it was
  // dropped for want of room.
  bool noteOn(int64_t stamp, uint8_t channel, uint8_t note, uint8_t velocity) {
    note &= 0x7F;
    const bool held = offStatus_[note] != 0;
    const uint32_t owed = static_cast<uint32_t>(heldCount_) + (held ? 0u : 1u);
    if (freeSlots() < owed + 1) return false;
    if (!held) {
      offStatus_[note] = static_cast<uint8_t>(0x80 | (channel & 0x0F));
      ++heldCount_;
    }
    put(stamp, static_cast<uint8_t>(0x90 | (channel & 0x0F)), note,
        static_cast<uint8_t>(velocity == 0 ? 1 : velocity & 0x7F));
    return true;
  }
  // Producer: ends a held note on the channel it began on; one not held is left
  // alone (nothing of ours sounds there). Always finds room.
  void noteOff(int64_t stamp, uint8_t note) {
    note &= 0x7F;
    if (offStatus_[note] == 0) return;
    put(stamp, offStatus_[note], note, 0);
    offStatus_[note] = 0;
    --heldCount_;
  }
  // Producer: whether a note-on of this note is still owed its note-off.
  bool isHeld(uint8_t note) const { return offStatus_[note & 0x7F] != 0; }
  int32_t heldCount() const { return heldCount_; }

  // Consumer: hands `take` every message stamped up to `until`, oldest first.
  template <class Take>
  void takeUpTo(int64_t until, Take&& take) {
    uint32_t head = head_.load(std::memory_order_relaxed);
    const uint32_t tail = tail_.load(std::memory_order_acquire);
    while (head != tail) {
      const Message& message = slots_[head % kCapacity];
      if (message.stamp > until) break;
      take(message);
      ++head;
      head_.store(head, std::memory_order_release);
    }
  }

 private:
  uint32_t freeSlots() const {
    return kCapacity -
           (tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire));
  }
  void put(int64_t stamp, uint8_t status, uint8_t data1, uint8_t data2) {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    Message& message = slots_[tail % kCapacity];
    message.stamp = stamp;
    message.bytes[0] = status;
    message.bytes[1] = data1;
    message.bytes[2] = data2;
    tail_.store(tail + 1, std::memory_order_release);
  }

  Message slots_[kCapacity];
  std::atomic<uint32_t> head_{0};
  std::atomic<uint32_t> tail_{0};
  // The producer's own: each held note's note-off status (its channel's), else 0.
  uint8_t offStatus_[128] = {};
  int32_t heldCount_ = 0;
};
