// `zelkhost check`: reads the configuration file beside a service library the
// way the service reads it and reports what a transaction would meet.
#ifndef ZELK_TOOLS_ZELKHOST_CHECK_H_
#define ZELK_TOOLS_ZELKHOST_CHECK_H_

#include <optional>
#include <ostream>
#include <string>

namespace zelk::host {

// What a check found. Problems make a transaction or a check fail; warnings
// are settings that read otherwise than they look (a key the service never
// reads, a value that is no number, a section written twice, ...).
struct CheckResult {
  int problems = 0;
  int warnings = 0;
};

// How the findings are printed: an overview of what the service would do
// followed by one line per finding, the findings alone (quiet), or one JSON
// document.
enum class CheckOutput { kText, kQuiet, kJson };

struct CheckOptions {
  // The file read: the one beside the library, or a candidate (--config).
  std::string config_path;
  // The file the library reads, when another is checked in its place.
  std::string live_config_path;
  // The library, as loaded: its path, and what it says of itself or why it
  // could not be loaded (then the configuration is not checked).
  std::string library_path;
  std::string library_loads;
  std::optional<std::string> library_problem;
  CheckOutput output = CheckOutput::kText;
};

// Reports on the configuration file at `options.config_path` into `out`: the
// overview in the order the service reads the sections, then every finding as
// "FILE:LINE:COLUMN: problem|warning: TEXT" in the order of the file
// (findings without a line name their file or folder alone).
CheckResult CheckConfiguration(const CheckOptions& options, std::ostream& out);

// The same for a configuration file alone, printed as text.
CheckResult CheckConfiguration(const std::string& config_path, std::ostream& out);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_CHECK_H_
