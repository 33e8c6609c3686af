// A WAV file written as it is recorded: 32-bit float or 24-bit PCM, interleaved
// frames appended as they come. The header (RIFF, data and fact sizes) and a note of
// fixed size in a LIST/INFO chunk before the data are rewritten in place whenever
// asked, so the file on disk is a complete WAV file of what was written up to then.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/file_access.h"

enum class WavSampleFormat { kFloat32, kPcm24 };

class WavWriter {
 public:
  // The note's room in the file (ICMT text with its NUL padding); longer notes are cut.
  static constexpr size_t kNoteBytes = 252;

  WavWriter() = default;
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Creates the file (never over an existing one) and writes an empty recording's
  // header. False when the file cannot be created or the header not written.
  bool create(const std::wstring& path, WavSampleFormat format, int32_t sampleRate,
              int32_t channels);
  // Appends `frames` interleaved frames, converted to the file's format. False (and
  // failed() from then on) when not every byte was written: a full disk, a removed
  // drive. The header is patched to what was written before, as far as it can be.
  bool append(const float* interleaved, int64_t frames);
  // Rewrites the header for what is written now, with `note` in the INFO chunk.
  bool updateHeader(const std::string& note);
  // The final header, then closes. False when anything about the file failed.
  bool finish(const std::string& note);

  bool failed() const { return failed_; }
  int64_t framesWritten() const { return static_cast<int64_t>(dataBytes_ / frameBytes()); }
  // Where the data chunk's samples begin in the file.
  static uint64_t dataOffset(WavSampleFormat format);

 private:
  uint32_t frameBytes() const;
  std::vector<uint8_t> header(const std::string& note) const;

  FileAccess file_;
  WavSampleFormat format_ = WavSampleFormat::kFloat32;
  int32_t sampleRate_ = 0;
  int32_t channels_ = 0;
  uint64_t dataBytes_ = 0;
  bool failed_ = false;
  std::string lastNote_;
  std::vector<uint8_t> converted_;
};
