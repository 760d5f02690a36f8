// The configuration file: where it lies, how it is read, and the snapshot that
// answers every setting of one entry-point call.
#ifndef ZELK_CONFIG_CONFIG_H_
#define ZELK_CONFIG_CONFIG_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::platform {
class File;
}  // namespace zelk::platform

namespace zelk::config {

// The configuration file beside a module at `module_path`: everything up to and
// including the last "." of the whole path (folders included), then "ini". A
// path without any "." stays unchanged.
std::string ConfigFilePathFor(std::string_view module_path);

// The configuration file of this module (its path read into 256 characters),
// or the file a test set in its place (config_test_helper.h).
std::string ConfigFilePath();

// How the configuration file's bytes were written. Files in UTF-16 (with their
// byte order mark) are decoded before parsing into the single-byte text the
// service works in; a UTF-8 byte order mark is skipped; anything else is read
// byte for byte.
enum class Encoding { kAnsi, kUtf8WithByteOrderMark, kUtf16Le, kUtf16Be };

// "ANSI", "UTF-8 with byte order mark", "UTF-16 LE" or "UTF-16 BE".
std::string_view EncodingName(Encoding encoding);

// The largest configuration file that is read, in bytes (16 MiB): a usual file
// is a few kilobytes, and a larger one is most likely not a configuration at
// all (a device, a log written to the wrong name).
inline constexpr std::size_t kLargestConfigurationFile = std::size_t{16} * 1024 * 1024;

// The whole configuration file as it was at one moment, parsed. Reading every
// setting of a call from one snapshot means a call never sees half of an edit,
// while the next call sees the edit. Immutable after construction, so any
// number of threads may read it at once.
class Snapshot {
 public:
  // An empty snapshot: every setting reads as its default.
  Snapshot() = default;

  // Reads and parses the file at `path`; a missing or unreadable file gives an
  // empty snapshot, and so does a file larger than kLargestConfigurationFile,
  // which is not read beyond the limit (too_large() tells it).
  static Snapshot Load(const std::string& path);

  // What Load does after the open: the bytes of `file` from its position to
  // its end, reading no more than kLargestConfigurationFile + 1 (a larger
  // file is not read further); nullopt on a read error.
  static std::optional<std::string> ReadBytes(platform::File& file);

  // The snapshot of the bytes ReadBytes gave: parsed, or refused when they
  // are more than kLargestConfigurationFile (too_large()).
  static Snapshot OfBytes(std::string bytes);

  // Parses the bytes of a configuration file: sections "[name]", lines
  // "key=value". The first matching section and the first matching key win;
  // blank lines, lines starting with ";" and lines before the first section
  // are ignored; any run of CR and LF ends a line (CR LF, LF, a lone CR, LF
  // CR); the encoding is told by a byte order mark (see Encoding).
  static Snapshot Parse(std::string bytes);

  // How the file was written.
  Encoding encoding() const { return encoding_; }

  // True when Load refused the file for its size: every setting reads as its
  // default.
  bool too_large() const { return too_large_; }

  // The value of `key` in `section` (both matched without regard to ASCII
  // letter case), without surrounding blanks and without one pair of matching
  // enclosing quotation marks, cut to `read_length` - 1 characters. When the
  // section or key is missing (or the key has no "="), `fallback`, cut alike.
  std::string Read(std::string_view section, std::string_view key, std::string_view fallback,
                   std::size_t read_length) const;

  // The file as it is written, for a checker: every key line and section in
  // the order of the file, with their line and column numbers (from 1, the
  // column in characters of the decoded text). Keys and values as Read finds
  // them, before quotes are taken off or values cut.
  struct KeyLine {
    std::string_view key;
    std::string_view value;
    bool has_value = false;  // false: a line without "="
    std::size_t line = 0;
    std::size_t key_column = 0;
    std::size_t value_column = 0;  // where the value (or the line's end) begins
  };
  struct SectionLines {
    std::string_view name;
    std::size_t line = 0;
    std::size_t column = 0;  // of the "["
    std::vector<KeyLine> keys;
  };
  struct Outline {
    std::vector<KeyLine> before_first_section;  // never read
    std::vector<SectionLines> sections;
  };
  Outline Describe() const;

 private:
  // Pieces of text_, as offsets so that a moved snapshot stays valid.
  struct Piece {
    std::size_t offset = 0;
    std::size_t length = 0;
  };
  struct Entry {
    Piece key;
    Piece value;
    bool has_value = false;  // false: a line without "="
  };
  struct Section {
    Piece name;
    std::size_t first_entry = 0;  // its entries are entries_[first_entry, end_entry)
    std::size_t end_entry = 0;
  };

  // One name in the index: the hash of its lower-case text (for a key, mixed
  // with its section's number) and the section's or entry's number.
  struct IndexSlot {
    std::uint64_t hash = 0;
    std::uint32_t number = 0;
    bool operator<(const IndexSlot& other) const {
      return hash != other.hash ? hash < other.hash : number < other.number;
    }
  };

  std::string_view View(Piece piece) const {
    return std::string_view(text_).substr(piece.offset, piece.length);
  }
  Piece PieceOf(std::string_view part) const;
  void BuildIndex();
  const Section* FindSection(std::string_view name) const;
  const Entry* FindEntry(const Section& section, std::string_view key) const;

  std::string text_;  // the file's text, decoded
  Encoding encoding_ = Encoding::kAnsi;
  bool too_large_ = false;
  std::vector<Section> sections_;
  // Every key line: those before the first section come first (no section
  // refers to them), then each section's.
  std::vector<Entry> entries_;
  // The sections and the keys of every section, each sorted by hash and then
  // by its place in the file, built once by Parse for all but small files: a
  // lookup costs a binary search, not a walk of the file, so reading every
  // key of a large file grows with its size, not with its square.
  bool indexed_ = false;
  std::vector<IndexSlot> section_index_;
  std::vector<IndexSlot> key_index_;
};

// A setting's value as an integer: leading white space, an optional sign, then
// decimal digits up to the first other character; no digits gives 0. Values
// beyond 32 bits saturate at the 32-bit limits.
std::int32_t IntegerSetting(std::string_view value);

// A setting of the key table: where it lives, its default and read length.
struct Setting {
  std::string_view section;
  std::string_view key;
  std::string_view fallback;
  std::size_t read_length;
};

// A numbered setting ("Format%d", "Source%d", ...): `key_prefix` followed by N in
// decimal without leading zeros. `fallback_first` applies to N = 1,
// `fallback_rest` to every later N.
struct NumberedSetting {
  std::string_view section;
  std::string_view key_prefix;
  std::string_view fallback_first;
  std::string_view fallback_rest;
  std::size_t read_length;
};

std::string Read(const Snapshot& snapshot, const Setting& setting);
std::string Read(const Snapshot& snapshot, const NumberedSetting& setting, int n);

}  // namespace zelk::config

#endif  // ZELK_CONFIG_CONFIG_H_
