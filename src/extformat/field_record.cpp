#include "extformat/field_record.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace zelk::extformat {
namespace {

constexpr char kWrongDateTimeMessage[] = "f[ExtFormat] t[DateAndTime has wrong format]";
constexpr std::size_t kOrdinalLength = 2;
constexpr std::size_t kDateTimeLength = 6;  // YYMMDD and HHMMSS
constexpr int kCentury = 2000;              // the year pair counts from here, without a window
constexpr int kTmYearBase = 1900;
// The time parts in the order they are set: year, year in century, month,
// day, hour, minute, second.
constexpr std::string_view kTimePartOrdinals[] = {"10", "11", "12", "13", "14", "15", "16"};

std::string_view CText(std::string_view text) { return text.substr(0, text.find('\0')); }

// The two characters at text[at] read as atoi reads them: white space, an
// optional sign, digits up to the first other character; no digits give 0.
int ReadPair(std::string_view text, std::size_t at) {
  return platform::ReadAtoi(text.substr(at, 2)).value;
}

// `instant` rounded down to a multiple of `period` seconds since the epoch.
// The rule is defined on unsigned 32-bit instants, where it is the plain
// instant - instant % period. Outside [0, 2^32) (before 1970, after 2106) the
// same floor is taken in 64 bits, so the rule has no seam; nullopt only where
// that floor would leave the 64-bit range.
std::optional<std::int64_t> RoundDown(std::int64_t instant, std::uint32_t period) {
  if (period == 0) return instant;
  if (instant >= 0 && instant <= std::numeric_limits<std::uint32_t>::max()) {
    const auto narrow = static_cast<std::uint32_t>(instant);
    return narrow - narrow % period;
  }
  std::int64_t remainder = instant % static_cast<std::int64_t>(period);
  if (remainder < 0) remainder += period;
  if (instant < std::numeric_limits<std::int64_t>::min() + remainder) return std::nullopt;
  return instant - remainder;
}

// A time part's text: `value` in decimal with at least `digits` digits, as
// strftime writes a non-negative field. Small enough for any int.
struct TimePart {
  char digits[std::numeric_limits<int>::digits10 + 3];
  std::size_t length = 0;
  std::string_view text() const { return std::string_view(digits, length); }
};

TimePart Decimal(int value, std::size_t digits) {
  TimePart part;
  char* const end = std::to_chars(part.digits, std::end(part.digits), value).ptr;
  part.length = static_cast<std::size_t>(end - part.digits);
  if (value >= 0 && part.length < digits) {
    // Shift right and fill with leading zeros.
    const std::size_t zeros = digits - part.length;
    std::memmove(part.digits + zeros, part.digits, part.length);
    std::memset(part.digits, '0', zeros);
    part.length = digits;
  }
  return part;
}

bool SameOrdinal(const std::array<char, 2>& a, char first, char second) {
  return a[0] == first && a[1] == second;
}

// The instant of a YYMMDD date and an HHMMSS time in local time; nullopt when
// it cannot be converted.
std::optional<std::int64_t> LocalInstant(std::string_view date, std::string_view time) {
  std::tm parts{};
  parts.tm_year = kCentury - kTmYearBase + ReadPair(date, 0);
  parts.tm_mon = ReadPair(date, 2) - 1;
  parts.tm_mday = ReadPair(date, 4);
  parts.tm_hour = ReadPair(time, 0);
  parts.tm_min = ReadPair(time, 2);
  parts.tm_sec = ReadPair(time, 4);
  parts.tm_isdst = -1;  // the platform decides whether daylight saving time applies
  return platform::InstantOfLocal(parts);
}

// `instant` rounded down to the period, as local calendar time; nullopt when it
// cannot be converted.
std::optional<std::tm> LocalMoment(std::optional<std::int64_t> instant, std::uint32_t period) {
  if (!instant) return std::nullopt;
  const std::optional<std::int64_t> rounded = RoundDown(*instant, period);
  if (!rounded) return std::nullopt;
  return platform::LocalTimeOf(*rounded);
}

}  // namespace

std::optional<std::int64_t> FieldRecord::InstantOf(std::string_view date, std::string_view time) {
  if (!last_moment_ || last_moment_->date != date || last_moment_->time != time) {
    last_moment_ = ConvertedMoment{std::string(date), std::string(time), LocalInstant(date, time)};
  }
  return last_moment_->instant;
}

