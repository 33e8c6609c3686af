#include "app/file_access.h"

#include <windows.h>

bool FileAccess::isOpen() const {
  return handle_ != INVALID_HANDLE_VALUE;
}

bool FileAccess::openForRead(const std::string& path) {
  close();
  handle_ = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  return isOpen();
}

bool FileAccess::createNew(const std::string& path) {
  close();
  handle_ = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
  return isOpen();
}

long long FileAccess::read(void* data, size_t size) {
  DWORD got = 0;
  if (!isOpen() || size > MAXDWORD) return -1;
  if (!ReadFile(handle_, data, static_cast<DWORD>(size), &got, nullptr)) return -1;
  return got;
}

bool FileAccess::write(const void* data, size_t size) {
  DWORD put = 0;
  if (!isOpen() || size > MAXDWORD) return false;
  return WriteFile(handle_, data, static_cast<DWORD>(size), &put, nullptr) && put == size;
}

bool FileAccess::close() {
  if (!isOpen()) return true;
  // A replaced file must hold its bytes before the move makes it the sound.
  const bool flushed = !writing_ || FlushFileBuffers(handle_) != 0;
  const bool closed = CloseHandle(handle_) != 0;
  handle_ = INVALID_HANDLE_VALUE;
  writing_ = false;
  return flushed && closed;
}

bool FileAccess::writableOrAbsent(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND;
  }
  CloseHandle(h);
  return true;
}

bool FileAccess::replace(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void FileAccess::remove(const std::string& path) {
  DeleteFileA(path.c_str());
}
