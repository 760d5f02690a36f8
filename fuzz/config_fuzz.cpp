// The configuration reader against a slow reference that walks the file line by
// line for every single read, and IntegerSetting against a reference that
// compares digit strings instead of doing arithmetic.
//
// Input: four lines (section, key, read length in decimal, default value),
// then the file's bytes. A read length that is not a number is 0.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "config/config.h"
#include "fuzz_support.h"

namespace {

using zelk::fuzz::ExpectEqual;
using zelk::fuzz::Fail;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trimmed(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string Cut(std::string_view value, std::size_t read_length) {
  if (read_length == 0) return {};
  return std::string(value.substr(0, read_length - 1));
}

std::string_view Unquoted(std::string_view value) {
  if (value.size() < 2) return value;
  const char first = value.front();
  if ((first == '"' || first == '\'') && value.back() == first) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// A header line's section name: what lies between the "[" and the last "]".
// Nothing when the line is no header.
std::optional<std::string_view> HeaderName(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  const std::size_t close = line.rfind(']');
  if (close == line.npos) return std::nullopt;
  return Trimmed(line.substr(1, close - 1));
}

// UTF-16 code units as UTF-8, one code point at a time; anything that is no
// surrogate pair but a surrogate becomes U+FFFD.
std::string ReferenceUtf8(const std::string& bytes, bool big_endian) {
  auto unit = [&](std::size_t i) {
    const unsigned first = static_cast<unsigned char>(bytes[i]);
    const unsigned second = static_cast<unsigned char>(bytes[i + 1]);
    return big_endian ? first * 256 + second : second * 256 + first;
  };
  std::string out;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    unsigned code = unit(i);
    if (code >= 0xD800 && code <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) <= 0xDFFF) {
      code = 0x10000 + (code - 0xD800) * 0x400 + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 + code / 64);
      out += static_cast<char>(0x80 + code % 64);
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 + code / 4096);
      out += static_cast<char>(0x80 + code / 64 % 64);
      out += static_cast<char>(0x80 + code % 64);
    } else {
      out += static_cast<char>(0xF0 + code / 262144);
      out += static_cast<char>(0x80 + code / 4096 % 64);
      out += static_cast<char>(0x80 + code / 64 % 64);
      out += static_cast<char>(0x80 + code % 64);
    }
  }
  return out;
}

// The file's text: UTF-16 (by its byte order mark) decoded, a UTF-8 byte
// order mark dropped, anything else as it is.
std::string ReferenceText(const std::string& bytes) {
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) return bytes.substr(3);
  if (bytes.rfind("\xFF\xFE", 0) == 0) return ReferenceUtf8(bytes, false);
  if (bytes.rfind("\xFE\xFF", 0) == 0) return ReferenceUtf8(bytes, true);
  return bytes;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

std::string ReferenceRead(const std::string& bytes, std::string_view section, std::string_view key,
                          std::string_view fallback, std::size_t read_length) {
  const std::string text = ReferenceText(bytes);
  std::string_view file = text;
  bool inside = false;
  while (!file.empty()) {
    // A line ends at the first CR or LF; the whole run of them is its line end.
    std::size_t end = 0;
    while (end < file.size() && !IsLineEnd(file[end])) ++end;
    const std::string_view line = Trimmed(file.substr(0, end));
    while (end < file.size() && IsLineEnd(file[end])) ++end;
    file.remove_prefix(end);
    if (line.empty() || line.front() == ';') continue;
    if (const std::optional<std::string_view> name = HeaderName(line)) {
      // Only the first section of the name counts, so the search ends with it.
      if (inside) break;
      inside = SameIgnoringAsciiCase(*name, section);
      continue;
    }
    if (!inside) continue;
    const std::size_t equals = line.find('=');
    const std::string_view name = equals == line.npos ? line : Trimmed(line.substr(0, equals));
    if (!SameIgnoringAsciiCase(name, key)) continue;
    if (equals == line.npos) break;
    return Cut(Unquoted(Trimmed(line.substr(equals + 1))), read_length);
  }
  return Cut(fallback, read_length);
}

std::int32_t ReferenceInteger(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && std::string_view(" \t\n\v\f\r").find(text[at]) != text.npos) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  const std::size_t digits_begin = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  std::string_view digits = text.substr(digits_begin, at - digits_begin);
  while (!digits.empty() && digits.front() == '0') digits.remove_prefix(1);
  // Beyond the limit's digit string, the value saturates.
  const std::string_view limit = negative ? "2147483648" : "2147483647";
  if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit)) {
    return negative ? std::numeric_limits<std::int32_t>::min()
                    : std::numeric_limits<std::int32_t>::max();
  }
  std::int64_t value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  return static_cast<std::int32_t>(negative ? -value : value);
}

void CheckInteger(std::string_view text) {
  const std::int32_t expected = ReferenceInteger(text);
  const std::int32_t actual = zelk::config::IntegerSetting(text);
  if (expected != actual) {
    Fail("IntegerSetting of " + zelk::fuzz::Quoted(text), std::to_string(expected),
         std::to_string(actual));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view lines[4];
  for (std::string_view& line : lines) {
    const zelk::fuzz::Split split = zelk::fuzz::SplitAtLineFeed(input);
    line = split.head;
    input = split.rest;
  }
  const std::string_view section = lines[0];
  const std::string_view key = lines[1];
  std::size_t read_length = 0;
  std::from_chars(lines[2].data(), lines[2].data() + lines[2].size(), read_length);
  const std::string_view fallback = lines[3];
  const std::string file(input);

  const zelk::config::Snapshot snapshot = zelk::config::Snapshot::Parse(file);
  const std::string value = snapshot.Read(section, key, fallback, read_length);
  if (read_length <= 1) {
    ExpectEqual("read length 0 or 1 gives the empty text", "", value);
  } else if (value.size() >= read_length) {
    Fail("the value is shorter than the read length", std::to_string(read_length - 1),
         std::to_string(value.size()));
  }
  ExpectEqual("Read equals the line-by-line reference",
              ReferenceRead(file, section, key, fallback, read_length), value);

  // The snapshot keeps its pieces as offsets into its own bytes, so copies and
  // moved-to snapshots must answer alike.
  zelk::config::Snapshot copy = snapshot;
  ExpectEqual("a copied snapshot reads alike", value,
              copy.Read(section, key, fallback, read_length));
  zelk::config::Snapshot moved = zelk::config::Snapshot::Parse(std::string());
  moved = std::move(copy);
  ExpectEqual("a moved snapshot reads alike", value,
              moved.Read(section, key, fallback, read_length));

  CheckInteger(value);
  CheckInteger(fallback);
  CheckInteger(file);
  return 0;
}
