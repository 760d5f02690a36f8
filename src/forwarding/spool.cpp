#include "forwarding/spool.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "config/settings.h"
#include "forwarding/spool_delivery.h"
#include "forwarding/spool_file.h"
#include "forwarding/spool_folders.h"
#include "forwarding/spool_targets.h"
#include "platform/platform.h"
#include "tracelog/causes.h"
#include "tracelog/trace_log.h"

namespace zelk::forwarding::spool {

namespace {

constexpr char kForeignFileMessage[] = "ForwardTransaction spool[%s] -- t[Not a spool file]";
constexpr char kOpenFolderMessage[] =
    "ForwardTransaction spool[%s] -- t[Spool folder may be written by other users]";
constexpr char kDeliveryFailedMessage[] =
    "ForwardTransaction spool[%s] file[%s] -- t[Could not write file] lines[%d]";
constexpr char kDeliveryStepFailedMessage[] = "ForwardTransaction spool[%s] file[%s] -- t[%s]";
constexpr char kUnexpectedFailure[] = "Unexpected failure: ";
constexpr char kFolderLeftMessage[] =
    "ForwardTransaction spool[%s] -- t[SpoolFolder changed; lines still wait here] targets[%d]";
constexpr char kUnrecordedMessage[] =
    "ForwardTransaction spool[%s] -- t[Could not record spool folder] record[%s]";
constexpr char kUnlistedMessage[] =
    "ForwardTransaction spool[%s] -- t[Could not list spool folder]";

// The delivery worker's pauses: the first retry soon after a line was kept,
// then doubling while the targets stay away.
constexpr auto kFirstRetry = std::chrono::seconds(1);
constexpr auto kLongestRetry = std::chrono::seconds(60);
// How long a look at a spool file waits for its keeper or deliverer.
constexpr auto kHeldSpoolPatience = std::chrono::milliseconds(100);
constexpr auto kListingPatience = std::chrono::seconds(1);

// The key of a target among the waiting ones, and of its spool files' names.
std::string IdentityOf(const std::string& target) {
  return platform::FileNameIdentity(platform::AbsolutePath(target));
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// ---------------------------------------------------------------------------
// What this process knows waits, and the worker that delivers it.

// What this process knows of one target's waiting lines: the spool files
// from `oldest` to `newest` may hold them, and new lines go to `newest` (or a
// later one, while it is held).
struct Waiting {
  std::uint64_t oldest = 0;
  std::uint64_t newest = 0;
  int lines = 0;  // kept by this process, or counted by a delivery that failed
  // The process's count of kept lines at the last one kept for the target: a
  // delivery that saw it change cannot tell whether a keeper wrote to the
  // file it delivered after it was removed (the name is free again then), so
  // it looks at that file once more.
  std::uint64_t keeps = 0;
};

// What waits in one spool folder, by the target's identity: its absolute
// name as the file system tells names apart (platform::FileNameIdentity), so
// one file has one order.
using WaitingSet = std::map<std::string, Waiting>;

// Adds what `found` knows waits to `into`.
void Merge(WaitingSet& into, const WaitingSet& found) {
  for (const auto& [identity, waiting] : found) {
    const auto [entry, inserted] = into.try_emplace(identity, waiting);
    if (inserted) continue;
    entry->second.oldest = std::min(entry->second.oldest, waiting.oldest);
    entry->second.newest = std::max(entry->second.newest, waiting.newest);
    entry->second.lines = std::max(entry->second.lines, waiting.lines);
  }
}

enum class Kept { kKept, kBusy, kFailed };

class Spool {
 public:
  bool HasWaiting(const std::string& folder, const std::string& target) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      LearnLocked(folder);
      if (unlisted_) return true;
      if (waiting_.empty() && former_.empty()) return false;
    }
    const std::string identity = IdentityOf(target);
    std::lock_guard<std::mutex> lock(mutex_);
    return WaitsLocked(identity);
  }

  int WaitingLines(const std::string& target) {
    const std::string identity = IdentityOf(target);
    std::lock_guard<std::mutex> lock(mutex_);
    int lines = 0;
    for (const WaitingSet* set : SetsLocked()) {
      const auto found = set->find(identity);
      if (found != set->end()) lines += found->second.lines;
    }
    return lines;
  }

