#include "service_library.h"

namespace zelk::host {

namespace {

template <typename Function>
bool Bind(void* address, Function*& slot) {
  slot = reinterpret_cast<Function*>(address);
  return address != nullptr;
}

}  // namespace

std::unique_ptr<ServiceLibrary> ServiceLibrary::Load(const std::string& path, std::string* error) {
  std::unique_ptr<ServiceLibrary> library(new ServiceLibrary());
  library->path_ = path;
  library->handle_ = OpenLibrary(path, error);
  if (library->handle_ == nullptr) return nullptr;
  EntryPoints& api = library->api_;
  struct Name {
    const char* name;
    bool bound;
  };
  const Name names[] = {
      {"ExecuteService", Bind(library->Find("ExecuteService"), api.ExecuteService)},
      {"ForwardTransaction", Bind(library->Find("ForwardTransaction"), api.ForwardTransaction)},
      {"ForwardTransaction2", Bind(library->Find("ForwardTransaction2"), api.ForwardTransaction2)},
      {"GetAPIVersion", Bind(library->Find("GetAPIVersion"), api.GetAPIVersion)},
      {"GetServiceName", Bind(library->Find("GetServiceName"), api.GetServiceName)},
      {"IsJobnoValid", Bind(library->Find("IsJobnoValid"), api.IsJobnoValid)},
      {"Properties", Bind(library->Find("Properties"), api.Properties)},
      {"SetCallback", Bind(library->Find("SetCallback"), api.SetCallback)},
      {"StopService", Bind(library->Find("StopService"), api.StopService)},
  };
  std::string missing;
  for (const Name& name : names) {
    if (!name.bound) missing += std::string(missing.empty() ? "" : ", ") + name.name;
  }
  if (!missing.empty()) {
    *error = path + " lacks the entry points " + missing +
             ": it is no zelkforward library, or one built without its export list";
    return nullptr;
  }
  return library;
}

ServiceLibrary::~ServiceLibrary() { CloseLibrary(handle_); }

void* ServiceLibrary::Find(const char* name) { return FindSymbol(handle_, name); }

}  // namespace zelk::host
