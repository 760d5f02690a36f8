// Windows implementation of the platform door (Win32 API), for the 32-bit and
// the 64-bit DLL alike.
#include <windows.h>

// After windows.h, whose types it uses.
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "platform/portable.h"

namespace zelk::platform {

// ---------------------------------------------------------------------------
// System calls
//
// Every call the door makes of the system goes through this one table, so
// that tests can swap in stand-ins that count the calls and fail the ones
// they choose (InjectFaults). The entries are atomic only so that a swap
// while workers run is no data race: a relaxed load is a plain load, so the
// production path pays one indirect call and no lock or branch. A build
// without the seam (portable::kFaultSeam) makes the table a constant and
// calls the system directly.

namespace {

constexpr char kEditorProgram[] = "notepad";

// Starts the editor on a file; ShellExecuteA returns at once, whether or not
// the editor started.
void ShowInNotepad(const std::string& path) {
  ShellExecuteA(nullptr, nullptr, kEditorProgram, path.c_str(), nullptr, SW_SHOWNORMAL);
}

struct SystemCalls {
  portable::SeamEntry<decltype(&::CreateFileA)> create_file{&::CreateFileA};
  portable::SeamEntry<decltype(&::ReadFile)> read_file{&::ReadFile};
  portable::SeamEntry<decltype(&::WriteFile)> write_file{&::WriteFile};
  portable::SeamEntry<decltype(&::SetFilePointerEx)> set_file_pointer{&::SetFilePointerEx};
  portable::SeamEntry<decltype(&::GetFileSizeEx)> get_file_size{&::GetFileSizeEx};
  portable::SeamEntry<decltype(&::GetFileInformationByHandle)> get_file_information{
      &::GetFileInformationByHandle};
  portable::SeamEntry<decltype(&::GetFileAttributesExA)> get_file_attributes{
      &::GetFileAttributesExA};
  portable::SeamEntry<decltype(&::SetEndOfFile)> set_end_of_file{&::SetEndOfFile};
  portable::SeamEntry<decltype(&::FlushFileBuffers)> flush_file_buffers{&::FlushFileBuffers};
  portable::SeamEntry<decltype(&::CloseHandle)> close_handle{&::CloseHandle};
  portable::SeamEntry<decltype(&::MoveFileExA)> move_file{&::MoveFileExA};
  portable::SeamEntry<decltype(&::DeleteFileA)> delete_file{&::DeleteFileA};
  portable::SeamEntry<decltype(&::SetFileInformationByHandle)> set_file_information{
      &::SetFileInformationByHandle};
  portable::SeamEntry<decltype(&::LockFileEx)> lock_file{&::LockFileEx};
  portable::SeamEntry<decltype(&::FindFirstFileA)> find_first_file{&::FindFirstFileA};
  portable::SeamEntry<decltype(&::CreateThread)> create_thread{&::CreateThread};
  portable::SeamEntry<void (*)(const std::string&)> open_editor{&ShowInNotepad};
};

// Constant-initialised, so it is whole before any code of the module runs.
constinit portable::SeamTable<SystemCalls> g_calls;

// Calls the table's entry `entry` with `arguments`.
template <auto SystemCalls::*entry, typename... Arguments>
auto Call(Arguments... arguments) {
  return portable::CallEntry<g_calls, entry>(arguments...);
}

// Counts a call of `kind`; true, with the last error set, when the tests'
// plan fails it.
bool Refused(DoorCall kind, LPCSTR path = nullptr) {
  const portable::Injected injected = portable::NextCall(static_cast<int>(kind), path);
  if (injected.code == 0) return false;
  SetLastError(static_cast<DWORD>(injected.code));
  return true;
}

// The power cut's record's name for a handle.
portable::RecordHandle Recorded(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// Tells the power cut's record that the call changed the file `handle` holds.
BOOL Changed(HANDLE handle, BOOL done) {
  if (done) portable::RecordChanged(Recorded(handle));
  return done;
}

// The calls that make, change, flush or name files tell the power cut's
// record what they did once they went through.
HANDLE WINAPI CreateFileAStandIn(LPCSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e,
                                 DWORD f, HANDLE g) {
  if (Refused(DoorCall::kOpen, a)) return INVALID_HANDLE_VALUE;
  portable::RecordBeforeNaming(a);
  const HANDLE opened = ::CreateFileA(a, b, c, d, e, f, g);
  if (opened != INVALID_HANDLE_VALUE) {
    portable::RecordOpened(Recorded(opened), a, e == CREATE_ALWAYS || e == TRUNCATE_EXISTING);
  }
  return opened;
}

BOOL WINAPI ReadFileStandIn(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
  if (Refused(DoorCall::kRead)) return FALSE;
  return ::ReadFile(a, b, c, d, e);
}

BOOL WINAPI WriteFileStandIn(HANDLE a, LPCVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
  const portable::Injected injected = portable::NextCall(static_cast<int>(DoorCall::kWrite));
  if (injected.short_write > 0) {
    return Changed(
        a, ::WriteFile(a, b, std::min<DWORD>(c, static_cast<DWORD>(injected.short_write)), d, e));
  }
  if (injected.code == 0) return Changed(a, ::WriteFile(a, b, c, d, e));
  SetLastError(static_cast<DWORD>(injected.code));
  return FALSE;
}

BOOL WINAPI SetFilePointerExStandIn(HANDLE a, LARGE_INTEGER b, PLARGE_INTEGER c, DWORD d) {
  if (Refused(DoorCall::kSeek)) return FALSE;
  return ::SetFilePointerEx(a, b, c, d);
}

BOOL WINAPI GetFileSizeExStandIn(HANDLE a, PLARGE_INTEGER b) {
  if (Refused(DoorCall::kStat)) return FALSE;
  return ::GetFileSizeEx(a, b);
}

BOOL WINAPI GetFileInformationByHandleStandIn(HANDLE a, LPBY_HANDLE_FILE_INFORMATION b) {
  if (Refused(DoorCall::kStat)) return FALSE;
  return ::GetFileInformationByHandle(a, b);
}

BOOL WINAPI GetFileAttributesExAStandIn(LPCSTR a, GET_FILEEX_INFO_LEVELS b, LPVOID c) {
  if (Refused(DoorCall::kStat, a)) return FALSE;
  return ::GetFileAttributesExA(a, b, c);
}

BOOL WINAPI SetEndOfFileStandIn(HANDLE a) {
  if (Refused(DoorCall::kTruncate)) return FALSE;
  return Changed(a, ::SetEndOfFile(a));
}

BOOL WINAPI FlushFileBuffersStandIn(HANDLE a) {
  if (Refused(DoorCall::kFlush)) return FALSE;
  const BOOL flushed = ::FlushFileBuffers(a);
  if (flushed) portable::RecordFlushed(Recorded(a));
  return flushed;
}

// A failed close still lets the handle go, as the door takes it to be gone
// whatever CloseHandle says; a stand-in that kept it would hold the file
// unshared for the rest of the process, a fault no system makes.
BOOL WINAPI CloseHandleStandIn(HANDLE a) {
  const bool refused = Refused(DoorCall::kClose);
  const DWORD code = GetLastError();
  portable::RecordClosed(Recorded(a));
  const BOOL closed = ::CloseHandle(a);
  if (!refused) return closed;
  SetLastError(code);
  return FALSE;
}

BOOL WINAPI MoveFileExAStandIn(LPCSTR a, LPCSTR b, DWORD c) {
  if (Refused(DoorCall::kRename, a)) return FALSE;
  portable::RecordBeforeNaming(a);
  portable::RecordBeforeNaming(b);
  const BOOL moved = ::MoveFileExA(a, b, c);
  if (moved) portable::RecordRenamed(a, b);
  return moved;
}

BOOL WINAPI DeleteFileAStandIn(LPCSTR a) {
  if (Refused(DoorCall::kRemove, a)) return FALSE;
  portable::RecordBeforeNaming(a);
  const BOOL removed = ::DeleteFileA(a);
  if (removed) portable::RecordRemoved(a);
  return removed;
}

BOOL WINAPI SetFileInformationByHandleStandIn(HANDLE a, FILE_INFO_BY_HANDLE_CLASS b, LPVOID c,
                                              DWORD d) {
  if (Refused(DoorCall::kRemove)) return FALSE;
  const BOOL removed = ::SetFileInformationByHandle(a, b, c, d);
  if (removed) portable::RecordRemovedHandle(Recorded(a));
  return removed;
}

BOOL WINAPI LockFileExStandIn(HANDLE a, DWORD b, DWORD c, DWORD d, DWORD e, LPOVERLAPPED f) {
  if (Refused(DoorCall::kLock)) return FALSE;
  return ::LockFileEx(a, b, c, d, e, f);
}

HANDLE WINAPI FindFirstFileAStandIn(LPCSTR a, LPWIN32_FIND_DATAA b) {
  if (Refused(DoorCall::kList, a)) return INVALID_HANDLE_VALUE;
  return ::FindFirstFileA(a, b);
}

HANDLE WINAPI CreateThreadStandIn(LPSECURITY_ATTRIBUTES a, SIZE_T b, LPTHREAD_START_ROUTINE c,
                                  LPVOID d, DWORD e, LPDWORD f) {
  if (Refused(DoorCall::kThreadStart)) return nullptr;
  return ::CreateThread(a, b, c, d, e, f);
}

}  // namespace

void portable::RouteThroughStandIns(bool on) {
  portable::SeamTable<SystemCalls>& c = g_calls;
  Route(c.create_file, &::CreateFileA, &CreateFileAStandIn, on);
  Route(c.read_file, &::ReadFile, &ReadFileStandIn, on);
  Route(c.write_file, &::WriteFile, &WriteFileStandIn, on);
  Route(c.set_file_pointer, &::SetFilePointerEx, &SetFilePointerExStandIn, on);
  Route(c.get_file_size, &::GetFileSizeEx, &GetFileSizeExStandIn, on);
  Route(c.get_file_information, &::GetFileInformationByHandle, &GetFileInformationByHandleStandIn,
        on);
  Route(c.get_file_attributes, &::GetFileAttributesExA, &GetFileAttributesExAStandIn, on);
  Route(c.set_end_of_file, &::SetEndOfFile, &SetEndOfFileStandIn, on);
  Route(c.flush_file_buffers, &::FlushFileBuffers, &FlushFileBuffersStandIn, on);
  Route(c.close_handle, &::CloseHandle, &CloseHandleStandIn, on);
  Route(c.move_file, &::MoveFileExA, &MoveFileExAStandIn, on);
  Route(c.delete_file, &::DeleteFileA, &DeleteFileAStandIn, on);
  Route(c.set_file_information, &::SetFileInformationByHandle, &SetFileInformationByHandleStandIn,
        on);
  Route(c.lock_file, &::LockFileEx, &LockFileExStandIn, on);
  Route(c.find_first_file, &::FindFirstFileA, &FindFirstFileAStandIn, on);
  Route(c.create_thread, &::CreateThread, &CreateThreadStandIn, on);
}

int SystemErrorCode(SystemError error) {
  switch (error) {
    case SystemError::kNoSpace:
      return static_cast<int>(ERROR_DISK_FULL);
    case SystemError::kNoAccess:
      return static_cast<int>(ERROR_ACCESS_DENIED);
    case SystemError::kBusy:
      return static_cast<int>(ERROR_SHARING_VIOLATION);
    case SystemError::kIo:
      break;
  }
  return static_cast<int>(ERROR_WRITE_FAULT);
}

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
  static std::int64_t FailedCount(File& file, const char* operation, DWORD code) {
    return file.FailedCount(operation, static_cast<int>(code));
  }
};

namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The kind of an open's failure with GetLastError `error`, which callers
// branch on.
OpenStatus KindOfError(DWORD error) {
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

// A GetLastError code as the door keeps it.
int Code(DWORD error) { return static_cast<int>(error); }

// A failed open of `path`: its kind and its cause, the code kept.
OpenResult OpenFailed(const char* operation, const std::string& path, DWORD error) {
  OpenResult result;
  result.status = KindOfError(error);
  result.error = Status::FromSystem(operation, path, Code(error));
  return result;
}

// What an open refuses of its own accord: a read of a pipe or a device.
constexpr char kNotDiskFile[] = "Not a file on a disk (a pipe or a device)";

// True for a file on a disk, not a pipe, a console or another device.
bool IsDiskFile(HANDLE handle) { return GetFileType(handle) == FILE_TYPE_DISK; }

// Opens `path`. A pipe's open never waits (it fails when no instance is free),
// but a read from it would wait for the writer: reads are made of disk files
// only, and anything else is refused like a file that cannot be opened.
OpenResult Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  OpenResult result;
  if (path.empty()) return OpenFailed("open", path, ERROR_FILE_NOT_FOUND);
  HANDLE handle = Call<&SystemCalls::create_file>(path.c_str(), access, share, nullptr, disposition,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenFailed("open", path, GetLastError());
  if (access == GENERIC_READ && !IsDiskFile(handle)) {
    Call<&SystemCalls::close_handle>(handle);
    result.error = Status::Refused("open", path, kNotDiskFile);
    return result;
  }
  FileAccess::Handle(result.file) = reinterpret_cast<std::intptr_t>(handle);
  result.status = OpenStatus::kOk;
  return result;
}

}  // namespace

std::int64_t File::Read(void* buffer, std::size_t size) {
  if (!is_open()) return FailedCount("read", Code(ERROR_INVALID_HANDLE));
  DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD count = 0;
  if (!Call<&SystemCalls::read_file>(H(handle_), buffer, chunk, &count, nullptr)) {
    return FailedCount("read", Code(GetLastError()));
  }
  return static_cast<std::int64_t>(count);
}

namespace {

// `offset` as the position of a positioned read or write.
OVERLAPPED At(std::int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  return at;
}

}  // namespace

std::int64_t File::ReadAt(std::int64_t offset, void* buffer, std::size_t size) {
  if (!is_open()) return FailedCount("read", Code(ERROR_INVALID_HANDLE));
  if (offset < 0) return FailedCount("read", Code(ERROR_NEGATIVE_SEEK));
  DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD count = 0;
  OVERLAPPED at = At(offset);
  if (!Call<&SystemCalls::read_file>(H(handle_), buffer, chunk, &count, &at)) {
    const DWORD error = GetLastError();
    return error == ERROR_HANDLE_EOF ? 0 : FailedCount("read", Code(error));
  }
  return static_cast<std::int64_t>(count);
}

Status File::WriteAt(std::int64_t offset, const void* data, std::size_t size) {
  if (!is_open()) return Failed("write", Code(ERROR_INVALID_HANDLE));
  if (offset < 0) return Failed("write", Code(ERROR_NEGATIVE_SEEK));
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD count = 0;
    OVERLAPPED at = At(offset);
    if (!Call<&SystemCalls::write_file>(H(handle_), bytes, chunk, &count, &at)) {
      const DWORD error = GetLastError();
      // No positions (a device): the bytes go where it stands.
      if (!IsDiskFile(H(handle_))) return Write(bytes, size);
      return Failed("write", Code(error));
    }
    if (count == 0) return Failed("write", Code(ERROR_WRITE_FAULT));
    bytes += count;
    size -= count;
    offset += count;
  }
  return {};
}

