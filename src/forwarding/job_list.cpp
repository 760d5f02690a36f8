#include "forwarding/job_list.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "config/config.h"
#include "platform/ascii.h"

namespace zelk::forwarding {

namespace {

constexpr char kNoSplit = '0';
constexpr char kEndOfFile = '\x1A';  // Ctrl-Z ends a list file
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
// The longest start of a job-list line that is searched. A field can lie at
// most 1998 bytes into its part of the line (start and length of three
// digits each), so only lines of fields longer than a usual line lose
// anything.
constexpr std::size_t kLongestListLine = std::size_t{64} * 1024;

// The upper-cased field equals `key` exactly, byte for byte.
bool FieldMatches(std::string_view field, std::string_view key) {
  if (field.size() != key.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (platform::AsciiUpper(field[i]) != key[i]) return false;
  }
  return true;
}

// Reads a job list as single-byte text in blocks of whole lines: LF and CR LF
// end a line, a lone CR stays in it, Ctrl-Z ends the file, and a last line
// without line end counts. The buffer has a fixed size whatever the file: a
// line longer than kLongestListLine is read as its first kLongestListLine
// bytes, the rest of it up to its line feed passed over unread by the search.
class ListReader {
 public:
  explicit ListReader(platform::File& file)
      : file_(file), buffer_(new char[kLongestListLine + kReadChunk]) {}

  // The next lines of the list, each ended by its line feed, except the
  // list's last line when it has no line end; false at the end of the list.
  // A read error ends the list like its end would.
  bool NextBlock(std::string_view* block) {
    // What is left of the buffer is the start of a line that goes on.
    while (!finished_) {
      const std::size_t unscanned = Refill();
      std::size_t length = end_;
      while (length > unscanned && buffer_[length - 1] != '\n') --length;
      if (length > unscanned) {
        position_ = length;
        *block = std::string_view(buffer_.get(), length);
        return true;
      }
    }
    if (position_ == end_) return false;
    *block =
        std::string_view(buffer_.get() + position_, std::min(end_ - position_, kLongestListLine));
    position_ = end_;
    return true;
  }

 private:
  // Drops what was handed out, appends the next chunk of the file (cut at a
  // Ctrl-Z) and returns where the new bytes begin. The start of a line that
  // goes on is kept up to kLongestListLine bytes; once it has them, the new
  // bytes up to its line feed are dropped.
  std::size_t Refill() {
    const std::size_t carried = std::min(end_ - position_, kLongestListLine);
    if (carried > 0) std::memmove(buffer_.get(), buffer_.get() + position_, carried);
    position_ = 0;
    end_ = carried;
    char* chunk = buffer_.get() + end_;
    std::int64_t count = file_.Read(chunk, kReadChunk);
    if (count <= 0) {
      finished_ = true;
      return carried;
    }
    if (const void* stop = std::memchr(chunk, kEndOfFile, static_cast<std::size_t>(count))) {
      count = static_cast<const char*>(stop) - chunk;
      finished_ = true;
    }
    if (carried == kLongestListLine) {
      const void* feed = std::memchr(chunk, '\n', static_cast<std::size_t>(count));
      const std::int64_t passed = feed != nullptr ? static_cast<const char*>(feed) - chunk : count;
      std::memmove(chunk, chunk + passed, static_cast<std::size_t>(count - passed));
      count -= passed;
    }
    end_ += static_cast<std::size_t>(count);
    return carried;
  }

  platform::File& file_;
  std::unique_ptr<char[]> buffer_;  // never zero-filled: only bytes read are looked at
  std::size_t position_ = 0;        // buffer_[0, position_) has been handed out
  std::size_t end_ = 0;
  bool finished_ = false;
};

// A line without its line end (LF, or CR LF).
std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

int CountLineFeeds(std::string_view text) {
  return static_cast<int>(platform::CountLineFeeds(text));
}

// Finds an upper-cased key in text of any letter case. Only a line that
// holds the key can have a field equal to it, so the search picks the
// candidate lines and the field layout is applied to them alone. Every byte
// of a job number can be common in its list (a list of digit job numbers is
// mostly digits), so the search does not look for one byte: it tests the
// key's first and last bytes together at every place, a stretch of places at
// a time in a loop the compiler runs on vector registers, and compares the
// whole key only where both are there.
class KeySearch {
 public:
  // nullopt for the empty key: an empty field is found by no search.
  static std::optional<KeySearch> For(std::string_view key) {
    if (key.empty()) return std::nullopt;
    return KeySearch(key);
  }

  // The first position at or after `from` where `text` holds the key, or npos.
  std::size_t Find(std::string_view text, std::size_t from) const {
    if (text.size() < key_.size()) return std::string_view::npos;
    const std::size_t places = text.size() - key_.size() + 1;  // where the key can start
    std::size_t at = from;
    for (; at + kStretch <= places; at += kStretch) {
      if (!AnyCandidateIn(text.data() + at)) continue;
      const std::size_t found = FindAmong(text, at, at + kStretch);
      if (found != std::string_view::npos) return found;
    }
    return FindAmong(text, at, places);
  }

 private:
  // Places tested at once: a few vector registers' worth.
  static constexpr std::size_t kStretch = 64;
  static constexpr unsigned char kCaseBit = 0x20;  // 'A' | kCaseBit == 'a'

  // One byte of the upper-cased key as a list may hold it: a letter in either
  // case, any other byte as it is. A list byte holds it when the byte with
  // `fold` set equals `value`.
  struct KeyByte {
    explicit KeyByte(char upper)
        : fold(platform::IsAsciiUpper(upper) ? kCaseBit : 0),
          value(static_cast<unsigned char>(static_cast<unsigned char>(upper) | fold)) {}
    bool HeldBy(char c) const { return (static_cast<unsigned char>(c) | fold) == value; }
    unsigned char fold;
    unsigned char value;
  };

