#include "check.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "config/config.h"
#include "config/settings.h"
#include "extformat/field_record.h"
#include "extformat/parsed_format.h"
#include "file_checks.h"
#include "forwarding/job_check.h"
#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "value_checks.h"

namespace zelk::host {

namespace {

namespace fs = std::filesystem;

using config::KeyDescription;
using KeyLine = config::Snapshot::KeyLine;
using SectionLines = config::Snapshot::SectionLines;

// How much of a format is shown on either side of a fault.
constexpr std::size_t kFaultContext = 12;
// A name this close to a key of the section (in edits) is taken for a typo.
constexpr std::size_t kLikelyTypo = 3;

// Counts problems and warnings and prints them in one shape.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Problem(const std::string& text) {
    out_ << "    problem: " << text << "\n";
    ++result_.problems;
  }
  void Warning(const std::string& text) {
    out_ << "    warning: " << text << "\n";
    ++result_.warnings;
  }
  std::ostream& out() { return out_; }
  CheckResult result() const { return result_; }

 private:
  std::ostream& out_;
  CheckResult result_;
};

using platform::AsciiLower;
using platform::IsAsciiDigit;

bool SameName(std::string_view a, std::string_view b) {
  return platform::EqualsIgnoringAsciiCase(a, b);
}

std::string Quoted(std::string_view text) {
  // Appended piece by piece: "\"" + text + "\"" trips g++ 12's -Wrestrict at -O3.
  std::string quoted(1, '"');
  quoted.append(text).push_back('"');
  return quoted;
}

std::string LineOf(std::size_t line) { return "line " + std::to_string(line) + ": "; }

std::string KeyName(const KeyDescription& key, int n) {
  return std::string(key.key) + (key.numbered ? std::to_string(n) : "");
}

// Edits (insertions, deletions, replacements) from `a` to `b`, letter case
// aside.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = AsciiLower(a[i - 1]) == AsciiLower(b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// ---------------------------------------------------------------------------
// The file as written: which lines the service reads.

// A key line read as a key of the table: which key, and N for a numbered one.
struct KnownKey {
  const KeyDescription* key = nullptr;
  int n = 0;
};

// The key of `section`'s table that `name` names: a plain key by its name, a
// numbered one by its name and N in decimal without leading zeros.
std::optional<KnownKey> Identify(std::string_view section, std::string_view name) {
  for (const KeyDescription& key : config::kKeyTable) {
    if (!SameName(key.section, section)) continue;
    if (!key.numbered) {
      if (SameName(key.key, name)) return KnownKey{&key, 0};
      continue;
    }
    if (name.size() <= key.key.size() || !SameName(name.substr(0, key.key.size()), key.key)) {
      continue;
    }
    const std::string_view digits = name.substr(key.key.size());
    if (digits.size() > 9 || digits.front() == '0' ||
        !std::all_of(digits.begin(), digits.end(), IsAsciiDigit)) {
      continue;
    }
    return KnownKey{&key, std::stoi(std::string(digits))};
  }
  return std::nullopt;
}

// The key of `section` nearest to `name`, if it is likely what was meant. A
// numbered key is tried with the number `name` ends in (without leading
// zeros), or 1.
std::optional<std::string> NearestKey(std::string_view section, std::string_view name) {
  std::size_t digits = name.size();
  while (digits > 0 && IsAsciiDigit(name[digits - 1])) --digits;
  const std::string_view number = name.substr(digits).substr(0, 9);
  const int n = number.empty() ? 1 : std::max(1, std::stoi(std::string(number)));
  std::optional<std::string> nearest;
  std::size_t best = kLikelyTypo + 1;
  for (const KeyDescription& key : config::kKeyTable) {
    if (!SameName(key.section, section)) continue;
    const std::string candidate = KeyName(key, n);
    const std::size_t distance = EditDistance(name, candidate);
    if (distance < best) {
      best = distance;
      nearest = candidate;
    }
  }
  return nearest;
}

// The first section of the name, as the service reads it, and the ones after
// it, which it never reads.
struct SectionsNamed {
  const SectionLines* read = nullptr;
  std::vector<const SectionLines*> ignored;
};

