// Sound files: a synth's parameters as raw little-endian 32-bit floats, in index
// order, with no header. A file is recognised only by how many bytes it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// kKeptAside: the old file is gone and the new sound could not take its name;
// it is whole in the temporary file, which is kept.
enum class SoundSaveResult { kSaved, kNotCreated, kOutOfMemory, kNotSaved, kKeptAside };
enum class SoundLoadResult { kLoaded, kNotFound, kOutOfMemory, kMismatch };

// The texts the window shows for a failed save or load ("" for success).
const char* soundSaveMessage(SoundSaveResult result);
const char* soundLoadMessage(SoundLoadResult result);
// The text for kKeptAside, naming the file that holds the sound.
std::wstring soundKeptAsideMessage(const std::wstring& keptPath);

// `count` parameters as file bytes, bit for bit as given.
std::vector<uint8_t> encodeSoundParameters(const float* params, int32_t count);

// Fills `params` from the first count * 4 of `size` bytes. False, with `params`
// untouched, when fewer bytes are there.
bool decodeSoundParameters(const uint8_t* bytes, size_t size, float* params, int32_t count);

// Paths are wide text as the file dialogs give them; on Windows they reach the
// file system unconverted, elsewhere they are written out as UTF-8.
//
// Writes the parameters to a fresh file beside `path` and puts it in place of
// `path` only once every byte is written and flushed, so a failed save leaves an
// existing file as it was. A target that a plain create would refuse (read-only,
// hidden or system, in use, a folder) is refused the same way. Should the old
// file vanish while the new one cannot take its name, the new one stays under
// its temporary name, given in `keptAside`.
SoundSaveResult saveSoundFile(const std::wstring& path, const float* params, int32_t count,
                              std::wstring* keptAside = nullptr);

// Reads count * 4 bytes from `path` into `params` (resized to `count`). A value
// that is not finite makes the file a mismatch. On any failure `params` is left
// empty, so the caller changes all parameters or none.
SoundLoadResult loadSoundFile(const std::wstring& path, int32_t count, std::vector<float>& params);

// The name of the file a save writes first, beside the target, for attempt 0, 1,
// ...: short, so that a long target name does not push it past the limits.
std::wstring soundTempName(int attempt);
