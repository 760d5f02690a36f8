// Job-number validation against the job lists of section ValidJob, at once or
// through the host's callback from a validation worker.
#ifndef ZELK_FORWARDING_JOB_CHECK_H_
#define ZELK_FORWARDING_JOB_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"

namespace zelk::forwarding {

// The host's validation callback: (1 valid / 0 not valid, the job number as the
// host passed it). The text belongs to the service and is gone after the call.
using ValidationCallback = void (*)(std::int32_t result, const char* jobno);

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
// The synchronous check against the sources of `snapshot`: 1 valid, 0 not.
// Writes its outcome to the trace log.
int CheckJobno(std::string_view jobno, const config::Snapshot& snapshot);

// The same against the configuration file as it is now.
int CheckJobno(std::string_view jobno);

// Stores `callback` in the callback slot (null empties it) and returns it.
ValidationCallback SetCallback(ValidationCallback callback);

// What the host's IsJobnoValid does: without a callback, the check's result;
// with one, 0 at once and the result later through the callback, from one of
// a few validation workers (never on the calling thread; a check no worker
// can take is dropped with a log line). A null job
// number is not valid (the callback gets it as the empty text); no list is
// read for it.
std::int32_t IsJobnoValid(const char* jobno);

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_JOB_CHECK_H_
