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

#include <nlohmann/json.hpp>

#include "config/config.h"
#include "config/settings.h"
#include "csv_checks.h"
#include "extformat/field_record.h"
#include "extformat/parsed_format.h"
#include "file_checks.h"
#include "forwarding/job_list.h"
#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "forwarding/spool_folders.h"
#include "forwarding/spool_targets.h"
#include "nearest_name.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "section_checks.h"
#include "tracelog/trace_log.h"
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

// Where a finding stands in the configuration file (line 0: the file as a
// whole).
struct Where {
  std::size_t line = 0;
  std::size_t column = 0;
};

// Collects problems and warnings with where they stand, and the overview of
// what the service would do (shown only in text output).
class Report {
 public:
  Report(std::ostream& out, bool overview) : out_(out), overview_(overview) {}
  void Problem(const std::string& text) { Add({true, text, 0, 0, {}}); }
  void Warning(const std::string& text) { Add({false, text, 0, 0, {}}); }
  void Problem(Where at, const std::string& text) { Add({true, text, at.line, at.column, {}}); }
  void Warning(Where at, const std::string& text) { Add({false, text, at.line, at.column, {}}); }
  void Add(Finding finding) {
    ++(finding.problem ? result_.problems : result_.warnings);
    findings_.push_back(std::move(finding));
  }
  // The overview; what goes to it is dropped unless it is shown.
  std::ostream& out() { return overview_ ? out_ : discarded_; }
  CheckResult result() const { return result_; }
  // The findings in the order of the file: those about the environment and
  // the file as a whole first, then by line and column.
  std::vector<Finding> InFileOrder() const {
    std::vector<Finding> sorted = findings_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Finding& a, const Finding& b) {
      if (a.subject.empty() != b.subject.empty()) return !a.subject.empty();
      return a.line != b.line ? a.line < b.line : a.column < b.column;
    });
    return sorted;
  }

  // The file's outline, for the places of keys.
  void Describe(const config::Snapshot::Outline* outline) { outline_ = outline; }
  const config::Snapshot::Outline* outline() const { return outline_; }

 private:
  std::ostream& out_;
  bool overview_;
  std::ostream discarded_{nullptr};
  CheckResult result_;
  std::vector<Finding> findings_;
  const config::Snapshot::Outline* outline_ = nullptr;
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

