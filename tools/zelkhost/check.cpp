#include "check.h"

#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include "config/config.h"
#include "config/settings.h"
#include "extformat/field_record.h"
#include "forwarding/job_check.h"
#include "forwarding/pipeline.h"
#include "platform/platform.h"

namespace zelk::host {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLayoutLength = 10;

// Counts problems and prints them in one shape.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Problem(const std::string& text) {
    out_ << "    problem: " << text << "\n";
    ++problems_;
  }
  std::ostream& out() { return out_; }
  int problems() const { return problems_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
};

// The current local date and time as YYMMDD and HHMMSS, for the sample.
void Now(std::string* date, std::string* time) {
  std::tm parts = platform::LocalTimeOf(std::time(nullptr)).value_or(std::tm{});
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%02d%02d%02d", parts.tm_year % 100, parts.tm_mon + 1,
                parts.tm_mday);
  *date = buffer;
  std::snprintf(buffer, sizeof buffer, "%02d%02d%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
  *time = buffer;
}

bool FolderExists(const std::string& file) {
  fs::path folder = fs::path(file).parent_path();
  std::error_code ignored;
  return folder.empty() || fs::is_directory(folder, ignored);
}

// Renders one output section against a sample transaction whose job number
// the section admits.
void CheckOutputSection(const config::Snapshot& snapshot, int n, const std::string& format,
                        Report& report) {
  const std::string filter = config::Read(snapshot, config::kOutputFilter, n);
  const std::string target_format = config::Read(snapshot, config::kTarget, n);
  const bool prefixed = !filter.empty() && filter.front() != ' ';
  const std::string job_no = (prefixed ? std::string(1, filter.front()) : "A") + "1234";
  std::string date, time;
  Now(&date, &time);
  forwarding::Transaction sample{"1", job_no, date,     time,     "Text03", "Text04",
                                 "5", "6",    "Text21", "Text23", "12.5",   "8.25"};
  report.out() << "  section " << n << ": filter[" << filter << "] jobno[" << job_no << "]\n";
  extformat::FieldRecord record;
  forwarding::FillFieldRecord(record, sample, prefixed);
  const std::int32_t minutes =
      config::IntegerSetting(config::Read(snapshot, config::kFileRotationTime, n));
  std::string target;
  try {
    record.SetDateTime(date, time, static_cast<std::uint32_t>(minutes) * 60u);
    record.ExtFormat(target, target_format, extformat::ValueFilter::kFileNameSafe);
    report.out() << "    target: " << target << "\n";
    if (target.empty()) {
      report.Problem("Target" + std::to_string(n) + " renders an empty file name");
    } else if (!FolderExists(target)) {
      report.Problem("the folder of " + target + " does not exist");
    }
  } catch (const extformat::ExtFormatError& error) {
    report.Problem("Target" + std::to_string(n) + ": " + error.what());
  }
  try {
    std::string line;
    record.SetDateTime(date, time, 0);
    record.ExtFormat(line, format);
    report.out() << "    line:   " << line << "\n";
  } catch (const extformat::ExtFormatError& error) {
    report.Problem("Format" + std::to_string(n) + ": " + error.what());
  }
}

void CheckForwarding(const config::Snapshot& snapshot, Report& report) {
  report.out() << "[ForwardTransaction]\n";
  if (config::IntegerSetting(config::Read(snapshot, config::kEnable)) == 0) {
    report.out() << "  forwarding is switched off (Enable)\n";
  }
  int n = 1;
  for (;; ++n) {
    const std::string format = config::Read(snapshot, config::kOutputFormat, n);
    if (format.empty()) break;
    CheckOutputSection(snapshot, n, format, report);
  }
  if (n == 1) report.out() << "  no output sections (Format1 is empty)\n";
}

void CheckJobLists(const config::Snapshot& snapshot, Report& report) {
  report.out() << "[ValidJob]\n";
  int n = 1;
  for (;; ++n) {
    const std::string source = config::Read(snapshot, config::kSource, n);
    if (source.empty()) break;
    const std::string layout = config::Read(snapshot, config::kSourceLayout, n);
    report.out() << "  source " << n << ": file[" << source << "] format[" << layout << "]\n";
    std::error_code ignored;
    if (!fs::is_regular_file(source, ignored))
      report.Problem("the job list " + source + " is missing");
    if (layout.size() != kLayoutLength) {
      report.Problem("Format" + std::to_string(n) + " is not 10 characters long");
    }
  }
  if (n == 1) report.out() << "  no job lists: every job number is not valid\n";
}

void CheckTraceLog(const config::Snapshot& snapshot, Report& report) {
  report.out() << "[Log]\n";
  const std::string file = config::Read(snapshot, config::kLogFileName);
  report.out() << "  file[" << file << "] maxlines["
               << config::IntegerSetting(config::Read(snapshot, config::kLogMaxLines)) << "] flags["
               << config::Read(snapshot, config::kLogFlags) << "]\n";
  if (file.empty()) {
    report.out() << "  no trace log is written (FileName is empty)\n";
    return;
  }
  std::error_code ignored;
  if (!fs::exists(file, ignored)) {
    if (!FolderExists(file))
      report.Problem("the folder of the trace log " + file + " does not exist");
    return;
  }
  if (platform::OpenAppendShared(file).status != platform::OpenStatus::kOk) {
    report.Problem("the trace log " + file + " cannot be written");
  }
}

}  // namespace

int CheckConfiguration(const std::string& config_path, std::ostream& out) {
  Report report(out);
  std::error_code ignored;
  out << "Configuration file: " << config_path << "\n";
  if (!fs::is_regular_file(config_path, ignored)) {
    report.Problem("the configuration file does not exist; every setting has its default");
  }
  const config::Snapshot snapshot = config::Snapshot::Load(config_path);
  CheckForwarding(snapshot, report);
  CheckJobLists(snapshot, report);
  CheckTraceLog(snapshot, report);
  out << (report.problems() == 0 ? std::string("No problems found.")
                                 : std::to_string(report.problems()) + " problem(s) found.")
      << "\n";
  return report.problems();
}

}  // namespace zelk::host
