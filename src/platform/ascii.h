// Character rules the service applies byte by byte, whatever the locale: the
// ASCII letters and digits, the control characters, case folding that leaves
// every other byte as it is, white space as the C library's isspace has it in
// the "C" locale, whole numbers as atoi reads them there, and the CR LF line
// end of every file the service writes. Pure computation, for every room (no
// operating-system header).
#ifndef ZELK_PLATFORM_ASCII_H_
#define ZELK_PLATFORM_ASCII_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace zelk::platform {

constexpr bool IsAsciiUpper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool IsAsciiLower(char c) { return c >= 'a' && c <= 'z'; }
constexpr bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsAsciiLetterOrDigit(char c) {
  return IsAsciiUpper(c) || IsAsciiLower(c) || IsAsciiDigit(c);
}
constexpr bool IsAsciiHexDigit(char c) {
  return IsAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The control characters, 0x00 to 0x1F and 0x7F, as iscntrl has them in the
// "C" locale.
constexpr bool IsAsciiControl(char c) {
  return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F;
}

// Space, tab, line feed, vertical tab, form feed and carriage return.
constexpr bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr char AsciiUpper(char c) { return IsAsciiLower(c) ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char AsciiLower(char c) { return IsAsciiUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string AsciiUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = AsciiUpper(c);
  return upper;
}

// The same bytes once the ASCII letters of both are folded to one case.
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

// A whole number at the start of a text as atoi reads it in the "C" locale:
// white space, an optional sign, then decimal digits up to the first other
// byte; no digits read as 0. The value is held to 32 bits (saturated), where
// atoi's own result would be undefined.
struct AtoiNumber {
  std::int32_t value = 0;
  std::size_t digits_begin = 0;  // where the digits begin (after blanks and sign)
  std::size_t end = 0;           // just after the last digit; == digits_begin: none
  bool has_digits() const { return end > digits_begin; }
};

constexpr AtoiNumber ReadAtoi(std::string_view text) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  AtoiNumber number;
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  number.digits_begin = i;
  std::int64_t magnitude = 0;
  for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kMax + 1);  // saturated, bounded
  }
  number.end = i;
  const std::int64_t value = negative ? -magnitude : std::min(magnitude, kMax);
  number.value = static_cast<std::int32_t>(value);
  return number;
}

// How many bytes of `text` `hit` (given the byte before, NUL for the first,
// and the byte) answers yes for. Counted a stretch at a time in a byte-wide
// counter, which the compiler keeps in vector registers: counting in a wide
// integer for each byte, or finding each hit with memchr, costs several
// times as much when hits are a line's length apart.
template <typename Hit>
std::size_t CountBytesWhere(std::string_view text, Hit hit) {
  constexpr std::size_t kStretch = 128;  // fewer than a byte counter holds
  if (text.empty()) return 0;
  std::size_t count = hit('\0', text[0]) ? 1 : 0;
  std::size_t at = 1;
  for (; at + kStretch <= text.size(); at += kStretch) {
    unsigned char in_stretch = 0;
    for (std::size_t i = at; i < at + kStretch; ++i) {
      in_stretch = static_cast<unsigned char>(in_stretch + (hit(text[i - 1], text[i]) ? 1 : 0));
    }
    count += in_stretch;
  }
  for (; at < text.size(); ++at) count += hit(text[at - 1], text[at]) ? 1 : 0;
  return count;
}

// How every line the service writes ends, whatever the platform.
inline constexpr std::string_view kLineBreak = "\r\n";

// Appends `text` to `out` with each of its line feeds written as CR LF (a
// carriage return already before one stays, and gains another), so that the
// lines of a text end as every other line of the file does.
inline void AppendWithCrLf(std::string& out, std::string_view text) {
  for (std::size_t line_feed; (line_feed = text.find('\n')) != std::string_view::npos;) {
    out.append(text.substr(0, line_feed)).append(kLineBreak);
    text.remove_prefix(line_feed + 1);
  }
  out.append(text);
}

// The number of line feeds in `text`.
inline std::size_t CountLineFeeds(std::string_view text) {
  return CountBytesWhere(text, [](char, char c) { return c == '\n'; });
}

// The number of line feeds in `text` without a carriage return before them.
inline std::size_t CountBareLineFeeds(std::string_view text) {
  return CountBytesWhere(text, [](char before, char c) { return before != '\r' && c == '\n'; });
}

}  // namespace zelk::platform

#endif  // ZELK_PLATFORM_ASCII_H_
