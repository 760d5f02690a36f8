// The trace log: the service's only diagnostic output. One timestamped line per
// event, shaped as line_shape.h says, with a one-character category
// (kInformation, kError; other categories pass the Flags filter). No function
// here ever fails towards its caller.
#ifndef ZELK_TRACELOG_TRACE_LOG_H_
#define ZELK_TRACELOG_TRACE_LOG_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"
#include "tracelog/line_shape.h"  // the categories, for every caller

#if defined(__GNUC__)
#define ZELK_PRINTF_FORMAT(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))
#else
#define ZELK_PRINTF_FORMAT(format_index, first_argument)
#endif

namespace zelk::tracelog {

// The configuration file at `path` as config::CurrentConfiguration keeps it
// (read again only when it changed), logging when the file was refused for
// its size, and once per stretch in which it could not be read whole (held,
// not opened, caught while being saved), with what the call goes on with.
// Every reader of the configuration goes through here, so neither goes
// unnoticed. Never null.
std::shared_ptr<const config::Snapshot> LoadConfiguration(const std::string& path);

// Reads FileName, MaxLines and Flags of section Log from `settings_path`, or
// from the module's configuration file when none is given, and configures the
// log with them.
void OpenTraceLog(const std::optional<std::string>& settings_path = std::nullopt);

// Configures the log with FileName, MaxLines and Flags of section Log of
// `snapshot`.
void OpenTraceLog(const config::Snapshot& snapshot);

// Sets the log file name, line limit and flags (blanks removed), adds the flags'
// categories to the enabled and disabled sets, and trims the log file once.
void ConfigureTraceLog(std::string_view file_name, std::int32_t line_limit, std::string_view flags);

// Formats the message completely (printf conventions, no length limit) and
// writes it with WriteTraceLine.
void LogMessage(char category, const char* format, ...) ZELK_PRINTF_FORMAT(2, 3);

// Formats the message on the calling thread and has a log worker at the lowest
// priority write it; returns before the line is written.
void LogMessageAsync(char category, const char* format, ...) ZELK_PRINTF_FORMAT(2, 3);

// Writes one finished message: filter, log lock, append, count, periodic trim.
void WriteTraceLine(char category, std::string_view text);

// A text from the host (a job or transaction number) as it may stand in a
// message: every control character (0x00 to 0x1F, and 0x7F) shown as an
// escape, `\r`, `\n`, `\t` or `\xHH` (two uppercase hexadecimal digits), so
// that no host text can end a line of the log and start a forged one. Every
// other byte stays as it is.
std::string VisibleText(std::string_view host_text);

// The Flags filter for categories other than kInformation, kError and NUL.
bool IsCategoryEnabled(char category);

// The start-up banner and the "OS: %s" line.
void WriteLoadedBanner();

// The "%s is unloaded" line.
void WriteUnloadedBanner();

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_TRACE_LOG_H_
