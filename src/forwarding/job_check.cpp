#include "forwarding/job_check.h"

#include <optional>
#include <string>

#include "config/settings.h"
#include "forwarding/job_list.h"
#include "forwarding/section_filter.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "tracelog/causes.h"
#include "tracelog/trace_log.h"

namespace zelk::forwarding {

namespace {

constexpr char kFormatErrorMessage[] = "IsJobnoValid section[%d] jobno[%s] -- t[Format Error]";
// This message ends in a line feed of its own; the trace log then ends the
// line with it instead of adding a second line break.
constexpr char kOpenFailedMessage[] =
    "IsJobnoValid section[%d] file[%s] jobno[%s] -- t[File could not be opened]\n";
// A list that failed part way through its reading: the job number may be in
// what was not read, so the answer must not pass for the list's own.
constexpr char kReadFailedMessage[] =
    "IsJobnoValid section[%d] file[%s] jobno[%s] -- t[File could not be read]";
constexpr char kValidMessage[] = "IsJobnoValid section[%d] file[%s] jobno[%s] -- IS VALID line[%d]";
constexpr char kNotValidMessage[] = "IsJobnoValid jobno[%s] -- NOT VALID";

// The job number as one check needs it: escaped once for every log line of
// the check, upper-cased once for every list it consults.
struct CheckedJobno {
  explicit CheckedJobno(std::string_view jobno)
      : shown(tracelog::VisibleText(jobno)), upper(platform::AsciiUpper(jobno)) {}
  std::string shown;
  std::string upper;
};

enum class SourceOutcome { kPassedOver, kValid };

// Consults source `n`, the list at `source`, for the job number.
SourceOutcome CheckSource(const config::Snapshot& snapshot, int n, const std::string& source,
                          const CheckedJobno& jobno) {
  const SectionFilter filter(config::Read(snapshot, config::kSourceFilter, n));
  const std::optional<FieldLayout> layout =
      ParseFieldLayout(config::Read(snapshot, config::kSourceLayout, n));
  if (!layout) {
    tracelog::LogMessage(tracelog::kError, kFormatErrorMessage, n, jobno.shown.c_str());
    return SourceOutcome::kPassedOver;
  }
  if (!filter.Admits(jobno.upper)) return SourceOutcome::kPassedOver;
  platform::OpenResult list = platform::OpenSharedRead(source);
  if (list.status != platform::OpenStatus::kOk) {
    tracelog::LogFailure(list.error, tracelog::kError, kOpenFailedMessage, n, source.c_str(),
                         jobno.shown.c_str());
    return SourceOutcome::kPassedOver;
  }
  const int line_number = FindJobInList(list.file, *layout, filter.Held(jobno.upper));
  if (line_number == 0) {
    const platform::Status read = list.file.LastError();
    if (!read.ok()) {
      tracelog::LogFailure(read, '*', kReadFailedMessage, n, source.c_str(), jobno.shown.c_str());
    }
    return SourceOutcome::kPassedOver;
  }
  // A list is only read: its close loses nothing.
  list.file.Close().IgnoreError();
  tracelog::LogMessage(tracelog::kInformation, kValidMessage, n, source.c_str(),
                       jobno.shown.c_str(), line_number);
  return SourceOutcome::kValid;
}

int NotValid(const std::string& shown) {
  tracelog::LogMessage(tracelog::kError, kNotValidMessage, shown.c_str());
  return 0;
}

}  // namespace

int CheckJobno(std::string_view jobno, const config::Snapshot& snapshot) {
  const CheckedJobno checked(jobno);
  for (int n = 1;; ++n) {
    const std::string source = config::Read(snapshot, config::kSource, n);
    if (source.empty()) break;
    if (CheckSource(snapshot, n, source, checked) == SourceOutcome::kValid) return 1;
  }
  return NotValid(checked.shown);
}

int CheckJobno(std::string_view jobno) {
  return CheckJobno(jobno, *tracelog::LoadConfiguration(config::ConfigFilePath()));
}

int ReportNotValid(std::string_view jobno) { return NotValid(tracelog::VisibleText(jobno)); }

}  // namespace zelk::forwarding
