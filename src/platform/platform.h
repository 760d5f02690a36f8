// The only door to the operating system. Everything the service needs of the
// platform (its own module file, exclusive and shared file opens, worker
// threads, local time, the version resource, the OS version, an editor) is a
// free function here, with one implementation per platform chosen by the build:
// platform_posix.cpp and platform_windows.cpp, beside platform_portable.cpp,
// which every build compiles and which holds what both share. No code above
// this room includes an operating-system header.
//
// No function here throws for an operating-system failure: each says in its
// comment what it returns instead. An operation that can fail hands back a
// Status (platform/error.h) with the system's code and words, or keeps one
// beside its result; every result here is [[nodiscard]].
#ifndef ZELK_PLATFORM_PLATFORM_H_
#define ZELK_PLATFORM_PLATFORM_H_

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/error.h"

namespace zelk::platform {

// ---------------------------------------------------------------------------
// The module: the library (or, in a test program, the executable) that holds
// this code.

// Full path of this module's own file (not the host's program), as it would
// come out of a buffer of `buffer_size` characters: a longer path is cut to
// buffer_size - 1 characters. Empty when the path cannot be had. Learnt once,
// when the module is loaded (as is its address), so asking never takes the
// loader's lock.
[[nodiscard]] std::string ModulePath(std::size_t buffer_size = 256);

// True when the module's full path does not fit a buffer of `buffer_size`
// characters with its terminating NUL, i.e. ModulePath(buffer_size) was cut.
[[nodiscard]] bool ModulePathExceeds(std::size_t buffer_size);

// Load address of this module. 0 when it cannot be had.
[[nodiscard]] std::uintptr_t ModuleBaseAddress();

// ---------------------------------------------------------------------------
// Files. All files are binary: line ends are written explicitly by callers so
// both platforms put the same bytes on disk.

enum class OpenStatus {
  kOk,
  kBusy,      // another handle holds the file in a way that excludes this open
  kNotFound,  // the file (for kOpenExisting) or its folder does not exist
  kFailed,    // any other reason: empty or invalid name, no access, ...
};

enum class CreateMode { kOpenExisting, kCreateIfMissing };

// An open file. Move-only; the destructor closes it. Every operation reports
// failure through its result, never by throwing.
class File {
 public:
  File() = default;
  File(File&& other) noexcept
      : handle_(other.handle_),
        append_(other.append_),
        last_operation_(other.last_operation_),
        last_code_(other.last_code_) {
    other.handle_ = kInvalid;
  }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      // Whoever cares about the close of the file replaced closed it first.
      Close().IgnoreError();
      handle_ = other.handle_;
      append_ = other.append_;
      last_operation_ = other.last_operation_;
      last_code_ = other.last_code_;
      other.handle_ = kInvalid;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  // A destructor cannot report: a caller to whom the close matters (a
  // writer) calls Close itself.
  ~File() { Close().IgnoreError(); }

  [[nodiscard]] bool is_open() const { return handle_ != kInvalid; }

  // Reads up to `size` bytes at the current position. Returns the number of
  // bytes read, 0 at end of file, -1 on error (its cause: LastError).
  [[nodiscard]] std::int64_t Read(void* buffer, std::size_t size);
  // Writes all `size` bytes at the current position (or at the end for a file
  // opened with OpenAppendShared). A failure when not everything was written
  // (some bytes may have been).
  Status Write(const void* data, std::size_t size);
  // Reads up to `size` bytes starting `offset` bytes from the start of the
  // file, in one step that needs no Seek first. Returns the number of bytes
  // read, 0 at or beyond the end, -1 on error (also for a file that has no
  // positions, such as a device; its cause: LastError). The position afterwards is unspecified.
  [[nodiscard]] std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t size);
  // Writes all `size` bytes starting `offset` bytes from the start of the
  // file, in one step that needs no Seek first; a file that has no positions
  // (a device) takes them as Write would. Not for a file opened with
  // OpenAppendShared. The position afterwards is unspecified. A failure when
  // not everything was written (some bytes may have been).
  Status WriteAt(std::int64_t offset, const void* data, std::size_t size);
  // Moves the position to `offset` bytes from the start.
  Status Seek(std::int64_t offset);
  // Moves the position to the end of the file.
  Status SeekToEnd();
  // Size of the file in bytes, -1 on error (its cause: LastError).
  [[nodiscard]] std::int64_t Size();
  // Sets the file's length to `length` bytes. A device, which has no
  // length, is left as it is, with success.
  Status Truncate(std::int64_t length);
  // Closes the file; a failure when closing reported an error (data may be
  // lost). The file is closed either way.
  Status Close();

