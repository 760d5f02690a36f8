#include "value_checks.h"

#include <cstddef>
#include <limits>

#include "platform/ascii.h"

namespace zelk::host {

namespace {

using platform::IsAsciiDigit;
using platform::IsCSpace;

std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted.append(text).push_back('"');
  return quoted;
}

Finding WarningAt(const config::Snapshot::KeyLine& line, std::size_t offset, std::string text) {
  return Finding{false, std::move(text), line.line, line.value_column + offset, {}};
}

// Where the number the integer rule reads ends in `value`; npos when no digit
// is read at all (the value reads as 0, which CheckInteger reports).
std::size_t EndOfNumber(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && IsCSpace(value[i])) ++i;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) ++i;
  const std::size_t digits = i;
  while (i < value.size() && IsAsciiDigit(value[i])) ++i;
  return i == digits ? std::string_view::npos : i;
}

// A ';' after a blank: a comment written after the value, which is part of
// the value. (A ';' right after other text is often meant: a separator in a
// line format or a job-list layout.)
std::size_t TrailingComment(std::string_view value) {
  for (std::size_t i = 1; i < value.size(); ++i) {
    if (value[i] == ';' && IsCSpace(value[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}

std::string UnitHint(const config::KeyDescription& key) {
  if (key.key == config::kFileRotationTime.key_prefix) {
    return "; the period is in minutes: 60 is an hour, 1440 a day";
  }
  return "";
}

}  // namespace

std::optional<Finding> ValueWarning(const config::Snapshot& snapshot, std::string_view section,
                                    const std::string& name, const config::KeyDescription& key,
                                    const config::Snapshot::KeyLine& line) {
  if (!line.has_value) return std::nullopt;
  // The value as written, quotes off but uncut, beside the value the service keeps.
  const std::string whole =
      snapshot.Read(section, name, "", std::numeric_limits<std::size_t>::max());
  const std::string kept = snapshot.Read(section, name, "", key.read_length);
  const std::string reads_as =
      key.integer ? "; it reads as " + std::to_string(config::IntegerSetting(kept)) : "";
  const std::size_t comment = TrailingComment(whole);
  if (comment != std::string::npos) {
    return WarningAt(line, comment,
                     name + ": " + Quoted(whole.substr(comment)) +
                         " is part of the value: ';' starts a comment only at the start of a "
                         "line" +
                         reads_as + "; put the comment on a line of its own");
  }
  if (whole.size() > kept.size()) {
    return WarningAt(line, kept.size(),
                     name + " is " + std::to_string(whole.size()) +
                         " characters long: the service keeps only its first " +
                         std::to_string(kept.size()) + " (" +
                         Quoted(kept.substr(kept.size() > 20 ? kept.size() - 20 : 0)) +
                         " is where it ends); shorten it");
  }
  if (key.integer) {
    const std::size_t end = EndOfNumber(kept);
    if (end != std::string::npos && end < kept.size()) {
      return WarningAt(
          line, end,
          name + ": " + Quoted(kept) + " reads as " + std::to_string(config::IntegerSetting(kept)) +
              ": the number ends before " + Quoted(kept.substr(end)) +
              "; write it in digits only, without separators, decimals or units" + UnitHint(key));
    }
  }
  return std::nullopt;
}

std::vector<Finding> FileContentFindings(std::string_view bytes, config::Encoding encoding) {
  std::vector<Finding> findings;
  if (bytes.size() > kLargeConfigurationBytes) {
    findings.push_back(
        {false,
         "the file is " + std::to_string(bytes.size() / 1024) +
             " KB: the service reads it whole on every transaction and every job-number " +
             "check, so each costs that much reading; keep it under " +
             std::to_string(kLargeConfigurationBytes / 1024) +
             " KB (long comments and unused sections can go elsewhere)",
         0,
         0,
         {}});
  }
  const bool utf16 =
      encoding == config::Encoding::kUtf16Le || encoding == config::Encoding::kUtf16Be;
  if (!utf16 && bytes.find('\0') != std::string_view::npos) {
    findings.push_back(
        {true,
         "the file holds NUL bytes: it looks like UTF-16 without a byte order mark, " +
             std::string("which the service reads byte for byte and so finds no section ") +
             "and no key; save it as ANSI or UTF-8, or as UTF-16 with a byte order mark " +
             "(\"Unicode\" in Notepad)",
         0,
         0,
         {}});
  }
  return findings;
}

}  // namespace zelk::host
