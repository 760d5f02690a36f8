#include "tracelog/busy_stretch.h"

#include <map>
#include <mutex>

#include "platform/platform.h"

namespace zelk::tracelog {
namespace {

// Paths in a busy stretch at most: a stretch ends only when its file is
// written again, which a rotated name never is.
constexpr std::size_t kLongestStretchTable = 256;

// The paths in a busy stretch, with the lines that failed in it so far.
class StretchTable {
 public:
  bool InStretch(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_.contains(path);
  }
  // Counts one more failed line, beginning a stretch when there is none.
  void CountFailure(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = failed_.find(path);
    if (found != failed_.end()) {
      ++found->second;
    } else if (failed_.size() < kLongestStretchTable) {
      failed_.emplace(path, 1);
    }
  }
  void Forgive(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = failed_.find(path);
    if (found != failed_.end() && found->second > 0) --found->second;
  }
  // Ends the stretch of `path`; the lines that failed in it.
  int End(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = failed_.find(path);
    if (found == failed_.end()) return 0;
    const int failed = found->second;
    failed_.erase(found);
    return failed;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, int> failed_;
};

// Workers write lines too: the door's lifetime rule for state they touch.
StretchTable& Table() { return platform::NeverDestroyed<StretchTable>(); }

}  // namespace

LineOpen OpenForLine(const std::string& path, const std::function<platform::OpenResult()>& open,
                     std::chrono::milliseconds patience) {
  LineOpen result;
  StretchTable& table = Table();
  if (table.InStretch(path)) {
    result.opened = open();
    if (result.opened.status == platform::OpenStatus::kBusy) {
      table.CountFailure(path);
    } else {
      result.lines_failed_in_stretch = table.End(path);
    }
    return result;
  }
  result.opened = platform::OpenWhenFree(open, patience);
  if (result.opened.status == platform::OpenStatus::kBusy) table.CountFailure(path);
  return result;
}

void ForgiveFailure(const std::string& path) { Table().Forgive(path); }

}  // namespace zelk::tracelog