namespace {

// Appenders of every process agree on this byte-range lock, far beyond any
// file's end, so that finding the end and writing there is one step for all of
// them (an append handle alone is not atomic across processes under Wine).
constexpr DWORD kAppendLockOffsetHigh = 0x7FFFFFFF;

// How long a write waits for the appenders' lock. The door's appenders hold
// it for one write only; a handle that holds it longer (any program that may
// read the file can) is told apart at the next open, which reports kBusy, so
// the callers' own bounded wait and busy stretch cover it.
constexpr auto kAppendLockPatience = std::chrono::milliseconds(50);
constexpr auto kLongestAppendLockPause = std::chrono::milliseconds(10);

// Takes the appenders' lock on `handle` without waiting: kOk, kBusy while
// another handle holds the byte, kFailed when the file takes no locks (a
// device such as NUL), whose writes then go as they are.
OpenStatus TryAppendLock(HANDLE handle, OVERLAPPED& overlapped) {
  overlapped = OVERLAPPED{};
  overlapped.OffsetHigh = kAppendLockOffsetHigh;
  if (Call<&SystemCalls::lock_file>(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                    1, 0, &overlapped)) {
    return OpenStatus::kOk;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION ? OpenStatus::kBusy : OpenStatus::kFailed;
}

// True unless another handle holds the appenders' lock on `handle`'s file.
bool AppendLockFree(HANDLE handle) {
  OVERLAPPED overlapped{};
  const OpenStatus status = TryAppendLock(handle, overlapped);
  if (status == OpenStatus::kOk) UnlockFileEx(handle, 0, 1, 0, &overlapped);
  return status != OpenStatus::kBusy;
}

// The appenders' lock for one write, waited for at most kAppendLockPatience.
class AppendLock {
 public:
  explicit AppendLock(HANDLE handle) : handle_(handle) {
    const auto deadline = std::chrono::steady_clock::now() + kAppendLockPatience;
    auto pause = std::chrono::milliseconds(1);
    while ((status_ = TryAppendLock(handle_, overlapped_)) == OpenStatus::kBusy &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, kLongestAppendLockPause);
    }
  }
  ~AppendLock() {
    if (status_ == OpenStatus::kOk) UnlockFileEx(handle_, 0, 1, 0, &overlapped_);
  }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;

  // False while another handle still holds the lock: nothing may be written.
  bool may_write() const { return status_ != OpenStatus::kBusy; }

 private:
  HANDLE handle_;
  OVERLAPPED overlapped_{};
  OpenStatus status_ = OpenStatus::kFailed;
};

}  // namespace

