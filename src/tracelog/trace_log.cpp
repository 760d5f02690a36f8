// The trace log.
//
// State: one LogState per loaded module. The settings (file name, flags, line
// limit, category sets) form one immutable Settings object, replaced as a whole
// under the log lock and published atomically, so the filter (which runs before
// the lock) and the writer always see one consistent set. The message counter
// lives under the log lock.
#include "tracelog/trace_log.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "config/config.h"
#include "config/current.h"
#include "config/settings.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "tracelog/busy_stretch.h"
#include "tracelog/causes.h"
#include "tracelog/format.h"
#include "tracelog/status.h"
#include "tracelog/trace_log_test_helper.h"
#include "tracelog/trim.h"
#include "tracelog/version.h"

namespace zelk::tracelog {
namespace {

constexpr char kEnableMode = '+';
constexpr char kDisableMode = '-';
constexpr char kBlank = ' ';
constexpr char kLineFeed = '\n';
using platform::kLineBreak;

constexpr std::int32_t kLineLimitAtLoad = 50;
// The periodic trim follows a message whose counter value before counting is
// at least this, i.e. every eleventh message.
constexpr std::uint32_t kMessagesBeforeTrim = 10;

// While another process trims the log it holds the file exclusively; a message
// waits for that in short steps for a bounded time instead of being lost.
constexpr auto kBusyRetryLimit = std::chrono::milliseconds(2000);

constexpr std::size_t kModulePathBuffer = 256;
// At least eight uppercase hex digits: exactly eight for a 32-bit address, the
// whole address where it is wider.
constexpr char kLoadedBannerMessage[] =
    "%s is loaded at [0x%8.8" PRIXPTR "] v[%s] logflags[%s] maxlines[%d]";
constexpr char kOperatingSystemMessage[] = "OS: %s";
constexpr char kUnloadedBannerMessage[] = "%s is unloaded";
constexpr char kLogBusyStretchMessage[] =
    "Trace log file[%s] -- t[Busy until now: %d lines could not be written]";
constexpr char kConfigurationTooLargeMessage[] =
    "Configuration file[%s] -- t[Larger than %d bytes: not read, every setting has its default]";
// Once per stretch in which the configuration cannot be read whole: why, and
// what the calls go on with meanwhile (one of the two texts below).
constexpr char kConfigurationUnreadableMessage[] =
    "Configuration file[%s] -- t[Could not be read (%s): %s]";
constexpr char kLastReadWholeKept[] = "the settings last read whole are kept";
constexpr char kNeverReadWhole[] = "never read whole, every setting has its default";

struct Settings {
  std::string file_name;  // empty: nothing is written
  std::string flags;      // the Flags value without blanks
  std::int32_t line_limit = kLineLimitAtLoad;
  std::string enabled;   // every category any set-up enabled
  std::string disabled;  // every category any set-up disabled
};

struct LogState {
  // The log lock: serialises writes with the counter and the periodic trim, and
  // set-ups among themselves.
  std::mutex lock;
  std::uint32_t message_count = 0;  // under `lock`
  // The last append failed (a full disk): a piece of its line may end the
  // file. Under `lock`.
  bool end_may_be_torn = false;
  std::atomic<std::shared_ptr<const Settings>> settings{std::make_shared<const Settings>()};
};

// Workers write lines too, so the log's state follows the door's lifetime
// rule for such state: never destroyed.
LogState& State() { return platform::NeverDestroyed<LogState>(); }

bool Contains(const std::string& set, char category) {
  return set.find(category) != std::string::npos;
}

bool Passes(const Settings& settings, char category) {
  if (category == '\0' || category == kInformation || category == kError) return true;
  if (platform::IsAsciiLower(category)) return Contains(settings.enabled, category);
  return !Contains(settings.disabled, category);
}

// The settings after one set-up: name, flags and limit replaced, the category
// sets grown by the flags read left to right ('+' enables, '-' disables what
// follows; the mode starts as enable).
Settings Configured(const Settings& old, std::string_view file_name, std::int32_t line_limit,
                    std::string_view flags) {
  Settings next{std::string(file_name), {}, line_limit, old.enabled, old.disabled};
  for (char c : flags) {
    if (c != kBlank) next.flags += c;
  }
  bool enable = true;
  for (char c : next.flags) {
    if (c == kEnableMode) {
      enable = true;
    } else if (c == kDisableMode) {
      enable = false;
    } else {
      (enable ? next.enabled : next.disabled) += c;
    }
  }
  return next;
}

// Appends the local time of now as the line's stamp.
void AppendTimestamp(std::string& line) {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  AppendStamp(line, std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
}

// The whole line as it goes to disk: every line feed of the text as CR LF, and
// a CR LF at the end unless the text's own last line feed provides it.
std::string LineOf(char category, std::string_view text) {
  const bool ends_line = !text.empty() && text.back() == kLineFeed;
  std::string line;
  line.reserve(kMessageStart + text.size() + 2 * kLineBreak.size());
  AppendTimestamp(line);
  line += kSeparator;
  line += category;
  line += kSeparator;
  platform::AppendWithCrLf(line, text);
  if (!ends_line) line.append(kLineBreak);
  return line;
}

// One append of the whole line, so lines of several writers never mix. Runs
// under the log lock: while it waits for a busy file, the process's other
// messages wait behind it and keep their order. Once a wait has run out, the
// lines that follow are lost at once until the file is free again; the first
// line then written says how many were lost. After a failed append the next
// one begins with a line break, so a piece of a line the disk cut short ends
// there rather than run into the next message. True when the line was written.
bool AppendLine(const std::string& path, const std::string& line, bool& end_may_be_torn) {
  LineOpen open = OpenForLine(
      path, [&path] { return platform::OpenAppendShared(path); }, kBusyRetryLimit);
  if (open.opened.status != platform::OpenStatus::kOk) return false;
  if (!end_may_be_torn && open.lines_failed_in_stretch == 0) {
    end_may_be_torn = !open.opened.file.Write(line.data(), line.size());
    return !end_may_be_torn;
  }
  std::string bytes = end_may_be_torn ? std::string(kLineBreak) : std::string();
  if (open.lines_failed_in_stretch > 0) {
    bytes += LineOf(kError,
                    FormatText(kLogBusyStretchMessage, path.c_str(), open.lines_failed_in_stretch));
  }
  bytes += line;
  end_may_be_torn = !open.opened.file.Write(bytes.data(), bytes.size());
  return !end_may_be_torn;
}

void WriteLine(char category, std::string_view text) {
  if (category == '\0') category = kInformation;
  LogState& state = State();
  if (!Passes(*state.settings.load(), category)) return;
  std::lock_guard<std::mutex> lock(state.lock);  // a failing wait throws: dropped
  const std::shared_ptr<const Settings> settings = state.settings.load();
  if (!settings->file_name.empty()) {
    bool written = false;
    try {
      written = AppendLine(settings->file_name, LineOf(category, text), state.end_may_be_torn);
    } catch (...) {
      // No memory for the line: it is lost, but still counts.
    }
    status::CountTraceLine(written);
  }
  const std::uint32_t old = state.message_count++;
  if (old >= kMessagesBeforeTrim && !platform::IsAsciiLower(category)) {
    state.message_count = 0;
    TrimToLastLines(settings->file_name, settings->line_limit);
  }
}

// The text to log when the message cannot be formatted: its format unchanged.
std::string_view Unformatted(const char* format) {
  return format != nullptr ? std::string_view(format) : std::string_view();
}

}  // namespace

std::shared_ptr<const config::Snapshot> LoadConfiguration(const std::string& path) {
  config::CurrentSnapshot current = config::CurrentConfiguration(path);
  if (current.stretch_begins) {
    LogFailure(current.cause, kError, kConfigurationUnreadableMessage, path.c_str(),
               std::string(config::ReadTroubleText(current.trouble)).c_str(),
               current.never_read_whole ? kNeverReadWhole : kLastReadWholeKept);
  }
  if (current.snapshot->too_large()) {
    LogMessage(kError, kConfigurationTooLargeMessage, path.c_str(),
               static_cast<int>(config::kLargestConfigurationFile));
  }
  return std::move(current.snapshot);
}

void OpenTraceLog(const std::optional<std::string>& settings_path) {
  try {
    OpenTraceLog(*LoadConfiguration(settings_path ? *settings_path : config::ConfigFilePath()));
  } catch (...) {
    // No memory for the settings: the log stays as it was.
  }
}

void OpenTraceLog(const config::Snapshot& snapshot) {
  try {
    const std::string file_name = config::Read(snapshot, config::kLogFileName);
    const std::int32_t line_limit =
        config::IntegerSetting(config::Read(snapshot, config::kLogMaxLines));
    const std::string flags = config::Read(snapshot, config::kLogFlags);
    ShowCauses(config::IntegerSetting(config::Read(snapshot, config::kLogCauses)) != 0);
    ConfigureTraceLog(file_name, line_limit, flags);
  } catch (...) {
    // No memory for the settings: the log stays as it was.
  }
}

void ConfigureTraceLog(std::string_view file_name, std::int32_t line_limit,
                       std::string_view flags) {
  try {
    LogState& state = State();
    std::shared_ptr<const Settings> next;
    {
      std::lock_guard<std::mutex> lock(state.lock);
      next = std::make_shared<const Settings>(
          Configured(*state.settings.load(), file_name, line_limit, flags));
      state.settings.store(next);
    }
    // Outside the lock: a message arriving meanwhile waits for the file.
    TrimToLastLines(next->file_name, next->line_limit);
  } catch (...) {
    // No memory or no lock: the log stays as it was.
  }
}

void LogMessage(char category, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::optional<std::string> text = TryFormatText(format, args);
  va_end(args);
  WriteTraceLine(category, text ? std::string_view(*text) : Unformatted(format));
}

void LogMessageAsync(char category, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::optional<std::string> text = TryFormatText(format, args);
  va_end(args);
  const std::string_view message = text ? std::string_view(*text) : Unformatted(format);
  try {
    std::function<void()> task = [category, copy = std::string(message)] {
      WriteTraceLine(category, copy);
    };
    if (platform::StartDetachedThread(task, platform::ThreadPriority::kLowest)) return;
    // No worker: the task was left untouched, so the message is written here.
    task();
  } catch (...) {
    // No memory for the worker's copy: write it here.
    WriteTraceLine(category, message);
  }
}

void WriteTraceLine(char category, std::string_view text) {
  try {
    WriteLine(category, text);
  } catch (...) {
    // The lock could not be had or no memory: the message is dropped.
  }
}

std::string VisibleText(std::string_view host_text) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(host_text.size());
  for (const char c : host_text) {
    const auto byte = static_cast<unsigned char>(c);
    if (!platform::IsAsciiControl(c)) {
      shown += c;
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else {
      shown += "\\x";
      shown += kHexDigits[byte >> 4];
      shown += kHexDigits[byte & 0xF];
    }
  }
  return shown;
}

bool IsCategoryEnabled(char category) {
  try {
    return Passes(*State().settings.load(), category);
  } catch (...) {
    return true;  // the state could not be made: let the writer decide
  }
}

void WriteLoadedBanner() {
  try {
    const std::shared_ptr<const Settings> settings = State().settings.load();
    const std::string path = platform::ModulePath(kModulePathBuffer);
    if (!path.empty()) {
      LogMessage(kInformation, kLoadedBannerMessage, path.c_str(), platform::ModuleBaseAddress(),
                 GetModuleVersionText().c_str(), settings->flags.c_str(),
                 static_cast<int>(settings->line_limit));
    }
  } catch (...) {
    // No memory for the banner's texts: the OS line still follows.
  }
  try {
    LogMessage(kInformation, kOperatingSystemMessage, DescribeOperatingSystem().c_str());
  } catch (...) {
  }
}

void WriteUnloadedBanner() {
  try {
    const std::string path = platform::ModulePath(kModulePathBuffer);
    if (!path.empty()) LogMessage(kInformation, kUnloadedBannerMessage, path.c_str());
  } catch (...) {
  }
}

void ResetTraceLogForTesting() {
  try {
    LogState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    state.settings.store(std::make_shared<const Settings>());
    state.message_count = 0;
    state.end_may_be_torn = false;
    ShowCauses(false);
  } catch (...) {
  }
}

}  // namespace zelk::tracelog
