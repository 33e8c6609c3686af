// The few file operations sound files need, over the platform's own calls.
// Files are opened without sharing; reads and writes are single calls.
#pragma once

#include <cstddef>
#include <string>

class FileAccess {
 public:
  FileAccess() = default;
  ~FileAccess() { close(); }
  FileAccess(const FileAccess&) = delete;
  FileAccess& operator=(const FileAccess&) = delete;

  // Opens an existing file for reading.
  bool openForRead(const std::string& path);
  // Creates a file that must not exist yet, for writing.
  bool createNew(const std::string& path);
  // One read call of up to `size` bytes; the count read, or -1 on failure.
  long long read(void* data, size_t size);
  // One write call; true only when every byte was written.
  bool write(const void* data, size_t size);
  // Flushes and closes; false when the data may not have reached the file.
  bool close();
  bool isOpen() const;

  // True when `path` does not exist or an existing file there may be written now
  // (not read-only, not held open by another program).
  static bool writableOrAbsent(const std::string& path);
  // Puts `from` in place of `to`, replacing an existing `to` in one step.
  static bool replace(const std::string& from, const std::string& to);
  static void remove(const std::string& path);

 private:
#ifdef _WIN32
  void* handle_ = reinterpret_cast<void*>(-1);
#else
  int fd_ = -1;
#endif
  bool writing_ = false;
};
