// What `zelkhost run` tells at its end: what the service did with the
// transactions, read from the trace-log lines of this run.
#ifndef ZELK_TOOLS_ZELKHOST_RUN_SUMMARY_H_
#define ZELK_TOOLS_ZELKHOST_RUN_SUMMARY_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::host {

// What became of a line or a transaction, by the trace-log message that says so.
enum class Outcome { kWritten, kNotWritten, kDropped, kSpooled };

struct MessageCount {
  std::string_view message;  // as the summary names it
  Outcome outcome;
  std::size_t count = 0;
};

struct RunSummary {
  // Whether the run's loaded banner was found; false when the log was cut
  // during the run and the counts cover only the lines it still holds.
  bool start_found = false;
  std::vector<MessageCount> messages;       // every message of the table, in its order
  std::vector<std::string> first_failures;  // the first lines not written, whole

  std::size_t Count(Outcome outcome) const;
};

// Counts the forwarding outcomes in `log` (a trace log's text) from the last
// loaded banner of the library whose file is named `library_file` (in any
// letter case; the folder is not compared, as a host may name it otherwise).
RunSummary SummarizeRun(std::string_view log, std::string_view library_file);

// Prints `summary` of the trace log `log_file`.
void PrintRunSummary(const RunSummary& summary, const std::string& log_file, std::ostream& out);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_RUN_SUMMARY_H_
