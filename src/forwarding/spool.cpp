#include "forwarding/spool.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "config/settings.h"
#include "forwarding/spool_delivery.h"
#include "forwarding/spool_file.h"
#include "platform/platform.h"
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

enum class Kept { kKept, kBusy, kFailed };

class Spool {
 public:
  bool HasWaiting(const std::string& folder, const std::string& target) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      LearnLocked(folder);
      if (unlisted_) return true;
      if (waiting_.empty()) return false;
    }
    const std::string identity = IdentityOf(target);
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.contains(identity);
  }

  int WaitingLines(const std::string& target) {
    const std::string identity = IdentityOf(target);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = waiting_.find(identity);
    return found == waiting_.end() ? 0 : found->second.lines;
  }

  // Keeps the line in the target's newest spool file; when another holds it
  // (a delivery, a reader), in the next one, so a keeper never waits for
  // more than a keeper's write.
  bool Keep(const std::string& folder, const std::string& target, std::int32_t max_lines,
            std::string_view bytes) {
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
      const Kept kept = KeepIn(folder, SpoolFileOf(folder, identity, sequence), absolute, max_lines,
                               bytes, tried == 0 ? kKeeperPatience : std::chrono::milliseconds(0));
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
      tracelog::LogMessage('*', kOpenFolderMessage, tracelog::VisibleText(folder).c_str());
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
    return !waiting_.contains(identity);
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

  // Appends the line's item to the spool file at `path`; kBusy when another
  // holder keeps it out for longer than `patience`.
  static Kept KeepIn(const std::string& folder, const std::string& path,
                     const std::string& absolute, std::int32_t max_lines, std::string_view bytes,
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
    AppendLineItem(item, NowSeconds(), max_lines, bytes);
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
  // learnt: one listing and a read of each spool file's first line.
  // Looking at the same folder again adds what it finds to what is known:
  // a file held by its deliverer at that moment is not read, and its target
  // must not be forgotten meanwhile.
  void LearnLocked(const std::string& folder) {
    if (learnt_ && folder == folder_) return;
    if (folder != folder_ && !waiting_.empty() && platform::IsFolder(folder_)) {
      // Not delivered from here on: said, so no line waits there unseen.
      tracelog::LogMessage('*', kFolderLeftMessage, tracelog::VisibleText(folder_).c_str(),
                           static_cast<int>(waiting_.size()));
    }
    if (folder != folder_) waiting_.clear();
    folder_ = folder;
    learnt_ = true;
    const std::optional<std::vector<std::string>> names = platform::ListFolder(folder).names;
    if (!names) {
      // Lines may wait there unseen: keep every line rather than let it
      // overtake them, and look again at each delivery tick.
      if (!unlisted_) {
        tracelog::LogMessage('*', kUnlistedMessage, tracelog::VisibleText(folder).c_str());
      }
      unlisted_ = true;
      StartWorkerLocked();
      return;
    }
    unlisted_ = false;
    for (const std::string& name : *names) {
      if (!EndsWith(name, kSpoolExtension)) continue;
      const std::string path = JoinPath(folder, name);
      const std::optional<std::uint64_t> sequence = SequenceOf(name);
      const std::string target = sequence ? TargetOf(path) : std::string();
      if (target.empty()) {
        if (!sequence || !RemoveIfTorn(path)) {
          tracelog::LogMessage('*', kForeignFileMessage, tracelog::VisibleText(path).c_str());
        }
      } else if (SpoolFileOf(folder, platform::FileNameIdentity(target), *sequence) == path) {
        const auto [entry, inserted] = waiting_.try_emplace(platform::FileNameIdentity(target),
                                                            Waiting{*sequence, *sequence, 0});
        entry->second.oldest = std::min(entry->second.oldest, *sequence);
        entry->second.newest = std::max(entry->second.newest, *sequence);
      }
    }
  }

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
      for (const auto& [target, waiting] : waiting_) targets.push_back(target);
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

  // Delivers the spool files of `target`, oldest first, until one fails or
  // `give_up` says so. A delivery never keeps a keeper waiting: lines kept
  // meanwhile go to a later file, which this walk takes next.
  DeliveryResult DeliverTarget(const std::string& folder, const std::string& target,
                               const GiveUp& give_up) {
    DeliveryResult total;
    total.outcome = Delivered::kAll;
    std::uint64_t sequence = 0;
    std::uint64_t keeps = 0;
    while (NextToDeliver(folder, target, sequence, keeps)) {
      const std::string spool_file = SpoolFileOf(folder, target, sequence);
      const DeliveryResult result = DeliverFile(spool_file, target, give_up);
      ReportFailure(spool_file, target, result);
      if (result.outcome != Delivered::kAll) {
        NoteWaitingLines(target, result.waiting);
        total.outcome = result.outcome;
        return total;
      }
      total.lines += result.lines;
      MarkDelivered(folder, target, sequence, keeps, result.lines);
    }
    return total;
  }

  // The oldest spool file of `target` not known to be delivered, and the
  // lines kept so far; false when nothing waits for it (any more, or in this
  // folder).
  bool NextToDeliver(const std::string& folder, const std::string& target, std::uint64_t& sequence,
                     std::uint64_t& keeps) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = waiting_.find(target);
    if (folder != folder_ || found == waiting_.end()) return false;
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
    const auto found = waiting_.find(target);
    if (folder != folder_ || found == waiting_.end()) return;
    Waiting& waiting = found->second;
    waiting.lines = std::max(0, waiting.lines - lines);
    if (waiting.keeps != keeps) return;
    if (waiting.newest <= sequence) {
      waiting_.erase(found);
      return;
    }
    waiting.oldest = sequence + 1;
  }

  void NoteWaitingLines(const std::string& target, int lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = waiting_.find(target);
    if (found != waiting_.end()) found->second.lines = std::max(found->second.lines, lines);
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
      tracelog::LogMessage('*', kDeliveryFailedMessage, shown_file.c_str(), shown_target.c_str(),
                           result.lines);
    } else {
      tracelog::LogMessage('*', kDeliveryStepFailedMessage, shown_file.c_str(),
                           shown_target.c_str(), failure.c_str());
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
    if (worker_running_ || stopping_ || (waiting_.empty() && !unlisted_)) return;
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
      if ((waiting_.empty() && !unlisted_) || stopping_) break;
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
  // By the target's identity: its absolute name as the file system tells
  // names apart (platform::FileNameIdentity), so one file has one order.
  std::map<std::string, Waiting> waiting_;
  std::uint64_t keeps_ = 0;  // lines kept by this process
  // Targets whose last delivery failed, with the failure already logged.
  std::map<std::string, std::string> failing_;
  bool worker_running_ = false;
  bool stopping_ = false;
  bool deliver_soon_ = false;  // the worker's next try comes at once
  bool unlisted_ = false;      // folder_ could not be listed when last looked at
};

// Made when the module is loaded, before any worker, so it outlives them.
Spool g_spool;

}  // namespace

bool HasWaitingLines(const std::string& folder, const std::string& target) {
  return g_spool.HasWaiting(folder, target);
}

bool Keep(const std::string& folder, const std::string& target, std::int32_t max_lines,
          std::string_view bytes) {
  return g_spool.Keep(folder, target, max_lines, bytes);
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
  const std::string folder =
      config::Read(config::Snapshot::Load(config::ConfigFilePath()), config::kSpoolFolder);
  if (!folder.empty()) g_spool.DeliverSoon(folder);
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
