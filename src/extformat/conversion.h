// The printf conversions of ExtFormat: the modifiers of a field reference
// (flags, width, precision) and the rendering of one value under them. The
// bytes are those glibc's printf gives for "%<modifiers>d", "%<modifiers>s" and
// "%<modifiers>f", made without the C runtime so that every platform and every
// locale gives the same.
#ifndef ZELK_EXTFORMAT_CONVERSION_H_
#define ZELK_EXTFORMAT_CONVERSION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelk::extformat::internal {

// Widths and precisions above this are refused: a larger one is surely a typing
// error in a configuration, and it would make one reference cost megabytes.
inline constexpr std::size_t kMaxWidthOrPrecision = 100000;

struct Conversion {
  bool left_align = false;  // "-"
  bool zero_pad = false;    // "0"
  std::size_t width = 0;
  std::optional<std::size_t> precision;
};

// Reads the conversion written as `modifiers`: "-" and "0" flags in any order
// and number, width digits, then optionally "." and precision digits (none
// meaning 0). False for anything else, such as "5-3" or "5.5.5", and for a
// width or precision above kMaxWidthOrPrecision. An out-parameter, because
// returning an optional here stalled on store forwarding and cost a third of
// the whole rendering.
bool ParseConversion(std::string_view modifiers, Conversion& conversion);

void AppendInteger(std::string& out, const Conversion& conversion, std::int32_t value);
void AppendText(std::string& out, const Conversion& conversion, std::string_view value);
void AppendReal(std::string& out, const Conversion& conversion, double value);

}  // namespace zelk::extformat::internal

#endif  // ZELK_EXTFORMAT_CONVERSION_H_
