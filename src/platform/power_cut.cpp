// The record a simulated power cut is made from. While a test runs the door
// through its stand-ins with a cut planned, every call that changes a file or
// a name is told here, and the record keeps what a machine losing its power
// at that moment would leave: each file's bytes as of its last flush, and
// each name as of its folder's last flush. ApplyPowerCut then puts exactly
// that on the disk, and the service is loaded again over it.
//
// Files are followed as the system follows them, not by name: a rename moves
// a file's flushed bytes to its new name, and a cut that takes the rename
// back gives them to the old name again.
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform_test_helper.h"
#include "platform/portable.h"

namespace zelk::platform {
namespace portable {
namespace {

constexpr int kNoFile = -1;

struct Record {
  bool on = false;
  std::vector<std::string> flushed;             // per file: its bytes as of its last flush
  std::vector<bool> changed;                    // per file: written since its last flush
  std::map<std::string, int> names;             // a path, and the file it names now
  std::map<std::string, int> durable_names;     // ... as of its folder's last flush
  std::map<RecordHandle, int> files;            // an open handle, and its file
  std::map<RecordHandle, std::string> folders;  // an open folder, and its path
  std::set<std::string> folder_names;           // the paths learnt to be folders
};

std::mutex g_mutex;
Record g_record;  // guarded by g_mutex

// One spelling per path, so a folder's flush finds the names inside it.
std::string Key(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().generic_string();
}

std::string FolderOf(const std::string& key) {
  return std::filesystem::path(key).parent_path().generic_string();
}

int NewFile(Record& r, std::string bytes) {
  r.flushed.push_back(std::move(bytes));
  r.changed.push_back(false);
  return static_cast<int>(r.flushed.size()) - 1;
}

// Learns the path's file as it is now, which the cut keeps: it was there
// before the record began, or is known already.
void Learn(Record& r, const std::string& key) {
  if (r.names.contains(key)) return;
  const DiskImage image = ReadForRecord(key, kNoHandle);
  if (image.folder) r.folder_names.insert(key);
  const int file = image.folder || !image.bytes ? kNoFile : NewFile(r, *image.bytes);
  r.names[key] = file;
  r.durable_names[key] = file;
}

// A name changed: on a system whose folders keep their entries themselves,
// it is durable at once; otherwise when its folder is flushed.
void Named(Record& r, const std::string& key, int file) {
  r.names[key] = file;
  if (kNamesDurableAtOnce) r.durable_names[key] = file;
}

// The file `file`'s bytes now, by its name or, when it has none left, by
// the handle `handle` that holds it.
std::optional<std::string> BytesNow(const Record& r, int file, RecordHandle handle) {
  for (const auto& [key, named] : r.names) {
    if (named == file) return ReadForRecord(key, handle).bytes;
  }
  return ReadForRecord({}, handle).bytes;
}

void FlushFolder(Record& r, const std::string& folder) {
  for (const auto& [key, file] : r.names) {
    if (FolderOf(key) == folder) r.durable_names[key] = file;
  }
}

void Put(const std::string& key, int file, const Record& r) {
  std::error_code error;
  if (file == kNoFile) {
    if (!std::filesystem::is_directory(key, error)) std::filesystem::remove(key, error);
    return;
  }
  std::ofstream out(key, std::ios::binary | std::ios::trunc);
  out << r.flushed[static_cast<std::size_t>(file)];
}

}  // namespace

void StartRecord(bool on) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_record = Record{};
  g_record.on = on;
}

void RecordBeforeNaming(const char* path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_record.on && path != nullptr) Learn(g_record, Key(path));
}

void RecordOpened(RecordHandle handle, const char* path, bool truncates) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Record& r = g_record;
  if (!r.on || path == nullptr) return;
  const std::string key = Key(path);
  Learn(r, key);
  if (r.folder_names.contains(key)) {
    r.folders[handle] = key;
    return;
  }
  int file = r.names[key];
  if (file == kNoFile) {  // made by this open
    file = NewFile(r, {});
    Named(r, key, file);
  }
  if (truncates) r.changed[static_cast<std::size_t>(file)] = true;
  r.files[handle] = file;
}

void RecordChanged(RecordHandle handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const auto found = g_record.files.find(handle);
  if (g_record.on && found != g_record.files.end()) {
    g_record.changed[static_cast<std::size_t>(found->second)] = true;
  }
}

void RecordFlushed(RecordHandle handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Record& r = g_record;
  if (!r.on) return;
  if (const auto folder = r.folders.find(handle); folder != r.folders.end()) {
    FlushFolder(r, folder->second);
    return;
  }
  const auto found = r.files.find(handle);
  if (found == r.files.end()) return;
  const auto file = static_cast<std::size_t>(found->second);
  if (std::optional<std::string> bytes = BytesNow(r, found->second, handle)) {
    r.flushed[file] = std::move(*bytes);
    r.changed[file] = false;
  }
}

void RecordClosed(RecordHandle handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_record.files.erase(handle);
  g_record.folders.erase(handle);
}

void RecordRenamed(const char* from, const char* to) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Record& r = g_record;
  if (!r.on) return;
  const std::string from_key = Key(from);
  const int file = r.names[from_key];
  Named(r, Key(to), file);
  Named(r, from_key, kNoFile);
}

void RecordRemoved(const char* path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_record.on) Named(g_record, Key(path), kNoFile);
}

void RecordRemovedHandle(RecordHandle handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Record& r = g_record;
  const auto found = r.files.find(handle);
  if (!r.on || found == r.files.end()) return;
  for (auto& [key, file] : r.names) {
    if (file == found->second) Named(r, key, kNoFile);
  }
}

}  // namespace portable

void ApplyPowerCut() {
  std::lock_guard<std::mutex> lock(portable::g_mutex);
  portable::Record& r = portable::g_record;
  for (const auto& [key, now] : r.names) {
    const int durable = r.durable_names[key];
    if (durable != now || (now != portable::kNoFile && r.changed[static_cast<std::size_t>(now)])) {
      portable::Put(key, durable, r);
    }
  }
  r = portable::Record{};
}

bool PowerCutKeepsUnflushedNames() { return portable::kNamesDurableAtOnce; }

}  // namespace zelk::platform
