// POSIX implementation of the platform door (Linux).
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "platform/portable.h"

extern char** environ;

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

// The calls the table holds whose system form cannot be pointed at as it is
// (variadic, or a macro's).
int OpenCall(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int LockCall(int fd, int command, struct flock* range) { return ::fcntl(fd, command, range); }
int FstatCall(int fd, struct stat* info) { return ::fstat(fd, info); }
int StatCall(const char* path, struct stat* info) { return ::stat(path, info); }
// A worker's start asks the system nothing the table could stand in for
// (std::thread does): this entry only lets a test refuse it. 0 or an errno.
int AdmitThreadStart() { return 0; }
// Starts the desktop's editor on a file (below).
void SpawnDetached(const std::string& argument);

struct SystemCalls {
  portable::SeamEntry<int (*)(const char*, int, mode_t)> open{&OpenCall};
  portable::SeamEntry<ssize_t (*)(int, void*, size_t)> read{&::read};
  portable::SeamEntry<ssize_t (*)(int, void*, size_t, off_t)> pread{&::pread};
  portable::SeamEntry<ssize_t (*)(int, const void*, size_t)> write{&::write};
  portable::SeamEntry<ssize_t (*)(int, const void*, size_t, off_t)> pwrite{&::pwrite};
  portable::SeamEntry<off_t (*)(int, off_t, int)> lseek{&::lseek};
  portable::SeamEntry<int (*)(int, struct stat*)> fstat{&FstatCall};
  portable::SeamEntry<int (*)(const char*, struct stat*)> stat{&StatCall};
  portable::SeamEntry<int (*)(int, off_t)> ftruncate{&::ftruncate};
  portable::SeamEntry<int (*)(int)> fsync{&::fsync};
  portable::SeamEntry<int (*)(int)> close{&::close};
  portable::SeamEntry<int (*)(const char*, const char*)> rename{&::rename};
  portable::SeamEntry<int (*)(const char*)> unlink{&::unlink};
  portable::SeamEntry<int (*)(int, int, struct flock*)> lock{&LockCall};
  portable::SeamEntry<DIR* (*)(const char*)> opendir{&::opendir};
  portable::SeamEntry<int (*)()> thread_start{&AdmitThreadStart};
  portable::SeamEntry<void (*)(const std::string&)> open_editor{&SpawnDetached};
};

// Constant-initialised, so it is whole before any code of the module runs.
constinit portable::SeamTable<SystemCalls> g_calls;

// Calls the table's entry `entry` with `arguments`.
template <auto SystemCalls::*entry, typename... Arguments>
auto Call(Arguments... arguments) {
  return portable::CallEntry<g_calls, entry>(arguments...);
}

// What a stand-in answers for a failed call: -1, or no pointer.
template <typename Result>
Result FailureOf() {
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return static_cast<Result>(-1);
  }
}

// The path a call names: its first argument when that is one.
inline const char* PathAmong() { return nullptr; }
template <typename First, typename... Rest>
const char* PathAmong(First first, Rest... /*rest*/) {
  if constexpr (std::is_same_v<First, const char*>) {
    return first;
  } else {
    return nullptr;
  }
}

// A stand-in for `real`: counts the call as one of `kind`, and fails it with
// the code the tests' plan gives, if any.
template <DoorCall kind, auto real>
struct StandIn {
  template <typename... Arguments>
  static auto Through(Arguments... arguments) -> decltype(real(arguments...)) {
    const portable::Injected injected =
        portable::NextCall(static_cast<int>(kind), PathAmong(arguments...));
    if (injected.code == 0) return real(arguments...);
    errno = injected.code;
    return FailureOf<decltype(real(arguments...))>();
  }
};

// Tells the power cut's record that `result` changed the file `fd` holds.
template <typename Result>
Result Changed(int fd, Result result) {
  if (result >= 0) portable::RecordChanged(fd);
  return result;
}

// Writes count and fail as the others do, or take only a few bytes.
ssize_t WriteStandIn(int fd, const void* bytes, size_t size) {
  const portable::Injected injected = portable::NextCall(static_cast<int>(DoorCall::kWrite));
  if (injected.short_write > 0) {
    return Changed(fd, ::write(fd, bytes, std::min(size, injected.short_write)));
  }
  if (injected.code == 0) return Changed(fd, ::write(fd, bytes, size));
  errno = injected.code;
  return -1;
}

ssize_t PwriteStandIn(int fd, const void* bytes, size_t size, off_t offset) {
  const portable::Injected injected = portable::NextCall(static_cast<int>(DoorCall::kWrite));
  if (injected.short_write > 0) {
    return Changed(fd, ::pwrite(fd, bytes, std::min(size, injected.short_write), offset));
  }
  if (injected.code == 0) return Changed(fd, ::pwrite(fd, bytes, size, offset));
  errno = injected.code;
  return -1;
}

// The calls that make, change, flush or name files tell the power cut's
// record what they did once they went through.
int OpenRecorded(const char* path, int flags, mode_t mode) {
  portable::RecordBeforeNaming(path);
  const int fd = OpenCall(path, flags, mode);
  if (fd >= 0) portable::RecordOpened(fd, path, (flags & O_TRUNC) != 0);
  return fd;
}

int TruncateRecorded(int fd, off_t size) { return Changed(fd, ::ftruncate(fd, size)); }

int FlushRecorded(int fd) {
  const int flushed = ::fsync(fd);
  if (flushed == 0) portable::RecordFlushed(fd);
  return flushed;
}

int RenameRecorded(const char* from, const char* to) {
  portable::RecordBeforeNaming(from);
  portable::RecordBeforeNaming(to);
  const int renamed = ::rename(from, to);
  if (renamed == 0) portable::RecordRenamed(from, to);
  return renamed;
}

int RemoveRecorded(const char* path) {
  portable::RecordBeforeNaming(path);
  const int removed = ::unlink(path);
  if (removed == 0) portable::RecordRemoved(path);
  return removed;
}

// A failed close still lets the descriptor go (and its lock with it), as
// Linux's close does whatever it reports; a stand-in that kept it would hold
// the file locked for the rest of the process, a fault no system makes.
int CloseStandIn(int fd) {
  const portable::Injected injected = portable::NextCall(static_cast<int>(DoorCall::kClose));
  portable::RecordClosed(fd);
  const int closed = ::close(fd);
  if (injected.code == 0) return closed;
  errno = injected.code;
  return -1;
}

}  // namespace

