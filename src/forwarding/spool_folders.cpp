#include "forwarding/spool_folders.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string_view>

#include "platform/platform.h"

namespace zelk::forwarding::spool {

namespace {

constexpr std::string_view kConfigExtension = ".ini";
constexpr std::string_view kRecordExtension = ".spoolfolders";
constexpr std::string_view kLineBreak = "\r\n";
// A record is a few lines; a larger file is not the service's, and is
// neither read nor grown.
constexpr std::int64_t kLongestRecord = std::int64_t{1} << 20;
// Another process adds its folder in a moment.
constexpr auto kRecordPatience = std::chrono::milliseconds(200);

std::string Identity(const std::string& folder) {
  return platform::FileNameIdentity(platform::AbsolutePath(folder));
}

// The lines of `text`, a line feed ending each and a CR before it dropped.
std::vector<std::string> LinesOf(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

// The record's folders that still exist, oldest first; nullopt when `file`
// (`size` bytes long) could not be read.
std::optional<std::vector<std::string>> ExistingFolders(platform::File& file, std::int64_t size) {
  if (size < 0 || size > kLongestRecord) return std::nullopt;
  std::string text(static_cast<std::size_t>(size), '\0');
  if (size > 0 && file.ReadAt(0, text.data(), text.size()) != size) return std::nullopt;
  std::vector<std::string> folders;
  for (std::string& line : LinesOf(text)) {
    if (platform::IsFolder(line)) folders.push_back(std::move(line));
  }
  return folders;
}

// `folders` without `folder`.
std::vector<std::string> Others(std::vector<std::string> folders, const std::string& folder) {
  const std::string identity = Identity(folder);
  std::erase_if(folders, [&identity](const std::string& f) { return Identity(f) == identity; });
  return folders;
}

// Writes `folders` as the record's whole content, over what it held: the
// new content first, then the cut, so a record is never empty in between.
bool Rewrite(platform::File& file, const std::vector<std::string>& folders) {
  std::string text;
  for (const std::string& folder : folders) text.append(folder).append(kLineBreak);
  return file.WriteAt(0, text.data(), text.size()) &&
         file.Truncate(static_cast<std::int64_t>(text.size()));
}

}  // namespace

std::string FolderRecordOf(const std::string& config_path) {
  std::string_view stem = config_path;
  if (stem.size() >= kConfigExtension.size() &&
      stem.substr(stem.size() - kConfigExtension.size()) == kConfigExtension) {
    stem.remove_suffix(kConfigExtension.size());
  }
  return std::string(stem) + std::string(kRecordExtension);
}

std::optional<std::vector<std::string>> RecordFolder(const std::string& record,
                                                     const std::string& folder) {
  const std::string absolute = platform::AbsolutePath(folder);
  if (absolute.empty()) return std::nullopt;
  platform::OpenResult opened = platform::OpenWhenFree(
      [&record] {
        return platform::OpenExclusiveRemovable(record, platform::CreateMode::kCreateIfMissing);
      },
      kRecordPatience);
  if (opened.status != platform::OpenStatus::kOk) return std::nullopt;
  std::optional<std::vector<std::string>> folders = ExistingFolders(opened.file, opened.size);
  if (!folders) return std::nullopt;
  std::vector<std::string> before = Others(*folders, absolute);
  if (before.size() == folders->size()) {
    // Not recorded yet: added, and the folders gone since dropped.
    before.push_back(absolute);
    if (!Rewrite(opened.file, before)) return std::nullopt;
    before.pop_back();
  }
  if (!opened.file.Close()) return std::nullopt;
  return before;
}

std::vector<std::string> FoldersUsedBefore(const std::string& record, const std::string& folder) {
  platform::OpenResult opened = platform::OpenWhenFree(
      [&record] { return platform::OpenSharedRead(record); }, kRecordPatience);
  if (opened.status != platform::OpenStatus::kOk) return {};
  const std::optional<std::vector<std::string>> folders =
      ExistingFolders(opened.file, opened.file.Size());
  return folders ? Others(*folders, folder) : std::vector<std::string>();
}

}  // namespace zelk::forwarding::spool
