// File rights on Windows. Access lists decide what a user may do, and only
// trying tells: a file is created in the folder and deleted again at once.
#include <windows.h>

#include "file_checks.h"

namespace zelk::host {

bool CanCreateIn(const std::string& folder) {
  const std::string probe = (folder.empty() ? std::string(".") : folder) + "\\zelkhost-probe-" +
                            std::to_string(GetCurrentProcessId()) + ".tmp";
  HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// An elevated administrator passes access lists a host's service account
// would not.
bool RunsWithAllRights() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

BinaryFile::Kind NativeBinaryKind() { return BinaryFile::Kind::kPe; }

}  // namespace zelk::host
