// Character rules the service applies byte by byte, whatever the locale: the
// ASCII letters and digits, case folding that leaves every other byte as it
// is, and white space as the C library's isspace has it in the "C" locale.
// Pure computation, for every room (no operating-system header).
#ifndef ZELK_PLATFORM_ASCII_H_
#define ZELK_PLATFORM_ASCII_H_

#include <algorithm>
#include <string>
#include <string_view>

namespace zelk::platform {

constexpr bool IsAsciiUpper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool IsAsciiLower(char c) { return c >= 'a' && c <= 'z'; }
constexpr bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

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

}  // namespace zelk::platform

#endif  // ZELK_PLATFORM_ASCII_H_
