// Windows implementation of the platform door (Win32 API), for the 32-bit and
// the 64-bit DLL alike.
#include <windows.h>

// After windows.h, whose types it uses.
#include <shellapi.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "platform/portable.h"

namespace zelk::platform {

// ---------------------------------------------------------------------------
// Module

namespace {

// Any address inside this module names it to GetModuleHandleExA.
void ModuleAnchor() {}

HMODULE OwnModule() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&ModuleAnchor), &module)) {
    return nullptr;
  }
  return module;
}

// The longest path Windows knows, with its terminating NUL.
constexpr DWORD kLongestPath = 32768;

// What this module knows of itself, learnt once while it is loaded (in its
// attach, under the loader's lock, where asking is allowed): a worker asking
// later could wait for the lock while a detach that holds it waits for the
// worker.
struct ModuleIdentity {
  std::string path;
  HMODULE module = nullptr;
};

ModuleIdentity LearnModuleIdentity() {
  ModuleIdentity identity;
  identity.module = OwnModule();
  if (identity.module == nullptr) return identity;
  std::vector<char> buffer(kLongestPath, '\0');
  const DWORD length = GetModuleFileNameA(identity.module, buffer.data(), kLongestPath);
  if (length > 0 && length < kLongestPath) identity.path.assign(buffer.data(), length);
  return identity;
}

// Never destroyed, so that a worker still running at the process's exit can
// ask for it after the module's teardown.
const ModuleIdentity& Identity() {
  static const ModuleIdentity* const identity = new ModuleIdentity(LearnModuleIdentity());
  return *identity;
}

[[maybe_unused]] const bool g_identity_learnt_at_load = Identity().module != nullptr;

}  // namespace

const std::string& portable::WholeModulePath() { return Identity().path; }

std::uintptr_t ModuleBaseAddress() { return reinterpret_cast<std::uintptr_t>(Identity().module); }

// ---------------------------------------------------------------------------
// Files

struct FileAccess {
  static std::intptr_t& Handle(File& file) { return file.handle_; }
  static bool& Append(File& file) { return file.append_; }
};

namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

OpenStatus StatusOfError(DWORD error) {
  switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return OpenStatus::kBusy;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return OpenStatus::kNotFound;
    default:
      return OpenStatus::kFailed;
  }
}

// True for a file on a disk, not a pipe, a console or another device.
bool IsDiskFile(HANDLE handle) { return GetFileType(handle) == FILE_TYPE_DISK; }

// Opens `path`. A pipe's open never waits (it fails when no instance is free),
// but a read from it would wait for the writer: reads are made of disk files
// only, and anything else is refused like a file that cannot be opened.
OpenResult Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  OpenResult result;
  if (path.empty()) return result;
  HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.status = StatusOfError(GetLastError());
    return result;
  }
  if (access == GENERIC_READ && !IsDiskFile(handle)) {
    CloseHandle(handle);
    return result;
  }
  FileAccess::Handle(result.file) = reinterpret_cast<std::intptr_t>(handle);
  result.status = OpenStatus::kOk;
  return result;
}

}  // namespace

std::int64_t File::Read(void* buffer, std::size_t size) {
  if (!is_open()) return -1;
  DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD count = 0;
  if (!ReadFile(H(handle_), buffer, chunk, &count, nullptr)) return -1;
  return static_cast<std::int64_t>(count);
}

namespace {

// Appenders of every process agree on this byte-range lock, far beyond any
// file's end, so that finding the end and writing there is one step for all of
// them (an append handle alone is not atomic across processes under Wine).
constexpr DWORD kAppendLockOffsetHigh = 0x7FFFFFFF;

class AppendLock {
 public:
  explicit AppendLock(HANDLE handle) : handle_(handle) {
    overlapped_.OffsetHigh = kAppendLockOffsetHigh;
    locked_ = LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &overlapped_) != 0;
  }
  ~AppendLock() {
    if (locked_) UnlockFileEx(handle_, 0, 1, 0, &overlapped_);
  }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;

 private:
  HANDLE handle_;
  OVERLAPPED overlapped_{};
  bool locked_ = false;
};

}  // namespace

bool File::Write(const void* data, std::size_t size) {
  if (!is_open()) return false;
  std::optional<AppendLock> lock;
  if (append_) {
    lock.emplace(H(handle_));
    if (!SeekToEnd()) return false;
  }
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD count = 0;
    if (!WriteFile(H(handle_), bytes, chunk, &count, nullptr) || count == 0) return false;
    bytes += count;
    size -= count;
  }
  return true;
}

bool File::Seek(std::int64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  return is_open() && SetFilePointerEx(H(handle_), distance, nullptr, FILE_BEGIN) != 0;
}

