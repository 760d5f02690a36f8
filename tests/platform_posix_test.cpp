// The POSIX platform door: its text conversion (UTF-16 to UTF-8) and its
// conversion of local times, which must give what mktime gives.
#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <random>
#include <string>

#include "platform/platform.h"

namespace zelk::platform {
namespace {

TEST(NarrowFromUtf16, GivesUtf8) {
  struct Case {
    std::u16string_view text;
    const char* expected;
  };
  const Case cases[] = {
      {u"", ""},
      {u"list.txt", "list.txt"},
      {u"caf\u00e9", "caf\xC3\xA9"},
      {u"\u20ac", "\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},                      // a surrogate pair
      {std::u16string_view(u"a\xD800z", 3), "a\xEF\xBF\xBDz"},  // unpaired high surrogate
      {std::u16string_view(u"\xDC00", 1), "\xEF\xBF\xBD"},      // unpaired low surrogate
      {std::u16string_view(u"\xD800\xD800\xDC00", 3), "\xEF\xBF\xBD\xF0\x90\x80\x80"},
  };
  for (const Case& c : cases) EXPECT_EQ(NarrowFromUtf16(c.text), c.expected) << c.expected;
}

// Zones with daylight saving time on either side of the equator, one with a
// half-hour change, one whole-hour zone, given as POSIX rules so that no zone
// database is needed.
TEST(InstantOfLocal, GivesWhatMktimeGives) {
  const char* zones[] = {"CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                         "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", "XXX-2", "UTC0"};
  std::mt19937 random(20261209);
  auto in = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  for (const char* zone : zones) {
    SetTimeZoneForTesting(zone);
    int mismatches = 0;
    for (int i = 0; i < 20000; ++i) {
      std::tm parts{};
      parts.tm_year = in(60, 200);
      parts.tm_mon = in(-2, 14);
      parts.tm_mday = in(-1, 33);
      parts.tm_hour = in(-1, 25);
      parts.tm_min = i % 4 == 0 ? in(0, 59) : 30;
      parts.tm_sec = in(-1, 61);
      parts.tm_isdst = -1;
      std::tm copy = parts;
      errno = 0;
      const time_t expected = mktime(&copy);
      const std::optional<std::int64_t> actual = InstantOfLocal(parts);
      ASSERT_TRUE(actual.has_value());
      if (*actual != expected && ++mismatches <= 5) {
        ADD_FAILURE() << zone << ": " << parts.tm_year + 1900 << "-" << parts.tm_mon + 1 << "-"
                      << parts.tm_mday << " " << parts.tm_hour << ":" << parts.tm_min << ":"
                      << parts.tm_sec << " mktime " << expected << ", InstantOfLocal " << *actual;
      }
    }
    EXPECT_EQ(mismatches, 0) << zone;
  }
  SetTimeZoneForTesting("UTC0");
}

}  // namespace
}  // namespace zelk::platform
