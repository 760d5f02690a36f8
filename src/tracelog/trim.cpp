// Cutting a text file in place to its last N lines.
//
// Lines: a line ends at a line feed; a carriage return directly before that
// line feed belongs to the line break; a last line without a line feed still
// counts, and a file ending in a line break has no empty line after it.
//
// The cut is found by reading backwards from the end, as tail does, so a trim
// costs what it keeps rather than what the file holds. The result is the same
// as reading the whole file line by line and writing back its last N lines.
#include "tracelog/trim.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace zelk::tracelog {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
constexpr std::string_view kLineBreak = "\r\n";

// Reads exactly `size` bytes at `offset`.
bool ReadAt(platform::File& file, std::int64_t offset, char* buffer, std::size_t size) {
  if (!file.Seek(offset)) return false;
  while (size > 0) {
    const std::int64_t count = file.Read(buffer, size);
    if (count <= 0) return false;
    buffer += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

bool WriteAt(platform::File& file, std::int64_t offset, std::string_view bytes) {
  return file.Seek(offset) && file.Write(bytes.data(), bytes.size());
}

// The offset at which the last `keep` (at least 1) lines of the file begin:
// just after the keep-th line feed counted backwards, not counting a line feed
// that is the file's last byte (it ends the last line, it does not start a new
// one). nullopt when the file has no more than `keep` lines or a read fails.
std::optional<std::int64_t> FindCut(platform::File& file, std::int64_t size, std::uint32_t keep) {
  std::vector<char> chunk(static_cast<std::size_t>(std::min<std::int64_t>(size, kTrimReadChunk)));
  std::uint32_t line_feeds = 0;
  bool at_end = true;
  for (std::int64_t end = size; end > 0;) {
    const std::int64_t begin = std::max<std::int64_t>(0, end - std::int64_t(chunk.size()));
    const auto length = static_cast<std::size_t>(end - begin);
    if (!ReadAt(file, begin, chunk.data(), length)) return std::nullopt;
    std::size_t i = length;
    if (at_end && chunk[i - 1] == kLineFeed) --i;
    at_end = false;
    while (i-- > 0) {
      if (chunk[i] == kLineFeed && ++line_feeds == keep) return begin + std::int64_t(i) + 1;
    }
    end = begin;
  }
  return std::nullopt;
}

// The kept lines as they are written back: each line's text, then CR LF.
std::string Rewritten(std::string_view kept) {
  std::string lines;
  lines.reserve(kept.size() + kLineBreak.size());
  while (!kept.empty()) {
    const std::size_t line_feed = kept.find(kLineFeed);
    std::string_view text = kept.substr(0, line_feed);
    if (line_feed != std::string_view::npos && !text.empty() && text.back() == kCarriageReturn) {
      text.remove_suffix(1);
    }
    lines.append(text).append(kLineBreak);
    kept.remove_prefix(line_feed == std::string_view::npos ? kept.size() : line_feed + 1);
  }
  return lines;
}

// Puts `lines` at the start of the file and cuts the file after them, in an
// order that never leaves the newest lines only in memory, so a process that
// dies mid-trim leaves them, whole, somewhere in the file:
// - `lines` no longer than the cut part: writing them at offset 0 overwrites
//   only lines being dropped; the original kept bytes stay at the end of the
//   file until the final truncation removes them.
// - `lines` longer (bare line feeds became CR LF, a last line gained its line
//   end): writing at 0 would overwrite kept bytes before they are rewritten.
//   So a copy is first appended beyond everything that write touches, then
//   `lines` go to the start, then the file is truncated. The copy starts on a
//   line of its own: a last line without line end is ended first, and any gap
//   up to the end of the write at the start is filled with line feeds, so no
//   kept line is ever glued to other bytes.
// When the copy cannot be written the file is put back to its old length.
// When the write at the start fails the file stays as it is: its old lines
// are damaged, but the newest ones are still complete at its end.
void MoveToStart(platform::File& file, std::int64_t size, std::int64_t cut,
                 bool ends_with_line_feed, const std::string& lines) {
  const auto length = static_cast<std::int64_t>(lines.size());
  if (length > cut) {
    std::string copy = ends_with_line_feed ? std::string() : std::string(kLineBreak);
    const std::int64_t copy_start =
        std::max<std::int64_t>(size + static_cast<std::int64_t>(copy.size()), length);
    copy.append(static_cast<std::size_t>(copy_start - size) - copy.size(), kLineFeed);
    copy += lines;
    if (!WriteAt(file, size, copy)) {
      file.Truncate(size);
      return;
    }
  }
  if (WriteAt(file, 0, lines)) file.Truncate(length);
}

// Every line holds at least one byte, so no file has more lines than bytes: a
// file no longer than `keep` bytes cannot be cut.
bool TooShortToCut(std::int64_t size, std::uint32_t keep) {
  return size <= 0 || std::uint64_t{keep} >= static_cast<std::uint64_t>(size);
}

void Trim(const std::string& path, std::uint32_t keep) {
  // A look at the size spares the exclusive open (several system calls) when
  // no cut is possible, as for the trace log's negative limits at every
  // eleventh message. The size is checked again once the file is held.
  std::error_code error;
  const std::uintmax_t size_seen = std::filesystem::file_size(path, error);
  if (!error && TooShortToCut(static_cast<std::int64_t>(size_seen), keep)) return;
  platform::OpenResult opened = platform::OpenExclusive(path, platform::CreateMode::kOpenExisting);
  if (opened.status != platform::OpenStatus::kOk) return;
  platform::File& file = opened.file;
  const std::int64_t size = file.Size();
  if (TooShortToCut(size, keep)) return;
  if (keep == 0) {
    file.Truncate(0);
    return;
  }
  const std::optional<std::int64_t> cut = FindCut(file, size, keep);
  // A kept part beyond what one string can hold (a 32-bit process) stays.
  if (!cut || std::uint64_t(size - *cut) >= std::string().max_size()) return;
  std::string kept(static_cast<std::size_t>(size - *cut), '\0');
  if (!ReadAt(file, *cut, kept.data(), kept.size())) return;
  MoveToStart(file, size, *cut, kept.back() == kLineFeed, Rewritten(kept));
}

}  // namespace

void TrimToLastLines(const std::string& path, std::int32_t max_lines) {
  try {
    Trim(path, static_cast<std::uint32_t>(max_lines));
  } catch (...) {
    // No memory for the kept lines: the file keeps its state (see MoveToStart).
  }
}

}  // namespace zelk::tracelog
