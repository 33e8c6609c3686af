#include "app/sound_file.h"

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

constexpr int32_t kCount = 256;

class SoundFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tonbrik_sound_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const char* name) const { return (dir_ / name).string(); }
  std::wstring wide(const char* name) const { return (dir_ / name).wstring(); }

  static void writeBytes(const std::string& p, const std::vector<uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<uint8_t> readBytes(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  size_t entriesInDir() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }

  fs::path dir_;
};

uint32_t bitsOf(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

float floatOf(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

constexpr uint32_t kExponentBits = 0x7F800000;

// Parameters with every kind of finite value a synth may hold, including ones
// no slider produces: out of 0..1, negative zero, the extremes, denormals.
std::vector<float> awkwardParameters(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<float> p(kCount);
  for (auto& v : p) {
    uint32_t bits = static_cast<uint32_t>(rng());
    if ((bits & kExponentBits) == kExponentBits) bits ^= 0x00800000;  // keep it finite
    v = floatOf(bits);
  }
  p[0] = 1.0f;
  p[1] = -0.0f;
  p[2] = 1e30f;
  p[3] = floatOf(0xFF7FFFFF);  // lowest float
  p[4] = floatOf(0x80000001);  // negative denormal
  p[5] = floatOf(0x00000001);  // smallest denormal
  return p;
}

TEST(SoundFileBytes, LittleEndianFloatsWithoutHeader) {
  std::vector<float> p(kCount, 0.0f);
  p[0] = 1.0f;
  p[255] = -2.5f;
  const auto bytes = encodeSoundParameters(p.data(), kCount);
  ASSERT_EQ(bytes.size(), 1024u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4),
            (std::vector<uint8_t>{0x00, 0x00, 0x80, 0x3F}));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 1020, bytes.end()),
            (std::vector<uint8_t>{0x00, 0x00, 0x20, 0xC0}));
}

TEST(SoundFileBytes, ShortInputLeavesParametersAlone) {
  std::vector<uint8_t> bytes(1000, 0x11);
  std::vector<float> p(kCount, 0.75f);
  EXPECT_FALSE(decodeSoundParameters(bytes.data(), bytes.size(), p.data(), kCount));
  for (float v : p) ASSERT_EQ(v, 0.75f);
}

TEST_F(SoundFileTest, SaveThenLoadRestoresEveryBit) {
  const uint32_t seed = 20261207;
  const auto saved = awkwardParameters(seed);
  ASSERT_EQ(saveSoundFile(wide("a.tbk"), saved.data(), kCount), SoundSaveResult::kSaved);
  EXPECT_EQ(fs::file_size(path("a.tbk")), 1024u);
  EXPECT_EQ(entriesInDir(), 1u) << "no temporary file may stay behind";

  std::vector<float> loaded;
  ASSERT_EQ(loadSoundFile(wide("a.tbk"), kCount, loaded), SoundLoadResult::kLoaded);
  ASSERT_EQ(loaded.size(), saved.size());
  for (int32_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(bitsOf(loaded[i]), bitsOf(saved[i])) << "parameter " << i << ", seed " << seed;
  }
}

