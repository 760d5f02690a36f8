// What zelkhost check says about an output section's keys for files other
// programs import: the rendered header, and the settings that would not do
// what they seem to (CsvDelimiter<N>, CsvGuard<N>, Header<N>, Bom<N>,
// KeepFiles<N>).
#ifndef ZELK_TOOLS_ZELKHOST_CSV_CHECKS_H_
#define ZELK_TOOLS_ZELKHOST_CSV_CHECKS_H_

#include <functional>
#include <ostream>
#include <string>

#include "config/config.h"
#include "forwarding/pipeline.h"

namespace zelk::host {

// Where a section's findings go: shown lines to `out`, and each problem or
// warning to its function, which counts it.
struct SectionReport {
  std::ostream& out;
  std::function<void(const std::string&)> problem;
  std::function<void(const std::string&)> warning;
};

// Checks section `n`'s import keys against `sample`, a transaction its
// filter admits: shows the header it renders, and warns of a format that
// wraps fields in quotes of its own under CsvDelimiter<N>, of KeepFiles<N>
// on a target without time parts in its file name or with time parts in a
// folder name, and of Bom<N> on a target that holds lines without a mark.
void CheckImportKeys(const config::Snapshot& snapshot, int n, const forwarding::Transaction& sample,
                     bool prefix_filtered, SectionReport report);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_CSV_CHECKS_H_
