#include "midi/sysex_ring.h"

#include <cstring>
#include <new>

namespace {
constexpr uint8_t kSysexBegin = 0xF0;
constexpr uint8_t kSysexEnd = 0xF7;
}  // namespace

SysexChunkKind classifySysexChunk(const uint8_t* bytes, uint32_t recorded, uint32_t capacity) {
  if (recorded == 0 || recorded > capacity) return SysexAbort;
  const bool begins = bytes[0] == kSysexBegin;
  const bool ends = bytes[recorded - 1] == kSysexEnd;
  if (begins) return ends ? SysexWhole : SysexStart;
  return ends ? SysexEnd : SysexMiddle;
}

bool SysexRing::allocate(int32_t bytes) {
  release();
  if (bytes <= 0) return false;
  ring_ = new (std::nothrow) uint8_t[bytes];
  if (ring_ == nullptr) return false;
  size_ = bytes;
  return true;
}

void SysexRing::release() {
  delete[] ring_;
  ring_ = nullptr;
  size_ = 0;
  read_.store(0, std::memory_order_relaxed);
  committed_.store(0, std::memory_order_relaxed);
  write_.set(0);
  inSysex_.set(false);
}

void SysexRing::feed(const uint8_t* bytes, int32_t count, SysexChunkKind kind) {
  if (inSysex_.get()) {
    switch (kind) {
      case SysexAbort:
        inSysex_.set(false);
        write_.set(committed());
        break;
      case SysexMiddle:
        write_.set(append(bytes, count));
        break;
      case SysexStart:
        write_.set(committed());
        write_.set(append(bytes, count));
        break;
      case SysexEnd:
        inSysex_.set(false);
        write_.set(append(bytes, count));
        commit(write_.get());
        break;
      case SysexWhole:
        write_.set(committed());
        inSysex_.set(false);
        write_.set(append(bytes, count));
        commit(write_.get());
        break;
    }
    return;
  }
  if (kind == SysexStart) {
    inSysex_.set(true);
    write_.set(append(bytes, count));
  } else if (kind == SysexWhole) {
    write_.set(append(bytes, count));
    commit(write_.get());
  }
}

// Copies the chunk after the bytes received so far and answers the new write index;
// a chunk that would reach unread bytes drops the whole message instead.
int32_t SysexRing::append(const uint8_t* bytes, int32_t count) {
  if (ring_ == nullptr) {
    inSysex_.set(false);
    return committed();
  }
  const int32_t write = write_.get();
  const int32_t read = read_.load(std::memory_order_acquire);
  int32_t end = write + count;
  bool overflow;
  if (end < size_) {
    overflow = read > write && read <= end;
  } else {
    end -= size_;
    // A chunk as large as the ring can never fit beside the one byte kept free.
    overflow = count >= size_ || read > write || read <= end;
  }
  if (overflow) {
    inSysex_.set(false);
    return committed();
  }
  if (write + count <= size_) {
    std::memcpy(ring_ + write, bytes, static_cast<size_t>(count));
  } else {
    const int32_t tail = size_ - write;
    std::memcpy(ring_ + write, bytes, static_cast<size_t>(tail));
    std::memcpy(ring_, bytes + tail, static_cast<size_t>(end));
  }
  return end;
}

int32_t SysexRing::readByte() {
  if (ring_ == nullptr) return kNothingToRead;
  const int32_t read = read_.load(std::memory_order_relaxed);
  if (read == committed_.load(std::memory_order_acquire)) return kNothingToRead;
  const int32_t value = ring_[read];
  const int32_t next = read + 1 == size_ ? 0 : read + 1;
  read_.store(next, std::memory_order_release);
  return value;
}