  void RecordFoldersBeside(const std::string& config_path) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_ = FolderRecordOf(config_path);
  }

  // Keeps the line in the target's newest spool file; when another holds it
  // (a delivery, a reader), in the next one, so a keeper never waits for
  // more than a keeper's write.
  bool Keep(const std::string& folder, const std::string& target, std::int32_t max_lines,
            std::string_view bytes, const LineHead& head) {
    const std::string absolute = platform::AbsolutePath(target);
    if (absolute.empty() || folder.empty()) return false;
    const std::string identity = platform::FileNameIdentity(absolute);
    std::uint64_t sequence = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      LearnLocked(folder);
      const auto found = waiting_.find(identity);
      if (found != waiting_.end()) sequence = found->second.newest;
    }
    for (int tried = 0; tried < kSpoolFilesTried; ++tried, ++sequence) {
      const Kept kept = KeepIn(folder, SpoolFileOf(folder, identity, sequence), absolute,
                               {max_lines, bytes, head},
                               tried == 0 ? kKeeperPatience : std::chrono::milliseconds(0));
      // Held, or not a file this keeper may write (a link planted at its
      // name): the next one.
      if (kept != Kept::kKept) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      Waiting& waiting =
          waiting_.try_emplace(identity, Waiting{sequence, sequence, 0}).first->second;
      waiting.newest = std::max(waiting.newest, sequence);
      ++waiting.lines;
      waiting.keeps = ++keeps_;
      StartWorkerLocked();
      return true;
    }
    return false;
  }

  DeliveryCount DeliverAll(const std::string& folder) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      learnt_ = false;  // look at the folder again: an earlier run may have left lines
      LearnLocked(folder);
    }
    const DeliveryCount count = DeliverWaiting([] { return false; });
    std::lock_guard<std::mutex> lock(mutex_);
    StartWorkerLocked();
    return count;
  }

  // Learns what waits in `folder` and has the worker deliver it at once, so
  // the caller (the host's start) waits for no delivery.
  void DeliverSoon(const std::string& folder) {
    if (platform::IsWritableByOthers(folder)) {
      tracelog::LogMessage(tracelog::kError, kOpenFolderMessage,
                           tracelog::VisibleText(folder).c_str());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    learnt_ = false;
    LearnLocked(folder);
    deliver_soon_ = true;
    wake_.notify_all();
    StartWorkerLocked();
  }

  // Tries to deliver what waits for `target` until `deadline`; true when
  // nothing waits for it any more.
  bool DeliverTarget(const std::string& folder, const std::string& target,
                     std::chrono::steady_clock::time_point deadline) {
    const std::string identity = IdentityOf(target);
    DeliverTarget(folder, identity,
                  [deadline] { return std::chrono::steady_clock::now() >= deadline; });
    std::lock_guard<std::mutex> lock(mutex_);
    return !WaitsLocked(identity);
  }

  void KnowTargets(ConfiguredTargets targets) {
    auto known = std::make_shared<const ConfiguredTargets>(std::move(targets));
    std::lock_guard<std::mutex> lock(mutex_);
    targets_ = std::move(known);
  }

  void Resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }

  bool Stop(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    return wake_.wait_for(lock, timeout, [this] { return !worker_running_; });
  }

 private:
  // How many spool files of one target a keeper tries, and how long it waits
  // for the first (another process's keeper holds it for one write).
  static constexpr int kSpoolFilesTried = 4;
  static constexpr auto kKeeperPatience = std::chrono::milliseconds(50);

  // One line to keep, as Keep was given it.
  struct Line {
    std::int32_t max_lines;
    std::string_view bytes;
    const LineHead& head;
  };

  // Appends the line's item to the spool file at `path`; kBusy when another
  // holder keeps it out for longer than `patience`.
  static Kept KeepIn(const std::string& folder, const std::string& path,
                     const std::string& absolute, const Line& line,
                     std::chrono::milliseconds patience) {
    platform::OpenResult opened = platform::OpenWhenFree(
        [&path] {
          return platform::OpenExclusiveRemovable(path, platform::CreateMode::kCreateIfMissing);
        },
        patience);
    if (opened.status == platform::OpenStatus::kBusy) return Kept::kBusy;
    if (opened.status != platform::OpenStatus::kOk) return Kept::kFailed;
    std::int64_t size = platform::SeekToEndOffset(opened.file);
    if (size < 0) return Kept::kFailed;
    const std::string header = Header(absolute);
    // Shorter than its first line: a keeper died while it wrote the file's
    // first item, so it holds no line; begin it anew.
    if (size > 0 && size < static_cast<std::int64_t>(header.size())) {
      if (!opened.file.Truncate(0) || !opened.file.Seek(0)) return Kept::kFailed;
      size = 0;
    }
    std::string item = size == 0 ? header : std::string();
    AppendLineItem(item, NowSeconds(), line.max_lines, line.bytes, line.head);
    // On the disk before SPOOLED is said, and a new file's name too, so a
    // power cut loses no line the log called kept. The folder is flushed
    // while the file is still held, so that a failure there can still take
    // the item back: a line left in this file would go to the next one too,
    // and reach its target twice.
    const bool written = opened.file.Write(item.data(), item.size()) &&
                         platform::FlushToDisk(opened.file) &&
                         (size > 0 || platform::FlushFolder(folder).ok());
    if (!written) {
      // Nothing torn stays behind; a new file goes again. Should that fail
      // too, the reader skips the torn item as damaged and says so.
      if (size == 0) {
        platform::RemoveHeldFile(opened.file, path).IgnoreError();
      } else {
        opened.file.Truncate(size).IgnoreError();
      }
    }
    // The item is on the disk: a close that fails now cannot take it back,
    // and calling the line not kept would keep it a second time.
    opened.file.Close().IgnoreError();
    return written ? Kept::kKept : Kept::kFailed;
  }

  // Learns the targets that wait in `folder` when it is not the folder last
  // learnt: one listing and a read of each spool file's first line; and
  // those that wait in the folders used before it (the record's, and this
  // process's own), which are delivered first. Looking at the same folder
  // again adds what it finds to what is known: a file held by its deliverer
  // at that moment is not read, and its target must not be forgotten
  // meanwhile.
  void LearnLocked(const std::string& folder) {
    if (learnt_ && folder == folder_) return;
    if (folder != folder_) LeaveFolderLocked();
    folder_ = folder;
    learnt_ = true;
    TakeBackFormerLocked(folder);
    LearnFormerLocked(folder);
    if (!ListInto(folder, waiting_)) {
      // Lines may wait there unseen: keep every line rather than let it
      // overtake them, and look again at each delivery tick.
      if (!unlisted_) {
        tracelog::LogMessage(tracelog::kError, kUnlistedMessage,
                             tracelog::VisibleText(folder).c_str());
      }
      unlisted_ = true;
      StartWorkerLocked();
      return;
    }
    unlisted_ = false;
  }

  // SpoolFolder names another folder: what waits in the one left is still
  // delivered, before new lines for its targets. Said, so that the
  // administrator knows where those lines are.
  void LeaveFolderLocked() {
    // A folder removed since holds nothing any more.
    if (waiting_.empty() || folder_.empty() || !platform::IsFolder(folder_)) {
      waiting_.clear();
      return;
    }
    tracelog::LogMessage(tracelog::kError, kFolderLeftMessage,
                         tracelog::VisibleText(folder_).c_str(), static_cast<int>(waiting_.size()));
    AddFormerLocked(platform::AbsolutePath(folder_), waiting_);
    waiting_.clear();
  }

  void AddFormerLocked(const std::string& folder, const WaitingSet& found) {
    if (found.empty()) return;
    const std::string identity = IdentityOf(folder);
    for (auto& [former, set] : former_) {
      if (IdentityOf(former) != identity) continue;
      Merge(set, found);
      return;
    }
    former_.emplace_back(folder, found);
  }

  // A folder used before and named again: its lines are the current ones.
  void TakeBackFormerLocked(const std::string& folder) {
    const std::string identity = IdentityOf(folder);
    std::erase_if(former_, [this, &identity](const std::pair<std::string, WaitingSet>& former) {
      if (IdentityOf(former.first) != identity) return false;
      Merge(waiting_, former.second);
      return true;
    });
  }

  // Records `folder` beside the configuration and learns what waits in the
  // folders recorded before it.
  void LearnFormerLocked(const std::string& folder) {
    const std::string record = record_.empty() ? FolderRecordOf(config::ConfigFilePath()) : record_;
    const std::optional<std::vector<std::string>> before = RecordFolder(record, folder);
    if (!before) {
      if (!unrecorded_) {
        tracelog::LogMessage(tracelog::kError, kUnrecordedMessage,
                             tracelog::VisibleText(folder).c_str(),
                             tracelog::VisibleText(record).c_str());
      }
      unrecorded_ = true;
      return;
    }
    unrecorded_ = false;
    for (const std::string& old : *before) {
      WaitingSet found;
      if (!ListInto(old, found)) {
        tracelog::LogMessage(tracelog::kError, kUnlistedMessage,
                             tracelog::VisibleText(old).c_str());
      }
      AddFormerLocked(old, found);
    }
  }

  // Adds the targets waiting in `folder` to `into`; false when it cannot be
  // listed.
  static bool ListInto(const std::string& folder, WaitingSet& into) {
    const std::optional<std::vector<std::string>> names = platform::ListFolder(folder).names;
    if (!names) return false;
    for (const std::string& name : *names) {
      if (!EndsWith(name, kSpoolExtension)) continue;
      const std::string path = JoinPath(folder, name);
      const std::optional<std::uint64_t> sequence = SequenceOf(name);
      const std::string target = sequence ? TargetOf(path) : std::string();
      if (target.empty()) {
        if (!sequence || !RemoveIfTorn(path)) {
          tracelog::LogMessage(tracelog::kError, kForeignFileMessage,
                               tracelog::VisibleText(path).c_str());
        }
      } else if (SpoolFileOf(folder, platform::FileNameIdentity(target), *sequence) == path) {
        Merge(into, {{platform::FileNameIdentity(target), Waiting{*sequence, *sequence, 0}}});
      }
    }
    return true;
  }

  // The waiting sets of the folders used before, oldest first, then the
  // current folder's.
  std::vector<WaitingSet*> SetsLocked() {
    std::vector<WaitingSet*> sets;
    for (auto& [folder, set] : former_) sets.push_back(&set);
    sets.push_back(&waiting_);
    return sets;
  }

  bool WaitsLocked(const std::string& identity) {
    const std::vector<WaitingSet*> sets = SetsLocked();
    return std::any_of(sets.begin(), sets.end(),
                       [&identity](const WaitingSet* set) { return set->contains(identity); });
  }

  // The set of `folder`, the current one or one used before; null when
  // nothing waits there.
  WaitingSet* SetOfLocked(const std::string& folder) {
    if (folder == folder_) return &waiting_;
    for (auto& [former, set] : former_) {
      if (former == folder) return &set;
    }
    return nullptr;
  }

  bool NothingWaitsLocked() const { return waiting_.empty() && former_.empty() && !unlisted_; }

  // Removes the spool file at `path` when a keeper died before its first line
  // was whole: then it holds no line. True when it was removed, or is being
  // written just now.
  static bool RemoveIfTorn(const std::string& path) {
    platform::OpenResult opened =
        platform::OpenExclusiveRemovable(path, platform::CreateMode::kOpenExisting);
    if (opened.status == platform::OpenStatus::kBusy) return true;
    if (opened.status != platform::OpenStatus::kOk)
      return opened.status == platform::OpenStatus::kNotFound;
    return HoldsATornHeaderOnly(opened.file) && platform::RemoveHeldFile(opened.file, path);
  }

  // The target named in the first line of the spool file at `path`; empty
  // when it has none. A keeper or a deliverer holds a file only for a
  // moment; one held longer is left to its holder (which knows it waits).
  static std::string TargetOf(const std::string& path) {
    platform::OpenResult opened = platform::OpenWhenFree(
        [&path] { return platform::OpenSharedRead(path); }, kHeldSpoolPatience);
    if (opened.status != platform::OpenStatus::kOk) return {};
    std::optional<HeaderLine> header = ReadHeader(opened.file);
    return header ? std::move(header->target) : std::string();
  }

  using GiveUp = std::function<bool()>;

  // One try for every target this process knows to wait, until `give_up`.
  DeliveryCount DeliverWaiting(const GiveUp& give_up) {
    std::vector<std::string> targets;
    std::string folder;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::set<std::string> known;
      for (const WaitingSet* set : SetsLocked()) {
        for (const auto& [target, waiting] : *set) known.insert(target);
      }
      targets.assign(known.begin(), known.end());
      folder = folder_;
    }
    DeliveryCount count;
    for (const std::string& target : targets) {
      const DeliveryResult result =
          give_up() ? DeliveryResult{} : DeliverTargetCaught(folder, target, give_up);
      if (result.outcome == Delivered::kAll) {
        count.lines_delivered += result.lines;
        count.targets_delivered += result.lines > 0 ? 1 : 0;
      } else {
        ++count.targets_waiting;
      }
    }
    return count;
  }

  // DeliverTarget, with any exception reported for `target` alone, so the
  // walk goes on with the others.
  DeliveryResult DeliverTargetCaught(const std::string& folder, const std::string& target,
                                     const GiveUp& give_up) {
    std::string failure;
    try {
      return DeliverTarget(folder, target, give_up);
    } catch (const std::exception& error) {
      failure = kUnexpectedFailure + std::string(error.what());
    } catch (...) {
      failure = kUnexpectedFailure;
    }
    DeliveryResult result;
    result.failure = failure.c_str();
    ReportFailure(folder, target, result);
    return {};
  }

  // Delivers what waits for `target` in the folders used before, oldest
  // first, then in the current one, until a delivery fails or `give_up`
  // says so: a line kept in a later folder never overtakes one waiting in
  // an earlier.
  DeliveryResult DeliverTarget(const std::string& /*folder*/, const std::string& target,
                               const GiveUp& give_up) {
    DeliveryResult total;
    total.outcome = Delivered::kAll;
    for (const std::string& place : PlacesOf(target)) {
      const DeliveryResult result = DeliverTargetIn(place, target, give_up);
      total.lines += result.lines;
      if (result.outcome != Delivered::kAll) {
        total.outcome = result.outcome;
        return total;
      }
    }
    return total;
  }

  // The folders where lines wait for `target`, in the order they go.
  std::vector<std::string> PlacesOf(const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> places;
    for (const auto& [folder, set] : former_) {
      if (set.contains(target)) places.push_back(folder);
    }
    places.push_back(folder_);
    return places;
  }

  // Delivers the spool files of `target` in `folder`, oldest first, until
  // one fails or `give_up` says so. A delivery never keeps a keeper waiting:
  // lines kept meanwhile go to a later file, which this walk takes next.
  DeliveryResult DeliverTargetIn(const std::string& folder, const std::string& target,
                                 const GiveUp& give_up) {
    DeliveryResult total;
    total.outcome = Delivered::kAll;
    std::uint64_t sequence = 0;
    std::uint64_t keeps = 0;
    const std::shared_ptr<const ConfiguredTargets> configured = KnownTargets();
    while (NextToDeliver(folder, target, sequence, keeps)) {
      const std::string spool_file = SpoolFileOf(folder, target, sequence);
      const DeliveryResult result = DeliverFile(spool_file, target, *configured, give_up);
      ReportFailure(spool_file, target, result);
      if (result.outcome != Delivered::kAll) {
        NoteWaitingLines(folder, target, result.waiting);
        total.outcome = result.outcome;
        return total;
      }
      total.lines += result.lines;
      MarkDelivered(folder, target, sequence, keeps, result.lines);
    }
    return total;
  }

  std::shared_ptr<const ConfiguredTargets> KnownTargets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_;
  }

  // The oldest spool file of `target` not known to be delivered, and the
  // lines kept so far; false when nothing waits for it (any more, or in this
  // folder).
  bool NextToDeliver(const std::string& folder, const std::string& target, std::uint64_t& sequence,
                     std::uint64_t& keeps) {
    std::lock_guard<std::mutex> lock(mutex_);
    WaitingSet* set = SetOfLocked(folder);
    if (set == nullptr) return false;
    const auto found = set->find(target);
    if (found == set->end()) return false;
    sequence = found->second.oldest;
    keeps = found->second.keeps;
    return true;
  }

  // Spool file `sequence` of `target` is delivered: the target waits no more
  // when it was the newest and no line was kept since the delivery began
  // (`keeps`); when one was, the file is looked at again.
  void MarkDelivered(const std::string& folder, const std::string& target, std::uint64_t sequence,
                     std::uint64_t keeps, int lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    WaitingSet* set = SetOfLocked(folder);
    if (set == nullptr) return;
    const auto found = set->find(target);
    if (found == set->end()) return;
    Waiting& waiting = found->second;
    waiting.lines = std::max(0, waiting.lines - lines);
    if (waiting.keeps != keeps) return;
    if (waiting.newest <= sequence) {
      set->erase(found);
      // A folder used before with nothing waiting is forgotten.
      std::erase_if(former_, [](const auto& former) { return former.second.empty(); });
      return;
    }
    waiting.oldest = sequence + 1;
  }

  void NoteWaitingLines(const std::string& folder, const std::string& target, int lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    WaitingSet* set = SetOfLocked(folder);
    if (set == nullptr) return;
    const auto found = set->find(target);
    if (found != set->end()) found->second.lines = std::max(found->second.lines, lines);
  }

  // Says what keeps the lines for `target` from being delivered, once, and
  // again only when that changes or after they were delivered: a worker
  // retrying every minute would otherwise fill the log.
  void ReportFailure(const std::string& spool_file, const std::string& target,
                     const DeliveryResult& result) {
    const bool write_failed = result.outcome == Delivered::kWriteFailed;
    const std::string failure = write_failed                ? kDeliveryFailedMessage
                                : result.failure != nullptr ? result.failure
                                                            : std::string();
    if (failure.empty()) {
      if (result.outcome == Delivered::kAll) {
        std::lock_guard<std::mutex> lock(mutex_);
        failing_.erase(target);
      }
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto [entry, inserted] = failing_.try_emplace(target, failure);
      if (!inserted && entry->second == failure) return;
      entry->second = failure;
    }
    const std::string shown_file = tracelog::VisibleText(spool_file);
    const std::string shown_target = tracelog::VisibleText(target);
    if (write_failed) {
      tracelog::LogFailure(result.cause, tracelog::kError, kDeliveryFailedMessage,
                           shown_file.c_str(), shown_target.c_str(), result.lines);
    } else {
      tracelog::LogFailure(result.cause, tracelog::kError, kDeliveryStepFailedMessage,
                           shown_file.c_str(), shown_target.c_str(), failure.c_str());
    }
  }

  // At a delivery tick: a folder that could not be listed is looked at again.
  void Relearn() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!unlisted_) return;
    learnt_ = false;
    LearnLocked(folder_);
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }

  void StartWorkerLocked() {
    if (worker_running_ || stopping_ || NothingWaitsLocked()) return;
    std::function<void()> task = [this] { WorkerLoop(); };
    worker_running_ = platform::StartDetachedThread(task, platform::ThreadPriority::kLowest).ok();
    // A module unloaded without StopService ends a sleeping worker first.
    // Made after the worker registry (which the first start makes), this
    // object is torn down before it.
    static UnloadStop unload_stop(*this);
  }

  void WorkerLoop() {
    auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRetry);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (wake_.wait_for(lock, pause, [this] { return stopping_ || deliver_soon_; }) && stopping_) {
        break;
      }
      deliver_soon_ = false;
      lock.unlock();
      DeliveryCount count;
      try {
        Relearn();
        count = DeliverWaiting([this] { return Stopping(); });
      } catch (...) {
        // Memory for the walk's list of targets: tried again after the pause.
      }
      lock.lock();
      if (NothingWaitsLocked() || stopping_) break;
      pause = count.targets_delivered > 0
                  ? std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRetry)
                  : std::min<std::chrono::milliseconds>(pause * 2, kLongestRetry);
    }
    worker_running_ = false;
    wake_.notify_all();
  }

  struct UnloadStop {
    explicit UnloadStop(Spool& spool) : spool_(spool) {}
    ~UnloadStop() {
      std::lock_guard<std::mutex> lock(spool_.mutex_);
      spool_.stopping_ = true;
      spool_.wake_.notify_all();
    }
    Spool& spool_;
  };

  std::mutex mutex_;
  std::condition_variable wake_;
  std::string folder_;
  bool learnt_ = false;
  // The targets the configuration last seen may render; none at first.
  std::shared_ptr<const ConfiguredTargets> targets_ = std::make_shared<const ConfiguredTargets>();
  WaitingSet waiting_;  // in folder_
  // Folders used before with lines still waiting, oldest first, by their
  // absolute names: delivered before folder_.
  std::vector<std::pair<std::string, WaitingSet>> former_;
  std::string record_;       // the folder record; empty: beside ConfigFilePath()
  bool unrecorded_ = false;  // the record could not be written when last tried
  std::uint64_t keeps_ = 0;  // lines kept by this process
  // Targets whose last delivery failed, with the failure already logged.
  std::map<std::string, std::string> failing_;
  bool worker_running_ = false;
  bool stopping_ = false;
  bool deliver_soon_ = false;  // the worker's next try comes at once
  bool unlisted_ = false;      // folder_ could not be listed when last looked at
};

