#include "spool_command.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include "config/config.h"
#include "config/settings.h"
#include "exit_status.h"
#include "forwarding/spool.h"
#include "forwarding/spool_folders.h"
#include "forwarding/spool_targets.h"
#include "platform/platform.h"
#include "tracelog/line_shape.h"
#include "tracelog/trace_log.h"

namespace zelk::host {

namespace {

// Logged for every target a delivery on request could not reach, beside the
// DELIVERED lines the delivery itself logs, so the trace log tells of it as
// of the worker's.
constexpr char kNotDeliveredMessage[] =
    "ForwardTransaction spool[%s] file[%s] -- t[Not delivered: %s] lines[%d]";
constexpr char kFolderMissingCause[] = "target folder missing";
constexpr char kHeldCause[] = "file held by another program";
constexpr char kRefusedNote[] =
    "refused: no section of the configuration writes this target (planted, or its section was"
    " removed)";
constexpr char kNotWritableCause[] = "could not be written (no space, or no right to write)";

// Why lines for `target` could not be appended just now, as far as a look
// at it tells.
const char* WhyNotDelivered(const std::string& target) {
  const std::size_t slash = target.find_last_of("/\\");
  if (slash != std::string::npos && slash > 0 && !platform::IsFolder(target.substr(0, slash))) {
    return kFolderMissingCause;
  }
  const platform::OpenResult opened =
      platform::OpenExclusive(target, platform::CreateMode::kOpenExisting);
  return opened.status == platform::OpenStatus::kBusy ? kHeldCause : kNotWritableCause;
}

// Says, on `out` and in the trace log, why each target still waiting was not
// delivered.
void ReportWhatStillWaits(const std::string& folder, std::ostream& out) {
  const auto waiting = forwarding::spool::ListWaiting(folder);
  if (!waiting) return;
  for (const forwarding::spool::WaitingTarget& target : *waiting) {
    if (target.in_use || target.lines == 0) continue;
    const char* cause = WhyNotDelivered(target.target);
    out << "  not delivered: " << target.target << ": " << cause << "\n";
    tracelog::LogMessage(tracelog::kError, kNotDeliveredMessage, target.spool_file.c_str(),
                         target.target.c_str(), cause, target.lines);
  }
}

// What one listing found.
struct Listed {
  int lines = 0;
  bool in_use = false;
};

// Prints what waits in `waiting`, each target marked when no section of
// the configuration writes it (a delivery refuses it), and adds it up.
void PrintWaiting(const std::vector<forwarding::spool::WaitingTarget>& waiting,
                  const forwarding::spool::ConfiguredTargets& configured, std::ostream& out,
                  Listed& listed) {
  for (const forwarding::spool::WaitingTarget& target : waiting) {
    if (target.in_use) {
      // Its holder is keeping or delivering lines just now.
      listed.in_use = true;
      out << "  in use just now, not read\n    " << target.spool_file << "\n";
      continue;
    }
    listed.lines += target.lines;
    out << "  " << target.target << ": " << target.lines << " line(s), oldest "
        << tracelog::StampOf(target.oldest) << ", newest " << tracelog::StampOf(target.newest);
    if (target.damaged_bytes > 0) out << ", " << target.damaged_bytes << " damaged byte(s)";
    if (!configured.Admits(target.target)) out << ", " << kRefusedNote;
    out << "\n    " << target.spool_file << "\n";
  }
  if (waiting.empty()) out << "  nothing waits\n";
}

}  // namespace

int SpoolCommand(const std::string& config_path, bool deliver, std::ostream& out) {
  const config::Snapshot snapshot = config::Snapshot::Load(config_path);
  const std::string folder = config::Read(snapshot, config::kSpoolFolder);
  if (folder.empty()) {
    out << "No spool: SpoolFolder is not set in " << config_path << "\n";
    return kExitCannotStart;
  }
  const std::string record = forwarding::spool::FolderRecordOf(config_path);
  if (deliver) {
    // Delivered here and now; no worker of this process retries afterwards.
    forwarding::spool::StopDelivery(std::chrono::milliseconds(0));
    tracelog::OpenTraceLog(config_path);
    forwarding::spool::KnowTargets(snapshot);
    forwarding::spool::RecordFoldersBeside(config_path);
    const forwarding::spool::DeliveryCount count = forwarding::spool::DeliverAll(folder);
    out << "Delivered " << count.lines_delivered << " line(s) to " << count.targets_delivered
        << " target(s).\n";
    if (count.targets_waiting > 0) {
      for (const std::string& old : forwarding::spool::FoldersUsedBefore(record, folder)) {
        ReportWhatStillWaits(old, out);
      }
      ReportWhatStillWaits(folder, out);
    }
  }
  const auto waiting = forwarding::spool::ListWaiting(folder);
  if (!waiting) {
    out << "The spool folder " << folder << " cannot be read.\n";
    return kExitCannotStart;
  }
  const auto configured = forwarding::spool::ConfiguredTargets::Of(snapshot);
  Listed listed;
  // Folders SpoolFolder named before, whose lines go first.
  for (const std::string& old : forwarding::spool::FoldersUsedBefore(record, folder)) {
    const auto old_waiting = forwarding::spool::ListWaiting(old);
    if (!old_waiting || old_waiting->empty()) continue;
    out << "Spool folder used before (delivered first): " << old << "\n";
    PrintWaiting(*old_waiting, configured, out, listed);
  }
  out << "Spool folder: " << folder << "\n";
  PrintWaiting(*waiting, configured, out, listed);
  return listed.lines == 0 && !listed.in_use ? kExitOk : kExitFailed;
}

}  // namespace zelk::host