  // The cause of the last operation on this file that failed, for those that
  // answer a number (Read, ReadAt, Size, SeekToEndOffset); success when none
  // has. It names no path: the file does not know its name (Status::About).
  [[nodiscard]] Status LastError() const;

 private:
  friend struct FileAccess;
  static constexpr std::intptr_t kInvalid = -1;
  // Remembers a failure of `operation` with the system's `code` for
  // LastError, and hands it back.
  Status Failed(const char* operation, int code);
  // The same for an operation that answers a number: -1.
  std::int64_t FailedCount(const char* operation, int code);

  std::intptr_t handle_ = kInvalid;
  // Opened by OpenAppendShared: every Write appends (O_APPEND on POSIX does
  // that by itself; Windows also takes the appenders' byte-range lock).
  bool append_ = false;
  // The last failure, kept as two words so a file costs no more to move.
  const char* last_operation_ = nullptr;
  int last_code_ = 0;
};

// What an open gave: the file, or the kind of failure (for callers to branch
// on) and its cause (for the trace log).
struct [[nodiscard]] OpenResult {
  File file;
  OpenStatus status = OpenStatus::kFailed;
  // Success with kOk; otherwise what the system said, naming the path.
  Status error;
  // Set by OpenExclusive and OpenExclusiveRemovable: the file's size in bytes, learnt after the
  // file was held, in the same look that made sure it may be opened. No door
  // open can change it while the handle is held, so it is where a line
  // appended with File::WriteAt goes. 0 for a device. -1 when the open failed,
  // and from every other open.
  std::int64_t size = -1;
};

// Reads exactly `size` bytes at the current position into `buffer`, in as
// many File::Read calls as it takes. False on an error, or when the file ends
// first; what was read by then is in `buffer`.
[[nodiscard]] bool ReadExactly(File& file, void* buffer, std::size_t size);

// The same from `offset` bytes after the start of the file, with File::ReadAt.
[[nodiscard]] bool ReadExactlyAt(File& file, std::int64_t offset, void* buffer, std::size_t size);

// No open waits, on any platform; no lock is waited for without a bound (on
// Windows every lock is asked for with LOCKFILE_FAIL_IMMEDIATELY, and CreateFile
// refuses a file held against the asked share mode at once). On POSIX every
// open is non-blocking, and a FIFO is refused by all of them (each opens for
// reading, which a FIFO would make wait for a writer, or for reading and
// writing, which would make it its own reader), except by OpenAppendShared
// while the FIFO has a reader, which then takes its lines; a device or a FIFO
// written to fails when it would block.
// The two reading opens below open regular files only: a FIFO, a device, a
// pipe or a folder fails with kFailed, as it could make a read wait for ever
// or never end. The writing opens keep devices working (/dev/null, NUL).

// Which opens of this door exclude one another, the same on both platforms,
// whether the two handles are in one process or in two. While a handle of the
// row is open, an open of the column fails at once with kBusy (B) or opens
// (-); OpenExclusiveRemovable counts as OpenExclusive:
//
//   held by \ opened by   Exclusive  SharedRead  UnlockedRead  AppendShared
//   OpenExclusive             B          B            B             B
//   OpenSharedRead            B          -            -             B
//   OpenUnlockedRead          B          -            -             -
//   OpenAppendShared          B          B            -             -
//
// That is Windows' share modes: Exclusive shares nothing, SharedRead shares
// reading only, UnlockedRead and AppendShared share everything. POSIX
// emulates them with open-file-description locks (fcntl F_OFD_SETLK), which
// only the opens of this door heed: other programs may write a file the door
// holds. The marks by which SharedRead and AppendShared keep each other out
// are write locks, which only a process that may write the file can take: a
// program that may only read a file can take read locks only, which keep out
// OpenExclusive (a target's writer, a trim) and nothing else, as a reader
// sharing no writing does on Windows. Where such a lock lies on the byte an
// open draws for its mark, or where the door's own process may only read the
// file, SharedRead goes unseen by AppendShared and the other way round.

