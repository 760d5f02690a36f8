// The status file's counts and its writing. Counts of the host's calls are
// atomics; what each output section did is kept in a small table under a
// mutex that no system call is made under. Replacing the file (five system
// calls) is left to the first counted event of a new second.
#include "tracelog/status.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>

#include "config/config.h"
#include "platform/platform.h"
#include "tracelog/causes.h"
#include "tracelog/json_writer.h"
#include "tracelog/trace_log.h"

namespace zelk::tracelog::status {
namespace {

constexpr int kFormatVersion = 1;
constexpr std::size_t kModulePathBuffer = 4096;
constexpr char kFileExtension[] = ".json";
// Beside the file, under a name no reader looks for, until it is complete.
constexpr char kTemporaryExtension[] = ".json.new";
constexpr char kWriteFailedMessage[] = "Status file[%s] -- t[Could not write file: %s]";
constexpr char kFolderMissingCause[] = "the folder does not exist";
constexpr char kWriteStepFailedCause[] = "the system refused the write or the rename";

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Local time as "2026-12-10T08:00:00"; empty for 0 (never).
std::string LocalStamp(std::int64_t instant) {
  if (instant == 0) return {};
  const std::optional<std::tm> parts = platform::LocalTimeOf(instant);
  if (!parts) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", parts->tm_year + 1900,
                parts->tm_mon + 1, parts->tm_mday, parts->tm_hour, parts->tm_min, parts->tm_sec);
  return text;
}

// "zelkforward" of "/opt/host/zelkforward.so".
std::string LibraryStem(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.back() == '/' || folder.back() == '\\') return folder + name;
  return folder + "/" + name;
}

struct Failure {
  std::int64_t at = 0;  // 0: none yet
  std::string file;
  std::string reason;
  std::string cause;
};

struct SectionState {
  std::string target_format;
  std::string last_file;
  std::uint64_t written = 0;
  std::uint64_t not_written = 0;
  std::uint64_t format_errors = 0;
  std::uint64_t spooled = 0;
  std::uint64_t delivered = 0;
  std::int64_t last_written = 0;
  Failure last_failure;
};

// Lines this process kept in the spool for one target and has not seen
// delivered yet.
struct Waiting {
  int section = 0;
  std::int64_t lines = 0;
  std::int64_t oldest = 0;
};

void Assign(std::string& to, std::string_view from) {
  if (to != from) to.assign(from);
}

using Counter = std::atomic<std::uint64_t>;