void FieldRecord::Replace(std::string_view ordinal, Entry entry) {
  ordinal = CText(ordinal);
  if (ordinal.size() != kOrdinalLength) return;
  entry.ordinal = {ordinal[0], ordinal[1]};
  // Ordinals are unique, so at most one entry is overwritten. Overwriting it
  // where it stands keeps the order TimePartsStandAt relies on and spares
  // shifting the entries behind it, which the time parts (set twice a section)
  // would pay.
  for (Entry& old : entries_) {
    if (SameOrdinal(old.ordinal, entry.ordinal[0], entry.ordinal[1])) {
      old = std::move(entry);
      return;
    }
  }
  entries_.push_back(std::move(entry));
}

const FieldRecord::Entry* FieldRecord::Find(std::string_view ordinal) const {
  if (ordinal.size() != kOrdinalLength) return nullptr;
  for (const Entry& entry : entries_) {
    if (SameOrdinal(entry.ordinal, ordinal[0], ordinal[1])) return &entry;
  }
  return nullptr;
}

void FieldRecord::SetInteger(std::string_view ordinal, std::int32_t value) {
  Entry entry;
  entry.kind = kInteger;
  entry.integer = value;
  Replace(ordinal, std::move(entry));
}

void FieldRecord::SetText(std::string_view ordinal, std::string_view value) {
  Entry entry;
  entry.kind = kText;
  entry.text = CText(value);
  Replace(ordinal, std::move(entry));
}

void FieldRecord::SetText(std::string_view ordinal, const char* value) {
  SetText(ordinal, value == nullptr ? std::string_view() : std::string_view(value));
}

void FieldRecord::SetReal(std::string_view ordinal, double value) {
  Entry entry;
  entry.kind = kReal;
  entry.real = value;
  Replace(ordinal, std::move(entry));
}

void FieldRecord::SetLineBreak(std::string_view ordinal) {
  Entry entry;
  entry.kind = kText;
  entry.text = "\n";
  entry.line_break = true;
  Replace(ordinal, std::move(entry));
}

void FieldRecord::SetDateTime(std::string_view date, std::string_view time,
                              std::uint32_t rotation_period) {
  date = CText(date);
  time = CText(time);
  if (date.size() != kDateTimeLength || time.size() != kDateTimeLength) {
    throw ExtFormatError(kWrongDateTimeMessage);
  }
  const std::optional<std::tm> moment = LocalMoment(InstantOf(date, time), rotation_period);
  TimePart parts[std::size(kTimePartOrdinals)];
  if (moment) {
    const int year = moment->tm_year + kTmYearBase;
    parts[0] = Decimal(year, 1);  // glibc pads no year, not even one before 1000
    parts[1] = Decimal((year % 100 + 100) % 100, 2);
    parts[2] = Decimal(moment->tm_mon + 1, 2);
    parts[3] = Decimal(moment->tm_mday, 2);
    parts[4] = Decimal(moment->tm_hour, 2);
    parts[5] = Decimal(moment->tm_min, 2);
    parts[6] = Decimal(moment->tm_sec, 2);
  }
  // The pipeline sets the time parts twice per section; the second time they
  // stand side by side where the first time put them, and each text is
  // overwritten in the room it already has.
  if (TimePartsStandAt(time_parts_at_)) {
    for (std::size_t i = 0; i < std::size(kTimePartOrdinals); ++i) {
      entries_[time_parts_at_ + i].text.assign(parts[i].text());
    }
    return;
  }
  for (std::size_t i = 0; i < std::size(kTimePartOrdinals); ++i) {
    SetText(kTimePartOrdinals[i], parts[i].text());
  }
  const std::size_t count = std::size(kTimePartOrdinals);
  if (entries_.size() >= count) time_parts_at_ = entries_.size() - count;
}

bool FieldRecord::TimePartsStandAt(std::size_t at) const {
  if (at + std::size(kTimePartOrdinals) > entries_.size()) return false;
  for (std::size_t i = 0; i < std::size(kTimePartOrdinals); ++i) {
    const Entry& entry = entries_[at + i];
    if (entry.kind != kText || entry.line_break ||
        !SameOrdinal(entry.ordinal, kTimePartOrdinals[i][0], kTimePartOrdinals[i][1])) {
      return false;
    }
  }
  return true;
}

}  // namespace zelk::extformat
