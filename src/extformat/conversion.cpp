#include "extformat/conversion.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

#include "platform/ascii.h"

namespace zelk::extformat::internal {
namespace {

constexpr std::size_t kDefaultRealPrecision = 6;
// Every double is a multiple of 2^-1074, so its exact decimal expansion has at
// most 1074 fraction digits: a longer precision only adds zeros.
constexpr std::size_t kExactFractionDigits = 1074;
// Sign, the 309 integer digits of the largest double, point, fraction.
constexpr std::size_t kRealBufferSize =
    1 + (std::numeric_limits<double>::max_exponent10 + 1) + 1 + kExactFractionDigits;

// Reads the decimal digits at modifiers[pos] onwards into `value` (0 when
// there are none) and moves `pos` past them. False when the number exceeds
// kMaxWidthOrPrecision; checking digit by digit keeps it from overflowing.
bool ReadNumber(std::string_view modifiers, std::size_t& pos, std::size_t& value) {
  value = 0;
  for (; pos < modifiers.size() && platform::IsAsciiDigit(modifiers[pos]); ++pos) {
    value = value * 10 + static_cast<std::size_t>(modifiers[pos] - '0');
    if (value > kMaxWidthOrPrecision) return false;
  }
  return true;
}

// One rendered value in the order printf writes it, before padding.
struct Pieces {
  std::string_view sign;
  std::size_t leading_zeros = 0;  // up to an integer's precision
  std::string_view body;
  std::size_t trailing_zeros = 0;  // fraction digits beyond a double's exact expansion
};

// Appends `pieces` padded to the width: with spaces on the right when
// left-aligned, otherwise with zeros after the sign when `pad_with_zeros`, or
// with spaces on the left.
void AppendPadded(std::string& out, const Conversion& conversion, bool pad_with_zeros,
                  const Pieces& pieces) {
  const std::size_t length =
      pieces.sign.size() + pieces.leading_zeros + pieces.body.size() + pieces.trailing_zeros;
  const std::size_t padding = conversion.width > length ? conversion.width - length : 0;
  std::size_t zeros = pieces.leading_zeros;
  if (!conversion.left_align) {
    if (pad_with_zeros) {
      zeros += padding;
    } else {
      out.append(padding, ' ');
    }
  }
  out += pieces.sign;
  out.append(zeros, '0');
  out += pieces.body;
  out.append(pieces.trailing_zeros, '0');
  if (conversion.left_align) out.append(padding, ' ');
}

}  // namespace

bool ParseConversion(std::string_view modifiers, Conversion& conversion) {
  // Member by member: assigning a whole Conversion() goes through a temporary
  // on the stack whose load stalls on the store just made.
  conversion.left_align = false;
  conversion.zero_pad = false;
  conversion.precision.reset();
  std::size_t pos = 0;
  for (; pos < modifiers.size() && (modifiers[pos] == '-' || modifiers[pos] == '0'); ++pos) {
    (modifiers[pos] == '-' ? conversion.left_align : conversion.zero_pad) = true;
  }
  if (!ReadNumber(modifiers, pos, conversion.width)) return false;
  if (pos < modifiers.size() && modifiers[pos] == '.') {
    std::size_t precision = 0;
    if (!ReadNumber(modifiers, ++pos, precision)) return false;
    conversion.precision = precision;
  }
  return pos == modifiers.size();
}

void AppendInteger(std::string& out, const Conversion& conversion, std::int32_t value) {
  // The magnitude in unsigned arithmetic, where INT32_MIN has one too.
  const std::uint32_t magnitude =
      value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  char digits[std::numeric_limits<std::uint32_t>::digits10 + 1];
  std::size_t count = 0;
  // printf prints no digits at all for 0 under a precision of 0.
  if (magnitude != 0 || conversion.precision != std::size_t{0}) {
    count =
        static_cast<std::size_t>(std::to_chars(digits, std::end(digits), magnitude).ptr - digits);
  }
  const std::size_t precision = conversion.precision.value_or(0);
  Pieces pieces;
  pieces.sign = value < 0 ? "-" : "";
  pieces.leading_zeros = precision > count ? precision - count : 0;
  pieces.body = std::string_view(digits, count);
  // A precision already says how many zeros there are, so "0" is ignored.
  AppendPadded(out, conversion, conversion.zero_pad && !conversion.precision, pieces);
}

void AppendText(std::string& out, const Conversion& conversion, std::string_view value) {
  Pieces pieces;
  pieces.body = value.substr(0, conversion.precision.value_or(value.size()));
  // The C standard leaves "0" on a text undefined; glibc pads with spaces.
  AppendPadded(out, conversion, false, pieces);
}

void AppendReal(std::string& out, const Conversion& conversion, double value) {
  Pieces pieces;
  if (!std::isfinite(value)) {
    // glibc writes the sign bit as "-", ignores the precision and pads with
    // spaces even under "0".
    pieces.sign = std::signbit(value) ? "-" : "";
    pieces.body = std::isnan(value) ? "nan" : "inf";
    AppendPadded(out, conversion, false, pieces);
    return;
  }
  const std::size_t precision = conversion.precision.value_or(kDefaultRealPrecision);
  const std::size_t exact = std::min(precision, kExactFractionDigits);
  char buffer[kRealBufferSize];
  // Fixed notation with a precision rounds the exact binary value to nearest,
  // ties to even, as glibc does; the buffer holds the longest such text.
  const char* end = std::to_chars(buffer, std::end(buffer), value, std::chars_format::fixed,
                                  static_cast<int>(exact))
                        .ptr;
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  if (!text.empty() && text.front() == '-') {
    pieces.sign = "-";
    text.remove_prefix(1);
  }
  pieces.body = text;
  pieces.trailing_zeros = precision - exact;
  AppendPadded(out, conversion, conversion.zero_pad, pieces);
}

}  // namespace zelk::extformat::internal