SectionsNamed FindSections(const config::Snapshot::Outline& outline, std::string_view name) {
  SectionsNamed found;
  for (const SectionLines& section : outline.sections) {
    if (!SameName(section.name, name)) continue;
    if (found.read == nullptr) {
      found.read = &section;
    } else {
      found.ignored.push_back(&section);
    }
  }
  return found;
}

// The key line the service reads for `name` in `section`, if any.
const KeyLine* FindKey(const SectionLines* section, std::string_view name) {
  if (section == nullptr) return nullptr;
  for (const KeyLine& key : section->keys) {
    if (SameName(key.key, name)) return &key;
  }
  return nullptr;
}

// Where a walk of numbered entries ends: the first N whose list-ending key
// reads as empty, and whether that key is written at all.
struct WalkEnd {
  int n = 1;
  std::string ending_key;
  bool written = false;
};

// Warns of what the service never reads in `name`'s section: the sections of
// the same name after the first, keys that are none of its keys, keys that
// repeat, numbered keys beyond the end of their walk, and a DropOnSuccess
// whose Filter is empty.
void CheckKeyLines(const config::Snapshot::Outline& outline, std::string_view name,
                   const std::optional<WalkEnd>& walk, std::string_view ending_key,
                   const config::Snapshot& snapshot, Report& report) {
  const SectionsNamed sections = FindSections(outline, name);
  for (const SectionLines* ignored : sections.ignored) {
    report.Warning(LineOf(ignored->line) + "[" + std::string(ignored->name) + "] again: only the " +
                   "section on line " + std::to_string(sections.read->line) +
                   " is read; the keys under this one are not");
  }
  if (sections.read == nullptr) return;
  std::vector<std::string_view> seen;
  for (const KeyLine& line : sections.read->keys) {
    const std::string key(line.key);
    const auto earlier = std::find_if(seen.begin(), seen.end(),
                                      [&](std::string_view k) { return SameName(k, line.key); });
    if (earlier != seen.end()) {
      report.Warning(LineOf(line.line) + key + " again: the first one (line " +
                     std::to_string(FindKey(sections.read, line.key)->line) + ") is read");
      continue;
    }
    seen.push_back(line.key);
    const std::optional<KnownKey> known = Identify(name, line.key);
    if (!known) {
      const std::optional<std::string> nearest = NearestKey(name, line.key);
      report.Warning(LineOf(line.line) + key + ": not a key of [" + std::string(name) + "]" +
                     (nearest ? "; did you mean " + *nearest + "?" : ""));
      continue;
    }
    const std::optional<std::string> value_warning =
        ValueWarning(snapshot, name, key, *known->key, line);
    if (!known->key->numbered || !walk) {
      if (value_warning) report.Warning(*value_warning);
      continue;
    }
    // The key that ends the walk is read for its last N too; the others not.
    const bool beyond = known->key->key == ending_key ? known->n > walk->n : known->n >= walk->n;
    if (beyond) {
      report.Warning(LineOf(line.line) + key + " is never read: the walk ends at " +
                     walk->ending_key + ", which is " + (walk->written ? "empty" : "not written"));
      continue;
    }
    if (value_warning) report.Warning(*value_warning);
    if (known->key->key == config::kDropOnSuccess.key_prefix &&
        !forwarding::SectionFilter(config::Read(snapshot, config::kOutputFilter, known->n))
             .ReadsDropOnSuccess()) {
      report.Warning(LineOf(line.line) + key + " is never read: Filter" + std::to_string(known->n) +
                     " is empty");
    }
  }
}

// The end of the walk of `setting` (Format%d, Source%d).
WalkEnd EndOfWalk(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                  const config::NumberedSetting& setting) {
  WalkEnd end;
  while (!config::Read(snapshot, setting, end.n).empty()) ++end.n;
  end.ending_key = std::string(setting.key_prefix) + std::to_string(end.n);
  end.written = FindKey(FindSections(outline, setting.section).read, end.ending_key) != nullptr;
  return end;
}

// ---------------------------------------------------------------------------
// Values that read otherwise than they look.

bool StartsWithNumber(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && platform::IsCSpace(value[i])) ++i;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) ++i;
  return i < value.size() && IsAsciiDigit(value[i]);
}

