// Recording to a WAV file: the file is a valid WAV file after every header update, in
// both formats, a full disk keeps what was written, and frames the ring could not hold
// are counted in the file's own note.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/recorder.h"
#include "app/wav_writer.h"

namespace fs = std::filesystem;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

// What a reader finds in the file, walking its chunks as any WAV reader does.
struct Wav {
  bool valid = false;
  uint16_t tag = 0, channels = 0, bits = 0, blockAlign = 0;
  uint32_t rate = 0, byteRate = 0, factFrames = 0, dataBytes = 0;
  size_t dataAt = 0;
  std::string note;
  std::vector<uint8_t> bytes;
};

Wav readWav(const fs::path& path) {
  Wav w;
  std::ifstream in(path, std::ios::binary);
  w.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const auto& b = w.bytes;
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
      std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
    return w;
  }
  const size_t end = 8 + size_t{le32(b, 4)};
  if (end > b.size() + 1) return w;  // names more than the file holds (a pad byte may be due)
  for (size_t at = 12; at + 8 <= end;) {
    const std::string id(b.begin() + static_cast<ptrdiff_t>(at),
                         b.begin() + static_cast<ptrdiff_t>(at + 4));
    const uint32_t size = le32(b, at + 4);
    const size_t body = at + 8;
    if (body + size > b.size()) return w;
    if (id == "fmt ") {
      w.tag = le16(b, body);
      w.channels = le16(b, body + 2);
      w.rate = le32(b, body + 4);
      w.byteRate = le32(b, body + 8);
      w.blockAlign = le16(b, body + 12);
      w.bits = le16(b, body + 14);
    } else if (id == "fact") {
      w.factFrames = le32(b, body);
    } else if (id == "LIST" && std::memcmp(b.data() + body, "INFO", 4) == 0 &&
               std::memcmp(b.data() + body + 4, "ICMT", 4) == 0) {
      w.note = reinterpret_cast<const char*>(b.data() + body + 12);
    } else if (id == "data") {
      w.dataAt = body;
      w.dataBytes = size;
      w.valid = w.blockAlign != 0 && size % w.blockAlign == 0 && body + size + (size & 1) == end;
      return w;
    }
    at = body + size + (size & 1);
  }
  return w;
}

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tonbrik_rec_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(Recording, FloatFileIsValidAfterEveryHeaderUpdateAndHoldsTheSamplesExactly) {
  WavWriter first;
  ASSERT_TRUE(first.create((dir_ / "f.wav").wstring(), WavSampleFormat::kFloat32, 48000, 2));
  WavWriter second;
  EXPECT_FALSE(second.create((dir_ / "f.wav").wstring(), WavSampleFormat::kFloat32, 48000, 2))
      << "an existing file is never written over";
  Wav empty = readWav(dir_ / "f.wav");
  EXPECT_TRUE(empty.valid);
  EXPECT_EQ(empty.dataBytes, 0u);

  std::vector<float> frames;
  for (int i = 0; i < 2 * 300; ++i) frames.push_back(static_cast<float>(i) / 601.0f - 0.5f);
  ASSERT_TRUE(first.append(frames.data(), 100));
  ASSERT_TRUE(first.updateHeader("lost 0"));
  Wav mid = readWav(dir_ / "f.wav");
  EXPECT_TRUE(mid.valid);
  EXPECT_EQ(mid.dataBytes, 800u);
  EXPECT_EQ(mid.factFrames, 100u);
  EXPECT_EQ(mid.note, "lost 0");
  ASSERT_TRUE(first.append(frames.data() + 200, 200));
  // Written but not yet in the header: a reader sees the frames up to the last update.
  EXPECT_TRUE(readWav(dir_ / "f.wav").valid);
  EXPECT_EQ(readWav(dir_ / "f.wav").dataBytes, 800u);
  ASSERT_TRUE(first.finish("the end"));

  const Wav w = readWav(dir_ / "f.wav");
  ASSERT_TRUE(w.valid);
  EXPECT_EQ(w.tag, 3);  // IEEE float
  EXPECT_EQ(w.channels, 2);
  EXPECT_EQ(w.rate, 48000u);
  EXPECT_EQ(w.bits, 32);
  EXPECT_EQ(w.blockAlign, 8);
  EXPECT_EQ(w.byteRate, 384000u);
  EXPECT_EQ(w.factFrames, 300u);
  EXPECT_EQ(w.note, "the end");
  EXPECT_EQ(w.dataAt, WavWriter::dataOffset(WavSampleFormat::kFloat32));
  ASSERT_EQ(w.dataBytes, 2400u);
  EXPECT_EQ(std::memcmp(w.bytes.data() + w.dataAt, frames.data(), 2400), 0);
}

