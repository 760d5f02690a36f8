#include "section_checks.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "config/settings.h"
#include "extformat/field_record.h"
#include "extformat/parsed_format.h"
#include "file_checks.h"
#include "forwarding/job_list.h"
#include "platform/ascii.h"
#include "platform/platform.h"

namespace zelk::host {

namespace {

namespace fs = std::filesystem;
using config::Read;

// How many lines of a job list check reads, and how many entries it shows.
constexpr std::size_t kListLinesRead = 100000;
constexpr std::size_t kEntriesShown = 3;
constexpr std::size_t kShownLength = 40;
constexpr std::int64_t kDay = 86400;

std::string Numbered(std::string_view prefix, int n) {
  return std::string(prefix) + std::to_string(n);
}

std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted.append(text).push_back('"');
  return quoted;
}

// The number of output sections the walk reads (Format1 ... until empty).
int SectionCount(const config::Snapshot& snapshot) {
  int n = 1;
  while (!Read(snapshot, config::kOutputFormat, n).empty()) ++n;
  return n - 1;
}

int SourceCount(const config::Snapshot& snapshot) {
  int n = 1;
  while (!Read(snapshot, config::kSource, n).empty()) ++n;
  return n - 1;
}

// Job numbers to try the walk with: one for every section's filter character,
// then one for every letter and digit, each first character once.
std::vector<std::string> CandidateJobNumbers(const config::Snapshot& snapshot) {
  std::string firsts;
  auto add = [&firsts](char c) {
    if (firsts.find(c) == std::string::npos) firsts.push_back(c);
  };
  const int sections = SectionCount(snapshot);
  for (int n = 1; n <= sections; ++n) {
    const forwarding::SectionFilter filter(Read(snapshot, config::kOutputFilter, n));
    if (!filter.blank()) add(filter.prefix());
  }
  for (char c = 'A'; c <= 'Z'; ++c) add(c);
  for (char c = '0'; c <= '9'; ++c) add(c);
  std::vector<std::string> candidates;
  for (const char c : firsts) candidates.push_back(std::string(1, c) + "1234");
  return candidates;
}

// The sections each candidate job number reaches, walked once per candidate.
struct Reach {
  std::vector<std::string> candidates;
  std::vector<std::vector<int>> sections;  // per candidate, ascending
  bool Reaches(std::size_t candidate, int n) const {
    return std::binary_search(sections[candidate].begin(), sections[candidate].end(), n);
  }
};

Reach WalkEveryCandidate(const config::Snapshot& snapshot) {
  Reach reach;
  reach.candidates = CandidateJobNumbers(snapshot);
  for (const std::string& job_no : reach.candidates) {
    reach.sections.push_back(forwarding::SectionsReached(snapshot, job_no));
  }
  return reach;
}

bool Reaches(const config::Snapshot& snapshot, std::string_view job_no, int n) {
  const std::vector<int> reached = forwarding::SectionsReached(snapshot, job_no);
  return std::find(reached.begin(), reached.end(), n) != reached.end();
}

// A file's absolute name, for telling whether two names are one file (letter
// case aside on Windows).
std::string SameFileKey(const std::string& name) {
  std::error_code ignored;
  std::string key = fs::absolute(fs::path(name), ignored).lexically_normal().generic_string();
  if (NativeBinaryKind() == BinaryFile::Kind::kPe) {
    for (char& c : key) c = platform::AsciiLower(c);
  }
  return key;
}

bool IsInside(const std::string& inner, const std::string& outer) {
  return inner == outer ||
         (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
          (outer.back() == '/' || inner[outer.size()] == '/'));
}

// One output section as the checker meets it.
struct Section {
  int n = 0;
  std::optional<std::string> job_no;  // one that reaches it
  std::string target;                 // rendered for that job number, or empty
  std::string target_key;             // SameFileKey(target)
};

std::string RenderedTarget(const config::Snapshot& snapshot, int n, const std::string& job_no) {
  const SampleTransaction sample(job_no);
  const forwarding::Transaction transaction = sample.transaction();
  const forwarding::SectionFilter filter(Read(snapshot, config::kOutputFilter, n));
  extformat::FieldRecord record;
  forwarding::FillFieldRecord(record, transaction, !filter.blank());
  std::string target;
  try {
    forwarding::RenderTarget(record, transaction, Read(snapshot, config::kTarget, n),
                             forwarding::RotationPeriod(snapshot, n), target);
  } catch (const std::exception&) {
    target.clear();  // a format fault, reported with the section
  }
  return target;
}

std::vector<Section> Sections(const config::Snapshot& snapshot, const Reach& reach) {
  std::vector<Section> sections;
  const int count = SectionCount(snapshot);
  for (int n = 1; n <= count; ++n) {
    Section section;
    section.n = n;
    for (std::size_t i = 0; i < reach.candidates.size() && !section.job_no; ++i) {
      if (reach.Reaches(i, n)) section.job_no = reach.candidates[i];
    }
    if (section.job_no) section.target = RenderedTarget(snapshot, n, *section.job_no);
    if (!section.target.empty()) section.target_key = SameFileKey(section.target);
    sections.push_back(std::move(section));
  }
  return sections;
}

// The section that ends the walk before `n` for job numbers `n` admits.
int SectionThatDrops(const config::Snapshot& snapshot, int n) {
  const forwarding::SectionFilter filter(Read(snapshot, config::kOutputFilter, n));
  const std::string job_no = std::string(1, filter.blank() ? 'A' : filter.prefix()) + "1234";
  const std::vector<int> reached = forwarding::SectionsReached(snapshot, job_no);
  return reached.empty() ? 0 : reached.back();
}

void CheckFilterCharacters(const config::Snapshot& snapshot,
                           const config::Snapshot::Outline& outline, int n,
                           std::vector<Finding>& findings) {
  const std::string value = Read(snapshot, config::kOutputFilter, n);
  const std::string key = Numbered("Filter", n);
  if (value.empty()) return;
  if (value.front() == '*') {
    findings.push_back(
        FindingAt(outline, config::kForwardSection, key, true,
                  key + "=* is no wildcard: only job numbers that begin with \"*\" reach section " +
                      std::to_string(n) + "; leave " + key + " empty for every job number"));
  } else if (value.front() == '0' && value.size() == 1) {
    findings.push_back(
        FindingAt(outline, config::kForwardSection, key, false,
                  key +
                      "=0 means neither all nor none: only job numbers that begin with \"0\" reach "
                      "section " +
                      std::to_string(n) + "; leave " + key +
                      " empty for every job number, or remove " + "the section for none"));
  }
}

void CheckReach(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                const Section& section, std::vector<Finding>& findings) {
  if (section.job_no) return;
  const int dropper = SectionThatDrops(snapshot, section.n);
  const std::string n = std::to_string(section.n);
  const std::string m = std::to_string(dropper);
  findings.push_back(
      FindingAt(outline, config::kForwardSection, Numbered("Format", section.n), true,
                "no job number reaches section " + n + ": section " + m +
                    " admits the same job numbers first and ends the walk there (DropOnSuccess" +
                    m + "), so its lines are never written; give Filter" + n +
                    " another character, move "
                    "the section before section " +
                    m + ", or remove DropOnSuccess" + m));
}

// Two sections that write one file.
void CheckSharedTarget(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                       const Section& first, const Section& second, const Reach& reach,
                       std::vector<Finding>& findings) {
  const std::string m = std::to_string(first.n);
  const std::string n = std::to_string(second.n);
  bool both = false;
  for (std::size_t i = 0; i < reach.candidates.size(); ++i) {
    both = both || (reach.Reaches(i, first.n) && reach.Reaches(i, second.n));
  }
  const bool same_format = Read(snapshot, config::kOutputFormat, first.n) ==
                           Read(snapshot, config::kOutputFormat, second.n);
  const bool same_filter = platform::AsciiUpper(Read(snapshot, config::kOutputFilter, first.n)) ==
                           platform::AsciiUpper(Read(snapshot, config::kOutputFilter, second.n));
  const bool trimmed =
      config::IntegerSetting(Read(snapshot, config::kOutputMaxLines, first.n)) != 0 ||
      config::IntegerSetting(Read(snapshot, config::kOutputMaxLines, second.n)) != 0;
  std::string text;
  if (both && same_format && same_filter) {
    text = "section " + n + " is a copy of section " + m + " (the same Filter, Target and " +
           "Format): every line is written twice to " + second.target + "; remove one of them";
  } else if (both) {
    text = "Target" + n + " names the file of Target" + m + ", " + second.target +
           ": a transaction that reaches both sections writes two lines into it, mixed; give "
           "each section a file of its own";
  } else if (trimmed) {
    text = "Target" + n + " names the file of Target" + m + ", " + second.target + ", and " +
           "MaxLines of one of them cuts the lines the other wrote; give each section a file " +
           "of its own";
  } else {
    return;
  }
  findings.push_back(
      FindingAt(outline, config::kForwardSection, Numbered("Target", second.n), true, text));
}

// A target that is another file of the service: the trace log, the
// configuration, a job list, or a file inside the spool folder.
void CheckTargetIsOther(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                        const Section& section, const std::string& config_path,
                        std::vector<Finding>& findings) {
  const std::string key = Numbered("Target", section.n);
  auto report = [&](const std::string& what) {
    findings.push_back(FindingAt(outline, config::kForwardSection, key, true,
                                 key + " is " + what + ", " + section.target +
                                     ": transaction lines and its own lines mix; give the "
                                     "section a file of its own"));
  };
  const std::string log = config::Read(snapshot, config::kLogFileName);
  if (!log.empty() && SameFileKey(log) == section.target_key) return report("the trace log");
  if (SameFileKey(config_path) == section.target_key) return report("the configuration file");
  const int sources = SourceCount(snapshot);
  for (int k = 1; k <= sources; ++k) {
    if (SameFileKey(Read(snapshot, config::kSource, k)) == section.target_key) {
      return report("job list " + std::to_string(k));
    }
  }
  const std::string spool = config::Read(snapshot, config::kSpoolFolder);
  if (!spool.empty() && IsInside(section.target_key, SameFileKey(spool))) {
    report("inside the spool folder");
  }
}

// The seconds of the finest date or time part a target name shows (0: none).
std::int64_t FinestTimePart(const std::string& target_format) {
  static constexpr std::array<std::pair<std::string_view, std::int64_t>, 7> kParts = {{
      {"10", 365 * kDay},
      {"11", 365 * kDay},
      {"12", 28 * kDay},
      {"13", kDay},
      {"14", 3600},
      {"15", 60},
      {"16", 1},
  }};
  std::int64_t finest = 0;
  const extformat::ParsedFormat parsed(target_format);
  for (const extformat::FormatPart& part : parsed.parts()) {
    if (!part.has_reference) continue;
    for (const auto& [ordinal, seconds] : kParts) {
      if (part.ordinal == ordinal && (finest == 0 || seconds < finest)) finest = seconds;
    }
  }
  return finest;
}

std::string PartName(std::int64_t seconds) {
  if (seconds >= 365 * kDay) return "years";
  if (seconds >= 28 * kDay) return "months";
  if (seconds >= kDay) return "days";
  if (seconds >= 3600) return "hours";
  return seconds >= 60 ? "minutes" : "seconds";
}

// Minute counts that are the seconds of a usual period: most likely written
// in seconds.
bool LooksLikeSeconds(std::int32_t minutes) {
  constexpr std::array<std::int32_t, 8> kUsualSeconds = {900,   1800,  3600,  7200,
                                                         10800, 21600, 86400, 604800};
  return std::find(kUsualSeconds.begin(), kUsualSeconds.end(), minutes) != kUsualSeconds.end();
}

void CheckRotationFits(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                       int n, std::vector<Finding>& findings) {
  const std::int32_t minutes = config::IntegerSetting(Read(snapshot, config::kFileRotationTime, n));
  // Beyond this the period wraps around, which check reports by itself.
  constexpr std::int32_t kLongestRotationMinutes = 0xFFFFFFFF / 60;
  if (minutes <= 0 || minutes > kLongestRotationMinutes) return;
  const std::string key = Numbered("FileRotationTime", n);
  const std::string target = Numbered("Target", n);
  const std::int64_t finest = FinestTimePart(Read(snapshot, config::kTarget, n));
  auto add = [&](bool problem, const std::string& text) {
    findings.push_back(FindingAt(outline, config::kForwardSection, key, problem, text));
  };
  if (LooksLikeSeconds(minutes)) {
    add(true, key + "=" + std::to_string(minutes) + " is " + std::to_string(minutes) +
                  " minutes, a period of " + std::to_string(minutes / 60) +
                  " hours: the value is in minutes, not seconds, so lines go to files of other "
                  "periods than meant; an hour is 60, a day 1440");
  } else if (finest == 0) {
    add(false, key + " has no effect: " + target + " shows no date or time part (%@10 to " +
                   "%@16), so every line goes to one file; add them (%@10%@12%@13 for a file " +
                   "a day) or remove " + key);
  } else if (std::int64_t{minutes} * 60 < finest) {
    add(false, key + "=" + std::to_string(minutes) + " is finer than " + target +
                   " shows: its finest part is " + PartName(finest) +
                   ", so the files change no more often than that; add the finer part to " +
                   target + " or make the period whole " + PartName(finest));
  }
}

// The spool folder inside the folder of a target: it goes away with it.
void CheckSpoolPlace(const config::Snapshot& snapshot, const config::Snapshot::Outline& outline,
                     const std::vector<Section>& sections, std::vector<Finding>& findings) {
  const std::string spool = config::Read(snapshot, config::kSpoolFolder);
  if (spool.empty()) return;
  const std::string spool_key = SameFileKey(spool);
  for (const Section& section : sections) {
    if (section.target_key.empty()) continue;
    const std::string folder = fs::path(section.target_key).parent_path().generic_string();
    if (folder.empty() || !IsInside(spool_key, folder)) continue;
    std::string text = "the spool folder " + spool;
    text.append(" lies in the folder of Target")
        .append(std::to_string(section.n))
        .append(" (")
        .append(folder)
        .append(
            "): when that folder is away, so is the spool, and every line it should keep "
            "is lost; put it on another disk");
    findings.push_back(
        FindingAt(outline, config::kForwardSection, config::kSpoolFolder.key, true, text));
    return;
  }
}

// What the layout extracts from a job list: entries, empty fields, whether
// the separator occurs, entries that still carry the filter character.
struct ListReading {
  std::size_t entries = 0;
  std::size_t empty_fields = 0;
  std::size_t with_separator = 0;
  std::size_t carrying_filter = 0;
  // Fields shorter than the layout's length that would have it from position
  // 0: a start position counted from 1.
  std::size_t cut_by_start = 0;
  std::vector<std::pair<std::string, std::string>> shown;  // entry, field
};

ListReading ReadList(const std::string& path, const forwarding::FieldLayout& layout, char filter) {
  ListReading reading;
  std::size_t lines = 0;
  forwarding::ReadListLines(path, [&](std::string_view line) {
    if (++lines > kListLinesRead) return false;
    if (line.empty()) return true;
    ++reading.entries;
    const std::string_view field = forwarding::ExtractJobField(line, layout);
    if (field.empty()) ++reading.empty_fields;
    forwarding::FieldLayout from_zero = layout;
    from_zero.start = 0;
    const auto length = static_cast<std::size_t>(std::max(layout.length, 0));
    if (layout.start > 0 && field.size() < length &&
        forwarding::ExtractJobField(line, from_zero).size() == length) {
      ++reading.cut_by_start;
    }
    if (line.find(layout.separator) != std::string_view::npos) ++reading.with_separator;
    if (filter != '\0' && !field.empty() && platform::AsciiUpper(field.front()) == filter) {
      ++reading.carrying_filter;
    }
    if (reading.shown.size() < kEntriesShown) {
      reading.shown.emplace_back(std::string(line.substr(0, kShownLength)), std::string(field));
    }
    return true;
  });
  return reading;
}

void CheckListReading(const ListReading& reading, const forwarding::FieldLayout& layout,
                      const config::Snapshot::Outline& outline, int n, const std::string& source,
                      char filter, std::vector<Finding>& findings) {
  const std::string format = Numbered("Format", n);
  auto add = [&](std::string_view key, bool problem, const std::string& text) {
    findings.push_back(FindingAt(outline, config::kValidJobSection, key, problem, text));
  };
  const std::string entries = std::to_string(reading.entries) + " entries of " + source;
  if (reading.entries == 0) {
    add(Numbered("Source", n), false,
        "the job list " + source + " has no entries: no job number is valid through it");
    return;
  }
  const bool splits = layout.separator != '0';
  if (splits && reading.with_separator == 0 && layout.skip_count > 0) {
    add(format, true,
        "the separator \"" + std::string(1, layout.separator) + "\" of " + format +
            " occurs in none of the " + entries + ": no field is skipped and each entry is " +
            "read whole; write the list's own separator at position 4 (from 1), or 0 for none");
  } else if (reading.empty_fields == reading.entries) {
    add(format, true,
        format + " extracts an empty field from every one of the " + entries +
            " (the start position counts from 0 within the field; the skip count counts "
            "fields): no job number is valid through it; see what it extracts above");
  } else if (reading.empty_fields > 0) {
    add(format, false,
        std::to_string(reading.empty_fields) + " of the " + entries + " give an empty field with " +
            format + ": they match no job number");
  }
  if (reading.cut_by_start == reading.entries) {
    add(format, true,
        "the fields " + format + " extracts from the " + entries + " are shorter than its " +
            "length " + std::to_string(layout.length) + " while from position 0 they are not: " +
            "the start position counts from 0, so " + std::to_string(layout.start) +
            " skips characters of the job number; write " + std::to_string(layout.start - 1));
  }
  if (filter != '\0' && platform::IsAsciiUpper(filter) &&
      reading.carrying_filter * 2 > reading.entries - reading.empty_fields) {
    add(Numbered("Filter", n), true,
        "the fields of " + std::to_string(reading.carrying_filter) + " of the " + entries +
            " still begin with the filter character " + std::string(1, filter) +
            ", but a job number is compared without it: none of them matches; start " + format +
            " one character later, or take the filter character out of the list");
  }
}

}  // namespace

