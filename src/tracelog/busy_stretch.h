// Busy stretches of the files the service writes: a target or the trace log
// that another handle holds costs the host one bounded wait per stretch, not
// one per line.
#ifndef ZELK_TRACELOG_BUSY_STRETCH_H_
#define ZELK_TRACELOG_BUSY_STRETCH_H_

#include <chrono>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace zelk::tracelog {

struct LineOpen {
  platform::OpenResult opened;
  // Not 0: this open found `path` free again after a busy stretch, in which
  // that many lines failed (the one whose wait ran out included).
  int lines_failed_in_stretch = 0;
};

// Opens `path` with `open` (one of the platform's opens) for writing one line.
// Outside a busy stretch, waits for a busy file as OpenWhenFree does, for
// `patience`; when that wait runs out, a stretch begins. Inside one, `open` is
// tried once without waiting: busy, the line fails at once; anything else
// ends the stretch and is the result. The caller serialises the writers of
// one path; opens of different paths may run at once. A few hundred paths at
// most are remembered in a stretch; a busy file beyond them waits per line.
LineOpen OpenForLine(const std::string& path, const std::function<platform::OpenResult()>& open,
                     std::chrono::milliseconds patience);

// The last line OpenForLine counted as failed for `path` was not lost after
// all (it was kept elsewhere, to be written later): it no longer counts, so
// the stretch's closing message counts only lines really lost.
void ForgiveFailure(const std::string& path);

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_BUSY_STRETCH_H_
