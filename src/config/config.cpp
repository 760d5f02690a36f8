#include "config/config.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>

#include "config/config_test_helper.h"
#include "platform/ascii.h"
#include "platform/fnv1a.h"
#include "platform/platform.h"

namespace zelk::config {

namespace {

constexpr std::size_t kModulePathBuffer = 256;
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeByteOrderMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeByteOrderMark = "\xFE\xFF";

// Any run of CR and LF ends a line, as for Windows' profile reader.
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// White space as the profile reader of Windows trims it around names and values.
bool IsBlank(char c) { return c != '\n' && platform::IsCSpace(c); }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string CutToReadLength(std::string_view value, std::size_t read_length) {
  std::size_t keep = read_length == 0 ? 0 : read_length - 1;
  return std::string(value.substr(0, keep));
}

std::string_view WithoutEnclosingQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The code units of UTF-16 `bytes` (after the byte order mark), in the byte
// order given; an odd last byte is no code unit and is dropped.
std::u16string CodeUnits(std::string_view bytes, bool big_endian) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    const auto first = static_cast<unsigned char>(bytes[2 * i]);
    const auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
    units[i] = static_cast<char16_t>(big_endian ? (first << 8) | second : (second << 8) | first);
  }
  return units;
}

// The file's text as the reader parses it, and how it was written.
std::string Decoded(std::string bytes, Encoding& encoding) {
  if (StartsWith(bytes, kUtf8ByteOrderMark)) {
    encoding = Encoding::kUtf8WithByteOrderMark;
    bytes.erase(0, kUtf8ByteOrderMark.size());
    return bytes;
  }
  const bool little_endian = StartsWith(bytes, kUtf16LeByteOrderMark);
  if (little_endian || StartsWith(bytes, kUtf16BeByteOrderMark)) {
    encoding = little_endian ? Encoding::kUtf16Le : Encoding::kUtf16Be;
    const std::string_view units = std::string_view(bytes).substr(kUtf16LeByteOrderMark.size());
    return platform::NarrowFromUtf16(CodeUnits(units, !little_endian));
  }
  encoding = Encoding::kAnsi;
  return bytes;
}

}  // namespace

std::string_view EncodingName(Encoding encoding) {
  switch (encoding) {
    case Encoding::kUtf8WithByteOrderMark:
      return "UTF-8 with byte order mark";
    case Encoding::kUtf16Le:
      return "UTF-16 LE";
    case Encoding::kUtf16Be:
      return "UTF-16 BE";
    case Encoding::kAnsi:
      break;
  }
  return "ANSI";
}

std::string ConfigFilePathFor(std::string_view module_path) {
  std::size_t dot = module_path.rfind('.');
  if (dot == std::string_view::npos) return std::string(module_path);
  std::string path(module_path.substr(0, dot + 1));
  path += "ini";
  return path;
}

namespace {

std::string PathBesideTheModule() {
  return ConfigFilePathFor(platform::ModulePath(kModulePathBuffer));
}

// Another configuration file, set only by tests. Workers ask for the path
// too: the door's lifetime rule for state they touch.
struct TestPath {
  std::mutex mutex;
  std::string path;  // under `mutex`
};
TestPath& TheTestPath() { return platform::NeverDestroyed<TestPath>(); }

// The test's path, or the rule again when the test took its path back while
// a caller was on its way here.
std::string PathATestSet() {
  std::string path;
  {
    TestPath& test = TheTestPath();
    std::lock_guard<std::mutex> lock(test.mutex);
    path = test.path;
  }
  return path.empty() ? PathBesideTheModule() : path;
}

// Where ConfigFilePath looks: beside the module, or where a test said. As
// the door's calls do, production pays one relaxed load and an indirect call,
// and asks no switch and takes no lock.
constinit std::atomic<std::string (*)()> g_path_source{&PathBesideTheModule};

}  // namespace

std::string ConfigFilePath() { return g_path_source.load(std::memory_order_relaxed)(); }