Status File::Write(const void* data, std::size_t size) {
  if (!is_open()) return Failed("write", Code(ERROR_INVALID_HANDLE));
  std::optional<AppendLock> lock;
  if (append_) {
    lock.emplace(H(handle_));
    // Another handle kept the appenders' lock beyond the wait.
    if (!lock->may_write()) return Failed("lock", Code(ERROR_LOCK_VIOLATION));
    if (Status at_end = SeekToEnd(); !at_end.ok()) return at_end;
  }
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD count = 0;
    if (!Call<&SystemCalls::write_file>(H(handle_), bytes, chunk, &count, nullptr)) {
      return Failed("write", Code(GetLastError()));
    }
    if (count == 0) return Failed("write", Code(ERROR_WRITE_FAULT));
    bytes += count;
    size -= count;
  }
  return {};
}

Status File::Seek(std::int64_t offset) {
  if (!is_open()) return Failed("seek", Code(ERROR_INVALID_HANDLE));
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  if (Call<&SystemCalls::set_file_pointer>(H(handle_), distance, nullptr, FILE_BEGIN) == 0) {
    return Failed("seek", Code(GetLastError()));
  }
  return {};
}

Status File::SeekToEnd() {
  if (!is_open()) return Failed("seek", Code(ERROR_INVALID_HANDLE));
  LARGE_INTEGER distance;
  distance.QuadPart = 0;
  if (Call<&SystemCalls::set_file_pointer>(H(handle_), distance, nullptr, FILE_END) == 0) {
    return Failed("seek", Code(GetLastError()));
  }
  return {};
}