// Opens `path` for reading and writing, never truncating, positioned at the
// start; no other open of the file may be held or had meanwhile (above). The
// result tells the file's size (OpenResult::size), so an append needs no look
// of its own at the end.
OpenResult OpenExclusive(const std::string& path, CreateMode mode);

// Opens an existing `path` for reading, keeping out writers: other readers
// may hold it at the same time, an exclusive holder or an appender makes the
// open fail with kBusy (above). Nothing is written through it; on POSIX it is
// opened for writing too where this process may write the file, for its mark.
OpenResult OpenSharedRead(const std::string& path);

// Opens an existing `path` for reading without keeping anyone but an
// exclusive opener from writing, renaming, replacing or deleting it meanwhile
// (the configuration file, which an editor may be saving). kBusy while an
// exclusive holder has it (above), or when the platform refuses the open for
// another handle's sake, for example during an atomic replace on Windows.
OpenResult OpenUnlockedRead(const std::string& path);

// Opens `path` for appending, creating it when missing (on POSIX for writing
// only, or for reading too where its shared lock must be a read lock). Every
// Write appends as
// one operation at the current end, so whole lines of several writers (threads
// or processes) never interleave. Other appenders and unlocked readers may
// hold the file at the same time; an exclusive holder or a shared reader makes
// the open fail with kBusy (above). On Windows the appenders take turns by a
// byte-range lock, which any handle that may read the file can hold too: the
// open fails with kBusy while another handle holds it, and a Write waits for
// it at most 50 ms, then fails without writing. No wait is longer.
OpenResult OpenAppendShared(const std::string& path);

// Size in bytes of the file at `path`, without opening it (so no holder keeps
// the look out); -1 when it cannot be had (missing, not a file, no access).
[[nodiscard]] std::int64_t FileSize(const std::string& path);

// What one look at a file by its path, without opening it, tells of it. Two
// looks that agree saw the same file (by its identity) with the same size and
// times, so unchanged between them unless it changed within one tick of the
// clock that stamps it.
struct FileStamp {
  // kOk; kNotFound (missing); kBusy (the system would not look for another
  // handle's sake); kFailed (not a regular file, no access, ...): the other
  // fields are then 0.
  OpenStatus status = OpenStatus::kFailed;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;  // last write of its content, ns since 1970 UTC
  // The later of the last write and the last change of its record (POSIX
  // ctime, which no program can set back); on Windows the last write.
  std::int64_t changed_ns = 0;
  // Which file it is: POSIX the device and inode numbers; Windows (which
  // tells no number without opening the file) 0 and its creation time.
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator==(const FileStamp& other) const = default;
};

// One look at the file at `path` (stat, GetFileAttributesExA).
[[nodiscard]] FileStamp StampOf(const std::string& path);

// The same look at the open `file` (fstat, GetFileInformationByHandle), with
// the same fields as a look by its path gives.
[[nodiscard]] FileStamp StampOf(File& file);

// Calls `open` (one of the opens above) again while it reports kBusy, pausing
// between tries in steps growing from 1 ms to 50 ms, until it reports anything
// else or `patience` has passed; returns the last result. For files another
// handle holds only for a moment: a trim, a writer, an editor saving.
template <typename Open>
OpenResult OpenWhenFree(Open open, std::chrono::milliseconds patience) {
  constexpr auto kFirstPause = std::chrono::milliseconds(1);
  constexpr auto kLongestPause = std::chrono::milliseconds(50);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  auto pause = kFirstPause;
  for (;;) {
    OpenResult opened = open();
    if (opened.status != OpenStatus::kBusy || std::chrono::steady_clock::now() >= deadline) {
      return opened;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kLongestPause);
  }
}

// ---------------------------------------------------------------------------
// Text.

// `text`, in UTF-16 code units, as the single-byte text the service works in.
// Windows: the ANSI code page, as the profile functions deliver a Unicode file
// (a character the code page lacks becomes its default character). POSIX:
// UTF-8 (an unpaired surrogate becomes U+FFFD). Empty when the conversion
// fails.
[[nodiscard]] std::string NarrowFromUtf16(std::u16string_view text);

// ---------------------------------------------------------------------------
// Worker threads.

enum class ThreadPriority {
  kNormal,
  kLowest,  // yields to the host's threads (Windows THREAD_PRIORITY_LOWEST)
};

