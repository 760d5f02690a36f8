// A service library loaded the way a host loads it: by file name, with the
// nine entry points looked up by their undecorated names.
#ifndef ZELK_TOOLS_ZELKHOST_SERVICE_LIBRARY_H_
#define ZELK_TOOLS_ZELKHOST_SERVICE_LIBRARY_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "forwarding/validation_queue.h"

namespace zelk::host {

using forwarding::ValidationCallback;

// The nine entry points, as a host sees them.
struct EntryPoints {
  std::int32_t (*ExecuteService)();
  void (*ForwardTransaction)(const char*, const char*, const char*, const char*, const char*,
                             const char*, const char*, const char*, const char*, const char*,
                             const char*);
  void (*ForwardTransaction2)(const char*, const char*, const char*, const char*, const char*,
                              const char*, const char*, const char*, const char*, const char*,
                              const char*, const char*);
  std::int32_t (*GetAPIVersion)();
  const char* (*GetServiceName)();
  std::int32_t (*IsJobnoValid)(const char*);
  std::int32_t (*Properties)();
  ValidationCallback (*SetCallback)(ValidationCallback);
  void (*StopService)();
};

class ServiceLibrary {
 public:
  // Loads the library at `path` and looks up all nine entry points; nullptr
  // with `error` set when the library or one of the names cannot be had.
  static std::unique_ptr<ServiceLibrary> Load(const std::string& path, std::string* error);

  // Unloads the library.
  ~ServiceLibrary();
  ServiceLibrary(const ServiceLibrary&) = delete;
  ServiceLibrary& operator=(const ServiceLibrary&) = delete;

  const EntryPoints& api() const { return api_; }
  const std::string& path() const { return path_; }

 private:
  ServiceLibrary() = default;
  void* Find(const char* name);

  void* handle_ = nullptr;
  std::string path_;
  EntryPoints api_{};
};

// The file name of the service library on this platform ("zelkforward.so" or
// "zelkforward.dll").
const char* DefaultLibraryName();

// True when `stream` (stdout or stderr) is a terminal.
bool IsTerminal(std::FILE* stream);

// The loader of this platform (service_library_posix.cpp or
// service_library_windows.cpp, chosen by the build).
void* OpenLibrary(const std::string& path, std::string* error);
void CloseLibrary(void* handle);
void* FindSymbol(void* handle, const char* name);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_SERVICE_LIBRARY_H_
