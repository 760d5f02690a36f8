// What zelkhost check says about the sections together, and about the job
// lists as the service reads them: sections a job number never reaches, two
// writers of one file, a rotation that does not fit its target's name, a spool
// folder that goes away with a target's folder, job-list layouts that extract
// nothing, log keys that do otherwise than they seem to.
#ifndef ZELK_TOOLS_ZELKHOST_SECTION_CHECKS_H_
#define ZELK_TOOLS_ZELKHOST_SECTION_CHECKS_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/config.h"
#include "forwarding/pipeline.h"
#include "value_checks.h"

namespace zelk::host {

// A transaction for showing what a section renders, with texts of its own.
struct SampleTransaction {
  explicit SampleTransaction(std::string job_number);
  forwarding::Transaction transaction() const;
  std::string job_no;
  std::string date;  // now, as YYMMDD and HHMMSS
  std::string time;
};

// A job number that reaches output section `n` by the pipeline's own filter
// and drop rules; nothing when none does.
std::optional<std::string> JobNumberReaching(const config::Snapshot& snapshot, int n);

// Findings about the output sections together, the spool folder and the
// trace log: every class names its line and a cure.
std::vector<Finding> SectionFindings(const config::Snapshot& snapshot,
                                     const config::Snapshot::Outline& outline,
                                     const std::string& config_path);

// Findings about job list `n`, read through the service's own layout code,
// with what the layout extracts from the first entries shown in `overview`.
std::vector<Finding> JobListFindings(const config::Snapshot& snapshot,
                                     const config::Snapshot::Outline& outline, int n,
                                     std::ostream& overview);

// Findings about the job lists as a whole, when Validation is on: prefixes no
// list can admit.
std::vector<Finding> ValidationFindings(const config::Snapshot& snapshot,
                                        const config::Snapshot::Outline& outline);

// Findings about [Log]: a MaxLines of 0, Flags naming "." or "*".
std::vector<Finding> LogFindings(const config::Snapshot& snapshot,
                                 const config::Snapshot::Outline& outline);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_SECTION_CHECKS_H_
