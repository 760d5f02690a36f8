#include "forwarding/keep_files.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "forwarding/target_guard.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "tracelog/causes.h"
#include "tracelog/trace_log.h"

namespace zelk::forwarding {
namespace {

constexpr char kRemovedMessage[] =
    "ForwardTransaction section[%d] file[%s] keepfiles[%d] -- REMOVED";
constexpr char kNotRemovedMessage[] =
    "ForwardTransaction section[%d] file[%s] keepfiles[%d] -- t[Could not remove file: %s]";
constexpr char kNotListedMessage[] =
    "ForwardTransaction section[%d] folder[%s] keepfiles[%d] -- t[Could not list folder]";

constexpr int kTimeParts = 7;
// A time part's digits beyond these say nothing more about its period.
constexpr long kLargestPartValue = 100000000;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The time parts a name holds, in the order of "10" to "16" (%Y %y %m %d %H
// %M %S), which is also the order of their weight: compared as a whole, an
// earlier period is the smaller. A part the name lacks is 0.
using Period = std::array<long, kTimeParts>;

// One stretch of a file name: literal bytes, or the bytes one time part
// writes, of a fixed length (time parts are texts of fixed length).
struct Stretch {
  std::string literal;
  int time_part = -1;
  std::size_t length = 0;
};

struct NameShape {
  std::string folder;  // the target's folder with its separator; empty: the current one
  std::vector<Stretch> stretches;
};

// Where the file name of `target` begins: after its last separator.
std::size_t FileNameStart(std::string_view target) {
  for (std::size_t at = target.size(); at > 0; --at) {
    if (IsSeparator(target[at - 1])) return at;
  }
  return 0;
}

// The shape of the file names the pieces stand for, or nullopt when they do
// not make up `target` (its name was mended) or its file name has no time
// part.
std::optional<NameShape> ShapeOf(const std::string& target,
                                 const std::vector<extformat::NamePiece>& pieces) {
  std::string joined;
  for (const extformat::NamePiece& piece : pieces) joined += piece.text;
  if (joined != target) return std::nullopt;
  NameShape shape;
  const std::size_t name_start = FileNameStart(target);
  shape.folder = target.substr(0, name_start);
  bool timed = false;
  std::size_t at = 0;
  for (const extformat::NamePiece& piece : pieces) {
    const std::size_t end = at + piece.text.size();
    if (end > name_start) {
      if (piece.time_part >= 0) {
        shape.stretches.push_back({{}, piece.time_part, piece.text.size()});
        timed = true;
      } else {
        const std::size_t from = std::max(at, name_start) - at;
        if (shape.stretches.empty() || shape.stretches.back().time_part >= 0) {
          shape.stretches.emplace_back();
        }
        shape.stretches.back().literal += piece.text.substr(from);
      }
    }
    at = end;
  }
  if (!timed) return std::nullopt;
  return shape;
}

// Reads a time part's value from the bytes it wrote: digits, and spaces of
// its padding. False for anything else.
bool ReadPart(std::string_view text, long& value) {
  bool digits = false;
  value = 0;
  for (char c : text) {
    if (platform::IsAsciiDigit(c)) {
      digits = true;
      value = std::min(kLargestPartValue, value * 10 + (c - '0'));
    } else if (c != ' ') {
      return false;
    }
  }
  return digits;
}

// The period of a file name of `shape`, or nullopt when the name is none of
// the section's.
std::optional<Period> PeriodOf(std::string_view name, const NameShape& shape) {
  Period period{};
  std::size_t at = 0;
  for (const Stretch& stretch : shape.stretches) {
    if (stretch.time_part < 0) {
      if (name.substr(at, stretch.literal.size()) != stretch.literal) return std::nullopt;
      at += stretch.literal.size();
      continue;
    }
    long value = 0;
    if (at + stretch.length > name.size() || !ReadPart(name.substr(at, stretch.length), value)) {
      return std::nullopt;
    }
    period[static_cast<std::size_t>(stretch.time_part)] = value;
    at += stretch.length;
  }
  if (at != name.size()) return std::nullopt;
  return period;
}

// Removes one file of an earlier period, in its own turn so that no writer
// of this process has it open meanwhile, and logs the outcome.
void RemoveOne(int n, const std::string& path, std::int32_t keep) {
  TargetGuard turn(path);
  const platform::Status removed = platform::RemoveFile(path);
  if (removed.ok()) {
    tracelog::LogMessage(tracelog::kInformation, kRemovedMessage, n, path.c_str(), keep);
  } else {
    tracelog::LogFailure(removed, tracelog::kError, kNotRemovedMessage, n, path.c_str(), keep,
                         removed.message().c_str());
  }
}

}  // namespace

TimePartsOfName WhereTimePartsStand(const std::vector<extformat::NamePiece>& pieces) {
  std::string joined;
  for (const extformat::NamePiece& piece : pieces) joined += piece.text;
  const std::size_t name_start = FileNameStart(joined);
  TimePartsOfName where;
  std::size_t at = 0;
  for (const extformat::NamePiece& piece : pieces) {
    if (piece.time_part >= 0) {
      (at >= name_start ? where.in_file_name : where.in_folder) = true;
    }
    at += piece.text.size();
  }
  return where;
}

void RemoveEarlierPeriods(int n, const std::string& target,
                          const std::vector<extformat::NamePiece>& pieces, std::int32_t keep) {
  if (keep <= 0) return;
  const std::optional<NameShape> shape = ShapeOf(target, pieces);
  if (!shape) return;
  const std::string own_name = target.substr(shape->folder.size());
  const std::optional<Period> own = PeriodOf(own_name, *shape);
  if (!own) return;
  const std::string folder = shape->folder.empty() ? "." : shape->folder;
  const platform::FolderListing listing = platform::ListFolder(folder);
  const std::optional<std::vector<std::string>>& names = listing.names;
  if (!names) {
    tracelog::LogFailure(listing.error, tracelog::kError, kNotListedMessage, n, folder.c_str(),
                         keep);
    return;
  }
  std::vector<std::pair<Period, std::string>> files;
  bool own_listed = false;
  for (const std::string& name : *names) {
    if (const std::optional<Period> period = PeriodOf(name, *shape)) {
      files.emplace_back(*period, name);
      own_listed = own_listed || name == own_name;
    }
  }
  // The new file counts among the kept even where a listing missed it.
  if (!own_listed) files.emplace_back(*own, own_name);
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a > b; });
  std::size_t kept = 0;
  for (const auto& [period, name] : files) {
    if (kept < static_cast<std::size_t>(keep) || period >= *own) {
      ++kept;
      continue;
    }
    RemoveOne(n, shape->folder + name, keep);
  }
}

}  // namespace zelk::forwarding
