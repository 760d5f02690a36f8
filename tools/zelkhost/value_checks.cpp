#include "value_checks.h"

#include <cstddef>
#include <limits>
#include <optional>

#include "file_checks.h"
#include "platform/ascii.h"

namespace zelk::host {

namespace {

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
  const platform::AtoiNumber number = platform::ReadAtoi(value);
  return number.has_digits() ? number.end : std::string_view::npos;
}

// A ';' after a blank: a comment written after the value, which is part of
// the value. (A ';' right after other text is often meant: a separator in a
// line format or a job-list layout.)
std::size_t TrailingComment(std::string_view value) {
  for (std::size_t i = 1; i < value.size(); ++i) {
    if (value[i] == ';' && IsCSpace(value[i - 1])) return i - 1;
    // "# ..." after a blank: a comment as other files write it.
    const bool hash = value[i] == '#' && (i + 1 == value.size() || IsCSpace(value[i + 1]));
    if (hash && IsCSpace(value[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}

// Bytes that show as nothing, or as a blank, at the end of a value: the
// service keeps them (it trims only ASCII blanks), so a file name or a filter
// holds them.
struct Invisible {
  std::string_view bytes;
  std::string_view name;
};
constexpr Invisible kInvisibles[] = {
    {"\xC2\xA0", "a non-breaking space (bytes C2 A0)"},
    {"\xE2\x80\x8B", "a zero-width space (bytes E2 80 8B)"},
    {"\xEF\xBB\xBF", "a byte order mark (bytes EF BB BF)"},
    {"\xC2\xAD", "a soft hyphen (bytes C2 AD)"},
    {"\xA0", "a non-breaking space (byte A0)"},
};

// Quotation marks a word processor puts in, which the service takes as text.
constexpr Invisible kCurlyQuotes[] = {
    {"\xE2\x80\x9C", "\u201C (bytes E2 80 9C)"}, {"\xE2\x80\x9D", "\u201D (bytes E2 80 9D)"},
    {"\xE2\x80\x98", "\u2018 (bytes E2 80 98)"}, {"\xE2\x80\x99", "\u2019 (bytes E2 80 99)"},
    {"\x93", "a curly quote (byte 93)"},         {"\x94", "a curly quote (byte 94)"},
};

// Whether `text` ends in the character `end`; a single byte of a code page
// counts only where it is not the last byte of a UTF-8 sequence ("\xC3\xA0"
// is a letter, not a non-breaking space).
bool EndsWith(std::string_view text, std::string_view end) {
  if (text.size() < end.size() || text.substr(text.size() - end.size()) != end) return false;
  const bool single_high = end.size() == 1 && static_cast<unsigned char>(end[0]) >= 0x80;
  return !single_high || text.size() < 2 ||
         static_cast<unsigned char>(text[text.size() - 2]) < 0x80;
}

// Whether `text` begins with the character `start`, likewise: a single byte
// followed by a UTF-8 continuation byte is part of a sequence.
bool StartsWith(std::string_view text, std::string_view start) {
  if (text.substr(0, start.size()) != start) return false;
  const bool single_high = start.size() == 1 && static_cast<unsigned char>(start[0]) >= 0x80;
  const auto next = text.size() < 2 ? 0 : static_cast<unsigned char>(text[1]);
  return !single_high || next < 0x80 || next >= 0xC0;
}

bool NamesAFile(const config::KeyDescription& key) {
  return key.key == config::kTarget.key_prefix || key.key == config::kSource.key_prefix ||
         key.key == config::kLogFileName.key || key.key == config::kSpoolFolder.key;
}

// What hides in a value as written: invisible bytes at its end, enclosing
// quotes that the service takes off although the value holds that quote
// inside, curly quotes, a backslash in a file name on Linux.
std::optional<Finding> HiddenInValue(const std::string& name, const config::KeyDescription& key,
                                     const config::Snapshot::KeyLine& line) {
  const std::string_view value = line.value;
  for (const Invisible& invisible : kInvisibles) {
    if (!EndsWith(value, invisible.bytes)) continue;
    return Finding{true,
                   name + " ends in " + std::string(invisible.name) +
                       ", which is part of the value though it cannot be seen; delete it",
                   line.line,
                   line.value_column + value.size() - invisible.bytes.size(),
                   {}};
  }
  const char first = value.empty() ? '\0' : value.front();
  if (value.size() > 2 && (first == '"' || first == '\'') && value.back() == first &&
      value.substr(1, value.size() - 2).find(first) != std::string_view::npos) {
    const char other = first == '"' ? '\'' : '"';
    return Finding{true,
                   name + " is wrapped in " + std::string(1, first) + " and holds " +
                       std::string(1, first) + " inside: the service takes the outer pair " +
                       "off and reads " + Quoted(value.substr(1, value.size() - 2)) +
                       "; to keep them, wrap the whole value in " + std::string(1, other) +
                       " as well",
                   line.line,
                   line.value_column,
                   {}};
  }
  for (const Invisible& curly : kCurlyQuotes) {
    const bool at_start = StartsWith(value, curly.bytes);
    if (!at_start && !EndsWith(value, curly.bytes)) continue;
    return Finding{false,
                   name + ": " + std::string(curly.name) + " is no quotation mark to the " +
                       "service but part of the value; write \" or ' (or none)",
                   line.line,
                   line.value_column + (at_start ? 0 : value.size() - curly.bytes.size()),
                   {}};
  }
  if (NamesAFile(key) && NativeBinaryKind() == BinaryFile::Kind::kElf &&
      value.find('\\') != std::string_view::npos) {
    return Finding{
        false,
        name + ": on Linux \"\\\" is no folder separator but part of the name; " + "write \"/\"",
        line.line,
        line.value_column + value.find('\\'),
        {}};
  }
  return std::nullopt;
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
  if (std::optional<Finding> hidden = HiddenInValue(name, key, line)) return hidden;
  // The value as written, quotes off but uncut, beside the value the service keeps.
  const std::string whole =
      snapshot.Read(section, name, "", std::numeric_limits<std::size_t>::max());
  const std::string kept = snapshot.Read(section, name, "", key.read_length);
  const std::string reads_as =
      key.integer ? "; it reads as " + std::to_string(config::IntegerSetting(kept)) : "";
  const std::size_t comment = TrailingComment(whole);
  if (comment != std::string::npos) {
    const bool hash = whole.find_first_not_of(" \t", comment) != std::string::npos &&
                      whole[whole.find_first_not_of(" \t", comment)] == '#';
    return WarningAt(line, comment,
                     name + ": " + Quoted(whole.substr(comment)) + " is part of the value: " +
                         (hash ? "'#' starts no comment in this file, and ';' only "
                               : "';' starts a comment only ") +
                         "at the start of a line" + reads_as +
                         "; put the comment on a line of its own");
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

Place PlaceOf(const config::Snapshot::Outline& outline, std::string_view section,
              std::string_view key) {
  for (const config::Snapshot::SectionLines& lines : outline.sections) {
    if (!platform::EqualsIgnoringAsciiCase(lines.name, section)) continue;
    for (const config::Snapshot::KeyLine& line : lines.keys) {
      if (platform::EqualsIgnoringAsciiCase(line.key, key)) return {line.line, line.value_column};
    }
    return {lines.line, lines.column};
  }
  return {};
}

Finding FindingAt(const config::Snapshot::Outline& outline, std::string_view section,
                  std::string_view key, bool problem, std::string text) {
  const Place place = PlaceOf(outline, section, key);
  return Finding{problem, std::move(text), place.line, place.column, {}};
}

namespace {

// The line (from 1) of byte `at`, counting CR LF, LF and a lone CR as the
// reader does.
std::size_t LineNumberAt(std::string_view bytes, std::size_t at) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < at && i < bytes.size(); ++i) {
    const bool crlf = bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n';
    if (bytes[i] == '\n' || (bytes[i] == '\r' && !crlf)) ++line;
  }
  return line;
}

// A line with text and without NUL bytes: a file that is partly UTF-16.
bool HasLineWithoutNul(std::string_view bytes) {
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    const std::string_view line = bytes.substr(start, end - start);
    if (line.find('\0') == std::string_view::npos &&
        line.find_first_not_of("\r ") != std::string_view::npos) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// A byte order mark after the start: two files joined, or an editor that
// wrote one in mid-file. Its bytes become part of the line they start.
std::optional<Finding> InnerByteOrderMark(std::string_view bytes) {
  const std::size_t mark = bytes.find("\xEF\xBB\xBF", 1);
  if (mark == std::string_view::npos) return std::nullopt;
  const std::size_t line_start = bytes.find_last_of("\r\n", mark - 1);
  const std::size_t from = line_start == std::string_view::npos ? 0 : line_start + 1;
  return Finding{true,
                 "a byte order mark (bytes EF BB BF) stands inside the file, where two files "
                 "were joined: the service reads it as part of this line, so a section heading "
                 "or key here is not recognised; delete it",
                 LineNumberAt(bytes, mark),
                 mark - from + 1,
                 {}};
}

}  // namespace

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
  if (utf16) return findings;
  if (std::optional<Finding> mark = InnerByteOrderMark(bytes)) findings.push_back(*mark);
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos && HasLineWithoutNul(bytes)) {
    findings.push_back({true,
                        "the file mixes UTF-16 text (with NUL bytes, from here on) with "
                        "single-byte lines: the service reads it byte for byte and finds no "
                        "section or key in the UTF-16 part; save the whole file in one "
                        "encoding (ANSI or UTF-8)",
                        LineNumberAt(bytes, nul),
                        1,
                        {}});
    return findings;
  }
  if (nul != std::string_view::npos) {
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