void SetConfigFilePathForTesting(const std::string& path) {
  {
    TestPath& test = TheTestPath();
    std::lock_guard<std::mutex> lock(test.mutex);
    test.path = path;
  }
  g_path_source.store(path.empty() ? &PathBesideTheModule : &PathATestSet,
                      std::memory_order_relaxed);
}

namespace {

// How long a read waits for a configuration file that the system refuses to
// open for a moment (an editor replacing it), before it takes the defaults.
constexpr auto kBusyConfigPatience = std::chrono::milliseconds(1000);
// The first read takes a whole usual configuration file, into a buffer on
// the stack; a larger file is read on in growing steps.
constexpr std::size_t kFirstReadSize = std::size_t{4} * 1024;
// A file of at most this many sections and key lines together is searched by
// walking it; a larger one through its index.
constexpr std::size_t kWalkedLines = 64;
// Room for the sections and keys of a usual file, so parsing never regrows.
constexpr std::size_t kTypicalSections = 4;
constexpr std::size_t kTypicalEntries = 32;

}  // namespace

Snapshot Snapshot::Load(const std::string& path) {
  platform::OpenResult opened = platform::OpenWhenFree(
      [&path] { return platform::OpenUnlockedRead(path); }, kBusyConfigPatience);
  if (opened.status != platform::OpenStatus::kOk) return Snapshot();
  std::optional<std::string> bytes = ReadBytes(opened.file);
  if (!bytes) return Snapshot();
  return OfBytes(std::move(*bytes));
}

std::optional<std::string> Snapshot::ReadBytes(platform::File& file) {
  // A read of a file that returns fewer bytes than asked for has reached its
  // end, so a usual file takes one read: no look at its size first, and no
  // second read to find the end.
  char first[kFirstReadSize];
  std::int64_t count = file.Read(first, sizeof first);
  if (count < 0) return std::nullopt;
  std::string bytes(first, static_cast<std::size_t>(count));
  // Reads ask for one byte beyond the limit at most: enough to tell a file
  // of exactly the limit from a larger one, which is never read further.
  for (std::size_t asked = sizeof first;
       static_cast<std::size_t>(count) == asked && bytes.size() <= kLargestConfigurationFile;) {
    const std::size_t used = bytes.size();
    asked = std::min(2 * asked, kLargestConfigurationFile + 1 - used);
    bytes.resize(used + asked);
    count = file.Read(bytes.data() + used, asked);
    if (count < 0) return std::nullopt;
    bytes.resize(used + static_cast<std::size_t>(count));
  }
  return bytes;
}

Snapshot Snapshot::OfBytes(std::string bytes) {
  if (bytes.size() > kLargestConfigurationFile) {
    Snapshot refused;
    refused.too_large_ = true;
    return refused;
  }
  return Parse(std::move(bytes));
}

Snapshot Snapshot::Parse(std::string bytes) {
  Snapshot snapshot;
  snapshot.text_ = Decoded(std::move(bytes), snapshot.encoding_);
  snapshot.sections_.reserve(kTypicalSections);
  snapshot.entries_.reserve(kTypicalEntries);
  std::string_view text = snapshot.text_;
  while (!text.empty()) {
    std::size_t end = 0;
    while (end < text.size() && !IsLineEnd(text[end])) ++end;
    std::string_view line = Trim(text.substr(0, end));
    while (end < text.size() && IsLineEnd(text[end])) ++end;
    text.remove_prefix(end);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        const std::size_t first = snapshot.entries_.size();
        snapshot.sections_.push_back(
            Section{snapshot.PieceOf(Trim(line.substr(1, close - 1))), first, first});
        continue;
      }
      // A "[" without "]" is no header; the line is read as a key line.
    }
    std::size_t equals = line.find('=');
    Entry entry;
    if (equals == std::string_view::npos) {
      entry.key = snapshot.PieceOf(line);
    } else {
      entry.key = snapshot.PieceOf(Trim(line.substr(0, equals)));
      entry.value = snapshot.PieceOf(Trim(line.substr(equals + 1)));
      entry.has_value = true;
    }
    snapshot.entries_.push_back(entry);
    if (!snapshot.sections_.empty()) snapshot.sections_.back().end_entry = snapshot.entries_.size();
  }
  snapshot.BuildIndex();
  return snapshot;
}

