// Cutting a text file in place to its last N lines.
#ifndef ZELK_TRACELOG_TRIM_H_
#define ZELK_TRACELOG_TRIM_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace zelk::tracelog {

// Cuts the file at `path` to its last `max_lines` lines (compared as unsigned
// 32-bit numbers, so a negative count never cuts, and the file is not even
// opened), each then ending in CR LF.
// Opens the file exclusively and never creates it; a file that cannot be had
// (missing, busy, no access, empty path) is left alone. Reports nothing.
void TrimToLastLines(const std::string& path, std::int32_t max_lines);

// What stays at the start of a file beyond its last lines, uncounted: a
// target's UTF-8 byte order mark and its header line.
struct TrimHead {
  bool byte_order_mark = false;  // the file's first three bytes, when they are one
  bool first_line = false;       // the first line (after a byte order mark)
};

// How a cut reaches the disk. kCached: as every write, when the system gets
// to it, so a power cut may lose a cut the process finished, or leave one
// half done (a kill never does, see trim.cpp). kDurable: the file is flushed
// to the disk before each step that overwrites or cuts away bytes the
// newest lines may still need, and after the last, so a power cut leaves the
// newest lines whole as a kill does, and the cut is on the disk on return.
enum class Durability { kCached, kDurable };

// The same, keeping `head` in front of the last `max_lines` lines.
void TrimToLastLines(const std::string& path, std::int32_t max_lines, const TrimHead& head,
                     Durability durability = Durability::kCached);

// The same cut, of a file the caller already holds through OpenExclusive and
// keeps holding: `size` is its size now (what the open told, plus what the
// caller appended since). Spares a writer that appends and then trims in one
// turn a second open; the file is left open and its position unspecified.
void TrimHeldToLastLines(platform::File& file, std::int64_t size, std::int32_t max_lines,
                         const TrimHead& head = TrimHead(),
                         Durability durability = Durability::kCached);

// The file is searched for its cut backwards from the end in pieces of this
// many bytes, so a trim reads about as much as it keeps. Exposed for tests that
// put line ends on the piece boundaries.
inline constexpr std::size_t kTrimReadChunk = std::size_t{64} * 1024;

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_TRIM_H_
