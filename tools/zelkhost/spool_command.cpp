#include "spool_command.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include "config/config.h"
#include "config/settings.h"
#include "exit_status.h"
#include "forwarding/spool.h"
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

}  // namespace

int SpoolCommand(const std::string& config_path, bool deliver, std::ostream& out) {
  const std::string folder =
      config::Read(config::Snapshot::Load(config_path), config::kSpoolFolder);
  if (folder.empty()) {
    out << "No spool: SpoolFolder is not set in " << config_path << "\n";
    return kExitCannotStart;
  }
  if (deliver) {
    // Delivered here and now; no worker of this process retries afterwards.
    forwarding::spool::StopDelivery(std::chrono::milliseconds(0));
    tracelog::OpenTraceLog(config_path);
    const forwarding::spool::DeliveryCount count = forwarding::spool::DeliverAll(folder);
    out << "Delivered " << count.lines_delivered << " line(s) to " << count.targets_delivered
        << " target(s).\n";
    if (count.targets_waiting > 0) ReportWhatStillWaits(folder, out);
  }
  const auto waiting = forwarding::spool::ListWaiting(folder);
  if (!waiting) {
    out << "The spool folder " << folder << " cannot be read.\n";
    return kExitCannotStart;
  }
  out << "Spool folder: " << folder << "\n";
  int lines = 0;
  bool in_use = false;
  for (const forwarding::spool::WaitingTarget& target : *waiting) {
    if (target.in_use) {
      // Its holder is keeping or delivering lines just now.
      in_use = true;
      out << "  in use just now, not read\n    " << target.spool_file << "\n";
      continue;
    }
    lines += target.lines;
    out << "  " << target.target << ": " << target.lines << " line(s), oldest "
        << tracelog::StampOf(target.oldest) << ", newest " << tracelog::StampOf(target.newest);
    if (target.damaged_bytes > 0) out << ", " << target.damaged_bytes << " damaged byte(s)";
    out << "\n    " << target.spool_file << "\n";
  }
  if (waiting->empty()) out << "  nothing waits\n";
  return lines == 0 && !in_use ? kExitOk : kExitFailed;
}

}  // namespace zelk::host