namespace {

// FNV-1a of the lower-case text: names match without regard to ASCII case,
// so equal names have equal hashes.
std::uint64_t HashIgnoringCase(std::string_view text,
                               std::uint64_t hash = platform::kFnv1a64Start) {
  for (const char c : text) {
    hash = platform::Fnv1a64Byte(hash, static_cast<unsigned char>(platform::AsciiLower(c)));
  }
  return hash;
}

// A key's hash inside its section: the section's number goes in first.
std::uint64_t KeyHash(std::uint32_t section, std::string_view key) {
  std::uint64_t seed = platform::kFnv1a64Start;
  for (int shift = 0; shift < 32; shift += 8) {
    seed = platform::Fnv1a64Byte(seed, static_cast<unsigned char>((section >> shift) & 0xFF));
  }
  return HashIgnoringCase(key, seed);
}

}  // namespace

void Snapshot::BuildIndex() {
  // A usual file is walked quicker than it is indexed.
  if (sections_.size() + entries_.size() <= kWalkedLines) return;
  indexed_ = true;
  section_index_.reserve(sections_.size());
  key_index_.reserve(entries_.size());
  for (std::uint32_t s = 0; s < sections_.size(); ++s) {
    const Section& section = sections_[s];
    section_index_.push_back(IndexSlot{HashIgnoringCase(View(section.name)), s});
    for (std::size_t e = section.first_entry; e < section.end_entry; ++e) {
      key_index_.push_back(
          IndexSlot{KeyHash(s, View(entries_[e].key)), static_cast<std::uint32_t>(e)});
    }
  }
  std::sort(section_index_.begin(), section_index_.end());
  std::sort(key_index_.begin(), key_index_.end());
}

namespace {

// Line numbers of ever later offsets of one text, counted as an editor counts
// them: a line feed, a CR LF and a lone CR each end a line.
class LineCounter {
 public:
  explicit LineCounter(std::string_view text) : text_(text) {}
  std::size_t LineAt(std::size_t offset) {
    for (; position_ < offset && position_ < text_.size(); ++position_) {
      const char c = text_[position_];
      const bool crlf = c == '\r' && position_ + 1 < text_.size() && text_[position_ + 1] == '\n';
      if (c == '\n' || (c == '\r' && !crlf)) {
        ++line_;
        line_start_ = position_ + 1;
      }
    }
    return line_;
  }
  // The column (from 1) of `offset`, on the line LineAt last reached.
  std::size_t ColumnAt(std::size_t offset) const { return offset - line_start_ + 1; }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
  std::size_t line_ = 1;
  std::size_t line_start_ = 0;
};

}  // namespace

Snapshot::Outline Snapshot::Describe() const {
  // Sections and their keys stand in the file in the order of entries_ and
  // sections_, so one counter walks the text once.
  LineCounter lines(text_);
  auto key_line = [&](const Entry& entry) {
    const std::size_t line = lines.LineAt(entry.key.offset);
    const std::size_t value_at =
        entry.has_value ? entry.value.offset : entry.key.offset + entry.key.length;
    return KeyLine{View(entry.key),
                   View(entry.value),
                   entry.has_value,
                   line,
                   lines.ColumnAt(entry.key.offset),
                   lines.ColumnAt(value_at)};
  };
  Outline outline;
  const std::size_t leading = sections_.empty() ? entries_.size() : sections_.front().first_entry;
  for (std::size_t i = 0; i < leading; ++i)
    outline.before_first_section.push_back(key_line(entries_[i]));
  for (const Section& section : sections_) {
    const std::size_t line = lines.LineAt(section.name.offset);
    // The "[" stands before the name and any blanks after it.
    std::size_t bracket = section.name.offset;
    while (bracket > 0 && text_[bracket - 1] != '[') --bracket;
    SectionLines described{
        View(section.name), line, lines.ColumnAt(bracket > 0 ? bracket - 1 : 0), {}};
    for (std::size_t i = section.first_entry; i < section.end_entry; ++i) {
      described.keys.push_back(key_line(entries_[i]));
    }
    outline.sections.push_back(std::move(described));
  }
  return outline;
}

