// The spool: lines that could not be appended to their target (the target's
// folder missing, the file held by another program longer than the wait, a
// full disk) are kept in a folder of the service's own and appended to the
// target, in their order, once it can be written again.
//
// One spool file per target, named by a hash of the target's absolute name:
//
//   zelkforward spool 1 <absolute target name> CR LF
//   line <seconds since 1970> <MaxLines> <length> #<check> CR LF <the line's bytes>
//   line <seconds> <MaxLines> <length> <head> <header length> #<check> CR LF <header><line>
//   sent <target offset> <length> <sum> #<check> CR LF
//
// A "line" item holds one line exactly as it goes to the target (CR LF line
// ends included), in the longer form with its section's head (spool_file.h).
// A "sent" item says that every line before it that was not
// yet settled is being appended to the target at that offset: written before
// the append, under the target's and the spool file's exclusive locks, it lets
// a delivery that was cut short be told from one that completed. Each item's
// check (FNV-1a over its fields and bytes) tells a whole item from a torn one.
// A spool file holding nothing undelivered is removed.
#ifndef ZELK_FORWARDING_SPOOL_H_
#define ZELK_FORWARDING_SPOOL_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "forwarding/spool_file.h"

namespace zelk::forwarding::spool {

// True when this process knows of lines waiting in `folder`, or in a spool
// folder used before it, for `target`, so a new line for it must go behind
// them. Costs no system call while nothing
// waits (learning a folder it has not seen before lists it once).
bool HasWaitingLines(const std::string& folder, const std::string& target);

// Keeps `bytes` (one line as it goes to disk) for `target` in `folder`, with
// the section's `max_lines` and `head` (what its delivery to a target holding
// no lines puts first, and what its trim keeps). Never waits for a delivery or a reader: while
// the target's spool file is held, the line goes to the target's next spool
// file, which is delivered after it; the one wait is a moment for another
// keeper. False when the spool could not be written: nothing of the line is
// then left in the spool.
bool Keep(const std::string& folder, const std::string& target, std::int32_t max_lines,
          std::string_view bytes, const LineHead& head = LineHead());

// Where the record of the spool folders used lies: beside the configuration
// file at `config_path` (spool_folders.h). Without a call, beside
// config::ConfigFilePath(), the service's own configuration; zelkhost and
// the tests name theirs.
void RecordFoldersBeside(const std::string& config_path);

// Learns from `configuration` which targets its sections may render: every
// delivery from then on (the worker's too) appends only to those, and
// refuses a spool file naming any other, reporting it and leaving it where
// it is. The service calls it with the configuration of every line it
// keeps or delivers and at its start; until then nothing is delivered.
void KnowTargets(const config::Snapshot& configuration);

// The lines this process knows to wait for `target`: those it kept, or more
// when a delivery counted more.
int WaitingLines(const std::string& target);

// Tries to deliver the lines waiting in `folder` for `target` now, giving up
// at `deadline` before an append; true when none wait for it any more.
bool DeliverTarget(const std::string& folder, const std::string& target,
                   std::chrono::steady_clock::time_point deadline);

// What one walk over the waiting targets achieved.
struct DeliveryCount {
  int lines_delivered = 0;
  int targets_delivered = 0;
  int targets_waiting = 0;  // still waiting after the walk
};

// Learns what waits in `folder` (one listing) and tries every waiting target
// once now, to the targets KnowTargets was told of; the worker then retries
// the rest. For zelkhost's delivery on request and the tests.
DeliveryCount DeliverAll(const std::string& folder);

// Lets the delivery worker start again after StopDelivery.
void ResumeDelivery();

// Tells the delivery worker to end and waits at most `timeout` for it: a
// delivery in progress is finished, the rest is left for the next start.
// True when the worker has ended.
bool StopDelivery(std::chrono::milliseconds timeout);

// For the service's start: lets the worker run again, learns what waits in
// the configuration's SpoolFolder, and has the worker deliver it at once, so
// the start waits for no delivery.
void DeliverAtStart();

// One target with waiting lines, as an administrator sees it.
struct WaitingTarget {
  std::string target;      // the absolute name the lines were rendered for
  std::string spool_file;  // the spool file holding them
  int lines = 0;
  std::int64_t oldest = 0;  // when the first and the last were kept, seconds since 1970
  std::int64_t newest = 0;
  std::int64_t damaged_bytes = 0;  // bytes of torn items that are skipped
  bool in_use = false;             // held by a keeper or deliverer all along: not read, only named
};

// Every spool file of `folder` with what it holds; nullopt when the folder
// cannot be read. A file that a keeper or deliverer holds is waited for a
// moment, then listed as in use; a torn last item (a keeper that died while
// writing it) shows as damaged bytes.
std::optional<std::vector<WaitingTarget>> ListWaiting(const std::string& folder);

}  // namespace zelk::forwarding::spool

#endif  // ZELK_FORWARDING_SPOOL_H_
