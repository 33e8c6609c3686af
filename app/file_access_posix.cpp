#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/file_access.h"

namespace {

// Wide text to the UTF-8 the file system takes here.
std::string narrow(const std::wstring& path) {
  std::string out;
  for (wchar_t wc : path) {
    // A wchar_t is a whole UTF-32 code point here, not a signed byte to widen first.
    auto c = static_cast<uint32_t>(wc);  // NOLINT(bugprone-signed-char-misuse)
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

bool FileAccess::isOpen() const {
  return handle_ >= 0;
}

bool FileAccess::openForRead(const std::wstring& path) {
  close();
  handle_ = ::open(narrow(path).c_str(), O_RDONLY | O_CLOEXEC);
  return isOpen();
}

bool FileAccess::createNew(const std::wstring& path) {
  close();
  handle_ = ::open(narrow(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  writing_ = isOpen();
  return isOpen();
}

long long FileAccess::read(void* data, size_t size) {
  if (!isOpen()) return kReadFailed;
  ssize_t got;
  do {
    got = ::read(static_cast<int>(handle_), data, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool FileAccess::write(const void* data, size_t size) {
  if (!isOpen()) return false;
  ssize_t put;
  do {
    put = ::write(static_cast<int>(handle_), data, size);
  } while (put < 0 && errno == EINTR);
  return put >= 0 && static_cast<size_t>(put) == size;
}

bool FileAccess::writeAt(uint64_t offset, const void* data, size_t size) {
  if (!isOpen() || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) >= 0 &&
         write(data, size);
}

bool FileAccess::close() {
  if (!isOpen()) return true;
  // A replaced file must hold its bytes before the rename makes it the sound.
  const int fd = static_cast<int>(handle_);
  const bool synced = !writing_ || ::fsync(fd) == 0 || errno == EINVAL;
  const bool closed = ::close(fd) == 0;
  handle_ = -1;
  writing_ = false;
  return synced && closed;
}

FileAccess::Target FileAccess::probe(const std::wstring& path) {
  const std::string name = narrow(path);
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0) return errno == ENOENT ? Target::kAbsent : Target::kRefused;
  // A file nobody may write counts as read-only even for the superuser, who
  // could open it anyway.
  if (!S_ISREG(info.st_mode) || (info.st_mode & 0222) == 0) return Target::kRefused;
  const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return Target::kRefused;
  ::close(fd);
  return Target::kReplaceable;
}

FileAccess::Placed FileAccess::replace(const std::wstring& from, const std::wstring& to, bool) {
  // A rename either happens whole or leaves both names as they were.
  return std::rename(narrow(from).c_str(), narrow(to).c_str()) == 0 ? Placed::kPlaced
                                                                    : Placed::kNotPlaced;
}

void FileAccess::remove(const std::wstring& path) {
  std::remove(narrow(path).c_str());
}

std::wstring FileAccess::folderOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L'/') + 1);
}
