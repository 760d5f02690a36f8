// `zelkhost check`: reads the configuration file beside a service library the
// way the service reads it and reports what a transaction would meet.
#ifndef ZELK_TOOLS_ZELKHOST_CHECK_H_
#define ZELK_TOOLS_ZELKHOST_CHECK_H_

#include <ostream>
#include <string>

namespace zelk::host {

// Reports on the configuration file at `config_path`, section by section, into
// `out`. Returns the number of problems found.
int CheckConfiguration(const std::string& config_path, std::ostream& out);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_CHECK_H_
