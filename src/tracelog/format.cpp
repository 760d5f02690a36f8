#include "tracelog/format.h"

#include <cstdio>

namespace zelk::tracelog {

std::optional<std::string> TryFormatText(const char* format, std::va_list args) noexcept {
  if (format == nullptr) return std::string();
  try {
    // The first pass measures, the second writes: no fixed buffer, no limit.
    std::va_list measuring;
    va_copy(measuring, args);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length < 0) return std::nullopt;
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