void Add(Counter& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

std::int64_t Value(const Counter& counter) {
  return static_cast<std::int64_t>(counter.load(std::memory_order_relaxed));
}

class Status {
 public:
  Status() : started_(NowSeconds()) {}
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;

  bool on() const { return on_.load(std::memory_order_acquire); }

  void Configure(std::string_view folder, std::string_view service_name) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      folder_.assign(folder);
      service_name_.assign(service_name);
      const std::string library = platform::ModulePath(kModulePathBuffer);
      library_ = library;
      configuration_ = config::ConfigFilePath();
      path_.clear();
      if (!folder_.empty()) {
        path_ =
            JoinPath(folder_, LibraryStem(library) + "-" +
                                  std::to_string(platform::CurrentProcessId()) + kFileExtension);
      }
      stopped_ = false;
      failure_logged_ = false;
      on_.store(!folder_.empty(), std::memory_order_release);
    }
    Write(true);
  }

  std::string Folder() {
    std::lock_guard<std::mutex> lock(mutex_);
    return folder_;
  }

  std::string FilePath() {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
  }

  void CountLine(const LineEvent& event) {
    const std::int64_t now = NowSeconds();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      SectionState& section = sections_[event.section];
      Assign(section.target_format, event.target_format);
      Assign(section.last_file, event.file);
      switch (event.outcome) {
        case LineOutcome::kWritten:
          ++section.written;
          section.last_written = now;
          break;
        case LineOutcome::kSpooled:
          ++section.spooled;
          break;
        case LineOutcome::kFormatError:
        case LineOutcome::kNotWritten:
          ++(event.outcome == LineOutcome::kFormatError ? section.format_errors
                                                        : section.not_written);
          section.last_failure = {now, std::string(event.file), std::string(event.reason),
                                  std::string(event.cause)};
          break;
      }
    }
    if (event.outcome == LineOutcome::kSpooled) NoteSpooled(event.section, event.file, now);
    Changed(now);
  }

  void CountDelivered(std::string_view file, int lines) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto waiting = waiting_.find(std::string(file));
      if (waiting != waiting_.end()) {
        sections_[waiting->second.section].delivered += static_cast<std::uint64_t>(lines);
        waiting->second.lines -= lines;
        if (waiting->second.lines <= 0) waiting_.erase(waiting);
      }
    }
    Changed(NowSeconds());
  }

  void Count(Counter& counter) {
    Add(counter);
    Changed(NowSeconds());
  }

  void MarkStopped() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    Write(true);
  }

  // Writes the file now; a failure is logged (once until a write succeeds)
  // when `log_failure`.
  void Write(bool log_failure) {
    if (!on()) return;
    std::lock_guard<std::mutex> writing(write_mutex_);
    last_write_.store(NowSeconds(), std::memory_order_relaxed);
    std::string path;
    std::string document;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      path = path_;
      document = RenderLocked();
    }
    if (path.empty()) return;
    const Replaced replaced = Replace(path, document);
    const bool failed = replaced.failure != nullptr;
    bool first_failure = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      first_failure = failed && log_failure && !failure_logged_;
      if (!failed || first_failure) failure_logged_ = failed;
    }
    if (first_failure) {
      LogFailure(replaced.cause, kError, kWriteFailedMessage, path.c_str(), replaced.failure);
    }
  }

  Counter received;
  Counter not_enabled;
  Counter zero;
  Counter not_valid;
  Counter checks_valid;
  Counter checks_not_valid;
  Counter checks_not_checked;
  Counter log_written;
  Counter log_not_written;

 private:
  // The first counted event of a second after the last write writes the file.
  void Changed(std::int64_t now) {
    std::int64_t last = last_write_.load(std::memory_order_relaxed);
    if (now == last || !on()) return;
    if (!last_write_.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
    Write(true);
  }

  void NoteSpooled(int section, std::string_view file, std::int64_t now) {
    // As the spool names it when it delivers: absolute.
    const std::string absolute = platform::AbsolutePath(std::string(file));
    std::lock_guard<std::mutex> lock(mutex_);
    Waiting& waiting = waiting_[absolute];
    if (waiting.lines == 0) waiting.oldest = now;
    waiting.section = section;
    ++waiting.lines;
  }

  // How a replacement of the file ended: nullptr, or why not in the words
  // the log line gives, and the system's cause of the step that failed.
  struct Replaced {
    const char* failure = nullptr;
    platform::Status cause{};
  };

  static Replaced Replace(const std::string& path, const std::string& document) {
    const std::string temporary =
        path.substr(0, path.size() - (sizeof kFileExtension - 1)) + kTemporaryExtension;
    platform::OpenResult opened =
        platform::OpenExclusive(temporary, platform::CreateMode::kCreateIfMissing);
    if (opened.status == platform::OpenStatus::kNotFound) {
      return {kFolderMissingCause, std::move(opened.error)};
    }
    if (opened.status != platform::OpenStatus::kOk) {
      return {kWriteStepFailedCause, std::move(opened.error)};
    }
    platform::Status step = opened.file.Truncate(0);
    if (step.ok()) step = opened.file.Write(document.data(), document.size());
    if (step.ok()) step = platform::FlushToDisk(opened.file);
    if (platform::Status closed = opened.file.Close(); step.ok()) step = std::move(closed);
    if (step.ok()) step = platform::MoveFileOver(temporary, path);
    if (step.ok()) return {};
    return {kWriteStepFailedCause, std::move(step)};
  }

  std::string RenderLocked() const;
  void RenderSectionsLocked(JsonWriter& json) const;
  void RenderSpoolLocked(JsonWriter& json) const;

  std::atomic<bool> on_{false};
  std::atomic<std::int64_t> last_write_{0};
  const std::int64_t started_;
  std::mutex write_mutex_;  // one replacement at a time
  std::mutex mutex_;        // everything below
  std::string folder_;
  std::string path_;
  std::string service_name_;
  std::string library_;
  std::string configuration_;
  bool stopped_ = false;
  bool failure_logged_ = false;
  std::map<int, SectionState> sections_;
  std::map<std::string, Waiting> waiting_;  // by the target's absolute name
};

std::string Status::RenderLocked() const {
  JsonWriter json;
  json.BeginObject();
  json.Key("format");
  json.Integer(kFormatVersion);
  json.Key("service");
  json.String(service_name_);
  json.Key("library");
  json.String(library_);
  json.Key("configuration");
  json.String(configuration_);
  json.Key("process");
  json.Integer(platform::CurrentProcessId());
  json.Key("started");
  json.String(LocalStamp(started_));
  json.Key("updated");
  json.String(LocalStamp(NowSeconds()));
  json.Key("stopped");
  json.Bool(stopped_);
  RenderSectionsLocked(json);
  const auto counts = [&json](std::initializer_list<std::pair<const char*, const Counter*>> list) {
    json.BeginObject();
    for (const auto& [name, counter] : list) {
      json.Key(name);
      json.Integer(Value(*counter));
    }
    json.EndObject();
  };
  json.Key("transactions");
  counts({{"received", &received},
          {"not_enabled", &not_enabled},
          {"zero", &zero},
          {"not_valid", &not_valid}});
  json.Key("job_checks");
  counts({{"valid", &checks_valid},
          {"not_valid", &checks_not_valid},
          {"not_checked", &checks_not_checked}});
  RenderSpoolLocked(json);
  json.Key("trace_log");
  counts({{"written", &log_written}, {"not_written", &log_not_written}});
  json.EndObject();
  return json.text() + "\n";
}