void portable::RouteThroughStandIns(bool on) {
  portable::SeamTable<SystemCalls>& c = g_calls;
  Route(c.open, &OpenCall, &StandIn<DoorCall::kOpen, &OpenRecorded>::Through, on);
  Route(c.read, &::read, &StandIn<DoorCall::kRead, &::read>::Through, on);
  Route(c.pread, &::pread, &StandIn<DoorCall::kRead, &::pread>::Through, on);
  Route(c.write, &::write, &WriteStandIn, on);
  Route(c.pwrite, &::pwrite, &PwriteStandIn, on);
  Route(c.lseek, &::lseek, &StandIn<DoorCall::kSeek, &::lseek>::Through, on);
  Route(c.fstat, &FstatCall, &StandIn<DoorCall::kStat, &FstatCall>::Through, on);
  Route(c.stat, &StatCall, &StandIn<DoorCall::kStat, &StatCall>::Through, on);
  Route(c.ftruncate, &::ftruncate, &StandIn<DoorCall::kTruncate, &TruncateRecorded>::Through, on);
  Route(c.fsync, &::fsync, &StandIn<DoorCall::kFlush, &FlushRecorded>::Through, on);
  Route(c.close, &::close, &CloseStandIn, on);
  Route(c.rename, &::rename, &StandIn<DoorCall::kRename, &RenameRecorded>::Through, on);
  Route(c.unlink, &::unlink, &StandIn<DoorCall::kRemove, &RemoveRecorded>::Through, on);
  Route(c.lock, &LockCall, &StandIn<DoorCall::kLock, &LockCall>::Through, on);
  Route(c.opendir, &::opendir, &StandIn<DoorCall::kList, &::opendir>::Through, on);
  Route(c.thread_start, &AdmitThreadStart,
        &StandIn<DoorCall::kThreadStart, &AdmitThreadStart>::Through, on);
}

int SystemErrorCode(SystemError error) {
  switch (error) {
    case SystemError::kNoSpace:
      return ENOSPC;
    case SystemError::kNoAccess:
      return EACCES;
    case SystemError::kBusy:
      return EWOULDBLOCK;
    case SystemError::kIo:
      break;
  }
  return EIO;
}

// ---------------------------------------------------------------------------
// Module

namespace {

// Any address inside this module serves dladdr.
void ModuleAnchor() {}

std::string FullModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleAnchor), &info) == 0) return {};
  std::string name = info.dli_fname != nullptr ? info.dli_fname : "";
  // The main program (a test binary linking the core statically) has no name
  // of its own in the loader's list; its file is /proc/self/exe.
  if (name.empty() || name.find('/') == std::string::npos) {
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(length));
  }
  if (name.front() != '/') {
    char resolved[PATH_MAX];
    if (realpath(name.c_str(), resolved) != nullptr) return resolved;
  }
  return name;
}

// What this module knows of itself, learnt once while it is loaded: dladdr
// takes the loader's lock, which an unload holds while it runs the module's
// teardown, so a worker must never need it.
struct ModuleIdentity {
  std::string path;
  std::uintptr_t base = 0;
};

ModuleIdentity LearnModuleIdentity() {
  ModuleIdentity identity;
  identity.path = FullModulePath();
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleAnchor), &info) != 0) {
    identity.base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  }
  return identity;
}

// Never destroyed, so that a worker still running at the process's exit can
// ask for it after the module's teardown.
const ModuleIdentity& Identity() {
  static const ModuleIdentity* const identity = new ModuleIdentity(LearnModuleIdentity());
  return *identity;
}

// Learns the identity while the module is being loaded, before any of its
// threads can run.
[[maybe_unused]] const bool g_identity_learnt_at_load = !Identity().path.empty();

}  // namespace

const std::string& portable::WholeModulePath() { return Identity().path; }

std::uintptr_t ModuleBaseAddress() { return Identity().base; }

// ---------------------------------------------------------------------------
// Files

struct FileAccess {
  static std::intptr_t& Handle(File& file) { return file.handle_; }
  static std::int64_t FailedCount(File& file, const char* operation, int code) {
    return file.FailedCount(operation, code);
  }
};

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// The kind of an open's failure with errno `error`, which callers branch on.
OpenStatus KindOfErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return OpenStatus::kNotFound;
    case EWOULDBLOCK:
      return OpenStatus::kBusy;
    default:
      return OpenStatus::kFailed;
  }
}

// A failed open of `path`: its kind and its cause, errno `error` kept.
OpenResult OpenFailed(const char* operation, const std::string& path, int error) {
  OpenResult result;
  result.status = KindOfErrno(error);
  result.error = Status::FromSystem(operation, path, error);
  return result;
}

// What an open refuses of its own accord (Admissible).
constexpr char kNotPlainFile[] = "Not a plain file (a folder, a pipe or a device)";

OpenResult OpenRefused(const std::string& path, const char* reason) {
  OpenResult result;
  result.error = Status::Refused("open", path, reason);
  return result;
}

// Whether a file of type `mode`, opened with `flags`, may be used.  Reads are
// made of regular files only: a FIFO, a device or a folder opened for reading
// could keep the reader waiting or never end. A FIFO opened for reading and
// writing is its own reader, so its open would succeed with nobody reading
// (and it cannot be positioned): refused too. Devices may be written.
// `regular_only` asks for a regular file whatever the access (a reader that
// opens for writing only to mark its role).
bool Admissible(int flags, mode_t mode, bool regular_only) {
  if (regular_only) return S_ISREG(mode);
  switch (flags & O_ACCMODE) {
    case O_RDONLY:
      return S_ISREG(mode);
    case O_RDWR:
      return !S_ISFIFO(mode);
    default:
      return true;
  }
}

// Opens `path` with `flags`, never waiting: O_NONBLOCK makes the open of a
// FIFO return at once instead of waiting for its other end (Admissible then
// refuses it), and a device that would block a write fail instead. Returns
// the descriptor, or -1 with `result` telling the failure.
int OpenWithoutWaiting(const std::string& path, int flags, OpenResult& result) {
  if (path.empty()) {
    result = OpenFailed("open", path, ENOENT);
    return -1;
  }
  int fd = Call<&SystemCalls::open>(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    result = OpenFailed("open", path, errno);
    return -1;
  }
  result.status = OpenStatus::kOk;
  return fd;
}

