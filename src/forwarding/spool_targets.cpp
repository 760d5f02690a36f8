#include "forwarding/spool_targets.h"

#include <algorithm>
#include <string_view>

#include "config/settings.h"
#include "platform/platform.h"

namespace zelk::forwarding::spool {

namespace {

constexpr char kFieldStart = '%';
constexpr std::string_view kSeparators = "/\\";

bool IsSeparator(char c) { return kSeparators.find(c) != std::string_view::npos; }

std::size_t SeparatorsIn(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), IsSeparator));
}

// True when the names below a trusted folder climb out of it or name its
// own folder again ("." or ".." as one of them), or hold a control
// character, which no rendered field value holds.
bool UnsafeBelow(std::string_view below) {
  std::size_t begin = 0;
  for (std::size_t at = 0; at <= below.size(); ++at) {
    if (at < below.size() && static_cast<unsigned char>(below[at]) < 0x20) return true;
    if (at < below.size() && !IsSeparator(below[at])) continue;
    const std::string_view name = below.substr(begin, at - begin);
    if (name == "." || name == "..") return true;
    begin = at + 1;
  }
  return false;
}

// The absolute folder that `fixed` (a folder's text ending in a separator,
// or empty for the current folder) names, ending in a separator as the
// system writes it. Made from a name inside it, so the platform writes the
// folder as it writes the targets' names. Empty when it cannot be made.
std::string AbsoluteFolder(const std::string& fixed) {
  std::string inside = platform::AbsolutePath(fixed + "x");
  if (inside.empty() || !IsSeparator(inside[inside.size() - 2])) return {};
  inside.pop_back();
  return inside;
}

}  // namespace

ConfiguredTargets ConfiguredTargets::Of(const config::Snapshot& snapshot) {
  ConfiguredTargets targets;
  for (int n = 1; !config::Read(snapshot, config::kOutputFormat, n).empty(); ++n) {
    const std::string target = config::Read(snapshot, config::kTarget, n);
    if (target.empty()) continue;
    const std::size_t field = target.find(kFieldStart);
    if (field == std::string::npos) {
      const std::string absolute = platform::AbsolutePath(target);
      if (!absolute.empty()) targets.names_.push_back(platform::FileNameIdentity(absolute));
      continue;
    }
    const std::size_t last = target.find_last_of(kSeparators, field);
    const std::string fixed =
        last == std::string::npos ? std::string() : target.substr(0, last + 1);
    const std::string folder = AbsoluteFolder(fixed);
    if (folder.empty()) continue;
    targets.folders_.push_back({platform::FileNameIdentity(folder),
                                SeparatorsIn(std::string_view(target).substr(fixed.size()))});
  }
  return targets;
}

bool ConfiguredTargets::Admits(const std::string& absolute_target) const {
  const std::string identity = platform::FileNameIdentity(absolute_target);
  if (std::find(names_.begin(), names_.end(), identity) != names_.end()) return true;
  return std::any_of(folders_.begin(), folders_.end(), [&identity](const Folder& folder) {
    if (identity.size() <= folder.identity.size() ||
        identity.compare(0, folder.identity.size(), folder.identity) != 0) {
      return false;
    }
    const std::string_view below = std::string_view(identity).substr(folder.identity.size());
    return SeparatorsIn(below) == folder.depth && !UnsafeBelow(below);
  });
}

}  // namespace zelk::forwarding::spool
