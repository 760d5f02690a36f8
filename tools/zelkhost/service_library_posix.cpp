// The loader on POSIX: dlopen, dlsym, dlclose.
#include <dlfcn.h>
#include <unistd.h>

#include "service_library.h"

namespace zelk::host {

void* OpenLibrary(const std::string& path, std::string* error) {
  // A name without a folder would be searched on the library path; the host
  // driver always means a file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : path + ": cannot be loaded";
  }
  return handle;
}

void CloseLibrary(void* handle) {
  if (handle != nullptr) dlclose(handle);
}

void* FindSymbol(void* handle, const char* name) { return dlsym(handle, name); }

const char* DefaultLibraryName() { return "zelkforward.so"; }

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

}  // namespace zelk::host
