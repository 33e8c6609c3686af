#include "app/file_access.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

bool FileAccess::isOpen() const {
  return fd_ >= 0;
}

bool FileAccess::openForRead(const std::string& path) {
  close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return isOpen();
}

bool FileAccess::createNew(const std::string& path) {
  close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  writing_ = isOpen();
  return isOpen();
}

long long FileAccess::read(void* data, size_t size) {
  if (!isOpen()) return -1;
  ssize_t got;
  do {
    got = ::read(fd_, data, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool FileAccess::write(const void* data, size_t size) {
  if (!isOpen()) return false;
  ssize_t put;
  do {
    put = ::write(fd_, data, size);
  } while (put < 0 && errno == EINTR);
  return put >= 0 && static_cast<size_t>(put) == size;
}

bool FileAccess::close() {
  if (!isOpen()) return true;
  // A replaced file must hold its bytes before the rename makes it the sound.
  const bool synced = !writing_ || ::fsync(fd_) == 0 || errno == EINVAL;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  writing_ = false;
  return synced && closed;
}

bool FileAccess::writableOrAbsent(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  ::close(fd);
  return true;
}

bool FileAccess::replace(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void FileAccess::remove(const std::string& path) {
  std::remove(path.c_str());
}
