#include <windows.h>

#include "app/file_access.h"

namespace {

HANDLE handleOf(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

// From MAX_PATH characters on a path reaches the file system only in the
// extended form, which must be absolute and normalised. Shorter paths go as
// they are, so everyday names behave exactly as the dialogs showed them.
std::wstring systemPath(const std::wstring& path) {
  static const wchar_t kExtended[] = L"\\\\?\\";
  if (path.size() < MAX_PATH || path.rfind(kExtended, 0) == 0) return path;
  std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
  if (full.empty()) return path;
  const DWORD length =
      GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return kExtended + full;
}

// ReplaceFileW failures after which the plain move is the way: the volume cannot
// replace; the call cannot name its own helper file beside the target (Wine's,
// in folders near the path limit), both before the target is touched; the
// target went away; or the target is already gone and the new file still waits
// under its temporary name.
bool moveInstead(DWORD error) {
  switch (error) {
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_NAME:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
      return true;
    default:
      return false;
  }
}

// Without a backup name, 1176 means the old file is deleted and 1177 that it
// was renamed to a name the system chose; either way nothing is at the target
// and the new file is the only copy of the sound under its temporary name.
bool targetTakenAway(DWORD error) {
  return error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
}

// What virus scanners, indexers and sync clients cause while they hold a
// freshly written file or its target open for a moment.
bool heldForAMoment(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Tries taken for a held name, and the pause between them: half a second in all,
// longer than a scanner usually holds a small file.
constexpr int kTries = 10;
constexpr DWORD kPauseMs = 50;

// Calls `call` until it succeeds, or it has been tried kTries times, or its
// failure is not one `worthRetrying` accepts. The last error stays set.
template <typename Call, typename Retry>
bool tryRepeatedly(Call call, Retry worthRetrying) {
  for (int tried = 1;; ++tried) {
    if (call()) return true;
    const DWORD error = GetLastError();
    if (tried == kTries || !worthRetrying(error)) return false;
    Sleep(kPauseMs);
    SetLastError(error);
  }
}

}  // namespace

bool FileAccess::isOpen() const {
  return handleOf(handle_) != INVALID_HANDLE_VALUE;
}

bool FileAccess::openForRead(const std::wstring& path) {
  close();
  handle_ =
      reinterpret_cast<intptr_t>(CreateFileW(systemPath(path).c_str(), GENERIC_READ, 0, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return isOpen();
}

bool FileAccess::createNew(const std::wstring& path) {
  close();
  handle_ =
      reinterpret_cast<intptr_t>(CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  writing_ = isOpen();
  return isOpen();
}

long long FileAccess::read(void* data, size_t size) {
  DWORD got = 0;
  if (!isOpen() || size > MAXDWORD) return kReadFailed;
  if (!ReadFile(handleOf(handle_), data, static_cast<DWORD>(size), &got, nullptr))
    return kReadFailed;
  return got;
}

bool FileAccess::write(const void* data, size_t size) {
  DWORD put = 0;
  if (!isOpen() || size > MAXDWORD) return false;
  return WriteFile(handleOf(handle_), data, static_cast<DWORD>(size), &put, nullptr) && put == size;
}

bool FileAccess::writeAt(uint64_t offset, const void* data, size_t size) {
  if (!isOpen() || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<long long>(offset);
  return SetFilePointerEx(handleOf(handle_), to, nullptr, FILE_BEGIN) && write(data, size);
}

bool FileAccess::close() {
  if (!isOpen()) return true;
  // A replaced file must hold its bytes before the replace makes it the sound.
  const bool flushed = !writing_ || FlushFileBuffers(handleOf(handle_)) != 0;
  const bool closed = CloseHandle(handleOf(handle_)) != 0;
  handle_ = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
  writing_ = false;
  return flushed && closed;
}

FileAccess::Target FileAccess::probe(const std::wstring& path) {
  const std::wstring name = systemPath(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? Target::kAbsent : Target::kRefused;
  }
  // Creating over these fails: a folder, a read-only file, and a hidden or
  // system one created with normal attributes. An administrator may still open
  // a read-only file for writing, so the attribute itself decides.
  constexpr DWORD kRefusing = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY |
                              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (attributes & kRefusing) return Target::kRefused;
  // Held open by another program, or not ours to write.
  HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Target::kRefused;
  CloseHandle(h);
  return Target::kReplaceable;
}

FileAccess::Placed FileAccess::replace(const std::wstring& from, const std::wstring& to,
                                       bool toExists) {
  const std::wstring source = systemPath(from);
  const std::wstring target = systemPath(to);
  if (!toExists) {
    // Without replacing: a file that appeared meanwhile is someone else's.
    const bool moved = tryRepeatedly(
        [&] { return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0; },
        heldForAMoment);
    return moved ? Placed::kPlaced : Placed::kNotPlaced;
  }
  if (tryRepeatedly(
          [&] {
            return ReplaceFileW(target.c_str(), source.c_str(), nullptr,
                                REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
          },
          heldForAMoment)) {
    return Placed::kPlaced;
  }
  const DWORD error = GetLastError();
  if (!moveInstead(error)) return Placed::kNotPlaced;
  // Once the target is gone, whatever holds the name is waited for whatever
  // the move answers: giving up now would leave no sound under the name.
  const bool gone = targetTakenAway(error);
  const bool moved = tryRepeatedly(
      [&] {
        return MoveFileExW(source.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
      },
      [gone](DWORD moveError) { return gone || heldForAMoment(moveError); });
  if (moved) return Placed::kPlaced;
  return gone ? Placed::kOnlyAtSource : Placed::kNotPlaced;
}

void FileAccess::remove(const std::wstring& path) {
  DeleteFileW(systemPath(path).c_str());
}

std::wstring FileAccess::folderOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L"\\/:") + 1);
}