// Runs `task` on a new, short-lived thread at the given priority. The thread
// keeps the module loaded while it runs: on Windows it holds a reference on the
// module and ends with FreeLibraryAndExitThread; on POSIX the library is
// linked never to be unmapped, and the process's exit waits a bounded time
// for it. Nothing a worker does needs the loader's lock (the module's path and
// address are learnt at load). On success the thread has taken `task` (left
// empty here). A failure when no thread could be started; `task` is then
// left as it was, so the caller can run it itself.
Status StartDetachedThread(std::function<void()>& task, ThreadPriority priority);

// The one lifetime rule for module state that a worker may touch (the trace
// log's state, the target turns, the busy stretches, the validation queue, the
// spool's): it is never destroyed. Every wait for workers is bounded (the
// process's exit and an unload wait a while, then go on), so a worker may
// still be running when teardown comes, and state destroyed under it would
// be touched after its end. Made on first use, thread-safely, and left to the
// process: one object per load of the module.
template <typename T>
T& NeverDestroyed() {
  static T* const object = new T();
  return *object;
}

// Waits at most `timeout` until no thread started by StartDetachedThread is
// still running. True when none is left.
[[nodiscard]] bool WaitForWorkers(std::chrono::milliseconds timeout);

// Before the module may be unloaded: on POSIX waits at most `timeout` for
// running workers (like WaitForWorkers), so that the lines they write within
// that time come before the host goes on; on Windows, where every worker holds a reference on the
// module, returns at once. True when no worker is still running (POSIX) or at
// risk (Windows).
[[nodiscard]] bool AwaitWorkersBeforeUnload(std::chrono::milliseconds timeout);

// ---------------------------------------------------------------------------
// Local time. Thread-safe; instants are seconds since 1970-01-01 00:00:00 UTC
// in 64 bits, so dates from 2038 on work.

// The local calendar time of `instant`; nullopt when it cannot be converted.
[[nodiscard]] std::optional<std::tm> LocalTimeOf(std::int64_t instant);

// The instant of local calendar time `parts` as mktime converts it (fields out
// of range are normalised; tm_isdst as given, -1 lets the platform decide);
// nullopt when the conversion fails.
[[nodiscard]] std::optional<std::int64_t> InstantOfLocal(const std::tm& parts);

// ---------------------------------------------------------------------------
// Version resource and operating system.

struct FileVersion {
  enum class Status { kOk, kNoMemory, kMissing };
  Status status = Status::kMissing;
  std::array<std::uint16_t, 4> parts{};  // a.b.c.d
};

// The four-part file version of the file at `path`. Windows: the fixed record
// of its version resource. POSIX: the version the build gave this module, when
// `path` is this module's own file; kMissing for any other file.
[[nodiscard]] FileVersion QueryFileVersion(const std::string& path);

// The fields of the platform's version record that the service describes.
struct OsVersionRecord {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::uint32_t platform_id = 0;  // 2 NT, 1 Windows 9x, anything else unknown
  std::string service_pack;
};

// The running system's version record. On a platform outside both Windows
// families every number is 0.
[[nodiscard]] OsVersionRecord QueryOsVersion();

// ---------------------------------------------------------------------------
// Editor.

// Asks the desktop to open `path` in a plain text editor and returns at once,
// whether or not the editor started. Windows: ShellExecuteA "notepad" with the
// unquoted path. POSIX: xdg-open, detached, leaving no zombie.
void OpenInTextEditor(const std::string& path);

// ---------------------------------------------------------------------------
// Folders and removable files, for the spool: files the service owns, which
// several threads and processes create, append to, and remove once they are
// empty, without a line of one of them landing in a file another has removed.

// The names (without folder) of the plain files in `folder`, in no particular
// order; folders, symbolic links (POSIX), reparse points (Windows) and other
// entries are left out. `names` is nullopt when the folder cannot be read
// (missing, no access), and `error` then says why.
struct [[nodiscard]] FolderListing {
  std::optional<std::vector<std::string>> names;
  Status error;
};
FolderListing ListFolder(const std::string& folder);

// `path` made absolute against the process's current folder, as the system
// would resolve it when opening it now; unchanged when it is absolute already.
// Empty when it cannot be made absolute.
[[nodiscard]] std::string AbsolutePath(const std::string& path);

// The text that tells file names apart as the platform's file systems do:
// Windows folds letter case (to the ANSI code page's upper case, as NTFS and
// FAT compare names without regard to case), so `C:\a.txt` and `C:\A.TXT`
// give one identity; POSIX: `path` unchanged.
[[nodiscard]] std::string FileNameIdentity(const std::string& path);

