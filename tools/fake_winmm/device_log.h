// Append-only text log of one virtual device; every line is written through at once so a
// test can read it while the program runs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace fake_winmm {

class DeviceLog {
 public:
  explicit DeviceLog(std::string path);
  ~DeviceLog();
  DeviceLog(const DeviceLog&) = delete;
  DeviceLog& operator=(const DeviceLog&) = delete;

  // One line "t=<ms> <text>".
  void line(const std::string& text);

 private:
  std::string path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  CRITICAL_SECTION lock_;
};

// "90 45 64": bytes as upper-case hex separated by spaces.
std::string hexBytes(const uint8_t* bytes, size_t count);

}  // namespace fake_winmm
