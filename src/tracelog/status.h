// The status file: what this process's service has done since the library was
// loaded, as counts an administrator's monitoring can read. One JSON file per
// host process, <library name without extension>-<process id>.json, in the
// folder that [Log] StatusFolder names (or the environment variable
// ZELKFORWARD_STATUS_FOLDER, which overrides it). Off (no file, nothing
// counted) while that folder is empty.
//
// Every count is made in memory; the file is replaced whole (written beside
// it, flushed, renamed over it) by the first counted event of a second after
// the last replacement, and at StopService and unload, so counting costs no
// system call in the transactions between. A file that cannot be written is
// logged once and never holds up the event that counted.
#ifndef ZELK_TRACELOG_STATUS_H_
#define ZELK_TRACELOG_STATUS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace zelk::tracelog::status {

// The environment variable that overrides [Log] StatusFolder for a process.
inline constexpr char kFolderVariable[] = "ZELKFORWARD_STATUS_FOLDER";

// Sets the folder from the [Log] StatusFolder value (or the environment
// variable) and the service name the file shows, and writes the file at
// once. For ExecuteService.
void Configure(std::string_view configured_folder, std::string_view service_name);

// The folder in force; empty while the status file is off.
std::string Folder();

// The full name of this process's status file; empty while it is off.
std::string FilePath();

// What became of one line of an output section.
enum class LineOutcome { kWritten, kNotWritten, kFormatError, kSpooled };

// One line's outcome in output section `section`, whose Target value is
// `target_format` and which rendered `file`. For a line not written, `reason`
// is the failure's text and `cause` what the system said (empty: not known).
struct LineEvent {
  int section = 0;
  std::string_view target_format;
  std::string_view file;
  LineOutcome outcome = LineOutcome::kWritten;
  std::string_view reason;
  std::string_view cause;
};
void CountLine(const LineEvent& event);

// `lines` lines kept in the spool for `file` reached it.
void CountDelivered(std::string_view file, int lines);

// A forwarding call, and why one was dropped before its sections.
enum class Drop { kNotEnabled, kZeroTransaction, kNotValid };
void CountReceived();
void CountDropped(Drop reason);

// The answer to one of the host's job-number checks.
enum class JobCheck { kValid, kNotValid, kNotChecked };
void CountJobCheck(JobCheck answer);

// One trace-log message that reached (or failed to reach) the log file. Only
// counts: it never writes the status file, so the log may call it under its
// lock.
void CountTraceLine(bool written);

// Marks the service stopped and writes the file now. For StopService.
void MarkStopped();

// Writes the file now when it is on.
void WriteNow();

}  // namespace zelk::tracelog::status

#endif  // ZELK_TRACELOG_STATUS_H_
