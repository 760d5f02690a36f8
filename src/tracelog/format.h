// printf-style formatting into a std::string, without a length limit. Used by
// the trace log and the version texts; not part of the room's interface.
#ifndef ZELK_TRACELOG_FORMAT_H_
#define ZELK_TRACELOG_FORMAT_H_

#include <cstdarg>
#include <optional>
#include <string>

#include "tracelog/trace_log.h"  // ZELK_PRINTF_FORMAT

namespace zelk::tracelog {

// The text `format` gives with `args` (a null format gives the empty text);
// nullopt when it cannot be made (no memory, an encoding error). Never throws.
std::optional<std::string> TryFormatText(const char* format, std::va_list args) noexcept;

// As TryFormatText, with the empty text for a failure.
std::string FormatText(const char* format, ...) ZELK_PRINTF_FORMAT(1, 2);

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_FORMAT_H_