SampleTransaction::SampleTransaction(std::string job_number) : job_no(std::move(job_number)) {
  const std::tm parts = platform::LocalTimeOf(std::time(nullptr)).value_or(std::tm{});
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%02d%02d%02d", parts.tm_year % 100, parts.tm_mon + 1,
                parts.tm_mday);
  date = buffer;
  std::snprintf(buffer, sizeof buffer, "%02d%02d%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
  time = buffer;
}

forwarding::Transaction SampleTransaction::transaction() const {
  return forwarding::Transaction{"1", job_no, date,     time,     "Text03", "Text04",
                                 "5", "6",    "Text21", "Text23", "12.5",   "8.25"};
}

std::optional<std::string> JobNumberReaching(const config::Snapshot& snapshot, int n) {
  // The section's own filter character first: it reaches most sections, at
  // the cost of one walk.
  const forwarding::SectionFilter filter(Read(snapshot, config::kOutputFilter, n));
  const std::string own = std::string(1, filter.blank() ? 'A' : filter.prefix()) + "1234";
  if (Reaches(snapshot, own, n)) return own;
  for (const std::string& job_no : CandidateJobNumbers(snapshot)) {
    if (Reaches(snapshot, job_no, n)) return job_no;
  }
  return std::nullopt;
}

std::vector<Finding> SectionFindings(const config::Snapshot& snapshot,
                                     const config::Snapshot::Outline& outline,
                                     const std::string& config_path) {
  std::vector<Finding> findings;
  const Reach reach = WalkEveryCandidate(snapshot);
  const std::vector<Section> sections = Sections(snapshot, reach);
  for (const Section& section : sections) {
    CheckFilterCharacters(snapshot, outline, section.n, findings);
    CheckReach(snapshot, outline, section, findings);
    CheckRotationFits(snapshot, outline, section.n, findings);
    if (section.target_key.empty()) continue;
    CheckTargetIsOther(snapshot, outline, section, config_path, findings);
    for (const Section& earlier : sections) {
      if (earlier.n >= section.n || earlier.target_key != section.target_key) continue;
      CheckSharedTarget(snapshot, outline, earlier, section, reach, findings);
      break;
    }
  }
  CheckSpoolPlace(snapshot, outline, sections, findings);
  return findings;
}