// An integer key whose value does not start with a number, or is empty where
// its default is not.
void CheckInteger(const std::string& key, const std::string& value, std::string_view fallback,
                  Report& report) {
  if (value.empty()) {
    if (!fallback.empty()) {
      report.Warning(key + " is empty: it reads as 0, not as its default " + std::string(fallback));
    }
    return;
  }
  if (!StartsWithNumber(value)) {
    report.Warning(key + ": " + Quoted(value) + " does not start with a number; it reads as " +
                   std::to_string(config::IntegerSetting(value)));
  }
}

void CheckInteger(const config::Snapshot& snapshot, const config::Setting& setting,
                  Report& report) {
  CheckInteger(std::string(setting.key), config::Read(snapshot, setting), setting.fallback, report);
}

void CheckInteger(const config::Snapshot& snapshot, const config::NumberedSetting& setting, int n,
                  Report& report) {
  CheckInteger(std::string(setting.key_prefix) + std::to_string(n),
               config::Read(snapshot, setting, n),
               n == 1 ? setting.fallback_first : setting.fallback_rest, report);
}

// The period goes to the rounding as minutes × 60 seconds in 32 bits: a
// negative count, or one above kLongestRotationMinutes, makes another period
// than it says.
void CheckRotation(const config::Snapshot& snapshot, int n, Report& report) {
  constexpr std::int64_t kLongestRotationMinutes = 0xFFFFFFFF / 60;
  const std::int32_t minutes =
      config::IntegerSetting(config::Read(snapshot, config::kFileRotationTime, n));
  if (minutes >= 0 && minutes <= kLongestRotationMinutes) return;
  report.Warning("FileRotationTime" + std::to_string(n) + ": " + std::to_string(minutes) +
                 " minutes make a period of " +
                 std::to_string(forwarding::RotationPeriod(snapshot, n)) +
                 " seconds (minutes times 60 in 32 bits; 0 to " +
                 std::to_string(kLongestRotationMinutes) + " minutes are what they say)");
}

void CheckFilter(const std::string& key, const std::string& value, Report& report) {
  if (value.size() > 1) {
    report.Warning(key + ": only the first character of " + Quoted(value) + " counts (" +
                   value.substr(0, 1) + ")");
  }
}

// ---------------------------------------------------------------------------
// What a transaction, a check and the trace log would meet.

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

// A fault of a format with the column where its field reference begins and
// the text around it.
std::string DescribeFault(const std::string& key, std::string_view text,
                          const extformat::FormatFault& fault) {
  const std::size_t from = fault.offset > kFaultContext ? fault.offset - kFaultContext : 0;
  std::string around = from > 0 ? "..." : "";
  around.append(text.substr(from, fault.offset + kFaultContext - from));
  if (fault.offset + kFaultContext < text.size()) around += "...";
  std::string description = key + ": " + fault.Message() + " at column " +
                            std::to_string(fault.offset + 1) + ": " + Quoted(around);
  if (fault.lone_percent) description += "; a percent sign on its own is written %%";
  return description;
}

// Reads a format as the service does and reports its first fault, against
// the fields a section's record holds; true when it has none.
bool CheckFormat(const std::string& key, const std::string& text,
                 const extformat::FieldRecord& section_fields, Report& report) {
  const extformat::ParsedFormat parsed(text);
  const std::optional<extformat::FormatFault> fault = section_fields.FirstFault(parsed);
  if (!fault) return true;
  report.Problem(DescribeFault(key, parsed.text(), *fault));
  return false;
}