// One look at what `fd` (opened with `flags`) names: its size, 0 for a
// device, or -1 with `refusal` set when Admissible refuses it or the look
// fails.
std::int64_t AdmissibleSize(int fd, int flags, bool regular_only, const std::string& path,
                            OpenResult& refusal) {
  struct stat info {};
  if (Call<&SystemCalls::fstat>(fd, &info) != 0) {
    refusal = OpenFailed("stat", path, errno);
    return -1;
  }
  if (!Admissible(flags, info.st_mode, regular_only)) {
    refusal = OpenRefused(path, kNotPlainFile);
    return -1;
  }
  return S_ISREG(info.st_mode) ? static_cast<std::int64_t>(info.st_size) : 0;
}

// How a door open takes part in the open-file-description locks (fcntl
// F_OFD_*), so that the opens of this door exclude one another exactly as
// their share modes make them do on Windows:
//
//   kExclusive  a write lock on the whole file, however long: every other
//               lock of any kind, anywhere in the file, keeps it out, and it
//               keeps every other door open out while held;
//   kReading    (OpenSharedRead) a mark in kReadersSlots, refused while an
//               appender's mark is in kAppendersSlots;
//   kAppending  (OpenAppendShared) a mark in kAppendersSlots, refused while a
//               shared reader's mark is in kReadersSlots;
//   kUnlocked   (OpenUnlockedRead) a read lock on kUnlockedByte, which only
//               the exclusive holder's lock conflicts with.
//
// A mark is a write lock on one byte drawn at random from its role's slots
// (write locks of two holders never share a byte), and the look for the other
// role asks only for write locks there. A write lock needs a descriptor open
// for writing, so only a program that may write the file can make a mark: a
// program that may only read it can take read locks only, and no read lock is
// ever taken for a role by the look of the other. Such a lock on a slot this
// open drew keeps the mark from being made there; the open then holds a read
// lock on the slot instead, which still keeps the exclusive openers out, and
// goes on unseen by the other role (a reader and an appender may then hold
// the file at once, never one held off by a mere reader). A shared reader
// that may not write the file marks itself that way too.
//
// The slots lie far beyond the end of any file, so they stand for the role
// and never for data. Open-file-description locks rather than flock: a flock
// exclusive lock can be had through a descriptor opened for reading only, so
// anyone who may merely read a target or the trace log could hold off every
// writer. A program that may only read a file can still keep out the
// exclusive openers (a target's writer, a trim) with a read lock, as a reader
// that shares no writing does on Windows.
enum class LockRole { kExclusive, kReading, kAppending, kUnlocked };

constexpr off_t kLastOffset = std::numeric_limits<off_t>::max();
constexpr off_t kUnlockedByte = kLastOffset - 1;
constexpr off_t kSlotsPerRole = off_t{1} << 32;
constexpr off_t kAppendersSlots = kUnlockedByte - kSlotsPerRole;  // the first of them
constexpr off_t kReadersSlots = kAppendersSlots - kSlotsPerRole;
// Draws of a slot before an open gives up as busy: two holders of one role
// draw the same of 2^32 slots about never, so a third draw means a lock
// whose slot cannot be found free for another reason.
constexpr int kSlotDraws = 3;

struct flock LockRange(short type, off_t start, off_t length) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;  // 0: from `start` to however long the file grows
  return range;
}

// Takes `range` on `fd` without waiting: kOk, kBusy when another holder's
// lock conflicts, kFailed on any other error.
OpenStatus TakeLock(int fd, struct flock range) {
  while (Call<&SystemCalls::lock>(fd, F_OFD_SETLK, &range) != 0) {
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EACCES ? OpenStatus::kBusy : OpenStatus::kFailed;
  }
  return OpenStatus::kOk;
}

// A slot of the role whose slots begin at `first`, drawn from a generator of
// this thread (splitmix64), seeded by the thread's and the process's identity
// and the clock, so that threads and processes draw apart.
off_t DrawSlot(off_t first) {
  thread_local std::uint64_t state =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(::getpid()) << 32) ^
      static_cast<std::uint64_t>(syscall(SYS_gettid));
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return first + static_cast<off_t>(z % static_cast<std::uint64_t>(kSlotsPerRole));
}

// Marks `fd` in the slots beginning at `first` (above): kOk with a write lock
// on a slot, or with a read lock where only read locks keep the write lock
// out (or `writable` is false); kBusy while the exclusive holder has the file.
OpenStatus MarkRole(int fd, off_t first, bool writable) {
  for (int draw = 0; draw < kSlotDraws; ++draw) {
    const off_t slot = DrawSlot(first);
    if (!writable) return TakeLock(fd, LockRange(F_RDLCK, slot, 1));
    const OpenStatus marked = TakeLock(fd, LockRange(F_WRLCK, slot, 1));
    if (marked != OpenStatus::kBusy) return marked;
    struct flock holder = LockRange(F_WRLCK, slot, 1);
    if (Call<&SystemCalls::lock>(fd, F_OFD_GETLK, &holder) != 0) return OpenStatus::kFailed;
    if (holder.l_type == F_RDLCK) return TakeLock(fd, LockRange(F_RDLCK, slot, 1));
    // A mark of the same role on the slot drawn (draw again), or the
    // exclusive holder's lock, which covers every slot.
    if (holder.l_type == F_WRLCK && !(holder.l_start == slot && holder.l_len == 1)) {
      return OpenStatus::kBusy;
    }
  }
  return OpenStatus::kBusy;
}

