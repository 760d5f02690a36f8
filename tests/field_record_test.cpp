// The field record: its store rules and the date and time parts.
#include "extformat/field_record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"

namespace zelk::extformat {
namespace {

using namespace std::string_view_literals;

constexpr char kTimeParts[] = "%@10 %@11 %@12 %@13 %@14 %@15 %@16";

std::string Render(const FieldRecord& record, std::string_view format) {
  std::string out;
  record.ExtFormat(out, format);
  return out;
}

bool Has(const FieldRecord& record, std::string_view ordinal) {
  try {
    Render(record, std::string("%@").append(ordinal));
    return true;
  } catch (const ExtFormatError&) {
    return false;
  }
}

TEST(FieldRecord, IgnoresOrdinalsThatAreNotTwoBytes) {
  FieldRecord record;
  record.SetText("7", "x");
  record.SetInteger("123", 1);
  record.SetText("1\0"sv, "y");
  EXPECT_FALSE(Has(record, "12"));
  EXPECT_FALSE(Has(record, "7x"));
  EXPECT_FALSE(Has(record, "10"));
  // Only the bytes before a NUL count, in ordinals and in values alike.
  record.SetText("AB\0C"sv, "ab\0cd"sv);
  record.SetText("CD", static_cast<const char*>(nullptr));
  EXPECT_EQ(Render(record, "[%@AB][%@CD]"), "[ab][]");
}

TEST(FieldRecord, SettingAgainReplacesValueAndKind) {
  FieldRecord record;
  record.SetText("07", "A");
  record.SetInteger("07", 5);
  // A precision pads an integer with zeros but cuts a text.
  EXPECT_EQ(Render(record, "%.3@07"), "005");
  record.SetText("07", "long text");
  EXPECT_EQ(Render(record, "%.3@07"), "lon");
  record.SetReal("K9", 2500.0);
  record.SetText("k9", "2,50");
  EXPECT_EQ(Render(record, "%@K9|%@k9"), "2500.000000|2,50");
}

struct DateTimeCase {
  const char* zone;
  const char* date;
  const char* time;
  std::uint32_t period;
  const char* parts;  // "%Y %y %m %d %H %M %S"
};

TEST(SetDateTime, ReadsRoundsAndNormalises) {
  const DateTimeCase cases[] = {
      {"UTC0", "261208", "143005", 0, "2026 26 12 08 14 30 05"},
      {"UTC0", "261208", "143005", 900, "2026 26 12 08 14 30 00"},
      {"XXX-1", "261208", "143005", 3600, "2026 26 12 08 14 00 00"},
      // 2026-12-07 23:30 UTC, rounded to midnight UTC, two hours east.
      {"XXX-2", "261208", "013000", 86400, "2026 26 12 07 02 00 00"},
      {"UTC0", "080300", "000000", 0, "2008 08 02 29 00 00 00"},
      {"UTC0", "071301", "000000", 0, "2008 08 01 01 00 00 00"},
      {"UTC0", "070001", "000000", 0, "2006 06 12 01 00 00 00"},
      {"UTC0", "071231", "240000", 0, "2008 08 01 01 00 00 00"},
      {"UTC0", "071231", "235960", 0, "2008 08 01 01 00 00 00"},
      // Pairs read as atoi reads them.
      {"UTC0", "ab1208", "000000", 0, "2000 00 12 08 00 00 00"},
      {"UTC0", " 71208", "7x 5+5", 0, "2007 07 12 08 07 05 05"},
      {"UTC0", "-11208", "000000", 0, "1999 99 12 08 00 00 00"},
      {"UTC0", "2612-1", "000000", 0, "2026 26 11 29 00 00 00"},
      // The unsigned form of -300 exceeds every instant before 2106: it rounds to 0.
      {"XXX-1", "261208", "143005", 4294966996u, "1970 70 01 01 01 00 00"},
      // Beyond 2038, where the rounding still counts from the epoch.
      {"UTC0", "380119", "031408", 0, "2038 38 01 19 03 14 08"},
      {"UTC0", "991231", "235959", 86400, "2099 99 12 31 00 00 00"},
      {"UTC0", "991231", "235959", 3600, "2099 99 12 31 23 00 00"},
  };
  for (const DateTimeCase& c : cases) {
    platform::SetTimeZoneForTesting(c.zone);
    FieldRecord record;
    record.SetDateTime(c.date, c.time, c.period);
    EXPECT_EQ(Render(record, kTimeParts), c.parts)
        << c.zone << " " << c.date << " " << c.time << " " << c.period;
  }
}

TEST(SetDateTime, WrongLengthsRaiseAndKeepTheParts) {
  platform::SetTimeZoneForTesting("UTC0");
  FieldRecord record;
  record.SetDateTime("261208", "143005", 0);
  const std::string_view wrong[][2] = {
      {"07121", "143005"},
      {"261208", "1430"},
      {"2612080", "143005"},
      {"", ""},
      {"2612\0"
       "08"sv,
       "143005"},
  };
  for (const auto& [date, time] : wrong) {
    try {
      record.SetDateTime(date, time, 0);
      ADD_FAILURE() << "no error for " << date << " " << time;
    } catch (const ExtFormatError& error) {
      EXPECT_STREQ(error.what(), "f[ExtFormat] t[DateAndTime has wrong format]");
    }
    EXPECT_EQ(Render(record, kTimeParts), "2026 26 12 08 14 30 05");
  }
}

TEST(SetDateTime, PartsEqualStrftime) {
  platform::SetTimeZoneForTesting("XXX-2");
  FieldRecord record;
  // A walk over the century that varies every part.
  for (int step = 0; step < 1200; ++step) {
    std::tm parts{};
    parts.tm_year = 100 + step % 100;
    parts.tm_mon = step % 12;
    parts.tm_mday = 1 + step % 28;
    parts.tm_hour = step % 24;
    parts.tm_min = step % 60;
    parts.tm_sec = step * 7 % 60;
    char date[7], time[7], expected[32];
    std::strftime(date, sizeof date, "%y%m%d", &parts);
    std::strftime(time, sizeof time, "%H%M%S", &parts);
    std::strftime(expected, sizeof expected, "%Y %y %m %d %H %M %S", &parts);
    record.SetDateTime(date, time, 0);
    ASSERT_EQ(Render(record, kTimeParts), expected) << date << " " << time;
  }
}

}  // namespace
}  // namespace zelk::extformat
