// The pipeline's floors in bare POSIX calls: the locks are the door's kind
// (open-file-description locks), without any of its looks at the file.
#include <fcntl.h>
#include <unistd.h>

#include "bare_floor.h"

namespace zelk::bench {
namespace {

// One lock of the door's kind: `type` over `length` bytes from `start` (0:
// to the end, however long the file grows).
void Lock(int fd, short type, off_t start, off_t length) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;
  fcntl(fd, F_OFD_SETLK, &range);
}

// A floor does not look at results: the benchmark checks the files.
void Written(ssize_t /*result*/) {}

// A byte far beyond any file's end, as the door's shared roles use.
constexpr off_t kRoleByte = 0x7FFFFFFFFFFFFFF0;

}  // namespace

void ReadWholeFileBare(const std::string& path, std::string& buffer) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  buffer.resize(8192);
  const ssize_t count = ::read(fd, buffer.data(), buffer.size());
  buffer.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  ::close(fd);
}

void AppendToTargetBare(const std::string& path, std::string_view line) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  Lock(fd, F_WRLCK, 0, 0);
  ::lseek(fd, 0, SEEK_END);
  Written(::write(fd, line.data(), line.size()));
  ::close(fd);
}

void AppendToLogBare(const std::string& path, std::string_view line) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  Lock(fd, F_RDLCK, kRoleByte, 1);
  Written(::write(fd, line.data(), line.size()));
  ::close(fd);
}

void RewriteHeldBare(const std::string& path, std::string_view kept) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  Lock(fd, F_WRLCK, 0, 0);
  Written(::write(fd, kept.data(), kept.size()));
  Written(::ftruncate(fd, static_cast<off_t>(kept.size())));
  ::close(fd);
}

int OpenHeldBare(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  Lock(fd, F_WRLCK, 0, 0);
  return fd;
}

void WriteAtStartBare(int fd, std::string_view line) {
  Written(::pwrite(fd, line.data(), line.size(), 0));
}

void CloseBare(int fd) { ::close(fd); }

}  // namespace zelk::bench