// True when another open file description holds a mark, a write lock, among
// the slots beginning at `first`. Read locks there are no one's mark.
bool RoleHeldElsewhere(int fd, off_t first) {
  struct flock probe = LockRange(F_RDLCK, first, kSlotsPerRole);
  if (Call<&SystemCalls::lock>(fd, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

// The failed open of `path` whose lock could not be had (`locked`: kBusy, or
// kFailed with errno telling why).
OpenResult LockFailed(const std::string& path, OpenStatus locked) {
  OpenResult result = OpenFailed("lock", path, locked == OpenStatus::kBusy ? EWOULDBLOCK : errno);
  result.status = locked;
  return result;
}

OpenStatus TakeRole(int fd, LockRole role, bool writable) {
  switch (role) {
    case LockRole::kExclusive:
      return TakeLock(fd, LockRange(F_WRLCK, 0, 0));
    case LockRole::kUnlocked:
      return TakeLock(fd, LockRange(F_RDLCK, kUnlockedByte, 1));
    case LockRole::kReading:
    case LockRole::kAppending:
      break;
  }
  // Each side marks itself before it looks at the other's slots, so of a
  // reader and an appender arriving together at most one gets through (both
  // may be told kBusy, and try again).
  const bool reading = role == LockRole::kReading;
  const OpenStatus own = MarkRole(fd, reading ? kReadersSlots : kAppendersSlots, writable);
  if (own != OpenStatus::kOk) return own;
  return RoleHeldElsewhere(fd, reading ? kAppendersSlots : kReadersSlots) ? OpenStatus::kBusy
                                                                          : OpenStatus::kOk;
}

// Opens `path` with `flags` and takes part in the door's locks as `role`,
// without waiting. A role that cannot be had counts as a busy open, a file
// Admissible refuses as one that could not be opened. The lock comes before
// the look at the file, so that one fstat both refuses what may not be
// opened and gives an exclusive holder the size no one can change meanwhile
// (its end, where it appends without a seek).
OpenResult OpenLocked(const std::string& path, int flags, LockRole role,
                      bool regular_only = false) {
  OpenResult result;
  int fd = OpenWithoutWaiting(path, flags, result);
  if (fd < 0) return result;
  const OpenStatus locked = TakeRole(fd, role, (flags & O_ACCMODE) != O_RDONLY);
  // A file opened for writing only may be anything that opened (a FIFO
  // without a reader did not), and only an exclusive holder needs its size:
  // no look then.
  const bool looked_at =
      regular_only || role == LockRole::kExclusive || (flags & O_ACCMODE) != O_WRONLY;
  const std::int64_t size = locked != OpenStatus::kOk ? -1
                            : looked_at ? AdmissibleSize(fd, flags, regular_only, path, result)
                                        : 0;
  if (locked != OpenStatus::kOk) result = LockFailed(path, locked);
  if (size < 0) {
    Call<&SystemCalls::close>(fd);  // and with it every lock it took
    return result;
  }
  FileAccess::Handle(result.file) = fd;
  if (role == LockRole::kExclusive) result.size = size;
  return result;
}

}  // namespace

// A write that took no byte of a non-empty buffer: nothing more will go.
constexpr int kNothingWritten = EIO;

std::int64_t File::Read(void* buffer, std::size_t size) {
  if (!is_open()) return FailedCount("read", EBADF);
  for (;;) {
    ssize_t count = Call<&SystemCalls::read>(Fd(handle_), buffer, size);
    if (count >= 0) return count;
    if (errno != EINTR) return FailedCount("read", errno);
  }
}

Status File::Write(const void* data, std::size_t size) {
  if (!is_open()) return Failed("write", EBADF);
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t count = Call<&SystemCalls::write>(Fd(handle_), bytes, size);
    if (count < 0) {
      if (errno == EINTR) continue;
      return Failed("write", errno);
    }
    if (count == 0) return Failed("write", kNothingWritten);
    bytes += count;
    size -= static_cast<std::size_t>(count);
  }
  return {};
}

std::int64_t File::ReadAt(std::int64_t offset, void* buffer, std::size_t size) {
  if (!is_open()) return FailedCount("read", EBADF);
  for (;;) {
    ssize_t count =
        Call<&SystemCalls::pread>(Fd(handle_), buffer, size, static_cast<off_t>(offset));
    if (count >= 0) return count;
    if (errno != EINTR) return FailedCount("read", errno);
  }
}

Status File::WriteAt(std::int64_t offset, const void* data, std::size_t size) {
  if (!is_open()) return Failed("write", EBADF);
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t count =
        Call<&SystemCalls::pwrite>(Fd(handle_), bytes, size, static_cast<off_t>(offset));
    if (count < 0) {
      if (errno == EINTR) continue;
      // No positions (a device): the bytes go where it stands.
      if (errno == ESPIPE) return Write(bytes, size);
      return Failed("write", errno);
    }
    if (count == 0) return Failed("write", kNothingWritten);
    bytes += count;
    size -= static_cast<std::size_t>(count);
    offset += count;
  }
  return {};
}

Status File::Seek(std::int64_t offset) {
  if (!is_open()) return Failed("seek", EBADF);
  if (Call<&SystemCalls::lseek>(Fd(handle_), static_cast<off_t>(offset), SEEK_SET) < 0)
    return Failed("seek", errno);
  return {};
}

Status File::SeekToEnd() {
  if (!is_open()) return Failed("seek", EBADF);
  if (Call<&SystemCalls::lseek>(Fd(handle_), 0, SEEK_END) < 0) return Failed("seek", errno);
  return {};
}

std::int64_t File::Size() {
  struct stat info {};
  if (!is_open()) return FailedCount("stat", EBADF);
  if (Call<&SystemCalls::fstat>(Fd(handle_), &info) != 0) return FailedCount("stat", errno);
  return static_cast<std::int64_t>(info.st_size);
}

Status File::Truncate(std::int64_t length) {
  if (!is_open()) return Failed("truncate", EBADF);
  if (Call<&SystemCalls::ftruncate>(Fd(handle_), static_cast<off_t>(length)) == 0) return {};
  const int error = errno;
  // A device (EINVAL) has no length to set: nothing of it needs cutting.
  struct stat info {};
  if (error == EINVAL && Call<&SystemCalls::fstat>(Fd(handle_), &info) == 0 &&
      !S_ISREG(info.st_mode))
    return {};
  return Failed("truncate", error);
}

Status File::Close() {
  if (!is_open()) return {};
  int fd = Fd(handle_);
  handle_ = kInvalid;
  // Closing the descriptor releases its lock too (its only descriptor). The
  // descriptor is gone whatever close says, so it is never closed twice.
  if (Call<&SystemCalls::close>(fd) != 0) return Failed("close", errno);
  return {};
}

OpenResult OpenExclusive(const std::string& path, CreateMode mode) {
  int flags = O_RDWR | (mode == CreateMode::kCreateIfMissing ? O_CREAT : 0);
  return OpenLocked(path, flags, LockRole::kExclusive);
}

