#include "run_summary.h"

#include <algorithm>

#include "platform/ascii.h"

namespace zelk::host {

namespace {

constexpr std::size_t kFailuresShown = 5;
// "YYYY-MM-DD HH:MM:SS-c-": the stamp and category before each message.
constexpr std::size_t kMessageStart = 22;
constexpr std::string_view kForwarding = "ForwardTransaction";
constexpr std::string_view kLoadedBanner = " is loaded at [";

// The forwarding messages of the trace log, by a text each holds; the first
// row that matches a line counts it. A new message of the service is one row.
struct MessageRow {
  std::string_view marker;
  std::string_view name;
  Outcome outcome;
};
constexpr MessageRow kMessageTable[] = {
    {"-- SUCCESS", "SUCCESS", Outcome::kWritten},
    {"-- t[Could not open file]", "Could not open file", Outcome::kNotWritten},
    {"-- t[Could not write file]", "Could not write file", Outcome::kNotWritten},
    {"-- f[ExtFormat]", "ExtFormat error", Outcome::kNotWritten},
    {"-- t[Unexpected failure", "Unexpected failure", Outcome::kNotWritten},
    {"] -- t[", "other failure in a section", Outcome::kNotWritten},
    {"t[Forward Transaction Not Enabled]", "forwarding switched off (Enable)", Outcome::kDropped},
    {"t[Removing NULL Transaction]", "zero transaction dropped (AllowZeroTransaction)",
     Outcome::kDropped},
    {"-- error while double checking jobno", "job number not valid (Validation)",
     Outcome::kDropped},
};

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
  return line.size() > kMessageStart ? line.substr(kMessageStart) : std::string_view();
}

bool IsStartOf(std::string_view message, std::string_view library_file) {
  const std::size_t banner = message.find(kLoadedBanner);
  if (banner == std::string_view::npos) return false;
  return EndsWithIgnoringCase(message.substr(0, banner), library_file);
}

std::string OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kWritten:
      return "written";
    case Outcome::kNotWritten:
      return "not written";
    case Outcome::kDropped:
      return "transactions dropped";
    case Outcome::kSpooled:
      break;
  }
  return "spooled";
}

}  // namespace

std::size_t RunSummary::Count(Outcome outcome) const {
  std::size_t count = 0;
  for (const MessageCount& message : messages) {
    if (message.outcome == outcome) count += message.count;
  }
  return count;
}

RunSummary SummarizeRun(std::string_view log, std::string_view library_file) {
  RunSummary summary;
  for (const MessageRow& row : kMessageTable) summary.messages.push_back({row.name, row.outcome});
  const std::vector<std::string_view> lines = LinesOf(log);
  std::size_t first = 0;
  for (std::size_t i = lines.size(); i-- > 0;) {
    if (IsStartOf(MessageOf(lines[i]), library_file)) {
      summary.start_found = true;
      first = i + 1;
      break;
    }
  }
  for (std::size_t i = first; i < lines.size(); ++i) {
    const std::string_view message = MessageOf(lines[i]);
    if (message.substr(0, kForwarding.size()) != kForwarding) continue;
    for (std::size_t row = 0; row < std::size(kMessageTable); ++row) {
      if (message.find(kMessageTable[row].marker) == std::string_view::npos) continue;
      ++summary.messages[row].count;
      if (kMessageTable[row].outcome == Outcome::kNotWritten &&
          summary.first_failures.size() < kFailuresShown) {
        summary.first_failures.emplace_back(lines[i]);
      }
      break;
    }
  }
  return summary;
}

void PrintRunSummary(const RunSummary& summary, const std::string& log_file, std::ostream& out) {
  out << "The trace log " << log_file << " says, for this run:";
  bool first = true;
  for (Outcome outcome :
       {Outcome::kWritten, Outcome::kNotWritten, Outcome::kSpooled, Outcome::kDropped}) {
    const std::size_t count = summary.Count(outcome);
    if (count == 0 && outcome != Outcome::kWritten && outcome != Outcome::kNotWritten) continue;
    out << (first ? " " : ", ") << count << " " << (first ? "lines " : "") << OutcomeName(outcome);
    first = false;
  }
  out << "\n";
  for (const MessageCount& message : summary.messages) {
    if (message.count > 0) out << "  " << message.count << "  " << message.message << "\n";
  }
  if (!summary.first_failures.empty()) {
    out << "First lines not written:\n";
    for (const std::string& line : summary.first_failures) out << "  " << line << "\n";
  }
  if (!summary.start_found) {
    out << "The trace log no longer holds this run's start (it was cut to its last MaxLines "
           "lines during the run): the counts cover only the lines it still holds.\n";
  }
}

}  // namespace zelk::host
