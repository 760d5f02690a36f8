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

// The service opens files through the ANSI functions, which take paths of
// fewer than MAX_PATH characters; no part of a path may exceed 255.
bool NameTooLong(const std::string& path) {
  constexpr std::size_t kLongestPart = 255;
  if (path.size() >= MAX_PATH) return true;
  std::size_t part = 0;
  for (const char c : path) {
    part = c == '\\' || c == '/' ? 0 : part + 1;
    if (part > kLongestPart) return true;
  }
  return false;
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
