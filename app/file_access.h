// The few file operations sound files need, over the platform's own calls.
// Files are opened without sharing; reads and writes are single calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class FileAccess {
 public:
  // What a save may do with the file at a path.
  enum class Target { kAbsent, kReplaceable, kRefused };

  FileAccess() = default;
  ~FileAccess() { close(); }
  FileAccess(const FileAccess&) = delete;
  FileAccess& operator=(const FileAccess&) = delete;

  // Opens an existing file for reading.
  bool openForRead(const std::wstring& path);
  // Creates a file that must not exist yet, for writing.
  bool createNew(const std::wstring& path);
  // One read call of up to `size` bytes; the count read, or kReadFailed.
  static constexpr long long kReadFailed = -1;
  long long read(void* data, size_t size);
  // One write call; true only when every byte was written.
  bool write(const void* data, size_t size);
  // The same at `offset` bytes from the file's start; later writes follow it.
  bool writeAt(uint64_t offset, const void* data, size_t size);
  // Flushes a written file to the disk and closes; false when the data may not
  // have reached the file.
  bool close();
  bool isOpen() const;

  // kAbsent when nothing is at `path` (its folder exists); kReplaceable for a file
  // that creating in place would overwrite: not read-only, hidden or system, not
  // held open by another program; kRefused otherwise.
  static Target probe(const std::wstring& path);
  // How a replace ended. kNotPlaced: `to` is as it was (or not ours), so `from`
  // is a spare copy. kOnlyAtSource: `to` was taken away before `from` could be
  // put there, so `from` now holds the only copy and must be kept.
  enum class Placed { kPlaced, kNotPlaced, kOnlyAtSource };
  // Puts `from` in place of `to`. An existing `to` is replaced keeping its
  // identity (attributes, security, links) where the file system can. Names
  // that another program holds for a moment (a scanner) are waited for briefly.
  static Placed replace(const std::wstring& from, const std::wstring& to, bool toExists);
  static void remove(const std::wstring& path);
  // The folder part of `path` with its closing separator ("" for a bare name).
  static std::wstring folderOf(const std::wstring& path);

 private:
  // The platform's handle or descriptor; -1 (also INVALID_HANDLE_VALUE) when closed.
  intptr_t handle_ = -1;
  bool writing_ = false;
};
