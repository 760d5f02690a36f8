// Putting a target back to its length before an append that failed part
// way, so that no torn piece of a line runs into the next line written. The
// one place that does it, for the pipeline and the spool's delivery alike.
#ifndef ZELK_FORWARDING_CUT_BACK_H_
#define ZELK_FORWARDING_CUT_BACK_H_

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace zelk::forwarding {

// Cuts the held `file`, the target `target`, back to `length` bytes. A cut
// that fails leaves a torn piece in the target, which is then reported in
// the trace log with the file's name and the system's cause, never kept
// silent. False when the cut failed.
bool CutBack(platform::File& file, std::int64_t length, const std::string& target);

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_CUT_BACK_H_
