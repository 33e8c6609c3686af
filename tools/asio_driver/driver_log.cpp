#include "tools/asio_driver/driver_log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

std::string logPath;

}  // namespace

void setDriverLogPath(const std::string& path) {
  logPath = path;
}

void driverLog(const char* format, ...) {
  char line[512];
  std::va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof(line) - 2, format, args);
  va_end(args);
  if (length < 0) return;
  if (length > static_cast<int>(sizeof(line)) - 3) length = static_cast<int>(sizeof(line)) - 3;
  line[length++] = '\r';
  line[length++] = '\n';
  line[length] = 0;
  OutputDebugStringA(line);
  if (logPath.empty()) return;
  // Opened per line in append mode: lines from different threads stay whole.
  HANDLE file = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}
