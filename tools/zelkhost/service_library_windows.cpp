// The loader on Windows: LoadLibraryA, GetProcAddress, FreeLibrary.
#include <io.h>
#include <windows.h>

#include "service_library.h"

namespace zelk::host {

void* OpenLibrary(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    const DWORD code = GetLastError();
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    // 126: the DLL itself was found, so a DLL it imports was not.
    if (code == ERROR_MOD_NOT_FOUND) reason += " (a DLL it needs is missing)";
    *error = path + " cannot be loaded: " + reason + " (error " + std::to_string(code) + ")";
  }
  return reinterpret_cast<void*>(module);
}

void CloseLibrary(void* handle) {
  if (handle != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle));
}

void* FindSymbol(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
}

const char* DefaultLibraryName() { return "zelkforward.dll"; }

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace zelk::host