// True when `folder` exists and is a folder.
[[nodiscard]] bool IsFolder(const std::string& folder);

// True when users other than the folder's owner may create or remove files in
// `folder` (POSIX: it is writable by its group or by others). Windows: always
// false, as its access lists are not looked at. False when it cannot be told.
[[nodiscard]] bool IsWritableByOthers(const std::string& folder);

// Like OpenExclusive, for files of the service's own that a holder may remove
// with RemoveHeldFile: the handle returned always names the file that is at
// `path` now, never one that was removed while this open waited for it
// (POSIX: after the lock is taken, a file no longer at `path` is let go and
// `path` opened again). Only a plain file is opened, never through a link at
// `path`: a symbolic link (POSIX, O_NOFOLLOW) or a reparse point (Windows)
// there fails with kFailed. POSIX: a file is created readable and writable by
// its owner only (0600), an existing one with wider rights is narrowed to
// that, and one that cannot be (another user's) is refused with kFailed.
// Windows: nothing is shared with any other handle.
OpenResult OpenExclusiveRemovable(const std::string& path, CreateMode mode);

// Removes the file at `path`, which `file` (opened by OpenExclusiveRemovable
// for that path) holds, and closes `file`. No other opener gets the removed
// file: the next open of `path` finds no file, or a new one. A failure when
// the file could not be removed (it is closed all the same).
Status RemoveHeldFile(File& file, const std::string& path);

// Moves `file`'s position to its end, like File::SeekToEnd, and returns the
// offset there, the file's size; -1 on error (its cause: File::LastError).
[[nodiscard]] std::int64_t SeekToEndOffset(File& file);

// Asks the system to put what was written to `file` on the disk before
// returning (fsync, FlushFileBuffers). On POSIX a device that keeps nothing
// to flush (/dev/null: EINVAL) counts as flushed.
Status FlushToDisk(File& file);

// ---------------------------------------------------------------------------
// Files replaced whole, and processes, for the status file: a document that
// readers must only ever see whole, named after the process that keeps it.

// Puts the file at `from` in the place of `to` in one step, replacing a file
// already there: a reader opening `to` meanwhile gets the old file or the new
// one, never a piece of either. Both lie in one folder. POSIX: rename.
// Windows: MoveFileExA with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH, which fails while another handle holds `to` without
// sharing deletion (the door's OpenUnlockedRead shares it). A failure when
// the file could not be moved; both files are then as they were.
Status MoveFileOver(const std::string& from, const std::string& to);

// The identifier of the calling process, as the system's tools show it.
[[nodiscard]] std::uint32_t CurrentProcessId();

// True while a process with identifier `id` runs (one this process may not
// inspect counts as running); false once it has ended or never was. An
// identifier the system gave again to a later process reads as running.
[[nodiscard]] bool IsProcessRunning(std::uint32_t id);

// The value of the process's environment variable `name`; nullopt when it is
// not set. Windows: the process's own block (GetEnvironmentVariableA), which a
// library's C runtime may not share.
[[nodiscard]] std::optional<std::string> EnvironmentVariable(const std::string& name);

// Sets the process's environment variable `name` to `value` (an empty value
// unsets it), for what the process loads afterwards. Not safe while another
// thread reads the environment. False when it could not be set.
[[nodiscard]] bool SetEnvironmentVariableTo(const std::string& name, const std::string& value);

// Removing files the service wrote and no longer keeps (KeepFiles<N>).

// Removes the plain file at `path`, without waiting: a file another handle
// holds is removed where the system allows it (POSIX: always; it lives on
// until closed) and fails otherwise (Windows: a handle that does not share
// deletion). Never removes a folder. A failure says why, in the system's
// words (Status::message).
Status RemoveFile(const std::string& path);

// Asks the system to put `folder`'s entries (a file just made or removed in
// it) on the disk before returning: POSIX fsync of the folder. Windows: true
// at once, as its file systems journal a folder's entries themselves.
Status FlushFolder(const std::string& folder);

// FlushFolder of the folder that holds the file at `path`, as the system
// resolves it (the current folder for a bare name), for a file just made.
Status FlushFolderOf(const std::string& path);

}  // namespace zelk::platform

#endif  // ZELK_PLATFORM_PLATFORM_H_
