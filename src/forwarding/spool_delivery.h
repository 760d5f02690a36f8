// One delivery of one spool file to its target, in steps: read the file and
// settle what an earlier delivery announced, then announce and append the
// rest in pieces of bounded size, then remove the file and trim the target.
// Memory stays bounded whatever the file's size.
#ifndef ZELK_FORWARDING_SPOOL_DELIVERY_H_
#define ZELK_FORWARDING_SPOOL_DELIVERY_H_

#include <cstdint>
#include <functional>
#include <string>

#include "forwarding/spool_targets.h"
#include "platform/error.h"

namespace zelk::forwarding::spool {

// kTargetAway: the target could not be opened; kSpoolBusy: another holds the
// spool file; kWriteFailed: the target was opened, but appending the lines
// failed (a full disk); kGaveUp: the caller's time ran out between pieces;
// kFailed: the spool file could not be read or written, or is not the
// target's, or names a target no configured section writes. In every case but kAll, lines still
// wait.
enum class Delivered { kAll, kTargetAway, kSpoolBusy, kWriteFailed, kGaveUp, kFailed };

struct DeliveryResult {
  Delivered outcome = Delivered::kFailed;
  int lines = 0;                   // delivered, or (kWriteFailed) that failed
  int waiting = 0;                 // found waiting in the file, when it could be read
  std::int64_t damaged_bytes = 0;  // skipped, in a file that could be read
  // kFailed, or a spool file that could not be removed after kAll: which
  // step failed, as the trace log's t[...] says it.
  const char* failure = nullptr;
  // The system's cause of the failure, where a system call failed.
  platform::Status cause{};
};

// What DeliveryResult::failure says.
inline constexpr char kSpoolUnopenedReason[] = "Could not open spool file";
inline constexpr char kSpoolUnreadReason[] = "Could not read spool file";
inline constexpr char kOtherTargetReason[] = "Spool file names another target";
inline constexpr char kUnconfiguredTargetReason[] = "Spool file names a target no section writes";
inline constexpr char kSpoolUnwrittenReason[] = "Could not write spool file";
inline constexpr char kSpoolNotRemovedReason[] = "Could not remove spool file";

// Appends what the spool file at `spool_path` holds to the target its first
// line names, which must be the one whose identity is `identity`
// (platform::FileNameIdentity of its absolute name), and one that `configured` admits: a
// file naming any other target is refused before the target is opened, and left where it is.
// `give_up` is asked before each piece is appended. The spool file is held exclusively
// meanwhile, so keepers go to the target's next spool file; the target is held exclusively,
// never waited for.
DeliveryResult DeliverFile(const std::string& spool_path, const std::string& identity,
                           const ConfiguredTargets& configured,
                           const std::function<bool()>& give_up);

}  // namespace zelk::forwarding::spool

#endif  // ZELK_FORWARDING_SPOOL_DELIVERY_H_
