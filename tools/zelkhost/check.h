// `zelkhost check`: reads the configuration file beside a service library the
// way the service reads it and reports what a transaction would meet.
#ifndef ZELK_TOOLS_ZELKHOST_CHECK_H_
#define ZELK_TOOLS_ZELKHOST_CHECK_H_

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

// Reports on the configuration file at `config_path`, section by section in
// the order the service reads them, into `out`.
CheckResult CheckConfiguration(const std::string& config_path, std::ostream& out);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_CHECK_H_
