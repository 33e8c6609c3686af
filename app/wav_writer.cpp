#include "app/wav_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint32_t kListBytes = 4 + 8 + static_cast<uint32_t>(WavWriter::kNoteBytes);
// A RIFF file cannot say more than 4 GiB less one byte.
constexpr uint64_t kMaxRiffBytes = 0xFFFFFFFFull;

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}
void putTag(std::vector<uint8_t>& out, const char* tag) {
  out.insert(out.end(), tag, tag + 4);
}

uint32_t fmtBytes(WavSampleFormat format) {
  // The float tag asks for the extension size field (zero); plain PCM has none.
  return format == WavSampleFormat::kFloat32 ? 18 : 16;
}

}  // namespace

uint64_t WavWriter::dataOffset(WavSampleFormat format) {
  const uint64_t fact = format == WavSampleFormat::kFloat32 ? 12 : 0;
  return 12 + 8 + fmtBytes(format) + fact + 8 + kListBytes + 8;
}

uint32_t WavWriter::frameBytes() const {
  return static_cast<uint32_t>(channels_) * (format_ == WavSampleFormat::kFloat32 ? 4 : 3);
}

std::vector<uint8_t> WavWriter::header(const std::string& note) const {
  const uint64_t offset = dataOffset(format_);
  // What a final header counts: the pad byte that evens an odd data chunk.
  const uint64_t riff = offset - 8 + dataBytes_ + (dataBytes_ & 1);
  std::vector<uint8_t> out;
  out.reserve(offset);
  putTag(out, "RIFF");
  put32(out, static_cast<uint32_t>(riff));
  putTag(out, "WAVE");
  putTag(out, "fmt ");
  put32(out, fmtBytes(format_));
  const bool isFloat = format_ == WavSampleFormat::kFloat32;
  put16(out, isFloat ? kTagFloat : kTagPcm);
  put16(out, static_cast<uint32_t>(channels_));
  put32(out, static_cast<uint32_t>(sampleRate_));
  put32(out, static_cast<uint32_t>(sampleRate_) * frameBytes());
  put16(out, frameBytes());
  put16(out, isFloat ? 32 : 24);
  if (isFloat) {
    put16(out, 0);
    putTag(out, "fact");
    put32(out, 4);
    put32(out, static_cast<uint32_t>(framesWritten()));
  }
  putTag(out, "LIST");
  put32(out, kListBytes);
  putTag(out, "INFO");
  putTag(out, "ICMT");
  put32(out, static_cast<uint32_t>(kNoteBytes));
  // Always NUL-terminated, the rest of the room NULs too.
  const size_t textBytes = std::min(note.size(), kNoteBytes - 1);
  out.insert(out.end(), note.begin(), note.begin() + static_cast<ptrdiff_t>(textBytes));
  out.insert(out.end(), kNoteBytes - textBytes, 0);
  putTag(out, "data");
  put32(out, static_cast<uint32_t>(dataBytes_));
  return out;
}

bool WavWriter::create(const std::wstring& path, WavSampleFormat format, int32_t sampleRate,
                       int32_t channels) {
  format_ = format;
  sampleRate_ = sampleRate;
  channels_ = channels;
  dataBytes_ = 0;
  failed_ = false;
  lastNote_.clear();
  if (sampleRate <= 0 || channels <= 0 || !file_.createNew(path)) {
    failed_ = true;
    return false;
  }
  return updateHeader({});
}

bool WavWriter::append(const float* interleaved, int64_t frames) {
  if (failed_ || !file_.isOpen()) return false;
  if (frames <= 0) return true;
  const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
  const size_t bytes = static_cast<size_t>(frames) * frameBytes();
  if (dataOffset(format_) - 8 + dataBytes_ + bytes + 1 > kMaxRiffBytes) {
    failed_ = true;
    updateHeader(lastNote_);
    return false;
  }
  converted_.resize(bytes);
  uint8_t* out = converted_.data();
  if (format_ == WavSampleFormat::kFloat32) {
    std::memcpy(out, interleaved, bytes);  // little-endian, as the file's
  } else {
    for (size_t i = 0; i < samples; ++i, out += 3) {
      const float x = std::clamp(interleaved[i], -1.0f, 1.0f);
      // NaN fails the comparisons above and would convert to anything: silence instead.
      const auto v = static_cast<uint32_t>(x == x ? std::lrint(x * 8388607.0f) : 0);
      out[0] = static_cast<uint8_t>(v);
      out[1] = static_cast<uint8_t>(v >> 8);
      out[2] = static_cast<uint8_t>(v >> 16);
    }
  }
  if (!file_.writeAt(dataOffset(format_) + dataBytes_, converted_.data(), bytes)) {
    // What the failed write left (part of it, perhaps) lies past the data chunk the
    // header names: readers take only the frames written whole before.
    failed_ = true;
    file_.writeAt(0, header(lastNote_).data(), dataOffset(format_));
    return false;
  }
  dataBytes_ += bytes;
  return true;
}

bool WavWriter::updateHeader(const std::string& note) {
  if (!file_.isOpen()) return false;
  lastNote_ = note;
  const std::vector<uint8_t> bytes = header(note);
  if (!file_.writeAt(0, bytes.data(), bytes.size())) {
    failed_ = true;
    return false;
  }
  return !failed_;
}

bool WavWriter::finish(const std::string& note) {
  if (!file_.isOpen()) return false;
  bool ok = !failed_;
  if (ok && (dataBytes_ & 1) != 0) {
    const uint8_t pad = 0;
    ok = file_.writeAt(dataOffset(format_) + dataBytes_, &pad, 1);
  }
  ok = updateHeader(note) && ok;
  ok = file_.close() && ok;
  return ok;
}