TEST_F(SoundFileTest, LoadTakesTheFileByItsLength) {
  writeBytes(path("zero.tbk"), std::vector<uint8_t>(1024, 0));
  std::vector<float> loaded;
  ASSERT_EQ(loadSoundFile(wide("zero.tbk"), kCount, loaded), SoundLoadResult::kLoaded);
  for (float v : loaded) ASSERT_EQ(bitsOf(v), 0u);

  // A longer file gives its first 1024 bytes.
  auto longer = encodeSoundParameters(awkwardParameters(7).data(), kCount);
  const auto first = longer;
  longer.resize(2048, 0xAB);
  writeBytes(path("long.tbk"), longer);
  ASSERT_EQ(loadSoundFile(wide("long.tbk"), kCount, loaded), SoundLoadResult::kLoaded);
  EXPECT_EQ(encodeSoundParameters(loaded.data(), kCount), first);

  // A shorter one is a mismatch and hands back nothing to apply.
  writeBytes(path("short.tbk"), std::vector<uint8_t>(1000, 0));
  EXPECT_EQ(loadSoundFile(wide("short.tbk"), kCount, loaded), SoundLoadResult::kMismatch);
  EXPECT_TRUE(loaded.empty());
  writeBytes(path("empty.tbk"), {});
  EXPECT_EQ(loadSoundFile(wide("empty.tbk"), kCount, loaded), SoundLoadResult::kMismatch);

  EXPECT_EQ(loadSoundFile(wide("missing.tbk"), kCount, loaded), SoundLoadResult::kNotFound);
  EXPECT_STREQ(soundLoadMessage(SoundLoadResult::kNotFound), "File not found.");
  EXPECT_STREQ(soundLoadMessage(SoundLoadResult::kMismatch), "File mismatch.");
}

TEST_F(SoundFileTest, ValuesThatAreNotFiniteMakeTheFileAMismatch) {
  // No slider and no saved sound holds them: such a file is corrupt, and loading
  // it would silence the output behind sliders that show other values.
  for (uint32_t bad : {0x7F800000u, 0xFF800000u, 0x7FC12345u, 0xFF800001u}) {
    for (int32_t at : {0, kCount - 1}) {
      SCOPED_TRACE("bits " + std::to_string(bad) + " at " + std::to_string(at));
      auto p = awkwardParameters(12);
      p[at] = floatOf(bad);
      writeBytes(path("bad.tbk"), encodeSoundParameters(p.data(), kCount));
      std::vector<float> loaded(3, 0.5f);
      EXPECT_EQ(loadSoundFile(wide("bad.tbk"), kCount, loaded), SoundLoadResult::kMismatch);
      EXPECT_TRUE(loaded.empty());
    }
  }
  // Only the parameters count: what follows them may be anything.
  auto bytes = encodeSoundParameters(awkwardParameters(13).data(), kCount);
  bytes.insert(bytes.end(), {0x00, 0x00, 0xC0, 0x7F});
  writeBytes(path("tail.tbk"), bytes);
  std::vector<float> loaded;
  EXPECT_EQ(loadSoundFile(wide("tail.tbk"), kCount, loaded), SoundLoadResult::kLoaded);
}

TEST_F(SoundFileTest, SaveReplacesAnExistingFileWithoutQuestion) {
  writeBytes(path("s.tbk"), std::vector<uint8_t>(3000, 0x55));
  const auto p = awkwardParameters(3);
  ASSERT_EQ(saveSoundFile(wide("s.tbk"), p.data(), kCount), SoundSaveResult::kSaved);
  EXPECT_EQ(readBytes(path("s.tbk")), encodeSoundParameters(p.data(), kCount));
  EXPECT_EQ(entriesInDir(), 1u);
}

TEST_F(SoundFileTest, SaveIntoAMissingFolderCreatesNothing) {
  const auto p = awkwardParameters(4);
  const auto result = saveSoundFile(wide("no/such/folder.tbk"), p.data(), kCount);
  EXPECT_EQ(result, SoundSaveResult::kNotCreated);
  EXPECT_STREQ(soundSaveMessage(result), "File not created.");
  EXPECT_EQ(entriesInDir(), 0u);
}

TEST_F(SoundFileTest, FailedWriteKeepsTheOldSound) {
  const std::vector<uint8_t> old(1024, 0x42);
  writeBytes(path("keep.tbk"), old);
  const auto p = awkwardParameters(5);

  // The disk "fills up" after 500 bytes: the write of 1024 bytes comes up short.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 500;
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto result = saveSoundFile(wide("keep.tbk"), p.data(), kCount);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(result, SoundSaveResult::kNotSaved);
  EXPECT_STREQ(soundSaveMessage(result), "File not saved.");
  EXPECT_EQ(readBytes(path("keep.tbk")), old);
  EXPECT_EQ(entriesInDir(), 1u) << "the partial temporary file must be removed";
}

