#include "tools/asio_driver/switch_stamps.h"

#include <cinttypes>
#include <cstdio>

#include "platform/platform.h"

void SwitchStamps::begin(int32_t frames, int32_t outputLatency, double sampleRate) {
  if (!enabled()) return;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  char line[160];
  std::snprintf(line, sizeof(line),
                "stream frequency=%" PRId64 " frames=%d output_latency=%d rate=%.0f\n",
                static_cast<int64_t>(frequency.QuadPart), frames, outputLatency, sampleRate);
  append(line);
}

void SwitchStamps::flush() {
  if (!enabled() || (count_ == 0 && lost_ == 0)) return;
  std::string text;
  text.reserve(static_cast<size_t>(count_) * 64 + 32);
  char line[128];
  for (int32_t i = 0; i < count_; ++i) {
    const Stamp& s = stamps_[i];
    std::snprintf(line, sizeof(line), "switch %" PRId64 " %" PRId64 " %" PRIu64 " %" PRIu64 "\n",
                  s.called, s.returned, s.samplePosition, s.recordedFrame);
    text += line;
  }
  if (lost_ > 0) {
    std::snprintf(line, sizeof(line), "lost %" PRId64 "\n", lost_);
    text += line;
  }
  count_ = 0;
  lost_ = 0;
  append(text);
}

void SwitchStamps::append(const std::string& text) {
  HANDLE file = CreateFileA(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}
