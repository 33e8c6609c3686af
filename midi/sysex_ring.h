// Assembles received system-exclusive chunks into complete messages in a ring
// that a reader takes apart byte by byte. One producer (the input callback) feeds
// chunks; one consumer reads. Only complete messages, F0 through F7, become readable:
// the committed index moves past a message only after its bytes are in the ring.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/relaxed.h"

// How one received buffer relates to the message being assembled.
enum SysexChunkKind : int32_t {
  SysexAbort = -1,  // carries no usable data: drop the message in progress
  SysexMiddle = 0,
  SysexStart = 1,
  SysexEnd = 2,
  SysexWhole = 3,
};

// Classifies `recorded` received bytes of a buffer of `capacity` bytes (recorded > 0).
// A driver that claims more bytes than the buffer holds gets SysexAbort.
SysexChunkKind classifySysexChunk(const uint8_t* bytes, uint32_t recorded, uint32_t capacity);

class SysexRing {
 public:
  // What readByte answers when no complete message is waiting.
  static constexpr int32_t kNothingToRead = -1;

  SysexRing() = default;
  ~SysexRing() { release(); }
  SysexRing(const SysexRing&) = delete;
  SysexRing& operator=(const SysexRing&) = delete;

  // Allocates `bytes` bytes, emptied; false (and no ring) when allocation fails.
  bool allocate(int32_t bytes);
  void release();

  // Producer side.
  void feed(const uint8_t* bytes, int32_t count, SysexChunkKind kind);
  // Consumer side: the next byte of a complete message, or kNothingToRead.
  int32_t readByte();

  bool present() const { return ring_ != nullptr; }
  int32_t size() const { return size_; }
  bool assembling() const { return inSysex_.get(); }
  int32_t readIndex() const { return read_.load(std::memory_order_relaxed); }
  int32_t committedIndex() const { return committed_.load(std::memory_order_relaxed); }
  int32_t writeIndex() const { return write_.get(); }

 private:
  int32_t append(const uint8_t* bytes, int32_t count);
  int32_t committed() const { return committed_.load(std::memory_order_relaxed); }
  void commit(int32_t index) { committed_.store(index, std::memory_order_release); }

  uint8_t* ring_ = nullptr;
  int32_t size_ = 0;
  // Written by the consumer only; released so that the producer overwrites a byte
  // only after the consumer has taken it.
  std::atomic<int32_t> read_{0};
  // Written by the producer only; released so that a reader that sees it sees the bytes.
  std::atomic<int32_t> committed_{0};
  Relaxed<int32_t> write_{0};
  Relaxed<bool> inSysex_{false};
};