OpenResult OpenSharedRead(const std::string& path) {
  // Opened for writing too where the file allows it, only so that its mark
  // is one no mere reader can make (it never writes); a file this process
  // may only read is opened for reading, its mark seen by no appender.
  OpenResult opened = OpenLocked(path, O_RDWR, LockRole::kReading, true);
  if (opened.status != OpenStatus::kFailed) return opened;
  return OpenLocked(path, O_RDONLY, LockRole::kReading);
}

OpenResult OpenUnlockedRead(const std::string& path) {
  return OpenLocked(path, O_RDONLY, LockRole::kUnlocked);
}

OpenResult OpenAppendShared(const std::string& path) {
  // For writing only, so that the open itself refuses a FIFO without a
  // reader (ENXIO) and no look at the file is needed. Where a mere reader's
  // lock lies on the slot drawn for the mark, the mark is a read lock, which
  // needs read access: that open (and any other that failed) is made again
  // for reading too, with the look that refuses a FIFO it would read itself.
  OpenResult opened = OpenLocked(path, O_WRONLY | O_CREAT | O_APPEND, LockRole::kAppending);
  if (opened.status != OpenStatus::kFailed) return opened;
  return OpenLocked(path, O_RDWR | O_CREAT | O_APPEND, LockRole::kAppending);
}

std::int64_t FileSize(const std::string& path) {
  struct stat info {};
  if (path.empty() || Call<&SystemCalls::stat>(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return -1;
  return static_cast<std::int64_t>(info.st_size);
}

namespace {

FileStamp StampOfInfo(const struct stat& info) {
  FileStamp stamp;
  if (!S_ISREG(info.st_mode)) return stamp;
  constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
  auto nanoseconds = [](const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * kNanosecondsPerSecond + time.tv_nsec;
  };
  stamp.status = OpenStatus::kOk;
  stamp.size = static_cast<std::int64_t>(info.st_size);
  stamp.modified_ns = nanoseconds(info.st_mtim);
  stamp.changed_ns = std::max(stamp.modified_ns, nanoseconds(info.st_ctim));
  stamp.volume = static_cast<std::uint64_t>(info.st_dev);
  stamp.file = static_cast<std::uint64_t>(info.st_ino);
  return stamp;
}

}  // namespace

FileStamp StampOf(const std::string& path) {
  struct stat info {};
  if (path.empty()) return FileStamp();
  if (Call<&SystemCalls::stat>(path.c_str(), &info) != 0) {
    FileStamp stamp;
    if (KindOfErrno(errno) == OpenStatus::kNotFound) stamp.status = OpenStatus::kNotFound;
    return stamp;
  }
  return StampOfInfo(info);
}

FileStamp StampOf(File& file) {
  struct stat info {};
  if (!file.is_open() || Call<&SystemCalls::fstat>(Fd(FileAccess::Handle(file)), &info) != 0)
    return FileStamp();
  return StampOfInfo(info);
}

// ---------------------------------------------------------------------------
// Text

std::string NarrowFromUtf16(std::u16string_view text) { return portable::Utf8FromUtf16(text); }

// ---------------------------------------------------------------------------
// Worker threads
//
// Threads are joinable and tracked, so that a wait for them knows when each
// has really ended. Finished threads are reaped at the next start. The
// library is linked so that it is never unmapped (-z nodelete): a dlclose
// runs no teardown, and a worker still running after it finds its code in
// place. The registry itself is never destroyed, so a worker can always
// finish with it; at the process's exit, which runs the module's teardown
// under the loader's lock, a guard waits a bounded time for the workers. The
// state they touch is never destroyed either, so one still running after that
// wait finds it in place.

namespace {

// How long the process's exit waits for running workers.
constexpr auto kWorkerGraceAtExit = std::chrono::seconds(2);

class WorkerRegistry {
 public:
  Status Start(std::function<void()>& task, ThreadPriority priority) {
    std::list<Worker> finished;
    std::lock_guard<std::mutex> lock(mutex_);
    ReapFinishedLocked(finished);
    // The task travels in a block of its own, so that a failed start can hand
    // it back to the caller untouched; a worker enters the list only with its
    // thread, so the list never holds one that cannot be joined.
    std::unique_ptr<std::function<void()>> payload;
    try {
      payload = std::make_unique<std::function<void()>>();
      workers_.emplace_front();
    } catch (...) {
      return Status::FromSystem("start thread", {}, ENOMEM);
    }
    payload->swap(task);
    Worker& worker = workers_.front();
    try {
      worker.thread = std::thread(&WorkerRegistry::Run, this, &worker, payload.get(), priority);
      static_cast<void>(payload.release());  // the thread owns it now
    } catch (const std::system_error& error) {
      payload->swap(task);
      workers_.pop_front();
      return Status::FromSystem("start thread", {}, error.code().value());
    } catch (...) {
      payload->swap(task);
      workers_.pop_front();
      return Status::FromSystem("start thread", {}, ENOMEM);
    }
    ++running_;
    return {};
  }

  bool WaitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool idle = idle_.wait_for(lock, timeout, [this] { return running_ == 0; });
    std::list<Worker> finished;
    ReapFinishedLocked(finished);
    return idle;
  }

 private:
  struct Worker {
    std::thread thread;
    bool done = false;
  };

  void Run(Worker* worker, std::function<void()>* payload, ThreadPriority priority) {
    std::unique_ptr<std::function<void()>> task(payload);
    if (priority == ThreadPriority::kLowest) {
      // Lowers only this thread: on Linux a thread id names one thread.
      setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    }
    try {
      (*task)();
    } catch (...) {
      // Callers catch their own failures; nothing may end the host process.
    }
    task.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    worker->done = true;
    if (--running_ == 0) idle_.notify_all();
  }

  // Moves finished workers to `finished` and joins them there; the caller
  // holds mutex_, and the joins are quick since the threads are done.
  void ReapFinishedLocked(std::list<Worker>& finished) {
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.begin(), workers_, it);
      it = next;
    }
    for (Worker& worker : finished) worker.thread.join();
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::list<Worker> workers_;
  int running_ = 0;
};

// At the process's exit, gives running workers a bounded time to finish what
// they are doing (a log line, a delivery), so it is not cut off. It promises
// no order beyond that wait: a worker still running afterwards is safe because
// the state it uses is never destroyed (NeverDestroyed), not because of it.
struct ExitGuard {
  WorkerRegistry& registry;
  ~ExitGuard() { registry.WaitUntilIdle(kWorkerGraceAtExit); }
};

WorkerRegistry& Registry() {
  static WorkerRegistry* const registry = new WorkerRegistry();
  static ExitGuard guard{*registry};
  return *registry;
}

}  // namespace

