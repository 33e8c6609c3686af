// Appends interleaved sample data to a WAV file. An existing file of the same format
// is continued, so a host that closes and reopens the driver produces one recording.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "tools/asio_driver/sample_codec.h"

class WavRecorder {
 public:
  WavRecorder() = default;
  ~WavRecorder() { close(); }
  WavRecorder(const WavRecorder&) = delete;
  WavRecorder& operator=(const WavRecorder&) = delete;

  bool open(const std::string& path, WavFormat format, int32_t channels, int32_t sampleRate);
  // Appends whole frames; the header's sizes are brought up to date now and then.
  void append(const uint8_t* data, uint32_t bytes);
  void close();
  bool isOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  // Sample bytes in the file so far, a continued recording's included.
  uint32_t dataBytes() const { return dataBytes_; }

 private:
  void writeHeader();

  HANDLE file_ = INVALID_HANDLE_VALUE;
  WavFormat format_{};
  int32_t channels_ = 0;
  int32_t sampleRate_ = 0;
  uint32_t dataBytes_ = 0;
  uint32_t sinceHeader_ = 0;
};
