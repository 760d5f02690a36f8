// What `zelkhost run` tells at its end: what the service did with the
// transactions, as the service counted it in a status file of the run's own
// (so the counts hold whatever the trace log's MaxLines), with the first lines
// not written in full as the trace log still holds them.
#ifndef ZELK_TOOLS_ZELKHOST_RUN_SUMMARY_H_
#define ZELK_TOOLS_ZELKHOST_RUN_SUMMARY_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::host {

// A status folder for one run: made empty in the system's temporary folder
// and named to the service through ZELKFORWARD_STATUS_FOLDER before it
// starts; removed, and the variable put back, at the end.
class RunStatusFolder {
 public:
  RunStatusFolder();
  ~RunStatusFolder();
  RunStatusFolder(const RunStatusFolder&) = delete;
  RunStatusFolder& operator=(const RunStatusFolder&) = delete;

  // The status file the service of this process keeps for `library_path`;
  // empty when the folder could not be made.
  std::string StatusFileFor(const std::string& library_path) const;

 private:
  std::string folder_;
  std::optional<std::string> variable_before_;
};

// The service's counts for the run, as the status file holds them.
struct RunCounts {
  std::int64_t written = 0;
  std::int64_t not_written = 0;
  std::int64_t format_errors = 0;
  std::int64_t spooled = 0;
  std::int64_t delivered = 0;
  std::int64_t received = 0;
  std::int64_t not_enabled = 0;
  std::int64_t zero = 0;
  std::int64_t not_valid = 0;

  std::int64_t lost() const { return not_written + format_errors; }
  std::int64_t dropped() const { return not_enabled + zero + not_valid; }
  // A line lost, or transactions came and every one was dropped.
  bool Failed() const { return lost() > 0 || (received > 0 && dropped() == received); }
};

// The counts of a status file's text; nullopt when it is no status document.
std::optional<RunCounts> CountsOfStatus(std::string_view status_text);

// The first section lines not written (not SUCCESS, not SPOOLED), whole, in
// `log` (a trace log's text) after the last loaded banner of the library
// whose file is named `library_file` (in any letter case).
std::vector<std::string> FirstLinesNotWritten(std::string_view log, std::string_view library_file);

// Prints the counts, by message, and the first lines not written.
void PrintRunSummary(const RunCounts& counts, const std::vector<std::string>& first_failures,
                     std::ostream& out);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_RUN_SUMMARY_H_
