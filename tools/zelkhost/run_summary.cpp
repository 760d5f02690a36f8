#include "run_summary.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "forwarding/messages.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "tracelog/line_shape.h"
#include "tracelog/status.h"

namespace zelk::host {

namespace {

namespace fs = std::filesystem;
namespace messages = forwarding::messages;

constexpr std::size_t kFailuresShown = 5;
constexpr std::string_view kLoadedBanner = " is loaded at [";
constexpr std::string_view kOutcomeSeparator = " -- ";

// The outcome a message format ends with, as the trace log shows it:
// "t[Could not open file]" of "... -- t[Could not open file]"; a reason the
// service fills in ("SPOOLED t[%s]") is left off.
std::string_view OutcomeOf(std::string_view format) {
  std::string_view outcome =
      format.substr(format.rfind(kOutcomeSeparator) + kOutcomeSeparator.size());
  const std::size_t filled = outcome.find(" t[%");
  return filled == std::string_view::npos ? outcome : outcome.substr(0, filled);
}

// What every section line begins with: "ForwardTransaction section[".
std::string_view SectionLineStart() {
  const std::string_view format = messages::kSuccessMessage;
  return format.substr(0, format.find('%'));
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view end) {
  return text.size() >= end.size() &&
         platform::EqualsIgnoringAsciiCase(text.substr(text.size() - end.size()), end);
}

std::vector<std::string_view> LinesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string_view MessageOf(std::string_view line) {
  return line.size() > tracelog::kMessageStart ? line.substr(tracelog::kMessageStart)
                                               : std::string_view();
}

bool IsStartOf(std::string_view message, std::string_view library_file) {
  const std::size_t banner = message.find(kLoadedBanner);
  if (banner == std::string_view::npos) return false;
  return EndsWithIgnoringCase(message.substr(0, banner), library_file);
}

bool EndsWithOutcome(std::string_view message, const char* format) {
  const std::string marker = std::string(kOutcomeSeparator) + std::string(OutcomeOf(format));
  return message.find(marker) != std::string_view::npos;
}

}  // namespace

RunStatusFolder::RunStatusFolder()
    : variable_before_(platform::EnvironmentVariable(tracelog::status::kFolderVariable)) {
  std::error_code error;
  const fs::path folder = fs::temp_directory_path(error) /
                          ("zelkhost-run-" + std::to_string(platform::CurrentProcessId()));
  if (error) return;
  fs::remove_all(folder, error);
  if (!fs::create_directories(folder, error)) return;
  folder_ = folder.string();
  if (!platform::SetEnvironmentVariableTo(tracelog::status::kFolderVariable, folder_)) {
    folder_.clear();
  }
}

RunStatusFolder::~RunStatusFolder() {
  if (folder_.empty()) return;
  static_cast<void>(platform::SetEnvironmentVariableTo(tracelog::status::kFolderVariable,
                                                       variable_before_.value_or("")));
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

std::string RunStatusFolder::StatusFileFor(const std::string& library_path) const {
  if (folder_.empty()) return {};
  return (fs::path(folder_) / (fs::path(library_path).stem().string() + "-" +
                               std::to_string(platform::CurrentProcessId()) + ".json"))
      .string();
}

std::optional<RunCounts> CountsOfStatus(std::string_view status_text) {
  const nlohmann::json status = nlohmann::json::parse(status_text, nullptr, false);
  if (status.is_discarded() || !status.is_object()) return std::nullopt;
  const auto count = [&status](const char* pointer) -> std::int64_t {
    const nlohmann::json::json_pointer at(pointer);
    return status.contains(at) && status.at(at).is_number_integer()
               ? status.at(at).get<std::int64_t>()
               : 0;
  };
  RunCounts counts;
  for (std::size_t i = 0; status.contains("sections") && i < status["sections"].size(); ++i) {
    const std::string section = "/sections/" + std::to_string(i) + "/";
    counts.written += count((section + "written").c_str());
    counts.not_written += count((section + "not_written").c_str());
    counts.format_errors += count((section + "format_errors").c_str());
    counts.spooled += count((section + "spooled").c_str());
    counts.delivered += count((section + "delivered").c_str());
  }
  counts.received = count("/transactions/received");
  counts.not_enabled = count("/transactions/not_enabled");
  counts.zero = count("/transactions/zero");
  counts.not_valid = count("/transactions/not_valid");
  return counts;
}

std::vector<std::string> FirstLinesNotWritten(std::string_view log, std::string_view library_file) {
  const std::vector<std::string_view> lines = LinesOf(log);
  std::size_t first = 0;
  for (std::size_t i = lines.size(); i-- > 0;) {
    if (IsStartOf(MessageOf(lines[i]), library_file)) {
      first = i + 1;
      break;
    }
  }
  std::vector<std::string> failures;
  for (std::size_t i = first; i < lines.size() && failures.size() < kFailuresShown; ++i) {
    const std::string_view message = MessageOf(lines[i]);
    if (message.substr(0, SectionLineStart().size()) != SectionLineStart() ||
        EndsWithOutcome(message, messages::kSuccessMessage) ||
        EndsWithOutcome(message, messages::kSpooledMessage)) {
      continue;
    }
    failures.emplace_back(lines[i]);
  }
  return failures;
}

void PrintRunSummary(const RunCounts& counts, const std::vector<std::string>& first_failures,
                     std::ostream& out) {
  out << "The service counted, for this run: " << counts.written << " lines written, "
      << counts.lost() << " not written, " << counts.spooled << " spooled, " << counts.delivered
      << " delivered; " << counts.received << " transactions received, " << counts.dropped()
      << " dropped\n";
  const struct {
    std::int64_t count;
    std::string name;
  } rows[] = {
      {counts.written, std::string(OutcomeOf(messages::kSuccessMessage))},
      {counts.not_written, "not written: " + std::string(OutcomeOf(messages::kOpenFailedMessage)) +
                               ", " + std::string(OutcomeOf(messages::kWriteFailedMessage)) +
                               " or another failure"},
      {counts.format_errors, "not written: ExtFormat error"},
      {counts.spooled, std::string(OutcomeOf(messages::kSpooledMessage))},
      {counts.delivered, "delivered from the spool"},
      {counts.not_enabled, "dropped: " + std::string(OutcomeOf(messages::kNotEnabledMessage))},
      {counts.zero, "dropped: " + std::string(OutcomeOf(messages::kZeroTransactionMessage))},
      {counts.not_valid, "dropped: " + std::string(OutcomeOf(messages::kRecheckFailedMessage))},
  };
  for (const auto& row : rows) {
    if (row.count > 0) out << "  " << row.count << "  " << row.name << "\n";
  }
  if (!first_failures.empty()) {
    out << "First lines not written, as the trace log still holds them:\n";
    for (const std::string& line : first_failures) out << "  " << line << "\n";
  }
}

}  // namespace zelk::host
