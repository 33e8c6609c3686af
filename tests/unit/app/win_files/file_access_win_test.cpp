// The Windows side of sound files (the Windows file access under the save and
// load rules), run natively against the recording fake of kernel32's file calls.
#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "app/sound_file.h"

namespace {

constexpr int32_t kCount = 256;
const std::wstring kFolder = L"C:\\Sounds";
const std::wstring kTarget = kFolder + L"\\s.tbk";
const std::wstring kTemp = kFolder + L"\\~tb0000.tmp";

std::vector<float> parameters(float base) {
  std::vector<float> p(kCount);
  for (int32_t i = 0; i < kCount; ++i) p[i] = base + static_cast<float>(i);
  return p;
}

std::string narrow(const std::wstring& text) {
  return {text.begin(), text.end()};
}

// Index of the first logged call from `from` on that starts with `prefix`, or -1.
int callIndex(const std::string& prefix, int from = 0) {
  const auto& calls = fakewin::calls();
  for (size_t i = std::max(from, 0); i < calls.size(); ++i) {
    if (calls[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
  }
  return -1;
}

class WindowsSoundFileTest : public ::testing::Test {
 protected:
  void SetUp() override { fakewin::reset({L"C:", kFolder}); }

  static const fakewin::File* file(const std::wstring& path) {
    auto it = fakewin::files().find(path);
    return it == fakewin::files().end() ? nullptr : &it->second;
  }
  static SoundSaveResult save(const std::wstring& path, const std::vector<float>& p) {
    return saveSoundFile(path, p.data(), kCount);
  }
  static std::vector<uint8_t> bytesOf(const std::vector<float>& p) {
    return encodeSoundParameters(p.data(), kCount);
  }

  const std::vector<uint8_t> old_ = std::vector<uint8_t>(1024, 0x42);
};

TEST_F(WindowsSoundFileTest, NewBytesAreFlushedBeforeTheyReplaceTheOldSound) {
  fakewin::addFile(kTarget, old_, FILE_ATTRIBUTE_ARCHIVE);
  const auto p = parameters(1.0f);
  ASSERT_EQ(save(kTarget, p), SoundSaveResult::kSaved);

  const int flush = callIndex("FlushFileBuffers");
  ASSERT_GE(flush, 0) << "the written file was never flushed";
  const int created = callIndex("CreateFileW " + narrow(kTemp));
  ASSERT_GE(created, 0);
  EXPECT_GT(flush, created);
  EXPECT_LT(flush, callIndex("CloseHandle", created));
  EXPECT_LT(flush, callIndex("ReplaceFileW"));
  // After a power loss the sound would come back whole, not empty.
  ASSERT_NE(file(kTarget), nullptr);
  EXPECT_EQ(file(kTarget)->durable, bytesOf(p));
  EXPECT_EQ(file(kTarget)->bytes, bytesOf(p));

  // A new target gets there the same way.
  const std::wstring fresh = kFolder + L"\\fresh.tbk";
  ASSERT_EQ(save(fresh, p), SoundSaveResult::kSaved);
  EXPECT_EQ(file(fresh)->durable, bytesOf(p));
}

TEST_F(WindowsSoundFileTest, FailuresAfterCreatingLeaveTheOldSoundAndNoTemporaryFile) {
  struct Case {
    const char* function;
    DWORD error;
    SoundSaveResult result;
    int after;  // calls that succeed first: the probe opens and closes the target
  };
  for (const Case c :
       {Case{"WriteFile", ERROR_DISK_FULL, SoundSaveResult::kNotSaved, 0},
        Case{"FlushFileBuffers", ERROR_DISK_FULL, SoundSaveResult::kNotSaved, 0},
        Case{"CloseHandle", ERROR_DISK_FULL, SoundSaveResult::kNotSaved, 1},
        Case{"ReplaceFileW", ERROR_ACCESS_DENIED, SoundSaveResult::kNotSaved, 0},
        Case{"ReplaceFileW", ERROR_SHARING_VIOLATION, SoundSaveResult::kNotSaved, 0},
        Case{"ReplaceFileW", ERROR_UNABLE_TO_REMOVE_REPLACED, SoundSaveResult::kNotSaved, 0}}) {
    SCOPED_TRACE(std::string(c.function) + " error " + std::to_string(c.error));
    fakewin::reset({L"C:", kFolder});
    fakewin::addFile(kTarget, old_, FILE_ATTRIBUTE_ARCHIVE);
    // Held longer than a save waits for it.
    fakewin::failNext(c.function, c.error, 1000, c.after);
    EXPECT_EQ(save(kTarget, parameters(2.0f)), c.result);
    EXPECT_EQ(file(kTarget)->bytes, old_);
    EXPECT_EQ(fakewin::files().size(), 1u) << "the temporary file must be removed";
    EXPECT_EQ(callIndex("MoveFileExW"), -1) << "no move after a refused replace";
  }
}

TEST_F(WindowsSoundFileTest, ReplaceKeepsTheTargetItselfAndMovesOnlyWhereItCannotWork) {
  fakewin::addFile(kTarget, old_, FILE_ATTRIBUTE_ARCHIVE);
  const int identity = file(kTarget)->id;
  ASSERT_EQ(save(kTarget, parameters(3.0f)), SoundSaveResult::kSaved);
  EXPECT_EQ(file(kTarget)->id, identity) << "replaced in place, not moved over";
  EXPECT_GE(callIndex("ReplaceFileW " + narrow(kTarget) + " " + narrow(kTemp)), 0);
  EXPECT_EQ(callIndex("MoveFileExW"), -1);

  // Volumes that cannot replace, and the replace that left the new file under
  // its temporary name with the old one gone: the move puts it in place.
  for (DWORD error : {ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION, ERROR_INVALID_NAME,
                      ERROR_UNABLE_TO_MOVE_REPLACEMENT, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}) {
    SCOPED_TRACE("error " + std::to_string(error));
    fakewin::reset({L"C:", kFolder});
    fakewin::addFile(kTarget, old_, FILE_ATTRIBUTE_ARCHIVE);
    fakewin::failNext("ReplaceFileW", error);
    const auto p = parameters(4.0f);
    EXPECT_EQ(save(kTarget, p), SoundSaveResult::kSaved);
    EXPECT_GE(callIndex("MoveFileExW " + narrow(kTemp) + " " + narrow(kTarget) + " 9"), 0);
    EXPECT_EQ(file(kTarget)->bytes, bytesOf(p));
    // 1177 left the old file under a name of the system's choosing.
    EXPECT_EQ(fakewin::files().size(), error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 ? 2u : 1u);
  }

  // A new file is moved into place without replacing whatever appeared meanwhile.
  fakewin::reset({L"C:", kFolder});
  ASSERT_EQ(save(kTarget, parameters(5.0f)), SoundSaveResult::kSaved);
  EXPECT_GE(callIndex("MoveFileExW " + narrow(kTemp) + " " + narrow(kTarget) + " 8"), 0);
  EXPECT_EQ(callIndex("ReplaceFileW"), -1);
}

TEST_F(WindowsSoundFileTest, AReplaceThatRemovedTheTargetNeverCostsTheNewSound) {
  // A scanner or sync client holding the name: the replace fails after it took
  // the old file away (1176) or put it aside under a name of its own (1177), and
  // the move that should finish the job is refused a few times, or every time.
  for (DWORD error : {ERROR_UNABLE_TO_MOVE_REPLACEMENT, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}) {
    for (int refusedMoves : {3, 1000}) {
      SCOPED_TRACE("error " + std::to_string(error) + ", moves refused " +
                   std::to_string(refusedMoves));
      fakewin::reset({L"C:", kFolder});
      fakewin::addFile(kTarget, old_, FILE_ATTRIBUTE_ARCHIVE);
      fakewin::failNext("ReplaceFileW", error);
      fakewin::failNext("MoveFileExW", ERROR_SHARING_VIOLATION, refusedMoves);
      const auto p = parameters(11.0f);
      std::wstring keptAside;
      const auto result = saveSoundFile(kTarget, p.data(), kCount, &keptAside);
      // 1177 leaves the old sound behind under the system's name.
      const size_t leftBehind = error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 ? 1 : 0;
      EXPECT_EQ(fakewin::files().size(), 1 + leftBehind);
      if (refusedMoves < 10) {
        EXPECT_EQ(result, SoundSaveResult::kSaved);
        ASSERT_NE(file(kTarget), nullptr);
        EXPECT_EQ(file(kTarget)->bytes, bytesOf(p));
        continue;
      }
      // The temporary file is now the only copy of the sound: it stays, and
      // the message names it.
      ASSERT_NE(file(kTemp), nullptr) << "the only copy of the sound was deleted";
      EXPECT_EQ(file(kTemp)->durable, bytesOf(p));
      EXPECT_EQ(callIndex("DeleteFileW"), -1);
      EXPECT_EQ(result, SoundSaveResult::kKeptAside);
      EXPECT_EQ(soundKeptAsideMessage(keptAside),
                L"File not renamed. The sound is saved as " + kTemp + L".");
    }
  }

  // Names held only briefly are waited for, and the file is still replaced in place.
  for (DWORD error : {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}) {
    fakewin::reset({L"C:", kFolder});
    fakewin::addFile(kTarget, old_, FILE_ATTRIBUTE_ARCHIVE);
    const int identity = file(kTarget)->id;
    fakewin::failNext("ReplaceFileW", error, 3);
    EXPECT_EQ(save(kTarget, parameters(12.0f)), SoundSaveResult::kSaved);
    EXPECT_EQ(file(kTarget)->id, identity);
    EXPECT_EQ(file(kTarget)->bytes, bytesOf(parameters(12.0f)));
    EXPECT_EQ(fakewin::files().size(), 1u);
  }
}

TEST_F(WindowsSoundFileTest, TargetsAPlainCreateRefusesAreLeftAlone) {
  // A plain create fails on a read-only file (administrators could still open it
  // for writing), and on a hidden or system file created with normal attributes.
  fakewin::setAdministrator(true);
  for (DWORD attributes :
       {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE,
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_SYSTEM}) {
    SCOPED_TRACE("attributes " + std::to_string(attributes));
    fakewin::files().clear();
    fakewin::addFile(kTarget, old_, attributes);
    const auto result = save(kTarget, parameters(6.0f));
    EXPECT_EQ(result, SoundSaveResult::kNotCreated);
    EXPECT_STREQ(soundSaveMessage(result), "File not created.");
    EXPECT_EQ(file(kTarget)->bytes, old_);
    EXPECT_EQ(file(kTarget)->attributes, attributes);
    EXPECT_EQ(fakewin::files().size(), 1u);
  }
}

TEST_F(WindowsSoundFileTest, FullPathsUpToTheLimitSave) {
  // Folders so deep that the temporary file's path passes MAX_PATH although the
  // target's does not: it is reached in the extended form.
  for (size_t length = 254; length < MAX_PATH; ++length) {
    for (size_t nameLength : {5u, 40u}) {
      const std::wstring folder = L"C:\\" + std::wstring(length - 3 - 1 - nameLength, L'd');
      const std::wstring target = folder + L"\\" + std::wstring(nameLength - 4, L'n') + L".tbk";
      ASSERT_EQ(target.size(), length);
      SCOPED_TRACE(narrow(target));
      fakewin::reset({L"C:", folder});
      const auto p = parameters(7.0f);
      EXPECT_EQ(save(target, p), SoundSaveResult::kSaved);
      EXPECT_EQ(save(target, parameters(8.0f)), SoundSaveResult::kSaved);
      ASSERT_NE(file(target), nullptr);
      EXPECT_EQ(file(target)->bytes, bytesOf(parameters(8.0f)));
      EXPECT_EQ(fakewin::files().size(), 1u) << "no temporary file left";
      std::vector<float> loaded;
      EXPECT_EQ(loadSoundFile(target, kCount, loaded), SoundLoadResult::kLoaded);
    }
  }
}

TEST_F(WindowsSoundFileTest, TemporaryNamesInUseAreSkipped) {
  fakewin::addFile(kTemp, {1, 2, 3}, FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_EQ(save(kTarget, parameters(10.0f)), SoundSaveResult::kSaved);
  EXPECT_EQ(file(kTemp)->bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_GE(callIndex("MoveFileExW " + narrow(kFolder) + "\\~tb0001.tmp"), 0);
}

}  // namespace
