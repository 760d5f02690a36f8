#include "status_command.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "config/config.h"
#include "config/settings.h"
#include "forwarding/spool.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "tracelog/status.h"

namespace zelk::host {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::int64_t kSecondsPerMinute = 60;
constexpr const char* kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// What the files say, judged: the worst state found and every reason for it.
struct Verdict {
  int state = kStatusOk;
  std::vector<std::string> reasons;

  // Critical outranks unknown: a lost line is news even when another file
  // cannot be read.
  static int Rank(int state) {
    if (state == kStatusCritical) return 3;
    return state == kStatusUnknown ? 2 : state;
  }
  void Raise(int to, std::string reason) {
    if (Rank(to) > Rank(state)) state = to;
    reasons.push_back(std::move(reason));
  }
};

struct ProcessFile {
  std::string path;
  std::uint32_t pid = 0;
  // Shared, not held: a document's destructor may allocate (nlohmann frees
  // deep documents through a stack of its own).
  std::shared_ptr<const Json> document;
  bool gone = false;

  const Json& status() const { return *document; }
};

struct SpoolSummary {
  std::string folder;
  bool readable = false;
  std::int64_t lines = 0;
  std::int64_t targets = 0;
  std::int64_t oldest = 0;  // seconds since 1970; 0: nothing waits
};

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A local time as the status file writes it ("2026-12-10T08:00:00").
std::optional<std::int64_t> InstantOf(const Json& value) {
  if (!value.is_string()) return std::nullopt;
  std::tm parts{};
  if (std::sscanf(value.get<std::string>().c_str(), "%d-%d-%dT%d:%d:%d", &parts.tm_year,
                  &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min,
                  &parts.tm_sec) != 6) {
    return std::nullopt;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  parts.tm_isdst = -1;
  return platform::InstantOfLocal(parts);
}

std::string LocalStamp(std::int64_t instant) {
  const std::optional<std::tm> parts = platform::LocalTimeOf(instant);
  if (!parts) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &*parts);
  return text;
}

std::string StemOf(const std::string& library_file) {
  const std::size_t dot = library_file.rfind('.');
  return dot == std::string::npos || dot == 0 ? library_file : library_file.substr(0, dot);
}

// The process id of "<stem>-<pid>.json", 0 for any other name.
std::uint32_t ProcessIdOf(const std::string& name, const std::string& stem) {
  const std::string extension = ".json";
  if (name.size() <= stem.size() + 1 + extension.size() || name.rfind(stem + "-", 0) != 0 ||
      name.compare(name.size() - extension.size(), extension.size(), extension) != 0) {
    return 0;
  }
  const std::string digits =
      name.substr(stem.size() + 1, name.size() - stem.size() - 1 - extension.size());
  if (digits.empty() || digits.size() > 10 ||
      !std::all_of(digits.begin(), digits.end(), platform::IsAsciiDigit)) {
    return 0;
  }
  return static_cast<std::uint32_t>(std::stoull(digits));
}

// The whole file at `path`, read as the service lets it be read while it
// replaces it (sharing its rename; on Windows a replacement under way makes
// the open wait a moment); nullopt when it cannot be read.
std::optional<std::string> ReadWhole(const std::string& path) {
  constexpr auto kReplacementPatience = std::chrono::milliseconds(1000);
  platform::OpenResult opened = platform::OpenWhenFree(
      [&path] { return platform::OpenUnlockedRead(path); }, kReplacementPatience);
  if (opened.status != platform::OpenStatus::kOk) return std::nullopt;
  std::string text;
  char buffer[65536];
  for (;;) {
    const std::int64_t got = opened.file.Read(buffer, sizeof buffer);
    if (got < 0) return std::nullopt;
    if (got == 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder.back() == '/' || folder.back() == '\\' ? folder + name : folder + "/" + name;
}

// Every status file of the library in `folder`, read; false when one cannot
// be read (it is named in `verdict`).
std::vector<ProcessFile> ReadStatusFiles(const std::string& folder, const std::string& stem,
                                         Verdict& verdict) {
  std::vector<ProcessFile> files;
  const auto names = platform::ListFolder(folder).names;
  if (!names) {
    verdict.Raise(kStatusUnknown, "the status folder " + folder + " cannot be read");
    return files;
  }
  for (const std::string& name : *names) {
    ProcessFile file;
    file.pid = ProcessIdOf(name, stem);
    if (file.pid == 0) continue;
    file.path = JoinPath(folder, name);
    const std::optional<std::string> text = ReadWhole(file.path);
    file.document = std::make_shared<const Json>(Json::parse(text.value_or(""), nullptr, false));
    if (!text || file.status().is_discarded() || !file.status().is_object()) {
      verdict.Raise(kStatusUnknown, "the status file " + file.path + " cannot be read");
      continue;
    }
    file.gone = !platform::IsProcessRunning(file.pid);
    files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(),
            [](const ProcessFile& a, const ProcessFile& b) { return a.pid < b.pid; });
  if (files.empty() && verdict.state == kStatusOk) {
    verdict.Raise(kStatusUnknown, "no status file of " + stem + " in " + folder);
  }
  return files;
}

// A section's last lost line within the window: critical while nothing has
// been written since, a warning once lines go again.
void JudgeSection(const ProcessFile& file, const Json& section, std::int64_t since,
                  Verdict& verdict) {
  const Json& failure = section.value("last_failure", Json());
  if (!failure.is_object()) return;
  const std::optional<std::int64_t> at = InstantOf(failure.value("at", Json()));
  if (!at || *at < since) return;
  const std::optional<std::int64_t> written = InstantOf(section.value("last_written", Json()));
  const bool recovered = written && *written > *at;
  std::string reason =
      "section " + section.value("section", Json(0)).dump() + " of process " +
      std::to_string(file.pid) + " lost a line at " + failure.value("at", std::string()) + " (" +
      failure.value("file", std::string()) + ": " + failure.value("reason", std::string());
  if (failure.value("cause", Json()).is_string())
    reason += ", " + failure["cause"].get<std::string>();
  reason += recovered ? "), lines written since" : "), none written since";
  verdict.Raise(recovered ? kStatusWarning : kStatusCritical, reason);
}

SpoolSummary ReadSpool(const std::string& folder) {
  SpoolSummary spool;
  spool.folder = folder;
  if (folder.empty()) return spool;
  const auto waiting = forwarding::spool::ListWaiting(folder);
  if (!waiting) return spool;
  spool.readable = true;
  for (const forwarding::spool::WaitingTarget& target : *waiting) {
    if (target.lines == 0) continue;
    spool.lines += target.lines;
    ++spool.targets;
    if (spool.oldest == 0 || target.oldest < spool.oldest) spool.oldest = target.oldest;
  }
  return spool;
}

void JudgeSpool(const SpoolSummary& spool, std::int64_t since, Verdict& verdict) {
  if (spool.lines == 0) return;
  verdict.Raise(kStatusWarning, std::to_string(spool.lines) + " line(s) wait in the spool for " +
                                    std::to_string(spool.targets) + " target(s)");
  if (spool.oldest < since) {
    verdict.Raise(kStatusCritical, "a spooled line waits since " + LocalStamp(spool.oldest) +
                                       ", longer than the window");
  }
}

void PrintSection(const Json& section, std::ostream& out) {
  out << "    section " << section.value("section", Json(0)).dump() << " "
      << section.value("target", std::string()) << " (last file "
      << section.value("last_file", std::string()) << "): ";
  const char* names[] = {"written", "not_written", "format_errors", "spooled", "delivered"};
  for (const char* name : names) {
    out << (name == names[0] ? "" : ", ") << section.value(name, Json(0)).dump() << " " << name;
  }
  out << "\n      last written: " << section.value("last_written", Json()).dump() << "\n";
  const Json& failure = section.value("last_failure", Json());
  if (!failure.is_object()) return;
  out << "      last failure: " << failure.value("at", std::string()) << " "
      << failure.value("file", std::string()) << ": " << failure.value("reason", std::string());
  if (failure.value("cause", Json()).is_string())
    out << " (" << failure["cause"].get<std::string>() << ")";
  out << "\n";
}

void PrintText(const Verdict& verdict, const std::string& folder,
               const std::vector<ProcessFile>& files, const SpoolSummary& spool,
               std::ostream& out) {
  out << kStateNames[verdict.state] << ": "
      << (verdict.reasons.empty() ? std::string("no line lost, none waits")
                                  : verdict.reasons.front())
      << "\n";
  for (std::size_t i = 1; i < verdict.reasons.size(); ++i)
    out << "  also: " << verdict.reasons[i] << "\n";
  out << "Status folder: " << folder << "\n";
  for (const ProcessFile& file : files) {
    const Json& s = file.status();
    out << "  process " << file.pid << (file.gone ? " (gone)" : " (running)")
        << (s.value("stopped", false) ? ", stopped" : "") << ": started "
        << s.value("started", std::string()) << ", updated " << s.value("updated", std::string())
        << "\n    transactions: " << s.value("transactions", Json::object()).dump()
        << "\n    job checks: " << s.value("job_checks", Json::object()).dump() << "\n";
    for (const Json& section : s.value("sections", Json::array())) PrintSection(section, out);
  }
  if (spool.folder.empty()) {
    out << "Spool: SpoolFolder is not set\n";
  } else if (!spool.readable) {
    out << "Spool folder " << spool.folder << " cannot be read\n";
  } else {
    out << "Spool folder " << spool.folder << ": " << spool.lines << " line(s) wait for "
        << spool.targets << " target(s)"
        << (spool.lines > 0 ? ", the oldest since " + LocalStamp(spool.oldest) : std::string())
        << "\n";
  }
}

void PrintJson(const Verdict& verdict, const std::string& folder, int window_minutes,
               const std::vector<ProcessFile>& files, const SpoolSummary& spool,
               std::ostream& out) {
  Json document = {{"state", kStateNames[verdict.state]},
                   {"exit_status", verdict.state},
                   {"reasons", verdict.reasons},
                   {"window_minutes", window_minutes},
                   {"status_folder", folder},
                   {"processes", Json::array()}};
  for (const ProcessFile& file : files) {
    document["processes"].push_back({{"process", file.pid},
                                     {"gone", file.gone},
                                     {"file", file.path},
                                     {"status", file.status()}});
  }
  document["spool"] = {
      {"folder", spool.folder},
      {"readable", spool.readable},
      {"waiting_lines", spool.lines},
      {"waiting_targets", spool.targets},
      {"oldest_waiting", spool.lines > 0 ? Json(LocalStamp(spool.oldest)) : Json()}};
  out << document.dump(2) << "\n";
}

}  // namespace

int StatusCommand(const std::string& config_path, const std::string& library_file, bool json,
                  int window_minutes, std::ostream& out) {
  const config::Snapshot snapshot = config::Snapshot::Load(config_path);
  const std::optional<std::string> overriding =
      platform::EnvironmentVariable(tracelog::status::kFolderVariable);
  const std::string folder =
      overriding ? *overriding : config::Read(snapshot, config::kLogStatusFolder);
  Verdict verdict;
  std::vector<ProcessFile> files;
  if (folder.empty()) {
    verdict.Raise(kStatusUnknown, "no StatusFolder is set in [Log] of " + config_path);
  } else {
    files = ReadStatusFiles(folder, StemOf(library_file), verdict);
  }
  const std::int64_t since = NowSeconds() - std::max(0, window_minutes) * kSecondsPerMinute;
  for (const ProcessFile& file : files) {
    for (const Json& section : file.status().value("sections", Json::array())) {
      JudgeSection(file, section, since, verdict);
    }
  }
  const SpoolSummary spool = ReadSpool(config::Read(snapshot, config::kSpoolFolder));
  JudgeSpool(spool, since, verdict);
  if (json) {
    PrintJson(verdict, folder, window_minutes, files, spool, out);
  } else {
    PrintText(verdict, folder, files, spool, out);
  }
  return verdict.state;
}

}  // namespace zelk::host
