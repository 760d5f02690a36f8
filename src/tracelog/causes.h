// The system's cause at the end of a trace-log line that reports a failed
// operating-system call, on request: with `Causes` of section Log not 0, such
// a line ends with " cause[TEXT]" after its outcome, TEXT being the system's
// words and code, escaped as job numbers are. With `Causes` 0 or absent every
// line stays as it always was.
#ifndef ZELK_TRACELOG_CAUSES_H_
#define ZELK_TRACELOG_CAUSES_H_

#include <string>

#include "platform/error.h"
#include "tracelog/trace_log.h"

namespace zelk::tracelog {

// Whether failure lines carry their cause from now on; ExecuteService sets it
// from `Causes` with the other Log settings.
void ShowCauses(bool show);

// " cause[TEXT]" for a failed `cause` while causes are shown; empty for a
// success or while they are not.
[[nodiscard]] std::string CauseField(const platform::Status& cause);

// LogMessage for a line that reports the failure `cause`: the message, then
// CauseField(cause).
void LogFailure(const platform::Status& cause, char category, const char* format, ...)
    ZELK_PRINTF_FORMAT(3, 4);

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_CAUSES_H_
