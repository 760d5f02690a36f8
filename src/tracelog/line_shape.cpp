#include "tracelog/line_shape.h"

#include <ctime>
#include <optional>

#include "platform/platform.h"

namespace zelk::tracelog {
namespace {

// Writes `value` (0 to 99) as two digits.
char* TwoDigits(char* at, int value) {
  *at++ = static_cast<char>('0' + value / 10 % 10);
  *at++ = static_cast<char>('0' + value % 10);
  return at;
}

}  // namespace

// Formatted here rather than by strftime, which costs a tenth of a message.
void AppendStamp(std::string& line, std::int64_t seconds) {
  const std::optional<std::tm> parts = platform::LocalTimeOf(seconds);
  const int year = parts ? parts->tm_year + 1900 : 0;
  if (!parts || year < 0 || year > 9999) {
    line.append(kUnknownTime);
    return;
  }
  char stamp[kUnknownTime.size()];
  char* at = TwoDigits(TwoDigits(stamp, year / 100), year % 100);
  *at++ = '-';
  at = TwoDigits(at, parts->tm_mon + 1);
  *at++ = '-';
  at = TwoDigits(at, parts->tm_mday);
  *at++ = ' ';
  at = TwoDigits(at, parts->tm_hour);
  *at++ = ':';
  at = TwoDigits(at, parts->tm_min);
  *at++ = ':';
  at = TwoDigits(at, parts->tm_sec);
  line.append(stamp, static_cast<std::size_t>(at - stamp));
}

std::string StampOf(std::int64_t seconds) {
  std::string stamp;
  AppendStamp(stamp, seconds);
  return stamp;
}

}  // namespace zelk::tracelog