Status StartDetachedThread(std::function<void()>& task, ThreadPriority priority) {
  if (const int refused = Call<&SystemCalls::thread_start>(); refused != 0) {
    return Status::FromSystem("start thread", {}, refused);
  }
  return Registry().Start(task, priority);
}

bool WaitForWorkers(std::chrono::milliseconds timeout) { return Registry().WaitUntilIdle(timeout); }

bool AwaitWorkersBeforeUnload(std::chrono::milliseconds timeout) { return WaitForWorkers(timeout); }

// ---------------------------------------------------------------------------
// Local time
//
// glibc's mktime looks at the zone again on every call (a stat of
// /etc/localtime when TZ is unset), while localtime_r reads it once and keeps
// it. So local times are converted through localtime_r only, and the zone is
// read again only when the TZ variable changes (looked at once a second); an
// edit of /etc/localtime itself is seen after a restart.
//
// Transactions arrive with nearly the same date and time all day long, so
// the conversions also remember the last stretch of time over which the
// zone's offset was found steady: inside it, local time and instant convert
// by arithmetic alone.

namespace {

// No zone moves its clock by a day or more at once, nor twice within three
// days; so an offset found the same three days before and after an instant
// (and at it) holds over that whole stretch.
constexpr std::int64_t kSecondsPerDay = std::int64_t{24} * 60 * 60;
constexpr std::int64_t kSecondsPerYear = 365 * kSecondsPerDay;
constexpr std::int64_t kSteadyCheck = 3 * kSecondsPerDay;
// Instants remembered as steady lie this close to the instant checked, so
// that every other instant with the same local time (at most a day away)
// lies in the checked stretch too.
constexpr std::int64_t kSteadyUse = 2 * kSecondsPerDay;

// Years this far out are left to mktime and localtime_r, which also keeps the
// arithmetic here within 64 bits.
constexpr int kYearsOutOfReach = 1'000'000;

struct SteadyStretch {
  std::int64_t from = 0;  // instants [from, to] all have `sample`'s offset
  std::int64_t to = -1;
  std::tm sample{};  // localtime_r of an instant in the stretch
};

struct ZoneState {
  bool read = false;
  std::chrono::steady_clock::time_point checked;  // when TZ was last looked at
  bool tz_set = false;
  std::string tz;  // the TZ value the zone was read for
  SteadyStretch steady;
};

struct Zone {
  std::mutex mutex;
  ZoneState state;  // guarded by `mutex`
};

// Workers stamp their log lines with the local time, so the zone follows the
// door's lifetime rule for state that workers touch: never destroyed.
Zone& TheZone() { return NeverDestroyed<Zone>(); }

// How often the TZ variable is looked at: scanning the environment costs a
// sixth of a trace-log message, and a host that changes its zone is followed
// within this time.
constexpr auto kZoneVariableCheck = std::chrono::seconds(1);

// Reads the zone again when TZ changed since it was last read (looked at once
// a kZoneVariableCheck, or now when `at_once`), forgetting the steady stretch.
// The caller holds the zone's mutex.
void FollowTimeZoneVariableLocked(bool at_once = false) {
  ZoneState& zone = TheZone().state;
  const auto now = std::chrono::steady_clock::now();
  if (zone.read && !at_once && now - zone.checked < kZoneVariableCheck) return;
  zone.checked = now;
  const char* tz = std::getenv("TZ");
  if (zone.read && (tz != nullptr) == zone.tz_set && (tz == nullptr || zone.tz == tz)) {
    return;
  }
  tzset();
  zone.read = true;
  zone.tz_set = tz != nullptr;
  zone.tz = tz != nullptr ? tz : "";
  zone.steady = SteadyStretch();
}

bool InSteadyStretch(std::int64_t instant) {
  const ZoneState& zone = TheZone().state;
  return instant >= zone.steady.from && instant <= zone.steady.to;
}

std::optional<std::tm> LocalTimeByZone(std::int64_t instant) {
  const time_t seconds = static_cast<time_t>(instant);
  std::tm parts{};
  if (localtime_r(&seconds, &parts) == nullptr) return std::nullopt;
  return parts;
}

// Finds out whether the zone's offset is steady around `instant` and, when it
// is, remembers the stretch. The caller holds the zone's mutex.
bool LearnSteadyStretchLocked(std::int64_t instant) {
  ZoneState& zone = TheZone().state;
  const std::optional<std::tm> at = LocalTimeByZone(instant);
  const std::optional<std::tm> before = LocalTimeByZone(instant - kSteadyCheck);
  const std::optional<std::tm> after = LocalTimeByZone(instant + kSteadyCheck);
  if (!at || !before || !after || before->tm_gmtoff != at->tm_gmtoff ||
      after->tm_gmtoff != at->tm_gmtoff || before->tm_isdst != at->tm_isdst ||
      after->tm_isdst != at->tm_isdst) {
    return false;
  }
  zone.steady = SteadyStretch{instant - kSteadyUse, instant + kSteadyUse, *at};
  return true;
}

bool WithinReach(int tm_year) { return tm_year > -kYearsOutOfReach && tm_year < kYearsOutOfReach; }

}  // namespace

std::optional<std::tm> LocalTimeOf(std::int64_t instant) {
  time_t seconds = static_cast<time_t>(instant);
  if (static_cast<std::int64_t>(seconds) != instant) return std::nullopt;
  std::lock_guard<std::mutex> lock(TheZone().mutex);
  FollowTimeZoneVariableLocked();
  const ZoneState& zone = TheZone().state;
  if (InSteadyStretch(instant)) {
    return portable::CalendarOf(instant + zone.steady.sample.tm_gmtoff, zone.steady.sample);
  }
  // With no stretch known yet, one is learnt here (as for the trace log's
  // clock); a known one is kept, for the instants InstantOfLocal converts.
  constexpr std::int64_t kReach = std::int64_t{kYearsOutOfReach} * kSecondsPerYear;
  if (zone.steady.to < zone.steady.from && instant > -kReach && instant < kReach) {
    LearnSteadyStretchLocked(instant);
  }
  return LocalTimeByZone(instant);
}

