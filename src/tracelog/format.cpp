#include "tracelog/format.h"

#include <cstdio>

namespace zelk::tracelog {
namespace {

constexpr std::size_t kSmallText = 512;

}  // namespace

std::optional<std::string> TryFormatText(const char* format, std::va_list args) noexcept {
  if (format == nullptr) return std::string();
  try {
    // The first pass writes into a buffer on the stack, which holds the usual
    // message and tells the length of a longer one; only a longer one takes a
    // second pass into a string of its size. No length limit.
    char small[kSmallText];
    std::va_list first;
    va_copy(first, args);
    const int length = std::vsnprintf(small, sizeof small, format, first);
    va_end(first);
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < sizeof small) {
      return std::string(small, static_cast<std::size_t>(length));
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    // vsnprintf ends with a NUL, which lands on the string's own terminator.
    if (std::vsnprintf(text.data(), text.size() + 1, format, args) != length) return std::nullopt;
    return text;
  } catch (...) {
    return std::nullopt;
  }
}

std::string FormatText(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::optional<std::string> text = TryFormatText(format, args);
  va_end(args);
  return text ? std::move(*text) : std::string();
}

}  // namespace zelk::tracelog
