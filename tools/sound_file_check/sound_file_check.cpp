// sound_file_check <folder>
//
// Saves and loads sound files in <folder> through the same functions the main
// window uses, on the real Windows file system: replacing, files held open by
// another program (no sharing), read-only, hidden and system targets, missing
// folders, full paths up to the classic limit, names that differ only in a
// character outside the ANSI code page, and that no temporary file stays behind.
// Prints one line per failed check; exit code 0 when all passed, 1 otherwise,
// 2 on bad arguments.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/sound_file.h"

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what.c_str());
    ++failures;
  }
}

int filesMatching(const std::wstring& pattern) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    ++count;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return count;
}

std::wstring widen(const char* text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
  return wide;
}

bool holds(const std::wstring& path, const std::vector<float>& params) {
  std::vector<float> loaded;
  return loadSoundFile(path, 256, loaded) == SoundLoadResult::kLoaded && loaded == params;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sound_file_check <folder>\n");
    return 2;
  }
  const std::wstring folder = widen(argv[1]);
  const std::wstring path = folder + L"\\check.tbk";
  DeleteFileW(path.c_str());

  std::vector<float> first(256), second(256), third(256), loaded;
  for (int i = 0; i < 256; ++i) {
    first[i] = static_cast<float>(i) * 0.25f - 7.0f;
    second[i] = -first[i];
    third[i] = first[i] * 3.0f;
  }

  check(saveSoundFile(path, first.data(), 256) == SoundSaveResult::kSaved, "save a new file");
  check(saveSoundFile(path, second.data(), 256) == SoundSaveResult::kSaved, "save over it");
  check(holds(path, second), "load gives the second save");

  // Another program holds the file open without sharing.
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  check(held != INVALID_HANDLE_VALUE, "hold the file open");
  check(saveSoundFile(path, first.data(), 256) == SoundSaveResult::kNotCreated,
        "save over a file in use is refused");
  check(loadSoundFile(path, 256, loaded) == SoundLoadResult::kNotFound && loaded.empty(),
        "load of a file in use is refused");
  CloseHandle(held);
  check(holds(path, second), "the file in use kept its sound");

  check(saveSoundFile(folder + L"\\no such folder\\x.tbk", first.data(), 256) ==
            SoundSaveResult::kNotCreated,
        "save into a missing folder");

  // A plain create refuses these targets (read-only even for an administrator);
  // the save must too, and leave the file and its attributes as they were.
  for (DWORD attribute : {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                          FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE}) {
    const std::string what = "attribute 0x" + std::to_string(attribute) + ": ";
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    check(saveSoundFile(path, first.data(), 256) == SoundSaveResult::kSaved, what + "plain save");
    check(SetFileAttributesW(path.c_str(), attribute) != 0, what + "set");
    const DWORD before = GetFileAttributesW(path.c_str());
    check(saveSoundFile(path, second.data(), 256) == SoundSaveResult::kNotCreated,
          what + "refused with \"File not created.\"");
    check(holds(path, first), what + "file unchanged");
    check(GetFileAttributesW(path.c_str()) == before, what + "attributes unchanged");
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);

  // Full paths of 254 to 259 characters: a plain create writes them, so must the save,
  // new and over an existing file.
  const std::wstring deep = folder + L"\\" + std::wstring(200 - folder.size(), L'd');
  CreateDirectoryW(deep.c_str(), nullptr);
  for (size_t length = 254; length <= 259; ++length) {
    const std::wstring target =
        deep + L"\\" + std::wstring(length - deep.size() - 5, L'n') + L".tbk";
    const std::string what = "path of " + std::to_string(target.size()) + " characters: ";
    check(saveSoundFile(target, first.data(), 256) == SoundSaveResult::kSaved, what + "new");
    check(saveSoundFile(target, second.data(), 256) == SoundSaveResult::kSaved, what + "replaced");
    check(holds(target, second), what + "loads");
    DeleteFileW(target.c_str());
  }
  // The same with a short name in a deep folder.
  const std::wstring deeper = folder + L"\\" + std::wstring(252 - folder.size() - 1, L'e');
  CreateDirectoryW(deeper.c_str(), nullptr);
  const std::wstring shortName = deeper + L"\\a.tbk";
  check(saveSoundFile(shortName, first.data(), 256) == SoundSaveResult::kSaved,
        "short name in a 252-character folder: new");
  check(saveSoundFile(shortName, second.data(), 256) == SoundSaveResult::kSaved,
        "short name in a 252-character folder: replaced");
  check(holds(shortName, second), "short name in a 252-character folder: loads");
  check(filesMatching(deeper + L"\\*") == 3, "short name in a 252-character folder: one file");
  DeleteFileW(shortName.c_str());
  RemoveDirectoryW(deeper.c_str());
  check(filesMatching(deep + L"\\*") == 2, "no temporary file stays in the deep folder");
  RemoveDirectoryW(deep.c_str());

  // Names that the ANSI code page maps to the same text, in a folder whose name it
  // cannot hold at all: each file keeps its own bytes.
  const std::wstring cjk = folder + L"\\\x97f3\x8272";
  CreateDirectoryW(cjk.c_str(), nullptr);
  const std::wstring plainName = cjk + L"\\ton.tbk";
  const std::wstring macronName = cjk + L"\\t\x014dn.tbk";
  check(saveSoundFile(plainName, first.data(), 256) == SoundSaveResult::kSaved, "save ton.tbk");
  check(saveSoundFile(macronName, third.data(), 256) == SoundSaveResult::kSaved,
        "save t\xc5\x8dn.tbk beside it");
  check(holds(plainName, first), "ton.tbk kept its bytes");
  check(holds(macronName, third), "t\xc5\x8dn.tbk holds its own bytes");
  DeleteFileW(plainName.c_str());
  DeleteFileW(macronName.c_str());
  RemoveDirectoryW(cjk.c_str());

  check(filesMatching(folder + L"\\~tb*") == 0, "no temporary file stays behind");
  DeleteFileW(path.c_str());
  std::printf("%s\n", failures == 0 ? "sound files: all checks passed" : "sound files: FAILED");
  return failures == 0 ? 0 : 1;
}