std::vector<Finding> JobListFindings(const config::Snapshot& snapshot,
                                     const config::Snapshot::Outline& outline, int n,
                                     std::ostream& overview) {
  std::vector<Finding> findings;
  const forwarding::SectionFilter section_filter(Read(snapshot, config::kSourceFilter, n));
  const char filter = section_filter.blank() ? '\0' : section_filter.prefix();
  if (filter == '*') {
    const std::string key = Numbered("Filter", n);
    findings.push_back(FindingAt(outline, config::kValidJobSection, key, true,
                                 key +
                                     "=* is no wildcard: the list is consulted only for job "
                                     "numbers that begin with \"*\"; leave " +
                                     key + " empty to consult it for every job number"));
  }
  const std::optional<forwarding::FieldLayout> layout =
      forwarding::ParseFieldLayout(Read(snapshot, config::kSourceLayout, n));
  const std::string source = Read(snapshot, config::kSource, n);
  if (!layout || JobListProblem(source)) return findings;
  const ListReading reading = ReadList(source, *layout, filter);
  for (const auto& [entry, field] : reading.shown) {
    overview << "    entry " << Quoted(entry) << " gives " << Quoted(field) << "\n";
  }
  overview << "    " << reading.entries << " entries, " << reading.empty_fields
           << " with an empty field\n";
  CheckListReading(reading, *layout, outline, n, source, filter, findings);
  return findings;
}

