#include "tools/asio_driver/wav_recorder.h"

#include <cstring>

namespace {

constexpr DWORD kHeaderBytes = 44;

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}

uint32_t get16(const uint8_t* p) {
  return p[0] | (static_cast<uint32_t>(p[1]) << 8);
}
uint32_t get32(const uint8_t* p) {
  return get16(p) | (get16(p + 2) << 16);
}

}  // namespace

bool WavRecorder::open(const std::string& path, WavFormat format, int32_t channels,
                       int32_t sampleRate) {
  close();
  format_ = format;
  channels_ = channels;
  sampleRate_ = sampleRate;
  dataBytes_ = 0;
  sinceHeader_ = 0;
  file_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) return false;
  // Continue a recording of ours in the same format; anything else starts afresh.
  uint8_t header[kHeaderBytes];
  DWORD read = 0;
  const bool same =
      ReadFile(file_, header, kHeaderBytes, &read, nullptr) && read == kHeaderBytes &&
      std::memcmp(header, "RIFF", 4) == 0 && std::memcmp(header + 8, "WAVEfmt ", 8) == 0 &&
      get16(header + 20) == format.formatTag &&
      get16(header + 22) == static_cast<uint32_t>(channels) &&
      get32(header + 24) == static_cast<uint32_t>(sampleRate) &&
      get16(header + 34) == format.bitsPerSample && std::memcmp(header + 36, "data", 4) == 0;
  if (same) {
    dataBytes_ = get32(header + 40);
    SetFilePointer(file_, static_cast<LONG>(kHeaderBytes + dataBytes_), nullptr, FILE_BEGIN);
    SetEndOfFile(file_);
  } else {
    SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file_);
    writeHeader();
  }
  return true;
}

void WavRecorder::writeHeader() {
  uint8_t header[kHeaderBytes];
  const uint32_t blockAlign = static_cast<uint32_t>(channels_) * format_.bitsPerSample / 8;
  std::memcpy(header, "RIFF", 4);
  put32(header + 4, 36 + dataBytes_);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  put32(header + 16, 16);
  put16(header + 20, format_.formatTag);
  put16(header + 22, static_cast<uint32_t>(channels_));
  put32(header + 24, static_cast<uint32_t>(sampleRate_));
  put32(header + 28, static_cast<uint32_t>(sampleRate_) * blockAlign);
  put16(header + 32, blockAlign);
  put16(header + 34, format_.bitsPerSample);
  std::memcpy(header + 36, "data", 4);
  put32(header + 40, dataBytes_);
  SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
  DWORD written = 0;
  WriteFile(file_, header, kHeaderBytes, &written, nullptr);
  SetFilePointer(file_, 0, nullptr, FILE_END);
  sinceHeader_ = 0;
}

void WavRecorder::append(const uint8_t* data, uint32_t bytes) {
  if (!isOpen()) return;
  DWORD written = 0;
  if (!WriteFile(file_, data, bytes, &written, nullptr)) return;
  dataBytes_ += written;
  sinceHeader_ += written;
  // About once a second, so a reader sees a valid file even if the host never stops.
  const uint32_t perSecond = static_cast<uint32_t>(sampleRate_) * static_cast<uint32_t>(channels_) *
                             format_.bitsPerSample / 8;
  if (sinceHeader_ >= perSecond) writeHeader();
}

void WavRecorder::close() {
  if (!isOpen()) return;
  writeHeader();
  CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}
