// Switches for tests, fuzzers, benchmarks and tools that drive the platform
// door. Each platform file implements them beside the state they switch; no
// other code of the service includes this header.
#ifndef ZELK_PLATFORM_PLATFORM_TEST_HELPER_H_
#define ZELK_PLATFORM_PLATFORM_TEST_HELPER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace zelk::platform {

// Makes every following StartDetachedThread fail (true) or work (false), so
// tests can exercise the callers' fallbacks. Through the fault seam below:
// it replaces the faults injected, and false clears them all.
void SetThreadStartFailureForTesting(bool fail);

// Sets the process's local time zone to the POSIX TZ string `tz` (for example
// "UTC0" or "XXX-2") and applies it.
void SetTimeZoneForTesting(const char* tz);

// While an observer is set, OpenInTextEditor hands it the request instead of
// starting anything. An empty function removes the observer.
void SetEditorObserverForTesting(
    std::function<void(const std::string& program, const std::string& argument)> observer);

// Makes every following removal of `path` fail with kNoAccess, as a file the
// system will not let go of would; an empty path ends it. Through the fault
// seam below: it replaces the faults injected, and "" clears them all.
void SetRemovalFailureForTesting(const std::string& path);

// ---------------------------------------------------------------------------
// Faults at the door. Every operating-system call the door makes goes through
// one table of the platform's calls (as SQLite's aSyscall[]); a test swaps
// in counting stand-ins that fail where it asks, then puts the real calls
// back. Production runs the real calls through the table, unlocked.

// The kinds of call, each counted apart.
enum class DoorCall {
  kOpen,         // open, CreateFileA (every open of a file or folder)
  kRead,         // read, pread, ReadFile
  kWrite,        // write, pwrite, WriteFile
  kSeek,         // lseek, SetFilePointerEx
  kStat,         // fstat, stat, GetFileSizeEx, GetFileInformationByHandle
  kTruncate,     // ftruncate, SetEndOfFile
  kFlush,        // fsync, FlushFileBuffers
  kClose,        // close, CloseHandle
  kRename,       // rename, MoveFileExA
  kRemove,       // unlink, DeleteFileA, a held file's delete disposition
  kLock,         // fcntl's locks, LockFileEx
  kList,         // opendir, FindFirstFileA
  kThreadStart,  // a worker's start
};
inline constexpr int kDoorCallKinds = static_cast<int>(DoorCall::kThreadStart) + 1;

// Errors a test may inject, each as this platform's own code says it.
enum class SystemError {
  kNoSpace,   // ENOSPC, ERROR_DISK_FULL
  kNoAccess,  // EACCES, ERROR_ACCESS_DENIED
  kIo,        // EIO, ERROR_WRITE_FAULT
  kBusy,      // EWOULDBLOCK, ERROR_SHARING_VIOLATION
};

// The platform's code of `error` (errno, GetLastError).
[[nodiscard]] int SystemErrorCode(SystemError error);

struct Fault {
  DoorCall call = DoorCall::kWrite;
  int nth = 1;             // the call to fail, counted from 1 per kind
  bool and_after = false;  // and every call of the kind after it
  SystemError error = SystemError::kIo;
  // kWrite only, when not 0: the call writes at most this many bytes and
  // reports them, as a device filling up does; it fails no other way.
  std::size_t short_write = 0;
  // When not empty: only calls that name this path (opens, removals,
  // renames, listings) fail; every call is counted all the same.
  std::string path{};
};

// Counts every door call from now on, by kind, and fails those `faults`
// name; the counts start at 0.
void InjectFaults(std::vector<Fault> faults);

// Puts the real calls back; the counts stay as they were.
void ClearFaults();

// How many calls of `call` the door made since InjectFaults.
[[nodiscard]] int DoorCallCount(DoorCall call);

// How many calls of every kind together the door made since InjectFaults or
// InjectPowerCut.
[[nodiscard]] int DoorCallTotal();

// ---------------------------------------------------------------------------
// A power cut, as LevelDB's FaultInjectionTestEnv makes one. The door counts
// its calls as InjectFaults has it, and remembers what a machine losing its
// power would leave of every file it touches: the file's bytes as of its
// last flush, and its name (made, renamed or removed) as of its folder's last
// flush, or at once where the file system journals its folders' entries
// itself (Windows). From call `after` + 1 on, all kinds counted together,
// every call fails with kIo: the machine has stopped, and nothing more
// reaches the disk.
void InjectPowerCut(int after);

// Puts on the disk what the cut left: every file the door changed goes back
// to its bytes at its last flush, every name to what it was at its folder's
// last flush. Call it after ClearFaults, then load the service again.
void ApplyPowerCut();

// Whether a power cut keeps names made, renamed or removed without their
// folder's flush: on Windows, whose file systems journal them, it does.
[[nodiscard]] bool PowerCutKeepsUnflushedNames();

}  // namespace zelk::platform

#endif  // ZELK_PLATFORM_PLATFORM_TEST_HELPER_H_
