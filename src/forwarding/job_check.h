// The job-number check: a job number against the job lists of section
// ValidJob, each consulted as its filter and layout say, with the outcome in
// the trace log.
#ifndef ZELK_FORWARDING_JOB_CHECK_H_
#define ZELK_FORWARDING_JOB_CHECK_H_

#include <string_view>

#include "config/config.h"

namespace zelk::forwarding {

// The check against the sources of `snapshot`: 1 valid, 0 not. Writes its
// outcome to the trace log.
int CheckJobno(std::string_view jobno, const config::Snapshot& snapshot);

// The same against the configuration file as it is now.
int CheckJobno(std::string_view jobno);

// The answer for a job number no list is consulted for (the host passed none):
// logs it as not valid and returns 0.
int ReportNotValid(std::string_view jobno);

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_JOB_CHECK_H_
