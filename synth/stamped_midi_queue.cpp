#include "synth/stamped_midi_queue.h"

void StampedMidiQueue::push(int64_t stamp, const uint8_t* bytes, int32_t count) {
  const uint64_t index = tail_.load(std::memory_order_relaxed);
  Slot& slot = slots_[index % kCapacity];
  uint32_t packed = 0;
  if (count > 3) count = 3;
  if (count < 0) count = 0;
  for (int32_t i = 0; i < count; ++i) packed |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  packed |= static_cast<uint32_t>(count) << 24;
  // Marked first, so a consumer reading the slot's old message meanwhile sees
  // that it changed under it: each field is released after the mark, so whoever
  // reads a new field also sees the mark (no fence, which ThreadSanitizer cannot
  // follow).
  slot.sequence.store(kWriting, std::memory_order_relaxed);
  slot.stamp.store(stamp, std::memory_order_release);
  slot.packed.store(packed, std::memory_order_release);
  slot.sequence.store(index, std::memory_order_release);
  tail_.store(index + 1, std::memory_order_release);
}

bool StampedMidiQueue::peek(Message& message) {
  for (;;) {
    const uint64_t tail = tail_.load(std::memory_order_acquire);
    if (tail - head_ > kCapacity) {
      // The producer went round: the oldest messages are gone.
      dropped_.set(dropped_.get() + (tail - kCapacity - head_));
      head_ = tail - kCapacity;
    }
    if (head_ == tail) return false;
    const Slot& slot = slots_[head_ % kCapacity];
    const uint64_t before = slot.sequence.load(std::memory_order_acquire);
    // Acquired, so the second look at the sequence cannot come before them.
    const int64_t stamp = slot.stamp.load(std::memory_order_acquire);
    const uint32_t packed = slot.packed.load(std::memory_order_acquire);
    const uint64_t after = slot.sequence.load(std::memory_order_relaxed);
    if (before == head_ && after == head_) {
      message.stamp = stamp;
      message.count = static_cast<int32_t>(packed >> 24);
      for (int i = 0; i < 3; ++i) message.bytes[i] = static_cast<uint8_t>(packed >> (8 * i));
      return true;
    }
    // Overwritten while it was read: lost like the others the producer passed.
    dropped_.set(dropped_.get() + 1);
    ++head_;
  }
}

void StampedMidiQueue::clear() {
  for (Slot& slot : slots_) slot.sequence.store(kEmpty, std::memory_order_relaxed);
  tail_.store(0, std::memory_order_relaxed);
  head_ = 0;
  dropped_.set(0);
}
