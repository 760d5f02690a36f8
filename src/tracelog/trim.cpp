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
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace zelk::tracelog {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
using platform::kLineBreak;
// The backward read starts with room for a file of this size, which holds
// the kept lines of usual limits at once.
constexpr std::int64_t kTrimFirstBuffer = std::int64_t{1024} * 1024;

bool WriteAt(platform::File& file, std::int64_t offset, std::string_view bytes) {
  return file.WriteAt(offset, bytes.data(), bytes.size()).ok();
}

// The number of line feeds in `bytes`, a piece of at most kTrimReadChunk.
std::uint32_t CountLineFeeds(std::string_view bytes) {
  return static_cast<std::uint32_t>(platform::CountLineFeeds(bytes));
}

// Where the n-th (from 1) line feed of `bytes` stands; it has at least n.
std::size_t NthLineFeed(std::string_view bytes, std::uint32_t n) {
  std::size_t at = bytes.find(kLineFeed);
  while (--n > 0) at = bytes.find(kLineFeed, at + 1);
  return at;
}

// Bytes read backwards from a file's end: each piece goes in front of those
// read before it, in one buffer that grows towards its front, so every byte
// is read and stored once.
class BackwardBuffer {
 public:
  // Room for `capacity` bytes up front, so that a file read whole into it
  // takes one allocation.
  explicit BackwardBuffer(std::size_t capacity)
      : buffer_(new char[capacity]), capacity_(capacity), start_(capacity) {}

  // Room for `length` more bytes in front of the stored ones.
  char* Front(std::size_t length) {
    if (length > start_) Grow(length);
    start_ -= length;
    return buffer_.get() + start_;
  }
  // Gives back the bytes of the last Front that were not filled.
  void Unfront(std::size_t length) { start_ += length; }
  std::string_view Bytes() const {
    return std::string_view(buffer_.get() + start_, capacity_ - start_);
  }

 private:
  void Grow(std::size_t length) {
    const std::size_t stored = capacity_ - start_;
    const std::size_t capacity = std::max(2 * capacity_, stored + length);
    // Not zero-filled: every byte is written before it is read.
    std::unique_ptr<char[]> grown(new char[capacity]);
    std::copy_n(buffer_.get() + start_, stored, grown.get() + capacity - stored);
    buffer_ = std::move(grown);
    start_ = capacity - stored;
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t start_ = 0;
};

// Where the last `keep` (at least 1) lines of the file begin: just after the
// keep-th line feed counted backwards, not counting a line feed that is the
// file's last byte (it ends the last line, it does not start a new one). The
// file is read backwards in pieces into `tail`, which then holds at least
// the bytes from the cut to the end. nullopt when the file has no more than
// `keep` lines or a read fails. Nothing before `head` is read or counted.
std::optional<std::int64_t> ReadLastLines(platform::File& file, std::int64_t size,
                                          std::int64_t head, std::uint32_t keep,
                                          BackwardBuffer& tail) {
  std::uint32_t line_feeds = 0;
  for (std::int64_t end = size; end > head;) {
    const std::int64_t begin = std::max<std::int64_t>(head, end - std::int64_t(kTrimReadChunk));
    const auto length = static_cast<std::size_t>(end - begin);
    char* piece = tail.Front(length);
    if (!platform::ReadExactlyAt(file, begin, piece, length)) return std::nullopt;
    std::string_view counted(piece, length);
    if (end == size && counted.back() == kLineFeed) counted.remove_suffix(1);
    const std::uint32_t here = CountLineFeeds(counted);
    if (line_feeds + here >= keep) {
      // The keep-th line feed from the end is this piece's how-many-th from
      // its start.
      const std::size_t at = NthLineFeed(counted, here - (keep - line_feeds) + 1);
      tail.Unfront(at + 1);
      return begin + static_cast<std::int64_t>(at) + 1;
    }
    line_feeds += here;
    end = begin;
  }
  return std::nullopt;
}

// Whether `kept` is already as it is written back: every line ended by CR LF.
bool EndsEveryLineWithCrLf(std::string_view kept) {
  return !kept.empty() && kept.back() == kLineFeed && platform::CountBareLineFeeds(kept) == 0;
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

// True when what was written to `file` is on the disk, as `durability`
// asks: at once for kCached, after a flush for kDurable.
bool Settled(platform::File& file, Durability durability) {
  return durability == Durability::kCached || platform::FlushToDisk(file);
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
// "The start" is `head`: the bytes before it stay as they are.
// kDurable puts each step on the disk before the next begins (Settled), so
// the order that protects the lines against a kill holds against a power
// cut too; a flush that fails stops the cut there, in a state as safe.
void MoveToStart(platform::File& file, std::int64_t size, std::int64_t head, std::int64_t cut,
                 bool ends_with_line_feed, std::string_view lines, Durability durability) {
  const auto length = static_cast<std::int64_t>(lines.size());
  if (head + length > cut) {
    std::string gap = ends_with_line_feed ? std::string() : std::string(kLineBreak);
    const std::int64_t copy_start =
        std::max<std::int64_t>(size + static_cast<std::int64_t>(gap.size()), head + length);
    gap.append(static_cast<std::size_t>(copy_start - size) - gap.size(), kLineFeed);
    if (!WriteAt(file, size, gap) || !WriteAt(file, copy_start, lines) ||
        !Settled(file, durability)) {
      // A trim reports nothing (the trace log trims itself under its lock):
      // should this cut fail too, the file keeps a repeat of its last lines.
      file.Truncate(size).IgnoreError();
      return;
    }
  }
  // The last flush has nothing left to protect: the cut is whole either way.
  if (WriteAt(file, head, lines) && Settled(file, durability) && file.Truncate(head + length)) {
    static_cast<void>(Settled(file, durability));
  }
}

// Every line holds at least one byte, so no file has more lines than bytes: a
// file no longer than `keep` bytes cannot be cut.
bool TooShortToCut(std::int64_t size, std::uint32_t keep) {
  return size <= 0 || std::uint64_t{keep} >= static_cast<std::uint64_t>(size);
}

// How many bytes at the start of the open file `head` asks to keep: a byte
// order mark that is there, then the first line with its line feed (a first
// line without one is the whole rest). nullopt when a read fails.
std::optional<std::int64_t> HeadLength(platform::File& file, std::int64_t size,
                                       const TrimHead& head) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  std::int64_t length = 0;
  if (!head.byte_order_mark && !head.first_line) return length;
  std::string piece(static_cast<std::size_t>(std::min(size, std::int64_t(kTrimReadChunk))), '\0');
  if (head.byte_order_mark && size >= std::int64_t(kByteOrderMark.size())) {
    if (!platform::ReadExactlyAt(file, 0, piece.data(), kByteOrderMark.size())) return std::nullopt;
    if (std::string_view(piece.data(), kByteOrderMark.size()) == kByteOrderMark) {
      length = std::int64_t(kByteOrderMark.size());
    }
  }
  while (head.first_line && length < size) {
    const auto count =
        static_cast<std::size_t>(std::min(size - length, std::int64_t(kTrimReadChunk)));
    if (!platform::ReadExactlyAt(file, length, piece.data(), count)) return std::nullopt;
    const std::size_t line_feed = std::string_view(piece.data(), count).find(kLineFeed);
    if (line_feed != std::string_view::npos) return length + std::int64_t(line_feed) + 1;
    length += std::int64_t(count);
  }
  return length;
}

// Cuts the held `file` of `size` bytes to its last `keep` lines, after the
// head that `trim_head` asks to keep.
void CutHeld(platform::File& file, std::int64_t size, std::uint32_t keep, const TrimHead& trim_head,
             Durability durability) {
  if (TooShortToCut(size, keep)) return;
  const std::optional<std::int64_t> head = HeadLength(file, size, trim_head);
  if (!head || *head == size) return;
  if (keep == 0) {
    if (file.Truncate(*head)) static_cast<void>(Settled(file, durability));
    return;
  }
  BackwardBuffer tail(static_cast<std::size_t>(std::min<std::int64_t>(size, kTrimFirstBuffer)));
  const std::optional<std::int64_t> cut = ReadLastLines(file, size, *head, keep, tail);
  if (!cut) return;
  const std::string_view kept = tail.Bytes();
  // Kept lines that already end in CR LF are written back as they were read.
  if (EndsEveryLineWithCrLf(kept)) {
    MoveToStart(file, size, *head, *cut, true, kept, durability);
  } else {
    MoveToStart(file, size, *head, *cut, kept.back() == kLineFeed, Rewritten(kept), durability);
  }
}

void Trim(const std::string& path, std::uint32_t keep, const TrimHead& trim_head,
          Durability durability) {
  // A look at the size spares the exclusive open (several system calls) when
  // no cut is possible, as for the trace log's negative limits at every
  // eleventh message. The open tells the size again once the file is held.
  const std::int64_t size_seen = platform::FileSize(path);
  if (size_seen >= 0 && TooShortToCut(size_seen, keep)) return;
  platform::OpenResult opened = platform::OpenExclusive(path, platform::CreateMode::kOpenExisting);
  if (opened.status != platform::OpenStatus::kOk) return;
  CutHeld(opened.file, opened.size, keep, trim_head, durability);
}

}  // namespace

void TrimToLastLines(const std::string& path, std::int32_t max_lines) {
  TrimToLastLines(path, max_lines, TrimHead());
}

void TrimToLastLines(const std::string& path, std::int32_t max_lines, const TrimHead& head,
                     Durability durability) {
  // A negative count is a keep of over two billion lines, which no file is
  // ever cut to: spare the look at the file (the trace log's MaxLines -1
  // would pay it every eleventh message).
  if (max_lines < 0) return;
  try {
    Trim(path, static_cast<std::uint32_t>(max_lines), head, durability);
  } catch (...) {
    // No memory for the kept lines: the file keeps its state (see MoveToStart).
  }
}

void TrimHeldToLastLines(platform::File& file, std::int64_t size, std::int32_t max_lines,
                         const TrimHead& head, Durability durability) {
  if (max_lines < 0 || !file.is_open()) return;
  try {
    CutHeld(file, size, static_cast<std::uint32_t>(max_lines), head, durability);
  } catch (...) {
    // As in TrimToLastLines.
  }
}

}  // namespace zelk::tracelog
