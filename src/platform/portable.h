// What both implementations of the platform door share: plain computation
// that needs no operating system, and the state of the door's test switches.
// Inside the platform room only; the rest of the service sees platform.h.
#ifndef ZELK_PLATFORM_PORTABLE_H_
#define ZELK_PLATFORM_PORTABLE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace zelk::platform::portable {

// `text`, in UTF-16 code units, as UTF-8; an unpaired surrogate becomes
// U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);

// The calendar time `parts` read as if it were UTC, in seconds since
// 1970-01-01, normalised as mktime normalises it (month 13 is January of the
// next year, day 0 the last day of the month before, second 60 the next
// minute, ...), in the proleptic Gregorian calendar.
std::int64_t SecondsAsIfUtc(const std::tm& parts);

// The calendar fields of `seconds` since the epoch taken as UTC, the inverse
// of SecondsAsIfUtc; the zone's fields (daylight flag, offset, name) come
// from `zone`.
std::tm CalendarOf(std::int64_t seconds, const std::tm& zone);

// The system's words for its error `code` (strerror_r; FormatMessageA, in
// English where the system has it), without the line break or the full stop
// that closes them; empty when it has none. Each implementation provides it.
std::string SystemWords(int code);

// How the cause text names a code of this platform's family: "errno" or
// "error". Each implementation provides it.
extern const char* const kCodeName;

// The module's whole path, learnt at load; empty when it could not be had.
// Each implementation provides it; the shared part cuts it to a buffer.
const std::string& WholeModulePath();

// Hands an editor request to the tests' observer (SetEditorObserverForTesting
// routes the door's editor start here).
void HandToEditorObserver(const std::string& program, const std::string& argument);

// Routes the door's editor start to the tests' observer (true) or to the
// desktop (false). Each implementation provides it for its table.
void RouteEditorToObserver(bool observed);

// What the tests' fault plan makes of the next door call of kind `call`
// (an int of DoorCall): counted, and the code to fail it with (0: let it
// through) or the bytes a short write takes. Only the stand-ins that
// InjectFaults routes the calls through ask.
struct Injected {
  int code = 0;
  std::size_t short_write = 0;
};
Injected NextCall(int call, const char* path = nullptr);

// Routes the door's calls through the counting stand-ins (true) or the real
// calls (false). Each implementation provides it for its table.
void RouteThroughStandIns(bool on);

// The record a simulated power cut is made from (power_cut.cpp). Only the
// stand-ins tell it anything, and only after InjectPowerCut started it: each
// tells what its call did once the real call went through. A handle is the
// platform's descriptor or handle as an integer.
using RecordHandle = std::intptr_t;
inline constexpr RecordHandle kNoHandle = -1;
void StartRecord(bool on);
void RecordBeforeNaming(const char* path);  // before an open, rename or removal of `path`
void RecordOpened(RecordHandle handle, const char* path, bool truncates);
void RecordChanged(RecordHandle handle);  // a write or a truncate went through
void RecordFlushed(RecordHandle handle);  // a file's or a folder's flush went through
void RecordClosed(RecordHandle handle);   // before the handle goes, so no reuse is missed
void RecordRenamed(const char* from, const char* to);
void RecordRemoved(const char* path);
void RecordRemovedHandle(RecordHandle handle);

// What the disk holds at `path` now (or, when it cannot be read by name, in
// the file `handle` holds open), read with the real calls. Each
// implementation provides it.
struct DiskImage {
  bool folder = false;
  std::optional<std::string> bytes;  // none: no file
};
DiskImage ReadForRecord(const std::string& path, RecordHandle handle);

// Whether a made, renamed or removed name is on the disk once the call
// returns (a file system that journals its folders' entries itself), or only
// once its folder is flushed. Each implementation provides it.
extern const bool kNamesDurableAtOnce;

// The number of running workers, and a bounded wait until none is left.
class WorkerCount {
 public:
  void Started();
  void Finished();
  // True when no worker was left within `timeout`.
  bool WaitUntilNone(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable none_left_;
  int running_ = 0;
};

// Whether the door's calls go through the table the tests switch (the fault
// seam, the default) or straight to the system (a build configured with
// ZELK_FAULT_SEAM=OFF). Without the seam the table is the real calls fixed at
// compile time, the compiler makes direct calls of them, and the switches
// that would route the door elsewhere (InjectFaults, the editor's observer)
// stop the process instead.
#if !defined(ZELK_FAULT_SEAM) || ZELK_FAULT_SEAM
inline constexpr bool kFaultSeam = true;
#else
inline constexpr bool kFaultSeam = false;
#endif

// One entry of a platform's table of system calls, `Function` a pointer to
// the call: atomic with the seam, so that a swap while workers run is no data
// race; the plain pointer without it.
template <typename Function>
using SeamEntry = std::conditional_t<kFaultSeam, std::atomic<Function>, Function>;

// The type of a platform's table: a constant without the seam.
template <typename Table>
using SeamTable = std::conditional_t<kFaultSeam, Table, const Table>;

// Calls the entry `entry` of the table `table` with `arguments`. With the
// seam a relaxed load, which is a plain load, and an indirect call; without
// it the entry's initial value, the real call, called directly.
template <auto& table, auto entry, typename... Arguments>
auto CallEntry(Arguments... arguments) {
  if constexpr (kFaultSeam) {
    return (table.*entry).load(std::memory_order_relaxed)(arguments...);
  } else {
    constexpr auto real = std::remove_cvref_t<decltype(table)>{}.*entry;
    return real(arguments...);
  }
}

// Stops the process with a message: a test switch asked for the seam's
// stand-ins in a build without the seam.
[[noreturn]] void SeamLeftOut();

// Points a seam's table entry at the real call or at its stand-in; the
// platform files' RouteThroughStandIns and RouteEditorToObserver call it for
// each entry.
template <typename Entry>
void Route(std::atomic<Entry>& entry, std::type_identity_t<Entry> real,
           std::type_identity_t<Entry> stand_in, bool stand_ins) {
  entry.store(stand_ins ? stand_in : real, std::memory_order_relaxed);
}

// Without the seam every entry is its real call already, and no stand-in can
// take its place.
template <typename Entry>
requires(!kFaultSeam) void Route(const Entry& /*entry*/, std::type_identity_t<Entry> /*real*/,
                                 std::type_identity_t<Entry> /*stand_in*/, bool stand_ins) {
  if (stand_ins) SeamLeftOut();
}

}  // namespace zelk::platform::portable

#endif  // ZELK_PLATFORM_PORTABLE_H_
