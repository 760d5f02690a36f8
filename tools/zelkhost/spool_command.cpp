#include "spool_command.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

#include "config/config.h"
#include "config/settings.h"
#include "forwarding/spool.h"
#include "platform/platform.h"
#include "tracelog/trace_log.h"

namespace zelk::host {

namespace {

// Local time as the trace log writes it.
std::string LocalStamp(std::int64_t instant) {
  const std::optional<std::tm> parts = platform::LocalTimeOf(instant);
  if (!parts) return "0000-00-00 00:00:00";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &*parts);
  return text;
}

}  // namespace

int SpoolCommand(const std::string& config_path, bool deliver, std::ostream& out) {
  const std::string folder =
      config::Read(config::Snapshot::Load(config_path), config::kSpoolFolder);
  if (folder.empty()) {
    out << "No spool: SpoolFolder is not set in " << config_path << "\n";
    return 2;
  }
  if (deliver) {
    // Delivered here and now; no worker of this process retries afterwards.
    forwarding::spool::StopDelivery(std::chrono::milliseconds(0));
    tracelog::OpenTraceLog(config_path);
    const forwarding::spool::DeliveryCount count = forwarding::spool::DeliverAll(folder);
    out << "Delivered " << count.lines_delivered << " line(s) to " << count.targets_delivered
        << " target(s).\n";
  }
  const auto waiting = forwarding::spool::ListWaiting(folder);
  if (!waiting) {
    out << "The spool folder " << folder << " cannot be read.\n";
    return 2;
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
        << LocalStamp(target.oldest) << ", newest " << LocalStamp(target.newest);
    if (target.damaged_bytes > 0) out << ", " << target.damaged_bytes << " damaged byte(s)";
    out << "\n    " << target.spool_file << "\n";
  }
  if (waiting->empty()) out << "  nothing waits\n";
  return lines == 0 && !in_use ? 0 : 1;
}

}  // namespace zelk::host