std::int64_t File::Size() {
  LARGE_INTEGER size;
  if (!is_open()) return FailedCount("stat", Code(ERROR_INVALID_HANDLE));
  if (!Call<&SystemCalls::get_file_size>(H(handle_), &size))
    return FailedCount("stat", Code(GetLastError()));
  return size.QuadPart;
}

Status File::Truncate(std::int64_t length) {
  if (!is_open()) return Failed("truncate", Code(ERROR_INVALID_HANDLE));
  // A device has no length to set: nothing of it needs cutting.
  if (!IsDiskFile(H(handle_))) return {};
  LARGE_INTEGER position;
  position.QuadPart = 0;
  LARGE_INTEGER saved;
  if (!Call<&SystemCalls::set_file_pointer>(H(handle_), position, &saved, FILE_CURRENT)) {
    return Failed("truncate", Code(GetLastError()));
  }
  if (Status at = Seek(length); !at.ok()) return at;
  if (!Call<&SystemCalls::set_end_of_file>(H(handle_)))
    return Failed("truncate", Code(GetLastError()));
  if (Call<&SystemCalls::set_file_pointer>(H(handle_), saved, nullptr, FILE_BEGIN) == 0) {
    return Failed("seek", Code(GetLastError()));
  }
  return {};
}

Status File::Close() {
  if (!is_open()) return {};
  HANDLE handle = H(handle_);
  handle_ = kInvalid;
  // The handle is gone whatever CloseHandle says, so it is never closed
  // twice.
  if (Call<&SystemCalls::close_handle>(handle) == 0) return Failed("close", Code(GetLastError()));
  return {};
}

