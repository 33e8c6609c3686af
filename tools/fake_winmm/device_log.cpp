#include "device_log.h"

#include "fake_config.h"

namespace fake_winmm {

DeviceLog::DeviceLog(std::string path) : path_(std::move(path)) {
  InitializeCriticalSection(&lock_);
}

DeviceLog::~DeviceLog() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  DeleteCriticalSection(&lock_);
}

void DeviceLog::line(const std::string& text) {
  std::string full = "t=" + std::to_string(millisSinceLoad()) + " " + text + "\n";
  EnterCriticalSection(&lock_);
  if (file_ == INVALID_HANDLE_VALUE) {
    file_ = CreateFileA(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file_ != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file_, full.data(), static_cast<DWORD>(full.size()), &written, nullptr);
  }
  LeaveCriticalSection(&lock_);
}

std::string hexBytes(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i) text += ' ';
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace fake_winmm