// Checks one output section's formats, then shows what they render for a
// sample transaction whose job number the section admits.
void CheckOutputSection(const config::Snapshot& snapshot, int n, const std::string& format,
                        const extformat::FieldRecord& section_fields, Report& report) {
  const std::string filter_value = config::Read(snapshot, config::kOutputFilter, n);
  const forwarding::SectionFilter filter(filter_value);
  const std::string target_format = config::Read(snapshot, config::kTarget, n);
  const std::string job_no = std::string(1, filter.blank() ? 'A' : filter.prefix()) + "1234";
  std::string date, time;
  Now(&date, &time);
  forwarding::Transaction sample{"1", job_no, date,     time,     "Text03", "Text04",
                                 "5", "6",    "Text21", "Text23", "12.5",   "8.25"};
  report.out() << "  section " << n << ": filter[" << filter_value << "] jobno[" << job_no << "]\n";
  CheckFilter("Filter" + std::to_string(n), filter_value, report);
  CheckInteger(snapshot, config::kFileRotationTime, n, report);
  CheckRotation(snapshot, n, report);
  extformat::FieldRecord record;
  forwarding::FillFieldRecord(record, sample, !filter.blank());
  try {
    if (CheckFormat("Target" + std::to_string(n), target_format, section_fields, report)) {
      std::string target;
      forwarding::RenderTarget(record, sample, target_format,
                               forwarding::RotationPeriod(snapshot, n), target);
      report.out() << "    target: " << target << "\n";
      if (target.empty()) {
        report.Problem("Target" + std::to_string(n) + " renders an empty file name");
      } else if (const auto problem = AppendProblem(target, "the target ")) {
        report.Problem(*problem);
      }
    }
    if (CheckFormat("Format" + std::to_string(n), format, section_fields, report)) {
      std::string line;
      forwarding::RenderLine(record, sample, format, line);
      report.out() << "    line:   " << line << "\n";
    }
  } catch (const extformat::ExtFormatError& error) {
    report.Problem("section " + std::to_string(n) + ": " + error.what());
  }
  CheckInteger(snapshot, config::kOutputMaxLines, n, report);
  if (filter.ReadsDropOnSuccess()) CheckInteger(snapshot, config::kDropOnSuccess, n, report);
}

// The spool folder: it must exist and take new files; what waits in it.
void CheckSpoolFolder(const config::Snapshot& snapshot, Report& report) {
  const std::string folder = config::Read(snapshot, config::kSpoolFolder);
  if (folder.empty()) {
    report.out() << "  no spool: a line whose target cannot be written is lost (SpoolFolder)\n";
    return;
  }
  report.out() << "  spool folder[" << folder << "]\n";
  if (!platform::IsFolder(folder)) {
    report.Problem("the spool folder " + folder + " does not exist");
    return;
  }
  const std::string probe = (fs::path(folder) / "zelkhost-check.probe").string();
  platform::OpenResult opened =
      platform::OpenExclusiveRemovable(probe, platform::CreateMode::kCreateIfMissing);
  if (opened.status != platform::OpenStatus::kOk || !platform::RemoveHeldFile(opened.file, probe)) {
    report.Problem("the spool folder " + folder + " cannot be written");
  }
  if (platform::IsWritableByOthers(folder)) {
    report.Problem("the spool folder " + folder +
                   " may be written by other users, who could plant lines in it; make it the"
                   " service account's alone");
  }
  int lines = 0, targets = 0;
  for (const forwarding::spool::WaitingTarget& waiting :
       forwarding::spool::ListWaiting(folder).value_or(
           std::vector<forwarding::spool::WaitingTarget>())) {
    lines += waiting.lines;
    targets += waiting.lines > 0 ? 1 : 0;
  }
  report.out() << "  " << lines << " line(s) wait in the spool for " << targets << " target(s)"
               << (lines > 0 ? " (see zelkhost spool)" : "") << "\n";
}

void CheckForwarding(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                     Report& report) {
  report.out() << "[ForwardTransaction]\n";
  CheckInteger(snapshot, config::kEnable, report);
  if (config::IntegerSetting(config::Read(snapshot, config::kEnable)) == 0) {
    report.out() << "  forwarding is switched off (Enable)\n";
  }
  CheckInteger(snapshot, config::kAllowZeroTransaction, report);
  CheckInteger(snapshot, config::kValidation, report);
  CheckSpoolFolder(snapshot, report);
  const WalkEnd walk = EndOfWalk(snapshot, outline, config::kOutputFormat);
  const extformat::FieldRecord section_fields = forwarding::EmptySectionRecord();
  for (int n = 1; n < walk.n; ++n) {
    CheckOutputSection(snapshot, n, config::Read(snapshot, config::kOutputFormat, n),
                       section_fields, report);
  }
  if (walk.n == 1) report.out() << "  no output sections (Format1 is empty)\n";
  CheckKeyLines(outline, config::kForwardSection, walk, config::kOutputFormat.key_prefix, snapshot,
                report);
}

