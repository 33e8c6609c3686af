#include "app/sound_file.h"

#include <cmath>
#include <cstring>
#include <new>

#include "app/file_access.h"

namespace {

constexpr size_t kEntryBytes = 4;
// Attempts at finding an unused temporary name beside the target.
constexpr int kTempNameAttempts = 100;

uint32_t bitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float floatOf(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

const char* soundSaveMessage(SoundSaveResult result) {
  switch (result) {
    case SoundSaveResult::kNotCreated:
      return "File not created.";
    case SoundSaveResult::kOutOfMemory:
      return "Out of memory.";
    case SoundSaveResult::kNotSaved:
      return "File not saved.";
    case SoundSaveResult::kKeptAside:
      return "File not renamed.";
    case SoundSaveResult::kSaved:
      break;
  }
  return "";
}

const char* soundLoadMessage(SoundLoadResult result) {
  switch (result) {
    case SoundLoadResult::kNotFound:
      return "File not found.";
    case SoundLoadResult::kOutOfMemory:
      return "Out of memory.";
    case SoundLoadResult::kMismatch:
      return "File mismatch.";
    case SoundLoadResult::kLoaded:
      break;
  }
  return "";
}

std::wstring soundKeptAsideMessage(const std::wstring& keptPath) {
  return L"File not renamed. The sound is saved as " + keptPath + L".";
}

std::vector<uint8_t> encodeSoundParameters(const float* params, int32_t count) {
  std::vector<uint8_t> bytes(count > 0 ? static_cast<size_t>(count) * kEntryBytes : 0);
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t bits = bitsOf(params[i]);
    for (size_t k = 0; k < kEntryBytes; ++k) {
      bytes[i * kEntryBytes + k] = static_cast<uint8_t>(bits >> (8 * k));
    }
  }
  return bytes;
}

bool decodeSoundParameters(const uint8_t* bytes, size_t size, float* params, int32_t count) {
  if (count < 0 || size < static_cast<size_t>(count) * kEntryBytes) return false;
  for (int32_t i = 0; i < count; ++i) {
    uint32_t bits = 0;
    for (size_t k = 0; k < kEntryBytes; ++k) {
      bits |= static_cast<uint32_t>(bytes[i * kEntryBytes + k]) << (8 * k);
    }
    params[i] = floatOf(bits);
  }
  return true;
}

std::wstring soundTempName(int attempt) {
  wchar_t digits[5];
  for (int i = 3; i >= 0; --i) {
    digits[i] = L"0123456789abcdef"[attempt & 0xF];
    attempt >>= 4;
  }
  digits[4] = L'\0';
  return std::wstring(L"~tb") + digits + L".tmp";
}

SoundSaveResult saveSoundFile(const std::wstring& path, const float* params, int32_t count,
                              std::wstring* keptAside) {
  // Writing straight into the chosen file would truncate a good sound before the
  // new one is known to fit; the new bytes go to a file of their own first.
  // A target that could not be created in place is refused up front.
  const FileAccess::Target target = FileAccess::probe(path);
  if (target == FileAccess::Target::kRefused) return SoundSaveResult::kNotCreated;
  const std::wstring folder = FileAccess::folderOf(path);
  FileAccess file;
  std::wstring temp;
  for (int attempt = 0; attempt < kTempNameAttempts && !file.isOpen(); ++attempt) {
    temp = folder + soundTempName(attempt);
    file.createNew(temp);
  }
  if (!file.isOpen()) return SoundSaveResult::kNotCreated;

  std::vector<uint8_t> bytes;
  try {
    bytes = encodeSoundParameters(params, count);
  } catch (const std::bad_alloc&) {
    file.close();
    FileAccess::remove(temp);
    return SoundSaveResult::kOutOfMemory;
  }
  const bool written = file.write(bytes.data(), bytes.size());
  const bool closed = file.close();
  const FileAccess::Placed placed =
      written && closed
          ? FileAccess::replace(temp, path, target == FileAccess::Target::kReplaceable)
          : FileAccess::Placed::kNotPlaced;
  switch (placed) {
    case FileAccess::Placed::kPlaced:
      return SoundSaveResult::kSaved;
    case FileAccess::Placed::kOnlyAtSource:
      if (keptAside) *keptAside = temp;
      return SoundSaveResult::kKeptAside;
    case FileAccess::Placed::kNotPlaced:
      break;
  }
  FileAccess::remove(temp);
  return SoundSaveResult::kNotSaved;
}

SoundLoadResult loadSoundFile(const std::wstring& path, int32_t count, std::vector<float>& params) {
  params.clear();
  FileAccess file;
  if (!file.openForRead(path)) return SoundLoadResult::kNotFound;
  if (count < 1) return SoundLoadResult::kMismatch;

  std::vector<uint8_t> bytes;
  std::vector<float> values;
  try {
    bytes.resize(static_cast<size_t>(count) * kEntryBytes);
    values.resize(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    return SoundLoadResult::kOutOfMemory;
  }
  const long long got = file.read(bytes.data(), bytes.size());
  file.close();
  if (got < 0 ||
      !decodeSoundParameters(bytes.data(), static_cast<size_t>(got), values.data(), count)) {
    return SoundLoadResult::kMismatch;
  }
  // No sound a user saved holds a value that is not finite: such a file is
  // corrupt, and applied it would silence the synth behind meaningless sliders.
  for (float value : values) {
    if (!std::isfinite(value)) return SoundLoadResult::kMismatch;
  }
  params = std::move(values);
  return SoundLoadResult::kLoaded;
}