// The delivery worker works on it, and the exit's wait for workers is bounded,
// so it follows the door's lifetime rule for state that workers touch: never
// destroyed.
Spool& g_spool = platform::NeverDestroyed<Spool>();

}  // namespace

bool HasWaitingLines(const std::string& folder, const std::string& target) {
  return g_spool.HasWaiting(folder, target);
}

bool Keep(const std::string& folder, const std::string& target, std::int32_t max_lines,
          std::string_view bytes, const LineHead& head) {
  return g_spool.Keep(folder, target, max_lines, bytes, head);
}

void RecordFoldersBeside(const std::string& config_path) {
  g_spool.RecordFoldersBeside(config_path);
}

void KnowTargets(const config::Snapshot& configuration) {
  g_spool.KnowTargets(ConfiguredTargets::Of(configuration));
}

int WaitingLines(const std::string& target) { return g_spool.WaitingLines(target); }

bool DeliverTarget(const std::string& folder, const std::string& target,
                   std::chrono::steady_clock::time_point deadline) {
  return g_spool.DeliverTarget(folder, target, deadline);
}

DeliveryCount DeliverAll(const std::string& folder) { return g_spool.DeliverAll(folder); }

void ResumeDelivery() { g_spool.Resume(); }

bool StopDelivery(std::chrono::milliseconds timeout) { return g_spool.Stop(timeout); }