std::vector<Finding> ValidationFindings(const config::Snapshot& snapshot,
                                        const config::Snapshot::Outline& outline) {
  std::vector<Finding> findings;
  if (config::IntegerSetting(config::Read(snapshot, config::kValidation)) == 0) return findings;
  const int sources = SourceCount(snapshot);
  if (sources == 0) {
    findings.push_back(FindingAt(outline, config::kForwardSection, config::kValidation.key, true,
                                 "Validation is on but [ValidJob] has no job list (Source1 is "
                                 "empty): every transaction is dropped; add a list or write "
                                 "Validation=0"));
    return findings;
  }
  const int sections = SectionCount(snapshot);
  for (int n = 1; n <= sections; ++n) {
    const forwarding::SectionFilter filter(Read(snapshot, config::kOutputFilter, n));
    if (filter.blank()) continue;
    bool admitted = false;
    for (int k = 1; k <= sources && !admitted; ++k) {
      const std::string list_filter =
          platform::AsciiUpper(Read(snapshot, config::kSourceFilter, k));
      admitted = list_filter.empty() || list_filter.front() == ' ' ||
                 list_filter.front() == filter.prefix();
    }
    if (admitted) continue;
    findings.push_back(FindingAt(
        outline, config::kForwardSection, Numbered("Filter", n), true,
        "with Validation on, no job list is consulted for job numbers that begin with " +
            std::string(1, filter.prefix()) + " (every list's Filter is another character): " +
            "each of them is not valid and dropped before section " + std::to_string(n) +
            "; add a list for them or give one no filter"));
  }
  return findings;
}

std::vector<Finding> LogFindings(const config::Snapshot& snapshot,
                                 const config::Snapshot::Outline& outline) {
  std::vector<Finding> findings;
  const std::string max_lines = config::Read(snapshot, config::kLogMaxLines);
  if (!config::Read(snapshot, config::kLogFileName).empty() && !max_lines.empty() &&
      platform::IsAsciiDigit(max_lines.back()) && config::IntegerSetting(max_lines) == 0) {
    findings.push_back(FindingAt(
        outline, config::kLogSection, config::kLogMaxLines.key, true,
        "MaxLines=0 empties the trace log at every cut, so it keeps at most its last ten "
        "messages (0 means no limit for MaxLines<N> of a target, not here); write -1 for no "
        "limit, or the number of lines to keep"));
  }
  const std::string flags = config::Read(snapshot, config::kLogFlags);
  if (flags.find_first_of(".*") != std::string::npos) {
    findings.push_back(FindingAt(outline, config::kLogSection, config::kLogFlags.key, false,
                                 "Flags: \".\" and \"*\" messages are always written; Flags "
                                 "chooses among the other categories only, so naming them "
                                 "hides nothing"));
  }
  return findings;
}

}  // namespace zelk::host
