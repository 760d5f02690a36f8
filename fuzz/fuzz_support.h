// What every fuzz target shares: reporting a broken property so that libFuzzer
// records the input, and showing bytes readably in that report.
#ifndef ZELK_FUZZ_FUZZ_SUPPORT_H_
#define ZELK_FUZZ_FUZZ_SUPPORT_H_

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace zelk::fuzz {

// The bytes as a C string literal would spell them, so CR, NUL and bytes above
// 127 stay visible in a report.
inline std::string Quoted(std::string_view bytes) {
  std::string text = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  text += '"';
  return text;
}

// Ends the run as a finding: libFuzzer treats the abort as a crash and keeps
// the input that caused it.
[[noreturn]] inline void Fail(std::string_view property, std::string_view expected,
                              std::string_view actual) {
  std::fprintf(stderr, "\nproperty broken: %.*s\n  expected: %s\n  actual:   %s\n",
               static_cast<int>(property.size()), property.data(), Quoted(expected).c_str(),
               Quoted(actual).c_str());
  std::abort();
}

// Long texts are shown around their first difference only, so a report on a
// file of many kilobytes stays readable.
inline void ExpectEqual(std::string_view property, std::string_view expected,
                        std::string_view actual) {
  if (expected == actual) return;
  constexpr std::size_t kShown = 160;
  if (expected.size() <= kShown && actual.size() <= kShown) Fail(property, expected, actual);
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  const std::size_t from = at > kShown / 2 ? at - kShown / 2 : 0;
  std::fprintf(stderr, "\nlengths: expected %zu, actual %zu; first difference at byte %zu\n",
               expected.size(), actual.size(), at);
  Fail(property, expected.substr(std::min(from, expected.size()), kShown),
       actual.substr(std::min(from, actual.size()), kShown));
}

inline void Expect(bool holds, std::string_view property) {
  if (!holds) Fail(property, "true", "false");
}

// The text before the first line feed and the text after it (empty when there
// is none), for inputs made of a header line and a body.
struct Split {
  std::string_view head;
  std::string_view rest;
  bool had_line_feed = false;
};

inline Split SplitAtLineFeed(std::string_view text) {
  const std::size_t feed = text.find('\n');
  if (feed == std::string_view::npos) return {text, {}, false};
  return {text.substr(0, feed), text.substr(feed + 1), true};
}

}  // namespace zelk::fuzz

#endif  // ZELK_FUZZ_FUZZ_SUPPORT_H_
