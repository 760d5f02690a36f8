// File rights on POSIX, as the calling user has them.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "file_checks.h"

namespace zelk::host {

bool CanCreateIn(const std::string& folder) {
  return access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
}

bool NameTooLong(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) != 0 && errno == ENAMETOOLONG;
}

bool RunsWithAllRights() { return geteuid() == 0; }

BinaryFile::Kind NativeBinaryKind() { return BinaryFile::Kind::kElf; }

}  // namespace zelk::host
