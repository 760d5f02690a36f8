// File rights on POSIX, as the calling user has them.
#include <unistd.h>

#include "file_checks.h"

namespace zelk::host {

bool CanCreateIn(const std::string& folder) {
  return access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
}

bool RunsWithAllRights() { return geteuid() == 0; }

BinaryFile::Kind NativeBinaryKind() { return BinaryFile::Kind::kElf; }

}  // namespace zelk::host