  explicit KeySearch(std::string_view key)
      : key_(key), last_(key.size() - 1), first_byte_(key.front()), last_byte_(key.back()) {}

  // Whether any of the kStretch places from `head` has the key's first and
  // last bytes. No branch inside, so that it runs on vector registers.
  bool AnyCandidateIn(const char* head) const {
    const char* tail = head + last_;
    unsigned char any = 0;
    for (std::size_t i = 0; i < kStretch; ++i) {
      const int first = first_byte_.HeldBy(head[i]) ? 1 : 0;
      const int last = last_byte_.HeldBy(tail[i]) ? 1 : 0;
      any = static_cast<unsigned char>(any | (first & last));
    }
    return any != 0;
  }

  // The first of the places [begin, end) of `text` that holds the key, or npos.
  std::size_t FindAmong(std::string_view text, std::size_t begin, std::size_t end) const {
    for (std::size_t at = begin; at < end; ++at) {
      if (first_byte_.HeldBy(text[at]) && last_byte_.HeldBy(text[at + last_]) &&
          FieldMatches(text.substr(at, key_.size()), key_)) {
        return at;
      }
    }
    return std::string_view::npos;
  }

  std::string_view key_;
  std::size_t last_;  // the position of the key's last byte
  KeyByte first_byte_;
  KeyByte last_byte_;
};

// The number (from 1) of the first line of `block` whose field matches `key`,
// or 0; `lines_before` lines came before the block.
int FirstMatchIn(std::string_view block, int lines_before, const FieldLayout& layout,
                 std::string_view key, const KeySearch* search) {
  int line_number = lines_before;
  std::size_t line_start = 0;
  while (line_start < block.size()) {
    if (search != nullptr) {
      const std::size_t hit = search->Find(block, line_start);
      if (hit == std::string_view::npos) return 0;
      // Back to the start of the hit's line, counting the lines passed over.
      const std::string_view passed = block.substr(line_start, hit - line_start);
      const std::size_t feed = passed.rfind('\n');
      const std::size_t start = feed == std::string_view::npos ? line_start : line_start + feed + 1;
      line_number += CountLineFeeds(block.substr(line_start, start - line_start));
      line_start = start;
    }
    const std::size_t feed = block.find('\n', line_start);
    const std::size_t line_end = feed == std::string_view::npos ? block.size() : feed + 1;
    ++line_number;
    const std::string_view line = WithoutLineEnd(block.substr(line_start, line_end - line_start));
    if (FieldMatches(ExtractJobField(line, layout), key)) return line_number;
    line_start = line_end;
  }
  return 0;
}

// The lines of a block: its line feeds, and a last line without one.
int LinesIn(std::string_view block) {
  return CountLineFeeds(block) + (!block.empty() && block.back() != '\n' ? 1 : 0);
}

}  // namespace

std::optional<FieldLayout> ParseFieldLayout(std::string_view text) {
  if (text.size() != kFieldLayoutLength) return std::nullopt;
  // Each group reads as atoi reads it. A negative start counts as 0; a
  // negative length makes the field empty (so does "-0": a length of 0 keeps
  // nothing); a negative skip count has no meaning and skips nothing.
  FieldLayout layout;
  layout.skip_count = std::max(0, config::IntegerSetting(text.substr(0, 3)));
  layout.separator = text[3];
  layout.start = std::max(0, config::IntegerSetting(text.substr(4, 3)));
  layout.length = std::max(-1, config::IntegerSetting(text.substr(7, 3)));
  return layout;
}

std::string_view ExtractJobField(std::string_view line, const FieldLayout& layout) {
  if (layout.separator != kNoSplit) {
    for (int round = 0; round < layout.skip_count; ++round) {
      std::size_t found = line.find(layout.separator);
      if (found == std::string_view::npos) break;  // the later rounds find none either
      line.remove_prefix(found + 1);
    }
    std::size_t end = line.find(layout.separator);
    if (end != std::string_view::npos) line = line.substr(0, end);
  }
  if (layout.length < 0) return {};
  const std::size_t start = static_cast<std::size_t>(layout.start);
  if (start >= line.size()) return {};
  return line.substr(start, static_cast<std::size_t>(layout.length));
}

bool ReadListLines(const std::string& path, const std::function<bool(std::string_view)>& each) {
  platform::OpenResult list = platform::OpenSharedRead(path);
  if (list.status != platform::OpenStatus::kOk) return false;
  ListReader reader(list.file);
  std::string_view block;
  while (reader.NextBlock(&block)) {
    while (!block.empty()) {
      const std::size_t feed = block.find('\n');
      const std::size_t end = feed == std::string_view::npos ? block.size() : feed + 1;
      if (!each(WithoutLineEnd(block.substr(0, end)))) return true;
      block.remove_prefix(end);
    }
  }
  return true;
}

int FindJobInList(platform::File& list, const FieldLayout& layout, std::string_view key) {
  ListReader reader(list);
  std::string_view block;
  const std::optional<KeySearch> search = KeySearch::For(key);
  for (int lines_before = 0; reader.NextBlock(&block); lines_before += LinesIn(block)) {
    const int line_number =
        FirstMatchIn(block, lines_before, layout, key, search ? &*search : nullptr);
    if (line_number != 0) return line_number;
  }
  return 0;
}

}  // namespace zelk::forwarding
