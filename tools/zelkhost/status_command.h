// `zelkhost status`: the status files of the service's host processes and the
// spool, for people and for monitoring, with a monitoring plugin's exit
// status.
#ifndef ZELK_TOOLS_ZELKHOST_STATUS_COMMAND_H_
#define ZELK_TOOLS_ZELKHOST_STATUS_COMMAND_H_

#include <ostream>
#include <string>

#include "exit_status.h"

namespace zelk::host {

inline constexpr int kDefaultWindowMinutes = 60;

// Reads every status file of the library `library_file` (its name without
// folder) in the StatusFolder the configuration at `config_path` names (or
// the folder the environment variable names instead, as the service does),
// and the configuration's spool folder, and prints per process and section
// what happened, as text or (`json`) one JSON document. Judged over the last
// `window_minutes`:
//   2 CRITICAL: a section's last lost line lies within the window and no line
//     of that section was written after it, or a spooled line is older than
//     the window;
//   1 WARNING: lines wait in the spool, or a section lost a line within the
//     window and has written lines since;
//   3 UNKNOWN: no StatusFolder, no status file, or one that cannot be read;
//   0 OK otherwise.
int StatusCommand(const std::string& config_path, const std::string& library_file, bool json,
                  int window_minutes, std::ostream& out);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_STATUS_COMMAND_H_
