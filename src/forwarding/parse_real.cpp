// Reals from the host's texts, as strtod reads them in the C locale, made
// without the C runtime so that every platform and every locale gives the same
// bits. The number's extent is found here, by the grammar strtod follows;
// std::from_chars converts it with correct rounding; what from_chars leaves
// open (a number beyond the range of a double) is settled by its magnitude.
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include "forwarding/pipeline.h"
#include "platform/ascii.h"

namespace zelk::forwarding {
namespace {

// Exponents are counted up to this and no further: beyond it every nonzero
// number is far outside the range of a double either way.
constexpr std::int64_t kExponentCap = 1'000'000'000;

using platform::AsciiLower;
using platform::IsAsciiDigit;

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(text[i]) != prefix[i]) return false;
  }
  return true;
}

// The significand and exponent of a number written in `text` (without sign or
// "0x"): digits, optionally "." and more digits (at least one digit in all),
// then optionally the exponent letter, an optional sign and at least one digit
// (otherwise the letter is not part of the number).
struct Extent {
  std::size_t length = 0;  // 0: no number
  // Where the first nonzero digit stands, in digits from the point: 1 for the
  // units digit, 0 for the first fraction digit, -1 for the next, ...
  std::int64_t first_digit = 0;
  std::int64_t exponent = 0;  // as written, saturated at kExponentCap
};

Extent ScanNumber(std::string_view text, bool (*is_digit)(char), char exponent_letter) {
  Extent extent;
  std::size_t i = 0;
  std::size_t digits = 0;
  std::int64_t integer_digits = 0;  // after leading zeros
  std::int64_t leading_fraction_zeros = 0;
  bool nonzero = false;
  for (; i < text.size() && is_digit(text[i]); ++i, ++digits) {
    nonzero = nonzero || text[i] != '0';
    if (nonzero) ++integer_digits;
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && is_digit(text[i]); ++i, ++digits) {
      if (!nonzero && text[i] == '0') ++leading_fraction_zeros;
      nonzero = nonzero || text[i] != '0';
    }
  }
  if (digits == 0) return extent;
  extent.length = i;
  extent.first_digit = integer_digits > 0 ? integer_digits : -leading_fraction_zeros;
  if (i < text.size() && AsciiLower(text[i]) == exponent_letter) {
    std::size_t j = i + 1;
    const bool negative = j < text.size() && text[j] == '-';
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && IsAsciiDigit(text[j])) {
      std::int64_t exponent = 0;
      for (; j < text.size() && IsAsciiDigit(text[j]); ++j) {
        if (exponent < kExponentCap) exponent = exponent * 10 + (text[j] - '0');
      }
      extent.exponent = negative ? -exponent : exponent;
      extent.length = j;
    }
  }
  return extent;
}

// Converts the number of `extent` at the start of `text`, where a digit is
// worth `digit_weight` units of the exponent (1 for decimal digits and powers
// of ten, 4 for hex digits and powers of two). A number too large for a double
// is an infinity and one too small is zero, as strtod has them; from_chars
// reports both only as out of range, so the number's magnitude tells which.
double Convert(std::string_view text, const Extent& extent, std::chars_format format,
               std::int64_t digit_weight) {
  double value = 0.0;
  const std::from_chars_result result =
      std::from_chars(text.data(), text.data() + extent.length, value, format);
  if (result.ec == std::errc::result_out_of_range) {
    const bool huge = extent.first_digit * digit_weight + extent.exponent > 0;
    return huge ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return result.ec == std::errc() ? value : 0.0;
}

// The magnitude of the number at the start of `text` (after blanks and sign);
// nullopt when it starts with no number at all.
std::optional<double> ReadMagnitude(std::string_view text) {
  if (StartsWithIgnoringCase(text, "inf")) return std::numeric_limits<double>::infinity();
  if (StartsWithIgnoringCase(text, "nan")) return std::numeric_limits<double>::quiet_NaN();
  if (text.size() > 1 && text[0] == '0' && AsciiLower(text[1]) == 'x') {
    const std::string_view hex = text.substr(2);
    const Extent extent = ScanNumber(hex, platform::IsAsciiHexDigit, 'p');
    // "0x" followed by no hex digit is the number 0, the "x" a stray character.
    if (extent.length == 0) return 0.0;
    return Convert(hex, extent, std::chars_format::hex, 4);
  }
  const Extent extent = ScanNumber(text, IsAsciiDigit, 'e');
  if (extent.length == 0) return std::nullopt;
  return Convert(text, extent, std::chars_format::general, 1);
}

}  // namespace

double ParseReal(std::string_view text) {
  while (!text.empty() && platform::IsCSpace(text.front())) text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Text that holds no number is +0, whatever sign stood before it.
  const std::optional<double> magnitude = ReadMagnitude(text);
  if (!magnitude) return 0.0;
  return negative ? -*magnitude : *magnitude;
}

}  // namespace zelk::forwarding
