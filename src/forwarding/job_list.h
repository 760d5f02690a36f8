// Job lists: where a list line keeps its job number (the layout of a source's
// Format%d key), and the search of a list file for one job number.
#ifndef ZELK_FORWARDING_JOB_LIST_H_
#define ZELK_FORWARDING_JOB_LIST_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace zelk::forwarding {

// Where a job list keeps the job number: the 10-character layout of a source's
// Format%d key, "SSSCPPPLLL" (skip count, separator, start position, length).
struct FieldLayout {
  int skip_count = 0;
  char separator = '0';  // the digit "0": the line is not split into fields
  int start = 0;
  int length = 0;  // negative: the extracted field is empty
};

// How long a layout text is, exactly.
inline constexpr std::size_t kFieldLayoutLength = 10;

// The layout of `text`, or nullopt unless it is exactly kFieldLayoutLength
// characters long.
std::optional<FieldLayout> ParseFieldLayout(std::string_view text);

// The job-number field of one list line (without its line end).
std::string_view ExtractJobField(std::string_view line, const FieldLayout& layout);

// Reads the job list at `path` as the check reads it and hands each line,
// without its line end, to `each` until it answers false; false when the list
// cannot be opened. For a checker that shows what a layout extracts.
bool ReadListLines(const std::string& path, const std::function<bool(std::string_view)>& each);

// The number (from 1) of the first line of `list`, read from its current
// position, whose field under `layout` equals `key` (upper-cased; the list's
// letters count in either case); 0 when no line's does. LF and CR LF end a
// line, a lone CR stays in it, Ctrl-Z ends the list, a last line without line
// end counts, and a read error ends the list like its end would (the caller
// tells them apart by the file's LastError). Memory stays
// bounded whatever the list: a line longer than 64 KiB is searched in its
// first 64 KiB.
int FindJobInList(platform::File& list, const FieldLayout& layout, std::string_view key);

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_JOB_LIST_H_
