#include "midi/sysex_ring.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> chunk(size_t size, bool begins, bool ends, uint8_t fill = 0x11) {
  std::vector<uint8_t> bytes(size, fill);
  if (begins) bytes.front() = 0xF0;
  if (ends) bytes.back() = 0xF7;
  return bytes;
}

void feed(SysexRing& ring, const std::vector<uint8_t>& bytes) {
  const auto n = static_cast<uint32_t>(bytes.size());
  ring.feed(bytes.data(), static_cast<int32_t>(n), classifySysexChunk(bytes.data(), n, 4096));
}

std::vector<uint8_t> readAll(SysexRing& ring) {
  std::vector<uint8_t> out;
  for (int32_t value = ring.readByte(); value >= 0; value = ring.readByte()) {
    out.push_back(static_cast<uint8_t>(value));
  }
  return out;
}

std::vector<uint8_t> concat(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::vector<uint8_t> out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

TEST(SysexChunk, ClassifiesByFirstAndLastByte) {
  const uint8_t whole[] = {0xF0, 0x01, 0xF7};
  const uint8_t start[] = {0xF0, 0x01, 0x02};
  const uint8_t end[] = {0x01, 0xF7};
  const uint8_t middle[] = {0x01, 0x02};
  EXPECT_EQ(classifySysexChunk(whole, 3, 4096), SysexWhole);
  EXPECT_EQ(classifySysexChunk(start, 3, 4096), SysexStart);
  EXPECT_EQ(classifySysexChunk(end, 2, 4096), SysexEnd);
  EXPECT_EQ(classifySysexChunk(middle, 2, 4096), SysexMiddle);
  // A driver claiming more than the buffer holds: nothing of it can be trusted.
  EXPECT_EQ(classifySysexChunk(whole, 4097, 4096), SysexAbort);
}

TEST(SysexRing, MessageReadableOnlyAfterItsEnd) {
  SysexRing ring;
  ASSERT_TRUE(ring.allocate(8192));
  const auto first = chunk(4096, true, false, 0x21);
  const auto last = chunk(200, false, true, 0x22);
  feed(ring, first);
  EXPECT_EQ(ring.readByte(), -1);
  EXPECT_TRUE(ring.assembling());
  feed(ring, last);
  EXPECT_FALSE(ring.assembling());
  EXPECT_EQ(readAll(ring), concat(first, last));
}

TEST(SysexRing, ChunksOutsideAMessageAreDroppedAndAStartRestarts) {
  SysexRing ring;
  ASSERT_TRUE(ring.allocate(8192));
  feed(ring, chunk(10, false, false));  // middle with nothing in progress
  feed(ring, chunk(10, false, true));   // end with nothing in progress
  EXPECT_EQ(ring.readByte(), -1);
  EXPECT_EQ(ring.writeIndex(), 0);

  feed(ring, chunk(30, true, false, 0x31));
  const auto restart = chunk(5, true, false, 0x32);
  const auto finish = chunk(4, false, true, 0x33);
  feed(ring, restart);
  feed(ring, finish);
  EXPECT_EQ(readAll(ring), concat(restart, finish));

  // A whole message in the middle of another replaces it.
  feed(ring, chunk(30, true, false, 0x34));
  const auto whole = chunk(6, true, true, 0x35);
  feed(ring, whole);
  EXPECT_EQ(readAll(ring), whole);
}

TEST(SysexRing, AbortDropsTheMessageInProgress) {
  SysexRing ring;
  ASSERT_TRUE(ring.allocate(8192));
  const auto kept = chunk(8, true, true, 0x41);
  feed(ring, kept);
  feed(ring, chunk(100, true, false));
  ring.feed(nullptr, 0, SysexAbort);
  feed(ring, chunk(10, false, true));  // its end arrives after the abort
  EXPECT_EQ(readAll(ring), kept);
  EXPECT_EQ(ring.writeIndex(), ring.committedIndex());
}

TEST(SysexRing, OverflowDropsTheWholeMessageAndKeepsEarlierOnes) {
  SysexRing ring;
  ASSERT_TRUE(ring.allocate(8192));
  const auto kept = chunk(4000, true, true, 0x51);
  feed(ring, kept);
  feed(ring, chunk(4096, true, false));
  feed(ring, chunk(200, false, false));  // would reach the unread message
  EXPECT_FALSE(ring.assembling());
  feed(ring, chunk(10, false, true));  // rest of the dropped message
  const auto next = chunk(12, true, true, 0x52);
  feed(ring, next);
  EXPECT_EQ(readAll(ring), concat(kept, next));
}

TEST(SysexRing, ExactlyFullLeavesOneByteFreeAndReadingWraps) {
  SysexRing ring;
  ASSERT_TRUE(ring.allocate(100));
  const auto first = chunk(60, true, true, 0x61);
  feed(ring, first);
  EXPECT_EQ(readAll(ring), first);  // read = committed = 60

  // 99 bytes fill every byte but one, wrapping past the end.
  const auto wrapping = chunk(99, true, true, 0x62);
  feed(ring, wrapping);
  EXPECT_EQ(ring.committedIndex(), 59);
  const auto oneMore = chunk(1, true, true);
  feed(ring, oneMore);  // would make the full ring look empty
  EXPECT_EQ(ring.committedIndex(), 59);
  EXPECT_EQ(readAll(ring), wrapping);
  EXPECT_EQ(ring.readIndex(), 59);
}

TEST(SysexRing, NoRingDropsEverything) {
  SysexRing ring;
  EXPECT_FALSE(ring.allocate(0));
  feed(ring, chunk(10, true, false));
  EXPECT_FALSE(ring.assembling());
  EXPECT_EQ(ring.readByte(), -1);
}

// The assembler against a plain model: a queue of complete messages, the message
// in progress, and a capacity of one byte less than the ring.
class AssemblerModel {
 public:
  explicit AssemblerModel(size_t ringSize) : capacity_(ringSize - 1) {}

  void feed(const std::vector<uint8_t>& bytes, SysexChunkKind kind) {
    const bool startsNew = kind == SysexStart || kind == SysexWhole;
    if (!assembling_ && !startsNew) return;
    if (kind == SysexAbort) {
      dropCurrent();
      return;
    }
    if (startsNew) current_.clear();
    if (unread_.size() + current_.size() + bytes.size() > capacity_) {
      dropCurrent();
      return;
    }
    current_.insert(current_.end(), bytes.begin(), bytes.end());
    assembling_ = true;
    if (kind == SysexEnd || kind == SysexWhole) {
      unread_.insert(unread_.end(), current_.begin(), current_.end());
      dropCurrent();
    }
  }
  int32_t read() {
    if (unread_.empty()) return -1;
    const int32_t value = unread_.front();
    unread_.pop_front();
    return value;
  }

 private:
  void dropCurrent() {
    current_.clear();
    assembling_ = false;
  }
  size_t capacity_;
  bool assembling_ = false;
  std::vector<uint8_t> current_;
  std::deque<uint8_t> unread_;
};

TEST(SysexRing, RandomChunkSequencesMatchTheModel) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const int32_t ringSize = 8192 + static_cast<int32_t>(random() % 4000);
    SysexRing ring;
    ASSERT_TRUE(ring.allocate(ringSize));
    AssemblerModel model(static_cast<size_t>(ringSize));
    uint8_t counter = 0;
    for (int step = 0; step < 3000; ++step) {
      const uint32_t action = random() % 10;
      if (action < 6) {
        const size_t size = 1 + random() % (random() % 4 == 0 ? 4096 : 300);
        std::vector<uint8_t> bytes(size);
        for (auto& byte : bytes) byte = static_cast<uint8_t>(++counter & 0x7F);
        if (random() % 2) bytes.front() = 0xF0;
        if (random() % 2) bytes.back() = 0xF7;
        const auto n = static_cast<uint32_t>(size);
        const SysexChunkKind kind = classifySysexChunk(bytes.data(), n, 4096);
        ring.feed(bytes.data(), static_cast<int32_t>(n), kind);
        model.feed(bytes, kind);
      } else if (action < 7) {
        ring.feed(nullptr, 0, SysexAbort);
        model.feed({}, SysexAbort);
      } else {
        const int reads = static_cast<int>(random() % 3000);
        for (int r = 0; r < reads; ++r) {
          const int32_t expected = model.read();
          ASSERT_EQ(ring.readByte(), expected) << "step " << step;
          if (expected < 0) break;
        }
      }
    }
    for (int32_t expected = model.read(); expected >= 0; expected = model.read()) {
      ASSERT_EQ(ring.readByte(), expected);
    }
    EXPECT_EQ(ring.readByte(), -1);
  }
}

}  // namespace