namespace {

// An exclusive open, made with `access` and shared with no one, with the
// file's size, which therefore stays what it is now while held; 0 for a
// device.
OpenResult OpenExclusiveWithSize(const std::string& path, DWORD access, CreateMode mode) {
  DWORD disposition = mode == CreateMode::kCreateIfMissing ? OPEN_ALWAYS : OPEN_EXISTING;
  OpenResult result = Open(path, access, 0, disposition);
  if (result.status != OpenStatus::kOk) return result;
  HANDLE handle = H(FileAccess::Handle(result.file));
  LARGE_INTEGER size;
  size.QuadPart = 0;
  if (IsDiskFile(handle) && !Call<&SystemCalls::get_file_size>(handle, &size)) {
    return OpenFailed("stat", path, GetLastError());
  }
  result.size = size.QuadPart;
  return result;
}

}  // namespace

OpenResult OpenExclusive(const std::string& path, CreateMode mode) {
  return OpenExclusiveWithSize(path, GENERIC_READ | GENERIC_WRITE, mode);
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
  // A handle holding the appenders' lock beyond one write makes the file
  // busy, so no write waits for it longer than a moment.
  if (result.status == OpenStatus::kOk && !AppendLockFree(H(FileAccess::Handle(result.file)))) {
    return OpenFailed("lock", path, ERROR_LOCK_VIOLATION);
  }
  FileAccess::Append(result.file) = true;
  return result;
}