bool File::SeekToEnd() {
  LARGE_INTEGER distance;
  distance.QuadPart = 0;
  return is_open() && SetFilePointerEx(H(handle_), distance, nullptr, FILE_END) != 0;
}

std::int64_t File::Size() {
  LARGE_INTEGER size;
  if (!is_open() || !GetFileSizeEx(H(handle_), &size)) return -1;
  return size.QuadPart;
}

bool File::Truncate(std::int64_t length) {
  LARGE_INTEGER position;
  position.QuadPart = 0;
  LARGE_INTEGER saved;
  if (!is_open() || !SetFilePointerEx(H(handle_), position, &saved, FILE_CURRENT)) return false;
  if (!Seek(length) || !SetEndOfFile(H(handle_))) return false;
  return SetFilePointerEx(H(handle_), saved, nullptr, FILE_BEGIN) != 0;
}

bool File::Close() {
  if (!is_open()) return true;
  HANDLE handle = H(handle_);
  handle_ = kInvalid;
  return CloseHandle(handle) != 0;
}

OpenResult OpenExclusive(const std::string& path, CreateMode mode) {
  DWORD disposition = mode == CreateMode::kCreateIfMissing ? OPEN_ALWAYS : OPEN_EXISTING;
  return Open(path, GENERIC_READ | GENERIC_WRITE, 0, disposition);
}

OpenResult OpenSharedRead(const std::string& path) {
  return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
}

OpenResult OpenUnlockedRead(const std::string& path) {
  return Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
              OPEN_EXISTING);
}

OpenResult OpenAppendShared(const std::string& path) {
  OpenResult result = Open(path, GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS);
  FileAccess::Append(result.file) = true;
  return result;
}

std::int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  ULARGE_INTEGER size;
  size.LowPart = attributes.nFileSizeLow;
  size.HighPart = attributes.nFileSizeHigh;
  return static_cast<std::int64_t>(size.QuadPart);
}

// ---------------------------------------------------------------------------
// Text

std::string NarrowFromUtf16(std::u16string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  // wchar_t is a UTF-16 code unit on Windows.
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, wide, length, out.data(), size, nullptr, nullptr) != size) {
    return {};
  }
  return out;
}

// ---------------------------------------------------------------------------
// Worker threads

namespace {

// Never destroyed, so that a worker still running at the process's exit can
// finish with it.
portable::WorkerCount& RunningWorkers() {
  static portable::WorkerCount* const count = new portable::WorkerCount();
  return *count;
}

struct WorkerStart {
  std::function<void()> task;
  ThreadPriority priority;
  HMODULE module;  // the reference this worker holds on the module
};

DWORD WINAPI WorkerMain(LPVOID parameter) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
    module = start->module;
    if (start->priority == ThreadPriority::kLowest) {
      SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
    }
    try {
      start->task();
    } catch (...) {
      // Callers catch their own failures; nothing may end the host process.
    }
  }
  RunningWorkers().Finished();
  // Drops this worker's reference and ends the thread without returning into
  // module code that an unload might just have unmapped.
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

}  // namespace

bool StartDetachedThread(std::function<void()>& task, ThreadPriority priority) {
  if (portable::ThreadStartMustFail()) return false;
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&ModuleAnchor), &module)) {
    return false;
  }
  auto* start = new (std::nothrow) WorkerStart{{}, priority, module};
  if (start == nullptr) {
    FreeLibrary(module);
    return false;
  }
  start->task.swap(task);
  RunningWorkers().Started();
  HANDLE thread = CreateThread(nullptr, 0, &WorkerMain, start, 0, nullptr);
  if (thread == nullptr) {
    RunningWorkers().Finished();
    start->task.swap(task);
    delete start;
    FreeLibrary(module);
    return false;
  }
  CloseHandle(thread);
  return true;
}

bool WaitForWorkers(std::chrono::milliseconds timeout) {
  return RunningWorkers().WaitUntilNone(timeout);
}

bool AwaitWorkersBeforeUnload(std::chrono::milliseconds) { return true; }

// ---------------------------------------------------------------------------
// Local time

std::optional<std::tm> LocalTimeOf(std::int64_t instant) {
  __time64_t seconds = static_cast<__time64_t>(instant);
  std::tm parts{};
  if (_localtime64_s(&parts, &seconds) != 0) return std::nullopt;
  return parts;
}