void CheckJobLists(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                   Report& report) {
  report.out() << "[ValidJob]\n";
  const WalkEnd walk = EndOfWalk(snapshot, outline, config::kSource);
  for (int n = 1; n < walk.n; ++n) {
    const std::string source = config::Read(snapshot, config::kSource, n);
    const std::string layout = config::Read(snapshot, config::kSourceLayout, n);
    report.out() << "  source " << n << ": file[" << source << "] format[" << layout << "]\n";
    CheckFilter("Filter" + std::to_string(n), config::Read(snapshot, config::kSourceFilter, n),
                report);
    if (const auto problem = JobListProblem(source)) report.Problem(*problem);
    if (!forwarding::ParseFieldLayout(layout)) {
      report.Problem("Format" + std::to_string(n) + " is not " +
                     std::to_string(forwarding::kFieldLayoutLength) + " characters long");
    }
  }
  if (walk.n == 1) report.out() << "  no job lists: every job number is not valid\n";
  CheckKeyLines(outline, config::kValidJobSection, walk, config::kSource.key_prefix, snapshot,
                report);
}

void CheckTraceLog(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                   Report& report) {
  report.out() << "[Log]\n";
  const std::string file = config::Read(snapshot, config::kLogFileName);
  report.out() << "  file[" << file << "] maxlines["
               << config::IntegerSetting(config::Read(snapshot, config::kLogMaxLines)) << "] flags["
               << config::Read(snapshot, config::kLogFlags) << "]\n";
  CheckInteger(snapshot, config::kLogMaxLines, report);
  CheckKeyLines(outline, config::kLogSection, std::nullopt, {}, snapshot, report);
  if (file.empty()) {
    report.out() << "  no trace log is written (FileName is empty)\n";
    return;
  }
  if (const auto problem = AppendProblem(file, "the trace log ")) report.Problem(*problem);
}

// What stands outside the three sections: keys before the first section and
// sections the service does not read.
void CheckFileLayout(const config::Snapshot::Outline& outline, Report& report) {
  for (const KeyLine& line : outline.before_first_section) {
    report.Warning(LineOf(line.line) + std::string(line.key) +
                   " stands before the first section and is never read");
  }
  for (const SectionLines& section : outline.sections) {
    const bool known = SameName(section.name, config::kForwardSection) ||
                       SameName(section.name, config::kValidJobSection) ||
                       SameName(section.name, config::kLogSection);
    if (!known) {
      report.Warning(LineOf(section.line) + "[" + std::string(section.name) +
                     "] is not a section the service reads ([ForwardTransaction], [ValidJob], " +
                     "[Log])");
    }
  }
}

// The file as a whole: its size, and an encoding the service cannot tell.
void CheckFileContent(const std::string& config_path, config::Encoding encoding, Report& report) {
  std::error_code ignored;
  if (!fs::is_regular_file(config_path, ignored)) return;
  std::ifstream file(config_path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  for (const Finding& finding : FileContentFindings(bytes, encoding)) {
    if (finding.problem) {
      report.Problem(finding.text);
    } else {
      report.Warning(finding.text);
    }
  }
}

}  // namespace

CheckResult CheckConfiguration(const std::string& config_path, std::ostream& out) {
  Report report(out);
  std::error_code ignored;
  out << "Configuration file: " << config_path << "\n";
  out << WorkingFolderNote() << "\n";
  if (const std::string note = PermissionsNote(); !note.empty()) out << note << "\n";
  if (const auto problem = ConfigurationFileProblem(config_path)) {
    report.Problem(*problem);
  } else if (!fs::is_regular_file(config_path, ignored)) {
    report.Problem("the configuration file does not exist; every setting has its default");
  }
  const config::Snapshot snapshot = config::Snapshot::Load(config_path);
  if (snapshot.too_large()) {
    report.Problem("the configuration file is larger than " +
                   std::to_string(config::kLargestConfigurationFile) +
                   " bytes and is not read; every setting has its default");
  }
  const config::Snapshot::Outline outline = snapshot.Describe();
  out << "  encoding: " << config::EncodingName(snapshot.encoding()) << "\n";
  CheckFileContent(config_path, snapshot.encoding(), report);
  CheckFileLayout(outline, report);
  CheckForwarding(snapshot, outline, report);
  CheckJobLists(snapshot, outline, report);
  CheckTraceLog(snapshot, outline, report);
  const CheckResult result = report.result();
  out << (result.problems == 0 ? std::string("No problems found.")
                               : std::to_string(result.problems) + " problem(s) found.");
  if (result.warnings > 0) out << " " << result.warnings << " warning(s).";
  out << "\n";
  return result;
}

}  // namespace zelk::host
