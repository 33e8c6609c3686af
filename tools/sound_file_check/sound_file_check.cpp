// sound_file_check <folder>
//
// Saves and loads sound files in <folder> through the same functions the main
// window uses, on the real Windows file system: replacing, files held open by
// another program (no sharing), read-only targets, missing folders, and that no
// temporary file stays behind. Prints one line per failed check; exit code 0
// when all passed, 1 otherwise, 2 on bad arguments.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/sound_file.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what);
    ++failures;
  }
}

int filesMatching(const std::string& pattern) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    ++count;
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sound_file_check <folder>\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::string path = folder + "\\check.tbk";
  DeleteFileA(path.c_str());

  std::vector<float> first(256), second(256), loaded;
  for (int i = 0; i < 256; ++i) {
    first[i] = static_cast<float>(i) * 0.25f - 7.0f;
    second[i] = -first[i];
  }

  check(saveSoundFile(path, first.data(), 256) == SoundSaveResult::kSaved, "save a new file");
  check(saveSoundFile(path, second.data(), 256) == SoundSaveResult::kSaved, "save over it");
  check(loadSoundFile(path, 256, loaded) == SoundLoadResult::kLoaded && loaded == second,
        "load gives the second save");

  // Another program holds the file open without sharing.
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  check(held != INVALID_HANDLE_VALUE, "hold the file open");
  check(saveSoundFile(path, first.data(), 256) == SoundSaveResult::kNotCreated,
        "save over a file in use is refused");
  check(loadSoundFile(path, 256, loaded) == SoundLoadResult::kNotFound && loaded.empty(),
        "load of a file in use is refused");
  CloseHandle(held);
  check(loadSoundFile(path, 256, loaded) == SoundLoadResult::kLoaded && loaded == second,
        "the file in use kept its sound");

  check(saveSoundFile(folder + "\\no such folder\\x.tbk", first.data(), 256) ==
            SoundSaveResult::kNotCreated,
        "save into a missing folder");
  check(filesMatching(folder + "\\*.~tmp*") == 0, "no temporary file stays behind");

  DeleteFileA(path.c_str());
  std::printf("%s\n", failures == 0 ? "sound files: all checks passed" : "sound files: FAILED");
  return failures == 0 ? 0 : 1;
}