std::string KeyName(const KeyDescription& key, int n) {
  return std::string(key.key) + (key.numbered ? std::to_string(n) : "");
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
// zeros), or 1. Keys the section already has for that number are not
// offered: a typo of one of them would stand beside it. A value that names a
// file points to the key of the section that takes one.
std::optional<std::string> NearestKey(const SectionLines& section, const KeyLine& line) {
  const std::string_view name = line.key;
  std::size_t digits = name.size();
  while (digits > 0 && IsAsciiDigit(name[digits - 1])) --digits;
  const std::string_view number = name.substr(digits).substr(0, 9);
  const int n = number.empty() ? 1 : std::max(1, std::stoi(std::string(number)));
  const bool names_a_file = line.value.find_first_of("/\\.") != std::string_view::npos &&
                            line.value.find('%') == std::string_view::npos;
  std::vector<std::string> candidates;
  for (const KeyDescription& key : config::kKeyTable) {
    if (!SameName(key.section, section.name)) continue;
    const std::string candidate = KeyName(key, n);
    const bool written = std::any_of(section.keys.begin(), section.keys.end(),
                                     [&](const KeyLine& k) { return SameName(k.key, candidate); });
    if (written) continue;
    const bool takes_a_file =
        key.key == config::kTarget.key_prefix || key.key == config::kSource.key_prefix ||
        key.key == config::kLogFileName.key || key.key == config::kSpoolFolder.key;
    if (names_a_file && takes_a_file && EditDistance(name.substr(0, digits), key.key) <= 6) {
      return candidate;
    }
    candidates.push_back(candidate);
  }
  return NearestName(name, candidates, kLikelyTypo);
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

// The section named `name` that the service reads, warning of the sections
// of the same name after it, which it never reads. Null when there is none.
const SectionLines* SectionRead(const config::Snapshot::Outline& outline, std::string_view name,
                                Report& report) {
  const SectionsNamed sections = FindSections(outline, name);
  for (const SectionLines* ignored : sections.ignored) {
    report.Warning({ignored->line, ignored->column},
                   "[" + std::string(ignored->name) + "] again: only the section on line " +
                       std::to_string(sections.read->line) +
                       " is read; the keys under this one are not: move them there");
  }
  return sections.read;
}

// Warns of what the service never reads in `name`'s section: the sections of
// the same name after the first, keys that are none of its keys, keys that
// repeat, numbered keys beyond the end of their walk, and a DropOnSuccess
// whose Filter is empty.
void CheckKeyLines(const config::Snapshot::Outline& outline, std::string_view name,
                   const std::optional<WalkEnd>& walk, std::string_view ending_key,
                   const config::Snapshot& snapshot, Report& report) {
  const SectionLines* const read = SectionRead(outline, name, report);
  if (read == nullptr) return;
  std::vector<std::string_view> seen;
  for (const KeyLine& line : read->keys) {
    const std::string key(line.key);
    const auto earlier = std::find_if(seen.begin(), seen.end(),
                                      [&](std::string_view k) { return SameName(k, line.key); });
    if (earlier != seen.end()) {
      report.Warning({line.line, line.key_column},
                     key + " again: the first one (line " +
                         std::to_string(FindKey(read, line.key)->line) +
                         ") is read; remove one of them");
      continue;
    }
    seen.push_back(line.key);
    const std::optional<KnownKey> known = Identify(name, line.key);
    if (!known) {
      const std::optional<std::string> nearest = NearestKey(*read, line);
      report.Warning({line.line, line.key_column},
                     key + ": not a key of [" + std::string(name) + "]" +
                         (nearest ? "; did you mean " + *nearest + "?" : ""));
      continue;
    }
    const std::optional<Finding> value_warning =
        ValueWarning(snapshot, name, key, *known->key, line);
    if (!known->key->numbered || !walk) {
      if (value_warning) report.Add(*value_warning);
      continue;
    }
    // The key that ends the walk is read for its last N too; the others not.
    const bool beyond = known->key->key == ending_key ? known->n > walk->n : known->n >= walk->n;
    if (beyond) {
      report.Warning({line.line, line.key_column}, key + " is never read: the walk ends at " +
                                                       walk->ending_key + ", which is " +
                                                       (walk->written ? "empty" : "not written"));
      continue;
    }
    if (value_warning) report.Add(*value_warning);
    if (known->key->key == config::kDropOnSuccess.key_prefix &&
        !forwarding::SectionFilter(config::Read(snapshot, config::kOutputFilter, known->n))
             .ReadsDropOnSuccess()) {
      report.Warning({line.line, line.key_column},
                     key + " is never read: Filter" + std::to_string(known->n) + " is empty");
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

// Where the value of `key` stands in `section` as the service reads it: on
// the key's line, else on the section's heading, else nowhere (line 0).
Where ValueOf(const Report& report, std::string_view section, std::string_view key) {
  if (report.outline() == nullptr) return {};
  const Place place = PlaceOf(*report.outline(), section, key);
  return {place.line, place.column};
}

std::string Numbered(std::string_view prefix, int n) {
  return std::string(prefix) + std::to_string(n);
}

// ---------------------------------------------------------------------------
// Values that read otherwise than they look.

// An integer key whose value does not start with a number, or is empty where
// its default is not.
void CheckInteger(std::string_view section, const std::string& key, const std::string& value,
                  std::string_view fallback, Report& report) {
  const Where at = ValueOf(report, section, key);
  if (value.empty()) {
    if (!fallback.empty()) {
      report.Warning(at, key + " is empty: it reads as 0, not as its default " +
                             std::string(fallback) + "; write the number or remove the line");
    }
    return;
  }
  if (!platform::ReadAtoi(value).has_digits()) {
    report.Warning(at, key + ": " + Quoted(value) + " does not start with a number; it reads as " +
                           std::to_string(config::IntegerSetting(value)) + "; write a number");
  }
}

void CheckInteger(const config::Snapshot& snapshot, const config::Setting& setting,
                  Report& report) {
  CheckInteger(setting.section, std::string(setting.key), config::Read(snapshot, setting),
               setting.fallback, report);
}

void CheckInteger(const config::Snapshot& snapshot, const config::NumberedSetting& setting, int n,
                  Report& report) {
  CheckInteger(setting.section, Numbered(setting.key_prefix, n), config::Read(snapshot, setting, n),
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
  report.Warning(ValueOf(report, config::kForwardSection, Numbered("FileRotationTime", n)),
                 "FileRotationTime" + std::to_string(n) + ": " + std::to_string(minutes) +
                     " minutes make a period of " +
                     std::to_string(forwarding::RotationPeriod(snapshot, n)) +
                     " seconds (minutes times 60 in 32 bits; 0 to " +
                     std::to_string(kLongestRotationMinutes) + " minutes are what they say)");
}

void CheckFilter(std::string_view section, const std::string& key, const std::string& value,
                 Report& report) {
  if (value.size() > 1) {
    report.Warning(ValueOf(report, section, key),
                   key + ": only the first character of " + Quoted(value) + " counts (" +
                       value.substr(0, 1) + "); write that character alone");
  }
}

// ---------------------------------------------------------------------------
// What a transaction, a check and the trace log would meet.

// A fault of a format with the column where its field reference begins and
// the text around it.
std::string DescribeFault(const std::string& key, std::string_view text,
                          const extformat::FormatFault& fault) {
  // The place carries the column; the text shows what stands around it.
  const std::size_t from = fault.offset > kFaultContext ? fault.offset - kFaultContext : 0;
  std::string around = from > 0 ? "..." : "";
  around.append(text.substr(from, fault.offset + kFaultContext - from));
  if (fault.offset + kFaultContext < text.size()) around += "...";
  std::string description = key + ": " + fault.Message() + ": " + Quoted(around);
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
  Where at = ValueOf(report, config::kForwardSection, key);
  const KeyLine* line =
      report.outline() == nullptr
          ? nullptr
          : FindKey(FindSections(*report.outline(), config::kForwardSection).read, key);
  if (line != nullptr) {
    // One pair of enclosing quotes is not part of the text.
    const bool quoted = line->value.size() > text.size();
    at.column += fault->offset + (quoted ? 1 : 0);
  }
  report.Problem(at, DescribeFault(key, parsed.text(), *fault));
  return false;
}

// Checks one output section's formats, then shows what they render for a
// sample transaction whose job number the section admits.
void CheckOutputSection(const config::Snapshot& snapshot, int n, const std::string& format,
                        const extformat::FieldRecord& section_fields, Report& report) {
  const std::string filter_value = config::Read(snapshot, config::kOutputFilter, n);
  const forwarding::SectionFilter filter(filter_value);
  const std::string target_format = config::Read(snapshot, config::kTarget, n);
  // A job number that reaches the section, by the walk's own rules; the
  // filter's own when none does (check says so).
  const SampleTransaction transaction(
      JobNumberReaching(snapshot, n)
          .value_or(std::string(1, filter.blank() ? 'A' : filter.prefix()) + "1234"));
  const std::string& job_no = transaction.job_no;
  const forwarding::Transaction sample = transaction.transaction();
  report.out() << "  section " << n << ": filter[" << filter_value << "] jobno[" << job_no << "]\n";
  const Where target_at = ValueOf(report, config::kForwardSection, Numbered("Target", n));
  CheckFilter(config::kForwardSection, Numbered("Filter", n), filter_value, report);
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
        report.Problem(target_at, "Target" + std::to_string(n) +
                                      " renders an empty file name: name the file to write");
      } else if (const auto problem = AppendProblem(target, "the target ")) {
        report.Problem(target_at, *problem);
      }
    }
    if (CheckFormat("Format" + std::to_string(n), format, section_fields, report)) {
      std::string line;
      forwarding::RenderLine(record, sample, format, line, forwarding::CsvRuleOf(snapshot, n));
      report.out() << "    line:   " << line << "\n";
    }
  } catch (const extformat::ExtFormatError& error) {
    report.Problem(ValueOf(report, config::kForwardSection, Numbered("Format", n)),
                   "section " + std::to_string(n) + ": " + error.what());
  }
  CheckImportKeys(snapshot, n, sample, !filter.blank(),
                  {report.out(), [&report](const std::string& text) { report.Problem(text); },
                   [&report](const std::string& text) { report.Warning(text); }});
  CheckInteger(snapshot, config::kOutputMaxLines, n, report);
  if (filter.ReadsDropOnSuccess()) CheckInteger(snapshot, config::kDropOnSuccess, n, report);
}

// Spool folders SpoolFolder named before: lines still waiting there are
// delivered first, so they are listed.
void CheckFoldersUsedBefore(const std::string& config_path, const std::string& folder,
                            Report& report) {
  const std::string record = forwarding::spool::FolderRecordOf(config_path);
  for (const std::string& old : forwarding::spool::FoldersUsedBefore(record, folder)) {
    int lines = 0, targets = 0;
    for (const forwarding::spool::WaitingTarget& waiting :
         forwarding::spool::ListWaiting(old).value_or(
             std::vector<forwarding::spool::WaitingTarget>())) {
      lines += waiting.lines;
      targets += waiting.lines > 0 ? 1 : 0;
    }
    if (lines == 0) continue;
    report.out() << "  " << lines << " line(s) wait for " << targets
                 << " target(s) in the spool folder used before " << old
                 << ", delivered first (see zelkhost spool)\n";
  }
}

// The spool folder: it must exist and take new files; what waits in it.
void CheckSpoolFolder(const config::Snapshot& snapshot, const std::string& config_path,
                      Report& report) {
  const std::string folder = config::Read(snapshot, config::kSpoolFolder);
  if (folder.empty()) {
    report.out() << "  no spool: a line whose target cannot be written is lost (SpoolFolder)\n";
    return;
  }
  report.out() << "  spool folder[" << folder << "]\n";
  if (!platform::IsFolder(folder)) {
    report.Problem(ValueOf(report, config::kForwardSection, config::kSpoolFolder.key),
                   "the spool folder " + folder +
                       " does not exist: create it, or the lines it should keep are lost");
    return;
  }
  const std::string probe = (fs::path(folder) / "zelkhost-check.probe").string();
  platform::OpenResult opened =
      platform::OpenExclusiveRemovable(probe, platform::CreateMode::kCreateIfMissing);
  if (opened.status != platform::OpenStatus::kOk || !platform::RemoveHeldFile(opened.file, probe)) {
    report.Problem(ValueOf(report, config::kForwardSection, config::kSpoolFolder.key),
                   "the spool folder " + folder +
                       " cannot be written: let the host's account create files there");
  }
  if (platform::IsWritableByOthers(folder)) {
    report.Problem("the spool folder " + folder +
                   " may be written by other users, who could plant lines in it; make it the"
                   " service account's alone");
  }
  int lines = 0, targets = 0;
  const auto configured = forwarding::spool::ConfiguredTargets::Of(snapshot);
  for (const forwarding::spool::WaitingTarget& waiting :
       forwarding::spool::ListWaiting(folder).value_or(
           std::vector<forwarding::spool::WaitingTarget>())) {
    lines += waiting.lines;
    targets += waiting.lines > 0 ? 1 : 0;
    if (!waiting.in_use && !configured.Admits(waiting.target)) {
      report.Problem("the spool file " + waiting.spool_file + " names " +
                     tracelog::VisibleText(waiting.target) +
                     ", which no section writes: it is not delivered (planted by another user, or"
                     " its section was removed)");
    }
  }
  report.out() << "  " << lines << " line(s) wait in the spool for " << targets << " target(s)"
               << (lines > 0 ? " (see zelkhost spool)" : "") << "\n";
  CheckFoldersUsedBefore(config_path, folder, report);
}

void CheckForwarding(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                     const std::string& config_path, Report& report) {
  report.out() << "[ForwardTransaction]\n";
  CheckInteger(snapshot, config::kEnable, report);
  if (config::IntegerSetting(config::Read(snapshot, config::kEnable)) == 0) {
    report.out() << "  forwarding is switched off (Enable)\n";
  }
  CheckInteger(snapshot, config::kAllowZeroTransaction, report);
  CheckInteger(snapshot, config::kValidation, report);
  CheckSpoolFolder(snapshot, config_path, report);
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
    for (const Finding& finding : JobListFindings(snapshot, outline, n, report.out())) {
      report.Add(finding);
    }
    CheckFilter(config::kValidJobSection, Numbered("Filter", n),
                config::Read(snapshot, config::kSourceFilter, n), report);
    if (const auto problem = JobListProblem(source)) {
      report.Problem(ValueOf(report, config::kValidJobSection, Numbered("Source", n)), *problem);
    }
    if (!forwarding::ParseFieldLayout(layout)) {
      report.Problem(ValueOf(report, config::kValidJobSection, Numbered("Format", n)),
                     "Format" + std::to_string(n) + " is not " +
                         std::to_string(forwarding::kFieldLayoutLength) +
                         " characters long: the list is passed over; write the layout "
                         "SSSCPPPLLL (skip count, separator, start, length)");
    }
  }
  if (walk.n == 1) report.out() << "  no job lists: every job number is not valid\n";
  for (const Finding& finding : ValidationFindings(snapshot, outline)) report.Add(finding);
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
  for (const Finding& finding : LogFindings(snapshot, outline)) report.Add(finding);
  CheckKeyLines(outline, config::kLogSection, std::nullopt, {}, snapshot, report);
  if (file.empty()) {
    report.out() << "  no trace log is written (FileName is empty)\n";
    return;
  }
  if (const auto problem = AppendProblem(file, "the trace log ")) {
    report.Problem(ValueOf(report, config::kLogSection, config::kLogFileName.key), *problem);
  }
}

// What stands outside the three sections: keys before the first section and
// sections the service does not read.
void CheckFileLayout(const config::Snapshot::Outline& outline, Report& report) {
  for (const KeyLine& line : outline.before_first_section) {
    report.Warning({line.line, line.key_column},
                   std::string(line.key) + " stands before the first section and is never read");
  }
  for (const SectionLines& section : outline.sections) {
    const bool known = SameName(section.name, config::kForwardSection) ||
                       SameName(section.name, config::kValidJobSection) ||
                       SameName(section.name, config::kLogSection);
    if (!known) {
      const std::optional<std::string> nearest =
          NearestName(section.name,
                      {std::string(config::kForwardSection), std::string(config::kValidJobSection),
                       std::string(config::kLogSection)},
                      kLikelyTypo);
      report.Warning({section.line, section.column},
                     "[" + std::string(section.name) +
                         "] is not a section the service reads ([ForwardTransaction], " +
                         "[ValidJob], [Log])" +
                         (nearest ? "; did you mean [" + *nearest + "]?" : ""));
    }
  }
}

// The file as a whole: its size, and an encoding the service cannot tell.
void CheckFileContent(const std::string& config_path, config::Encoding encoding, Report& report) {
  std::error_code ignored;
  if (!fs::is_regular_file(config_path, ignored)) return;
  std::ifstream file(config_path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  for (const Finding& finding : FileContentFindings(bytes, encoding)) report.Add(finding);
}

// Everything the service would meet in the configuration file at `path`.
void CheckFile(const std::string& path, Report& report) {
  std::error_code ignored;
  if (const auto problem = ConfigurationFileProblem(path)) {
    report.Problem(*problem);
  } else if (!fs::is_regular_file(path, ignored)) {
    report.Problem("the configuration file does not exist; every setting has its default");
  }
  const config::Snapshot snapshot = config::Snapshot::Load(path);
  if (snapshot.too_large()) {
    report.Problem("the configuration file is larger than " +
                   std::to_string(config::kLargestConfigurationFile) +
                   " bytes and is not read; every setting has its default");
  }
  const config::Snapshot::Outline outline = snapshot.Describe();
  report.Describe(&outline);
  report.out() << "  encoding: " << config::EncodingName(snapshot.encoding()) << "\n";
  CheckFileContent(path, snapshot.encoding(), report);
  CheckFileLayout(outline, report);
  CheckForwarding(snapshot, outline, path, report);
  for (const Finding& finding : SectionFindings(snapshot, outline, path)) report.Add(finding);
  CheckJobLists(snapshot, outline, report);
  CheckTraceLog(snapshot, outline, report);
  report.Describe(nullptr);
}

// "FILE:LINE:COLUMN: problem: TEXT", or "FILE: problem: TEXT" without a line.
std::string FindingLine(const Finding& finding, const std::string& config_path) {
  std::string line = finding.subject.empty() ? config_path : finding.subject;
  if (finding.line > 0) {
    line += ":" + std::to_string(finding.line) + ":" + std::to_string(finding.column);
  }
  return line + (finding.problem ? ": problem: " : ": warning: ") + finding.text;
}

void PrintJson(const CheckOptions& options, const Report& report, std::ostream& out) {
  nlohmann::json findings = nlohmann::json::array();
  for (const Finding& finding : report.InFileOrder()) {
    nlohmann::json item = {
        {"file", finding.subject.empty() ? options.config_path : finding.subject},
        {"severity", finding.problem ? "problem" : "warning"},
        {"text", finding.text}};
    if (finding.line > 0) {
      item["line"] = finding.line;
      item["column"] = finding.column;
    }
    findings.push_back(std::move(item));
  }
  const nlohmann::json document = {
      {"library", options.library_path},
      {"configuration", options.config_path},
      {"read_by_the_library",
       options.live_config_path.empty() ? options.config_path : options.live_config_path},
      {"findings", std::move(findings)},
      {"problems", report.result().problems},
      {"warnings", report.result().warnings},
  };
  // Bytes that are no UTF-8 (a file written in a code page) are replaced
  // rather than refused: the document is still one document.
  out << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void PrintHeader(const CheckOptions& options, std::ostream& out) {
  if (!options.library_path.empty()) out << "Library: " << options.library_path << "\n";
  if (!options.library_loads.empty()) out << "  loads: " << options.library_loads << "\n";
  if (options.library_problem) return;
  out << "Configuration file: " << options.config_path << "\n";
  if (!options.live_config_path.empty() && options.live_config_path != options.config_path) {
    out << "  checked in place of " << options.live_config_path
        << ", the file the library reads (which stays as it is)\n";
  }
  out << WorkingFolderNote() << "\n";
  if (const std::string note = PermissionsNote(); !note.empty()) out << note << "\n";
}

}  // namespace

CheckResult CheckConfiguration(const CheckOptions& options, std::ostream& out) {
  Report report(out, options.output == CheckOutput::kText);
  PrintHeader(options, report.out());
  if (options.library_problem) {
    report.Add({true, *options.library_problem, 0, 0, options.library_path});
  } else {
    CheckFile(options.config_path, report);
  }
  if (options.output == CheckOutput::kJson) {
    PrintJson(options, report, out);
    return report.result();
  }
  for (const Finding& finding : report.InFileOrder()) {
    out << FindingLine(finding, options.config_path) << "\n";
  }
  const CheckResult result = report.result();
  if (options.output == CheckOutput::kQuiet) return result;
  out << (result.problems == 0 ? std::string("No problems found.")
                               : std::to_string(result.problems) + " problem(s) found.");
  if (result.warnings > 0) out << " " << result.warnings << " warning(s).";
  if (options.library_problem) {
    out << " The configuration beside the library is not checked until the library loads.";
  }
  out << "\n";
  return result;
}

CheckResult CheckConfiguration(const std::string& config_path, std::ostream& out) {
  CheckOptions options;
  options.config_path = config_path;
  return CheckConfiguration(options, out);
}

}  // namespace zelk::host
