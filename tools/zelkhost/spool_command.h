// `zelkhost spool`: what waits in the spool folder of a configuration, and a
// delivery of it on request.
#ifndef ZELK_TOOLS_ZELKHOST_SPOOL_COMMAND_H_
#define ZELK_TOOLS_ZELKHOST_SPOOL_COMMAND_H_

#include <ostream>
#include <string>

namespace zelk::host {

// Lists the targets with waiting lines of the SpoolFolder that the
// configuration file at `config_path` names (count, oldest, newest); with
// `deliver`, first tries every one of them, writing to the configuration's
// trace log as the service does. Exit status: 0 when nothing waits (after the
// delivery), 1 when lines still wait, 2 when there is no spool folder to read.
int SpoolCommand(const std::string& config_path, bool deliver, std::ostream& out);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_SPOOL_COMMAND_H_