std::int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (path.empty() ||
      !Call<&SystemCalls::get_file_attributes>(path.c_str(), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  ULARGE_INTEGER size;
  size.LowPart = attributes.nFileSizeLow;
  size.HighPart = attributes.nFileSizeHigh;
  return static_cast<std::int64_t>(size.QuadPart);
}

namespace {

// A FILETIME (100 ns steps since 1601) in ns since 1970.
std::int64_t NanosecondsSince1970(const FILETIME& time) {
  constexpr std::int64_t kStepsFrom1601To1970 = 116444736000000000;
  constexpr std::int64_t kNanosecondsPerStep = 100;
  ULARGE_INTEGER steps;
  steps.LowPart = time.dwLowDateTime;
  steps.HighPart = time.dwHighDateTime;
  return (static_cast<std::int64_t>(steps.QuadPart) - kStepsFrom1601To1970) * kNanosecondsPerStep;
}

}  // namespace

namespace {

// The fields both looks have: the handle's look leaves out the volume's serial
// number and the file's index, which a look by path cannot tell.
FileStamp StampOfRecord(DWORD attributes, DWORD size_high, DWORD size_low,
                        const FILETIME& last_write, const FILETIME& creation) {
  FileStamp stamp;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return stamp;
  ULARGE_INTEGER size;
  size.LowPart = size_low;
  size.HighPart = size_high;
  stamp.status = OpenStatus::kOk;
  stamp.size = static_cast<std::int64_t>(size.QuadPart);
  stamp.modified_ns = NanosecondsSince1970(last_write);
  stamp.changed_ns = stamp.modified_ns;
  stamp.file = static_cast<std::uint64_t>(NanosecondsSince1970(creation));
  return stamp;
}

}  // namespace

FileStamp StampOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA record{};
  if (path.empty()) return FileStamp();
  if (!Call<&SystemCalls::get_file_attributes>(path.c_str(), GetFileExInfoStandard, &record)) {
    FileStamp stamp;
    stamp.status = KindOfError(GetLastError());
    return stamp;
  }
  return StampOfRecord(record.dwFileAttributes, record.nFileSizeHigh, record.nFileSizeLow,
                       record.ftLastWriteTime, record.ftCreationTime);
}