TEST_F(Recording, Pcm24FileRoundsFullScaleAndEvensAnOddDataChunk) {
  const fs::path path = dir_ / "pcm.wav";
  WavWriter writer;
  ASSERT_TRUE(writer.create(path.wstring(), WavSampleFormat::kPcm24, 44100, 1));
  const std::vector<float> frames = {1.0f, -1.0f, 0.5f, 2.0f, -0.25f};
  ASSERT_TRUE(writer.append(frames.data(), 5));
  ASSERT_TRUE(writer.finish("n"));
  const Wav w = readWav(path);
  ASSERT_TRUE(w.valid);
  EXPECT_EQ(w.tag, 1);
  EXPECT_EQ(w.bits, 24);
  EXPECT_EQ(w.blockAlign, 3);
  EXPECT_EQ(w.byteRate, 132300u);
  ASSERT_EQ(w.dataBytes, 15u);
  EXPECT_EQ(w.bytes.size(), w.dataAt + 16) << "a pad byte follows an odd data chunk";
  const std::vector<int32_t> expected = {8388607, -8388607, 4194304, 8388607, -2097152};
  for (size_t i = 0; i < expected.size(); ++i) {
    const size_t at = w.dataAt + 3 * i;
    const int32_t v =
        static_cast<int32_t>(
            (w.bytes[at] | (w.bytes[at + 1] << 8) | (static_cast<uint32_t>(w.bytes[at + 2]) << 16))
            << 8) >>
        8;
    EXPECT_EQ(v, expected[i]) << i;
  }
}

TEST_F(Recording, AFullDiskEndsTheFileWithTheFramesWrittenWhole) {
  const fs::path path = dir_ / "full.wav";
  WavWriter writer;
  ASSERT_TRUE(writer.create(path.wstring(), WavSampleFormat::kFloat32, 48000, 2));
  const std::vector<float> frames(2 * 1000, 0.25f);
  ASSERT_TRUE(writer.append(frames.data(), 100));

  // The disk fills in the middle of the next write.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = WavWriter::dataOffset(WavSampleFormat::kFloat32) + 800 + 1000;
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool appended = writer.append(frames.data(), 1000);
  const bool later = writer.append(frames.data(), 1);
  const bool finished = writer.finish("full");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(appended);
  EXPECT_FALSE(later);
  EXPECT_FALSE(finished) << "a recording cut short is not reported as complete";
  EXPECT_TRUE(writer.failed());
  const Wav w = readWav(path);
  EXPECT_TRUE(w.valid);
  EXPECT_EQ(w.dataBytes, 800u);
  EXPECT_EQ(w.factFrames, 100u);
  EXPECT_EQ(w.note, "full");
}

TEST_F(Recording, FramesTheRingCouldNotHoldAreCountedInTheFilesNote) {
  const fs::path path = dir_ / "lost.wav";
  int64_t pushed = 0;
  int64_t lost = 0;
  {
    Recorder recorder;
    ASSERT_EQ(recorder.start(path.wstring(), WavSampleFormat::kFloat32, 8000, 1),
              Recorder::Start::kStarted);
    // Faster than any writer: blocks until the ring has had to leave some out.
    const std::vector<float> block(80, 0.5f);
    while (recorder.lostFrames() == 0 && pushed < 8000 * 100) {
      recorder.ring()->push(block.data(), 1, 80, 8000.0f);
      pushed += 80;
    }
    recorder.setGaps(2, 1500);
    recorder.requestStop();
    ASSERT_TRUE(recorder.waitEnded(5000));
    EXPECT_FALSE(recorder.failed());
    lost = recorder.lostFrames();
    EXPECT_EQ(recorder.framesWritten() + lost, pushed);
  }
  ASSERT_GT(lost, 0);
  const Wav w = readWav(path);
  ASSERT_TRUE(w.valid);
  EXPECT_EQ(int64_t{w.dataBytes} / 4 + lost, pushed);
  EXPECT_NE(w.note.find("Lost frames (ring full): " + std::to_string(lost) + "."),
            std::string::npos)
      << w.note;
  EXPECT_NE(w.note.find("Gaps without sound: 2, 1.5 s missing"), std::string::npos) << w.note;
}

}  // namespace