std::optional<std::int64_t> InstantOfLocal(const std::tm& parts) {
  {
    std::lock_guard<std::mutex> lock(TheZone().mutex);
    FollowTimeZoneVariableLocked();
    const ZoneState& zone = TheZone().state;
    if (parts.tm_isdst < 0 && WithinReach(parts.tm_year)) {
      // Where the offset is steady, the local time names exactly one instant.
      const std::int64_t local = portable::SecondsAsIfUtc(parts);
      const std::int64_t guess = local - zone.steady.sample.tm_gmtoff;
      if (InSteadyStretch(guess)) return guess;
      const std::optional<std::tm> near = LocalTimeByZone(local);
      if (near) {
        const std::int64_t instant = local - near->tm_gmtoff;
        const std::optional<std::tm> at = LocalTimeByZone(instant);
        if (at && at->tm_gmtoff == near->tm_gmtoff && LearnSteadyStretchLocked(instant)) {
          return instant;
        }
      }
    }
  }
  // Near a change of offset (where a local time may not exist, or exist
  // twice) and far out of range, mktime decides.
  std::tm copy = parts;
  errno = 0;
  time_t instant = mktime(&copy);
  // -1 is also the valid instant 1969-12-31 23:59:59 UTC; glibc tells the two
  // apart through errno.
  if (instant == static_cast<time_t>(-1) && errno != 0) return std::nullopt;
  return static_cast<std::int64_t>(instant);
}

void SetTimeZoneForTesting(const char* tz) {
  setenv("TZ", tz, 1);
  std::lock_guard<std::mutex> lock(TheZone().mutex);
  FollowTimeZoneVariableLocked(true);
}

// ---------------------------------------------------------------------------
// Version and operating system

FileVersion QueryFileVersion(const std::string& path) {
  FileVersion version;
  if (path.empty() || path != Identity().path) return version;
  version.status = FileVersion::Status::kOk;
  version.parts = {ZELK_VERSION_MAJOR, ZELK_VERSION_MINOR, ZELK_VERSION_PATCH, ZELK_VERSION_TWEAK};
  return version;
}

OsVersionRecord QueryOsVersion() { return {}; }

// ---------------------------------------------------------------------------
// Editor