std::optional<std::int64_t> InstantOfLocal(const std::tm& parts) {
  std::tm copy = parts;
  __time64_t instant = _mktime64(&copy);
  if (instant == static_cast<__time64_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(instant);
}

void SetTimeZoneForTesting(const char* tz) {
  _putenv_s("TZ", tz);
  _tzset();
}

// ---------------------------------------------------------------------------
// Version and operating system

FileVersion QueryFileVersion(const std::string& path) {
  FileVersion version;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size == 0 ? 1 : size]);
  if (buffer == nullptr) {
    version.status = FileVersion::Status::kNoMemory;
    return version;
  }
  if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, buffer.get())) return version;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  char root[] = "\\";
  if (!VerQueryValueA(buffer.get(), root, reinterpret_cast<LPVOID*>(&fixed), &fixed_size) ||
      fixed == nullptr || fixed_size < sizeof(VS_FIXEDFILEINFO)) {
    return version;
  }
  version.status = FileVersion::Status::kOk;
  version.parts = {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                   HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
  return version;
}

OsVersionRecord QueryOsVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;  // 148
  OsVersionRecord record;
  if (!GetVersionExA(&info)) return record;
  record.major = info.dwMajorVersion;
  record.minor = info.dwMinorVersion;
  record.build = info.dwBuildNumber;
  record.platform_id = info.dwPlatformId;
  record.service_pack.assign(info.szCSDVersion,
                             strnlen(info.szCSDVersion, sizeof info.szCSDVersion));
  return record;
}

// ---------------------------------------------------------------------------
// Editor

namespace {

constexpr char kEditorProgram[] = "notepad";

}  // namespace

void OpenInTextEditor(const std::string& path) {
  if (portable::HandToEditorObserver(kEditorProgram, path)) return;
  ShellExecuteA(nullptr, nullptr, kEditorProgram, path.c_str(), nullptr, SW_SHOWNORMAL);
}

// ---------------------------------------------------------------------------
// Folders and removable files

std::optional<std::vector<std::string>> ListFolder(const std::string& folder) {
  if (folder.empty()) return std::nullopt;
  std::string pattern = folder;
  if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA entry{};
  HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    // An empty folder still has "." and ".."; only a missing or unreadable one
    // fails here.
    return std::nullopt;
  }
  std::vector<std::string> names;
  try {
    do {
      if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
          0) {
        names.emplace_back(entry.cFileName);
      }
    } while (FindNextFileA(search, &entry));
  } catch (...) {
    FindClose(search);
    return std::nullopt;
  }
  FindClose(search);
  return names;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return {};
  const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {};
  std::string absolute(size, '\0');
  const DWORD length = GetFullPathNameA(path.c_str(), size, absolute.data(), nullptr);
  if (length == 0 || length >= size) return {};
  absolute.resize(length);
  return absolute;
}

std::string FileNameIdentity(const std::string& path) {
  std::string identity = path;
  if (!identity.empty()) CharUpperBuffA(identity.data(), static_cast<DWORD>(identity.size()));
  return identity;
}

bool IsFolder(const std::string& folder) {
  if (folder.empty()) return false;
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsWritableByOthers(const std::string& folder) {
  (void)folder;  // access lists are not looked at
  return false;
}

OpenResult OpenExclusiveRemovable(const std::string& path, CreateMode mode) {
  // Share mode 0 keeps every other opener out; DELETE access lets the holder
  // mark the file for removal, which then happens as the handle closes. A
  // reparse point (a link someone planted at the name) is opened as itself,
  // not followed, and refused.
  OpenResult result;
  if (path.empty()) return result;
  const DWORD disposition = mode == CreateMode::kCreateIfMissing ? OPEN_ALWAYS : OPEN_EXISTING;
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, disposition,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.status = StatusOfError(GetLastError());
    return result;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      !IsDiskFile(handle)) {
    CloseHandle(handle);
    return result;
  }
  FileAccess::Handle(result.file) = reinterpret_cast<std::intptr_t>(handle);
  result.status = OpenStatus::kOk;
  return result;
}

bool RemoveHeldFile(File& file, const std::string& path) {
  (void)path;  // the handle names the file
  bool removed = false;
  if (file.is_open()) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    removed = SetFileInformationByHandle(H(FileAccess::Handle(file)), FileDispositionInfo,
                                         &disposition, sizeof disposition) != 0;
  }
  file.Close();
  return removed;
}

std::int64_t SeekToEndOffset(File& file) {
  LARGE_INTEGER distance;
  distance.QuadPart = 0;
  LARGE_INTEGER end;
  if (!file.is_open() ||
      SetFilePointerEx(H(FileAccess::Handle(file)), distance, &end, FILE_END) == 0) {
    return -1;
  }
  return end.QuadPart;
}

bool FlushToDisk(File& file) {
  return file.is_open() && FlushFileBuffers(H(FileAccess::Handle(file))) != 0;
}

bool FlushFolder(const std::string& folder) { return !folder.empty(); }

}  // namespace zelk::platform