TEST_F(SoundFileTest, TemporaryNamesInUseAreSkipped) {
  EXPECT_EQ(soundTempName(0), L"~tb0000.tmp");
  EXPECT_EQ(soundTempName(0x1a), L"~tb001a.tmp");
  writeBytes(path("~tb0000.tmp"), {1, 2, 3});
  const auto p = awkwardParameters(6);
  ASSERT_EQ(saveSoundFile(wide("t.tbk"), p.data(), kCount), SoundSaveResult::kSaved);
  EXPECT_EQ(readBytes(path("~tb0000.tmp")), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(readBytes(path("t.tbk")), encodeSoundParameters(p.data(), kCount));
  EXPECT_EQ(entriesInDir(), 2u);
}

TEST_F(SoundFileTest, LongTargetNamesSave) {
  // The temporary name must not grow with the target's: a 250-byte name is
  // within the file system's limit of 255, the name plus a suffix would not be.
  const std::string name = std::string(246, 'n') + ".tbk";
  const auto p = awkwardParameters(8);
  ASSERT_EQ(saveSoundFile(wide(name.c_str()), p.data(), kCount), SoundSaveResult::kSaved);
  ASSERT_EQ(saveSoundFile(wide(name.c_str()), p.data(), kCount), SoundSaveResult::kSaved);
  EXPECT_EQ(readBytes(path(name.c_str())), encodeSoundParameters(p.data(), kCount));
  EXPECT_EQ(entriesInDir(), 1u);
}

TEST_F(SoundFileTest, ReadOnlyTargetIsRefusedEvenForTheSuperuser) {
  const std::vector<uint8_t> old(1024, 0x24);
  writeBytes(path("ro.tbk"), old);
  fs::permissions(path("ro.tbk"), fs::perms::owner_read | fs::perms::group_read);
  const auto p = awkwardParameters(9);
  const auto result = saveSoundFile(wide("ro.tbk"), p.data(), kCount);
  EXPECT_EQ(result, SoundSaveResult::kNotCreated);
  EXPECT_STREQ(soundSaveMessage(result), "File not created.");
  EXPECT_EQ(readBytes(path("ro.tbk")), old);
  EXPECT_EQ(entriesInDir(), 1u);
}

TEST_F(SoundFileTest, NamesOutsideAsciiAreDistinctFiles) {
  // On disk the names are UTF-8: a folder named with two CJK characters, and
  // "ton" beside "t" o-macron "n".
  const std::string folder = path("\xe9\x9f\xb3\xe8\x89\xb2");
  fs::create_directory(folder);
  const std::wstring wideFolder = dir_.wstring() + L"/\x97f3\x8272";
  const auto plain = awkwardParameters(10);
  const auto other = awkwardParameters(11);
  ASSERT_EQ(saveSoundFile(wideFolder + L"/ton.tbk", plain.data(), kCount), SoundSaveResult::kSaved);
  ASSERT_EQ(saveSoundFile(wideFolder + L"/t\x014dn.tbk", other.data(), kCount),
            SoundSaveResult::kSaved);
  EXPECT_EQ(readBytes(folder + "/ton.tbk"), encodeSoundParameters(plain.data(), kCount));
  EXPECT_EQ(readBytes(folder + "/t\xc5\x8dn.tbk"), encodeSoundParameters(other.data(), kCount));
  std::vector<float> loaded;
  ASSERT_EQ(loadSoundFile(wideFolder + L"/t\x014dn.tbk", kCount, loaded), SoundLoadResult::kLoaded);
  EXPECT_EQ(encodeSoundParameters(loaded.data(), kCount),
            encodeSoundParameters(other.data(), kCount));
}

}  // namespace