namespace {

constexpr char kEditorProgram[] = "xdg-open";

// Starts `program argument` as a grandchild: the intermediate child exits at
// once and is reaped here, so the editor is adopted by init and never becomes a
// zombie of the host. The spawn attributes give the editor every signal at its
// default action and none blocked, whatever the host ignores or blocks; the
// host's own dispositions and mask stay as they are.
void SpawnDetached(const std::string& argument) {
  pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    // The child of a multi-threaded host may safely make only async-signal-safe
    // calls until it exits, and POSIX does not count posix_spawn or the
    // posix_spawnattr calls among them. setsid, sigfillset and sigemptyset are;
    // the spawn is used anyway because glibc's takes no lock and allocates no
    // heap memory (the attributes are filled in place, the spawn maps its own
    // stack and clones), so the child cannot stop on a lock that another thread
    // of the host held at the fork.
    setsid();
    pid_t grandchild = 0;
    char* const argv[] = {const_cast<char*>(kEditorProgram), const_cast<char*>(argument.c_str()),
                          nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    posix_spawnattr_setsigmask(&attributes, &unblocked);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawnp(&grandchild, kEditorProgram, nullptr, &attributes, argv, environ);
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void OpenInTextEditor(const std::string& path) { Call<&SystemCalls::open_editor>(path); }

namespace {

void EditorStandIn(const std::string& path) {
  portable::HandToEditorObserver(kEditorProgram, path);
}

}  // namespace

void portable::RouteEditorToObserver(bool observed) {
  Route(g_calls.open_editor, &SpawnDetached, &EditorStandIn, observed);
}

// ---------------------------------------------------------------------------
// Folders and removable files

FolderListing ListFolder(const std::string& folder) {
  if (folder.empty()) return {std::nullopt, Status::FromSystem("list", folder, ENOENT)};
  DIR* listing = Call<&SystemCalls::opendir>(folder.c_str());
  if (listing == nullptr) return {std::nullopt, Status::FromSystem("list", folder, errno)};
  std::vector<std::string> names;
  try {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat info {};
      if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(info.st_mode)) {
        names.push_back(name);
      }
    }
  } catch (...) {
    ::closedir(listing);
    return {std::nullopt, Status::FromSystem("list", folder, ENOMEM)};
  }
  ::closedir(listing);
  return {std::move(names), {}};
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return {};
  if (path.front() == '/') return path;
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return {};
  std::string absolute = buffer;
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  return absolute + path;
}

std::string FileNameIdentity(const std::string& path) { return path; }

bool IsFolder(const std::string& folder) {
  struct stat info {};
  return !folder.empty() && Call<&SystemCalls::stat>(folder.c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

namespace {

// The spool's files are the service's own: the owner's alone, and never
// reached through a link someone planted at their name.
constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

// OpenExclusive for such a file: O_NOFOLLOW, created 0600, a plain file only;
// one with wider rights (made by an earlier version) is narrowed, and one
// that cannot be narrowed (another user's) is refused.
// Of a file held as `fd` at `path`: kOk, or why it may not be kept.
OpenResult CheckOwnFile(int fd, const std::string& path, struct stat& info) {
  if (Call<&SystemCalls::fstat>(fd, &info) != 0) return OpenFailed("stat", path, errno);
  if (!S_ISREG(info.st_mode)) return OpenRefused(path, kNotPlainFile);
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0 && ::fchmod(fd, kOwnerOnly) != 0) {
    return OpenFailed("chmod", path, errno);
  }
  OpenResult kept;
  kept.status = OpenStatus::kOk;
  return kept;
}

OpenResult OpenOwnExclusive(const std::string& path, CreateMode mode) {
  if (path.empty()) return OpenFailed("open", path, ENOENT);
  const int flags = O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW |
                    (mode == CreateMode::kCreateIfMissing ? O_CREAT : 0);
  const int fd = Call<&SystemCalls::open>(path.c_str(), flags, kOwnerOnly);
  if (fd < 0) return OpenFailed("open", path, errno);  // a link: ELOOP, kFailed
  // The lock first, then one look, which also tells the size no one else
  // can change while the lock is held.
  const OpenStatus locked = TakeRole(fd, LockRole::kExclusive, true);
  if (locked != OpenStatus::kOk) {
    OpenResult result = LockFailed(path, locked);
    Call<&SystemCalls::close>(fd);
    return result;
  }
  struct stat info {};
  OpenResult result = CheckOwnFile(fd, path, info);
  if (result.status != OpenStatus::kOk) {
    Call<&SystemCalls::close>(fd);
    return result;
  }
  FileAccess::Handle(result.file) = fd;
  result.size = static_cast<std::int64_t>(info.st_size);
  return result;
}

}  // namespace

bool IsWritableByOthers(const std::string& folder) {
  struct stat info {};
  return !folder.empty() && Call<&SystemCalls::stat>(folder.c_str(), &info) == 0 &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

OpenResult OpenExclusiveRemovable(const std::string& path, CreateMode mode) {
  for (;;) {
    OpenResult opened = OpenOwnExclusive(path, mode);
    if (opened.status != OpenStatus::kOk) return opened;
    // The lock may have been won on a file its last holder removed meanwhile
    // (RemoveHeldFile unlinks before it lets go): only a file that still has
    // a name counts, and that name is `path`, since nothing renames these.
    // Only the link count is asked for: asking for the times would make the
    // next write record a finer time stamp, at the cost of a journal entry.
    struct statx held {};
    if (::statx(Fd(FileAccess::Handle(opened.file)), "", AT_EMPTY_PATH, STATX_NLINK, &held) != 0) {
      return OpenFailed("stat", path, errno);
    }
    if ((held.stx_mask & STATX_NLINK) == 0) return OpenFailed("stat", path, ENOTSUP);
    if (held.stx_nlink > 0) return opened;
  }
}

Status RemoveHeldFile(File& file, const std::string& path) {
  // Unlinked while the lock is held: an opener waiting for the lock sees
  // afterwards that its file is no longer at `path` (OpenExclusiveRemovable).
  Status removed = !file.is_open() ? Status::FromSystem("remove", path, EBADF)
                   : Call<&SystemCalls::unlink>(path.c_str()) == 0
                       ? Status()
                       : Status::FromSystem("remove", path, errno);
  // Removed or not, the file is let go; a failed close of a removed file
  // loses nothing.
  file.Close().IgnoreError();
  return removed;
}

std::int64_t SeekToEndOffset(File& file) {
  if (!file.is_open()) return -1;
  const off_t end = Call<&SystemCalls::lseek>(Fd(FileAccess::Handle(file)), 0, SEEK_END);
  if (end < 0) return FileAccess::FailedCount(file, "seek", errno);
  return static_cast<std::int64_t>(end);
}

Status FlushToDisk(File& file) {
  if (!file.is_open()) return Status::FromSystem("flush", {}, EBADF);
  if (Call<&SystemCalls::fsync>(Fd(FileAccess::Handle(file))) != 0) {
    // EINVAL: a special file that cannot keep anything, so nothing is lost.
    if (errno != EINVAL) return Status::FromSystem("flush", {}, errno);
  }
  return {};
}

Status MoveFileOver(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return Status::FromSystem("rename", to, ENOENT);
  if (Call<&SystemCalls::rename>(from.c_str(), to.c_str()) != 0)
    return Status::FromSystem("rename", to, errno);
  return {};
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

bool IsProcessRunning(std::uint32_t id) {
  // Signal 0 only asks: ESRCH means no such process, EPERM one of another user.
  const auto pid = static_cast<pid_t>(id);
  if (pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool SetEnvironmentVariableTo(const std::string& name, const std::string& value) {
  if (value.empty()) return ::unsetenv(name.c_str()) == 0;
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

Status RemoveFile(const std::string& path) {
  // unlink never removes a folder (EISDIR or EPERM).
  if (Call<&SystemCalls::unlink>(path.c_str()) != 0)
    return Status::FromSystem("remove", path, errno);
  return {};
}

Status FlushFolder(const std::string& folder) {
  if (folder.empty()) return Status::FromSystem("flush folder", folder, ENOENT);
  const int fd = Call<&SystemCalls::open>(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return Status::FromSystem("flush folder", folder, errno);
  Status flushed = Call<&SystemCalls::fsync>(fd) == 0
                       ? Status()
                       : Status::FromSystem("flush folder", folder, errno);
  if (Call<&SystemCalls::close>(fd) != 0 && flushed.ok())
    return Status::FromSystem("flush folder", folder, errno);
  return flushed;
}

Status FlushFolderOf(const std::string& path) {
  if (path.empty()) return Status::FromSystem("flush folder", path, ENOENT);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return FlushFolder(".");
  return FlushFolder(slash == 0 ? std::string("/") : path.substr(0, slash));
}

// ---------------------------------------------------------------------------
// Causes

std::string portable::SystemWords(int code) {
  char buffer[256] = {};
  // The GNU strerror_r answers a text that may lie outside the buffer; the
  // XSI one fills the buffer. Both are thread-safe, unlike strerror.
  const auto words = [&buffer](auto answer) -> std::string {
    if constexpr (std::is_same_v<decltype(answer), char*>) {
      return answer != nullptr ? answer : "";
    } else {
      return answer == 0 ? buffer : "";
    }
  };
  return words(::strerror_r(code, buffer, sizeof buffer));
}

const char* const portable::kCodeName = "errno";

// Its file systems put a made, renamed or removed name on the disk only when
// its folder is flushed (FlushFolderOf).
const bool portable::kNamesDurableAtOnce = false;

// By name, or through the descriptor's own entry in /proc when the file has
// no name left; a descriptor open for writing only can be read that way too.
portable::DiskImage portable::ReadForRecord(const std::string& path, RecordHandle handle) {
  struct stat info {};
  if (!path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return {true, std::nullopt};
  }
  const std::string by_handle = "/proc/self/fd/" + std::to_string(handle);
  int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && handle != kNoHandle) fd = ::open(by_handle.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string bytes;
  char buffer[4096];
  for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return {false, std::move(bytes)};
}

}  // namespace zelk::platform