FileStamp StampOf(File& file) {
  BY_HANDLE_FILE_INFORMATION record{};
  if (!file.is_open() ||
      !Call<&SystemCalls::get_file_information>(H(FileAccess::Handle(file)), &record)) {
    return FileStamp();
  }
  return StampOfRecord(record.dwFileAttributes, record.nFileSizeHigh, record.nFileSizeLow,
                       record.ftLastWriteTime, record.ftCreationTime);
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

Status StartDetachedThread(std::function<void()>& task, ThreadPriority priority) {
  constexpr char kStart[] = "start thread";
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&ModuleAnchor), &module)) {
    return Status::FromSystem(kStart, {}, Code(GetLastError()));
  }
  auto* start = new (std::nothrow) WorkerStart{{}, priority, module};
  if (start == nullptr) {
    FreeLibrary(module);
    return Status::FromSystem(kStart, {}, Code(ERROR_OUTOFMEMORY));
  }
  start->task.swap(task);
  RunningWorkers().Started();
  HANDLE thread = Call<&SystemCalls::create_thread>(nullptr, 0, &WorkerMain, start, 0, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    RunningWorkers().Finished();
    start->task.swap(task);
    delete start;
    FreeLibrary(module);
    return Status::FromSystem(kStart, {}, Code(error));
  }
  Call<&SystemCalls::close_handle>(thread);
  return {};
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

void EditorStandIn(const std::string& path) {
  portable::HandToEditorObserver(kEditorProgram, path);
}

}  // namespace

void OpenInTextEditor(const std::string& path) { Call<&SystemCalls::open_editor>(path); }

void portable::RouteEditorToObserver(bool observed) {
  Route(g_calls.open_editor, &ShowInNotepad, &EditorStandIn, observed);
}

// ---------------------------------------------------------------------------
// Folders and removable files

FolderListing ListFolder(const std::string& folder) {
  if (folder.empty())
    return {std::nullopt, Status::FromSystem("list", folder, Code(ERROR_PATH_NOT_FOUND))};
  std::string pattern = folder;
  if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA entry{};
  HANDLE search = Call<&SystemCalls::find_first_file>(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    // An empty folder still has "." and ".."; only a missing or unreadable one
    // fails here.
    return {std::nullopt, Status::FromSystem("list", folder, Code(GetLastError()))};
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
    return {std::nullopt, Status::FromSystem("list", folder, Code(ERROR_OUTOFMEMORY))};
  }
  FindClose(search);
  return {std::move(names), {}};
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
  if (path.empty()) return OpenFailed("open", path, ERROR_FILE_NOT_FOUND);
  const DWORD disposition = mode == CreateMode::kCreateIfMissing ? OPEN_ALWAYS : OPEN_EXISTING;
  HANDLE handle = Call<&SystemCalls::create_file>(
      path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, disposition,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenFailed("open", path, GetLastError());
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size;
  if (!Call<&SystemCalls::get_file_information>(handle, &info) ||
      !Call<&SystemCalls::get_file_size>(handle, &size)) {
    result = OpenFailed("stat", path, GetLastError());
    Call<&SystemCalls::close_handle>(handle);
    return result;
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      !IsDiskFile(handle)) {
    Call<&SystemCalls::close_handle>(handle);
    result.error = Status::Refused("open", path, kNotDiskFile);
    return result;
  }
  FileAccess::Handle(result.file) = reinterpret_cast<std::intptr_t>(handle);
  result.status = OpenStatus::kOk;
  result.size = size.QuadPart;
  return result;
}

Status RemoveHeldFile(File& file, const std::string& path) {
  // The handle names the file; `path` only names it in a failure.
  Status removed = Status::FromSystem("remove", path, Code(ERROR_INVALID_HANDLE));
  if (file.is_open()) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    removed =
        Call<&SystemCalls::set_file_information>(H(FileAccess::Handle(file)), FileDispositionInfo,
                                                 &disposition, sizeof disposition) != 0
            ? Status()
            : Status::FromSystem("remove", path, Code(GetLastError()));
  }
  // Removed or not, the file is let go; a failed close of a removed file
  // loses nothing.
  file.Close().IgnoreError();
  return removed;
}

std::int64_t SeekToEndOffset(File& file) {
  LARGE_INTEGER distance;
  distance.QuadPart = 0;
  LARGE_INTEGER end;
  if (!file.is_open()) return FileAccess::FailedCount(file, "seek", ERROR_INVALID_HANDLE);
  if (Call<&SystemCalls::set_file_pointer>(H(FileAccess::Handle(file)), distance, &end, FILE_END) ==
      0) {
    return FileAccess::FailedCount(file, "seek", GetLastError());
  }
  return end.QuadPart;
}