void Status::RenderSectionsLocked(JsonWriter& json) const {
  json.Key("sections");
  json.BeginArray();
  for (const auto& [number, section] : sections_) {
    json.BeginObject();
    json.Key("section");
    json.Integer(number);
    json.Key("target");
    json.String(section.target_format);
    json.Key("last_file");
    json.String(section.last_file);
    const std::pair<const char*, std::uint64_t> counts[] = {
        {"written", section.written},
        {"not_written", section.not_written},
        {"format_errors", section.format_errors},
        {"spooled", section.spooled},
        {"delivered", section.delivered}};
    for (const auto& [name, count] : counts) {
      json.Key(name);
      json.Integer(static_cast<std::int64_t>(count));
    }
    json.Key("last_written");
    json.StringOrNull(LocalStamp(section.last_written));
    json.Key("last_failure");
    const Failure& failure = section.last_failure;
    if (failure.at == 0) {
      json.Null();
    } else {
      json.BeginObject();
      json.Key("at");
      json.String(LocalStamp(failure.at));
      json.Key("file");
      json.String(failure.file);
      json.Key("reason");
      json.String(failure.reason);
      json.Key("cause");
      json.StringOrNull(failure.cause);
      json.EndObject();
    }
    json.EndObject();
  }
  json.EndArray();
}

void Status::RenderSpoolLocked(JsonWriter& json) const {
  std::int64_t lines = 0;
  std::int64_t oldest = 0;
  for (const auto& [file, waiting] : waiting_) {
    lines += waiting.lines;
    if (oldest == 0 || waiting.oldest < oldest) oldest = waiting.oldest;
  }
  json.Key("spool");
  json.BeginObject();
  json.Key("waiting_lines");
  json.Integer(lines);
  json.Key("waiting_targets");
  json.Integer(static_cast<std::int64_t>(waiting_.size()));
  json.Key("oldest_waiting");
  json.StringOrNull(LocalStamp(oldest));
  json.EndObject();
}

// Workers count too: the door's lifetime rule for state they touch.
Status& TheStatus() { return platform::NeverDestroyed<Status>(); }

// The module's unload: the last counts go to the file, quietly (the trace log
// may be gone by then). What a write uses (the counts, the time zone's state)
// is never destroyed, so it is all still there whenever this runs.
struct UnloadWrite {
  UnloadWrite() = default;
  UnloadWrite(const UnloadWrite&) = delete;
  UnloadWrite& operator=(const UnloadWrite&) = delete;
  ~UnloadWrite() {
    try {
      TheStatus().Write(false);
    } catch (...) {
    }
  }
};

}  // namespace

void Configure(std::string_view configured_folder, std::string_view service_name) {
  try {
    const std::optional<std::string> overriding = platform::EnvironmentVariable(kFolderVariable);
    TheStatus().Configure(overriding ? std::string_view(*overriding) : configured_folder,
                          service_name);
    static UnloadWrite unload_write;
  } catch (...) {
    // No memory: the status file stays as it was.
  }
}

std::string Folder() { return TheStatus().Folder(); }

std::string FilePath() { return TheStatus().FilePath(); }

void CountLine(const LineEvent& event) {
  if (!TheStatus().on()) return;
  try {
    TheStatus().CountLine(event);
  } catch (...) {
    // No memory for a section's texts: this line goes uncounted.
  }
}

void CountDelivered(std::string_view file, int lines) {
  if (!TheStatus().on()) return;
  try {
    TheStatus().CountDelivered(file, lines);
  } catch (...) {
  }
}

void CountReceived() {
  if (TheStatus().on()) TheStatus().Count(TheStatus().received);
}

void CountDropped(Drop reason) {
  if (!TheStatus().on()) return;
  switch (reason) {
    case Drop::kNotEnabled:
      return TheStatus().Count(TheStatus().not_enabled);
    case Drop::kZeroTransaction:
      return TheStatus().Count(TheStatus().zero);
    case Drop::kNotValid:
      return TheStatus().Count(TheStatus().not_valid);
  }
}

void CountJobCheck(JobCheck answer) {
  if (!TheStatus().on()) return;
  switch (answer) {
    case JobCheck::kValid:
      return TheStatus().Count(TheStatus().checks_valid);
    case JobCheck::kNotValid:
      return TheStatus().Count(TheStatus().checks_not_valid);
    case JobCheck::kNotChecked:
      return TheStatus().Count(TheStatus().checks_not_checked);
  }
}

void CountTraceLine(bool written) {
  if (TheStatus().on()) Add(written ? TheStatus().log_written : TheStatus().log_not_written);
}

void MarkStopped() {
  try {
    TheStatus().MarkStopped();
  } catch (...) {
  }
}

void WriteNow() {
  try {
    TheStatus().Write(true);
  } catch (...) {
  }
}

}  // namespace zelk::tracelog::status