void DeliverAtStart() {
  ResumeDelivery();
  const config::Snapshot configuration = config::Snapshot::Load(config::ConfigFilePath());
  const std::string folder = config::Read(configuration, config::kSpoolFolder);
  if (folder.empty()) return;
  KnowTargets(configuration);
  g_spool.DeliverSoon(folder);
}

namespace {

// Fills `entry` from the spool file `file`, read in pieces; false when it
// cannot be read. A file without a first line is listed without a target.
bool ReadWaiting(platform::File& file, WaitingTarget& entry) {
  const std::int64_t size = file.Size();
  if (size < 0) return false;
  const std::optional<HeaderLine> header = ReadHeader(file);
  if (!header) return true;
  entry.target = header->target;
  ItemReader items(file, header->items_start, size);
  while (const std::optional<Item> item = items.Next()) {
    if (item->sent) continue;  // a delivery cut short: its lines still count as waiting
    ++entry.lines;
    if (entry.oldest == 0 || item->kept_at < entry.oldest) entry.oldest = item->kept_at;
    entry.newest = std::max(entry.newest, item->kept_at);
  }
  entry.damaged_bytes = items.damaged_bytes();
  return !items.failed();
}

}  // namespace

std::optional<std::vector<WaitingTarget>> ListWaiting(const std::string& folder) {
  const std::optional<std::vector<std::string>> names = platform::ListFolder(folder).names;
  if (!names) return std::nullopt;
  std::vector<WaitingTarget> waiting;
  for (const std::string& name : *names) {
    if (!EndsWith(name, kSpoolExtension)) continue;
    WaitingTarget entry;
    entry.spool_file = JoinPath(folder, name);
    platform::OpenResult opened = platform::OpenWhenFree(
        [&entry] { return platform::OpenUnlockedRead(entry.spool_file); }, kListingPatience);
    if (opened.status == platform::OpenStatus::kBusy) {
      entry.in_use = true;
      waiting.push_back(std::move(entry));
      continue;
    }
    if (opened.status != platform::OpenStatus::kOk || !ReadWaiting(opened.file, entry)) continue;
    waiting.push_back(std::move(entry));
  }
  std::sort(waiting.begin(), waiting.end(),
            [](const WaitingTarget& a, const WaitingTarget& b) { return a.target < b.target; });
  return waiting;
}

}  // namespace zelk::forwarding::spool