Status FlushToDisk(File& file) {
  if (!file.is_open()) return Status::FromSystem("flush", {}, Code(ERROR_INVALID_HANDLE));
  if (Call<&SystemCalls::flush_file_buffers>(H(FileAccess::Handle(file))) == 0) {
    return Status::FromSystem("flush", {}, Code(GetLastError()));
  }
  return {};
}

Status MoveFileOver(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty())
    return Status::FromSystem("rename", to, Code(ERROR_PATH_NOT_FOUND));
  if (Call<&SystemCalls::move_file>(from.c_str(), to.c_str(),
                                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    return Status::FromSystem("rename", to, Code(GetLastError()));
  }
  return {};
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

bool IsProcessRunning(std::uint32_t id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) != 0 && code == STILL_ACTIVE;
  Call<&SystemCalls::close_handle>(process);
  return running;
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const DWORD size = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size == 0) return std::nullopt;  // not set (an empty value needs one byte for its NUL)
  std::string value(size, '\0');
  const DWORD length = GetEnvironmentVariableA(name.c_str(), value.data(), size);
  if (length >= size) return std::nullopt;
  value.resize(length);
  return value;
}

bool SetEnvironmentVariableTo(const std::string& name, const std::string& value) {
  return SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str()) != 0;
}

Status RemoveFile(const std::string& path) {
  // DeleteFileA never removes a folder; a file held by a handle that does
  // not share deletion fails with a sharing violation.
  if (Call<&SystemCalls::delete_file>(path.c_str()) == 0)
    return Status::FromSystem("remove", path, Code(GetLastError()));
  return {};
}

Status FlushFolder(const std::string& folder) {
  if (folder.empty()) return Status::FromSystem("flush folder", folder, Code(ERROR_PATH_NOT_FOUND));
  return {};
}

// ---------------------------------------------------------------------------
// Causes

namespace {

// The system's words for `code` in the language `language`, without the line
// break and the full stop that close them; empty when it has none there.
std::string FormattedMessage(DWORD code, DWORD language) {
  char buffer[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, language, buffer, sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' ||
                        buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
    --length;
  }
  return std::string(buffer, length);
}

}  // namespace

std::string portable::SystemWords(int code) {
  // English where the system has it, so a log reads the same on every
  // installation; otherwise the system's own language.
  const DWORD error = static_cast<DWORD>(code);
  std::string words = FormattedMessage(error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  return words.empty() ? FormattedMessage(error, 0) : words;
}

const char* const portable::kCodeName = "error";

// Its file systems journal a folder's entries themselves (FlushFolderOf).
const bool portable::kNamesDurableAtOnce = true;

namespace {

// Reads what `handle` holds from where its file pointer stands to the end,
// or up to the first read that fails.
std::string ReadAll(HANDLE handle) {
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  return bytes;
}

// Through the service's own handle, which may share no reading with another,
// putting its file pointer back where it was.
std::optional<std::string> ReadThrough(HANDLE handle) {
  LARGE_INTEGER was{};
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(handle, start, &was, FILE_CURRENT) ||
      !::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    return std::nullopt;
  }
  std::optional<std::string> bytes = ReadAll(handle);
  static_cast<void>(::SetFilePointerEx(handle, was, nullptr, FILE_BEGIN));
  return bytes;
}

}  // namespace

portable::DiskImage portable::ReadForRecord(const std::string& path, RecordHandle handle) {
  if (!path.empty()) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return {true, std::nullopt};
    }
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      std::optional<std::string> bytes = ReadAll(file);
      ::CloseHandle(file);
      return {false, std::move(bytes)};
    }
    if (::GetLastError() == ERROR_FILE_NOT_FOUND || handle == kNoHandle) return {};
  }
  if (handle == kNoHandle) return {};
  return {false, ReadThrough(reinterpret_cast<HANDLE>(handle))};
}

Status FlushFolderOf(const std::string& path) {
  // Its file systems journal a folder's entries themselves (FlushFolder).
  if (path.empty()) return Status::FromSystem("flush folder", path, ERROR_INVALID_NAME);
  return {};
}

}  // namespace zelk::platform