Snapshot::Piece Snapshot::PieceOf(std::string_view part) const {
  return Piece{static_cast<std::size_t>(part.data() - text_.data()), part.size()};
}

// The first section of the file with this name: of the slots with its hash,
// which stand in the order of the file, the first whose name is equal.
const Snapshot::Section* Snapshot::FindSection(std::string_view name) const {
  if (!indexed_) {
    for (const Section& section : sections_) {
      if (platform::EqualsIgnoringAsciiCase(View(section.name), name)) return &section;
    }
    return nullptr;
  }
  const std::uint64_t hash = HashIgnoringCase(name);
  for (auto slot =
           std::lower_bound(section_index_.begin(), section_index_.end(), IndexSlot{hash, 0});
       slot != section_index_.end() && slot->hash == hash; ++slot) {
    const Section& section = sections_[slot->number];
    if (platform::EqualsIgnoringAsciiCase(View(section.name), name)) return &section;
  }
  return nullptr;
}

// The first line of `section` with this key, as FindSection finds sections.
const Snapshot::Entry* Snapshot::FindEntry(const Section& section, std::string_view key) const {
  if (!indexed_) {
    for (std::size_t i = section.first_entry; i < section.end_entry; ++i) {
      if (platform::EqualsIgnoringAsciiCase(View(entries_[i].key), key)) return &entries_[i];
    }
    return nullptr;
  }
  const auto number = static_cast<std::uint32_t>(&section - sections_.data());
  const std::uint64_t hash = KeyHash(number, key);
  for (auto slot = std::lower_bound(key_index_.begin(), key_index_.end(), IndexSlot{hash, 0});
       slot != key_index_.end() && slot->hash == hash; ++slot) {
    const Entry& entry = entries_[slot->number];
    if (slot->number >= section.first_entry && slot->number < section.end_entry &&
        platform::EqualsIgnoringAsciiCase(View(entry.key), key)) {
      return &entry;
    }
  }
  return nullptr;
}

std::string Snapshot::Read(std::string_view section, std::string_view key,
                           std::string_view fallback, std::size_t read_length) const {
  if (const Section* found = FindSection(section)) {
    const Entry* entry = FindEntry(*found, key);
    // The first line with the key decides; one without "=" gives the default.
    if (entry != nullptr && entry->has_value) {
      return CutToReadLength(WithoutEnclosingQuotes(View(entry->value)), read_length);
    }
  }
  return CutToReadLength(fallback, read_length);
}

std::int32_t IntegerSetting(std::string_view value) { return platform::ReadAtoi(value).value; }

std::string Read(const Snapshot& snapshot, const Setting& setting) {
  return snapshot.Read(setting.section, setting.key, setting.fallback, setting.read_length);
}

std::string Read(const Snapshot& snapshot, const NumberedSetting& setting, int n) {
  // The key is made on the stack: this runs for every key of every section.
  char key[64];
  const std::size_t prefix = std::min(setting.key_prefix.size(), sizeof key - 16);
  std::memcpy(key, setting.key_prefix.data(), prefix);
  const char* end = std::to_chars(key + prefix, key + sizeof key, n).ptr;
  return snapshot.Read(setting.section, std::string_view(key, static_cast<std::size_t>(end - key)),
                       n == 1 ? setting.fallback_first : setting.fallback_rest,
                       setting.read_length);
}

}  // namespace zelk::config
