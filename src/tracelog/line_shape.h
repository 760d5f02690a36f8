// The shape of a trace-log line, for every program that writes or reads one:
// the local time as "%Y-%m-%d %H:%M:%S", '-', the one-character category, '-',
// the message, CR LF. The service itself writes two categories, information
// and errors (errors include refusals); every other category passes the
// Flags filter.
#ifndef ZELK_TRACELOG_LINE_SHAPE_H_
#define ZELK_TRACELOG_LINE_SHAPE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelk::tracelog {

inline constexpr char kInformation = '.';
inline constexpr char kError = '*';

// Between the stamp and the category, and between the category and the message.
inline constexpr char kSeparator = '-';

// Stands in for the time when the clock cannot be converted; same width.
inline constexpr std::string_view kUnknownTime = "0000-00-00 00:00:00";

// Where the message begins in a line: after the stamp, the category and the
// two separators.
inline constexpr std::size_t kMessageStart = kUnknownTime.size() + 3;

// Appends the local time of `seconds` since the epoch as a line's stamp, or
// kUnknownTime when it cannot be converted or has no four-digit year.
void AppendStamp(std::string& line, std::int64_t seconds);

// The same stamp as a text of its own.
std::string StampOf(std::int64_t seconds);

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_LINE_SHAPE_H_
