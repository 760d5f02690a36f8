// The loader on Windows: LoadLibraryA, GetProcAddress, FreeLibrary.
#include <io.h>
#include <windows.h>

#include "service_library.h"

namespace zelk::host {

void* OpenLibrary(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = path + ": cannot be loaded (error " + std::to_string(GetLastError()) + ")";
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
