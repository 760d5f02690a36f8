// The field record: one transaction's values under two-character ordinals, and
// the ExtFormat engine that renders format texts against them.
#ifndef ZELK_EXTFORMAT_FIELD_RECORD_H_
#define ZELK_EXTFORMAT_FIELD_RECORD_H_

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "extformat/parsed_format.h"

namespace zelk::extformat {

// The error of the extended formatting subsystem. It carries one complete
// message, ready to be logged, beginning "f[ExtFormat] t[".
class ExtFormatError : public std::runtime_error {
 public:
  explicit ExtFormatError(const std::string& message) : std::runtime_error(message) {}
};

// How field values are treated while rendering.
enum class ValueFilter {
  kAsIs,
  // For file names: in every field's rendered value, "/", "\", ":" and control
  // characters become "_", and a path component that a field wrote part of is
  // mended where it would be "." or "..", end in a dot or a space, or name a
  // Windows device (see internal::KeepFieldsInTheirComponents), so a value can
  // neither move the file to another folder nor make it a device. The format's
  // literal text is kept as written.
  kFileNameSafe,
  // For lines: in every field's rendered value, CR and LF become spaces, so a
  // value cannot start a line of its own. A line-break field (SetLineBreak)
  // keeps its line feed, and the format's literal text is kept as written.
  kLineSafe,
};

// How a line's field values are written for a program that reads the line as
// CSV (a section's CsvDelimiter and CsvGuard). Applied with
// ValueFilter::kLineSafe, to each value a field writes, padding included,
// after the filter; the format's own text is never changed. The default
// changes nothing.
struct CsvRule {
  // A value holding it or a double quote is enclosed in double quotes, each
  // double quote inside doubled; NUL: no value is quoted.
  char delimiter = '\0';
  // A text (not one that reads as a number) whose first character other than
  // a space would start a spreadsheet formula gets a "'" before it.
  bool guard = false;

  bool active() const { return delimiter != '\0' || guard; }
};

// One stretch of a rendered file name: the bytes one time part wrote, or
// any other bytes (literal text, other fields).
struct NamePiece {
  std::string text;
  int time_part = -1;  // 0 to 6 for "10" to "16" (%Y %y %m %d %H %M %S); -1 otherwise
};

class FieldRecord {
 public:
  // Room for the two dozen fields of a transaction, so filling never regrows.
  FieldRecord() { entries_.reserve(kTypicalFieldCount); }

  // Every text handed in (ordinals, values, the date, the time, the format) is
  // a C text to the record: only the bytes before any NUL count, as they would
  // for the host's NUL-terminated texts.

  // Each setter ignores an ordinal that is not exactly two bytes long (bytes
  // before any NUL); otherwise it removes an entry of the same ordinal and
  // appends the new one.
  void SetInteger(std::string_view ordinal, std::int32_t value);
  void SetText(std::string_view ordinal, std::string_view value);
  void SetText(std::string_view ordinal, const char* value);  // null is the empty text
  void SetReal(std::string_view ordinal, double value);
  // A text field of one line feed that the service itself supplies: the line
  // filter leaves it as written, since its line break is one the format asks for.
  void SetLineBreak(std::string_view ordinal);

  // Sets the time parts "10" to "16" (%Y %y %m %d %H %M %S) from a YYMMDD date
  // and an HHMMSS time in local time, rounded down to a multiple of
  // `rotation_period` seconds since the epoch when it is not 0. Throws
  // ExtFormatError "f[ExtFormat] t[DateAndTime has wrong format]" (record
  // unchanged) unless both texts are exactly 6 characters long; sets the seven
  // parts to empty texts when the moment cannot be converted.
  void SetDateTime(std::string_view date, std::string_view time, std::uint32_t rotation_period);

  // Renders `format` against the record into `output`, which is replaced on
  // success and untouched when ExtFormatError is thrown.
  void ExtFormat(std::string& output, std::string_view format,
                 ValueFilter filter = ValueFilter::kAsIs, CsvRule csv = {}) const;
  // The same for a format read already, which can be rendered any number of
  // times.
  void ExtFormat(std::string& output, const ParsedFormat& format,
                 ValueFilter filter = ValueFilter::kAsIs, CsvRule csv = {}) const;

  // Renders `format` in pieces, each field's value filtered as
  // ValueFilter::kFileNameSafe filters it; the path components are not
  // mended, so the pieces make up the rendered name exactly when it needed
  // no mending. Throws ExtFormatError as ExtFormat does.
  std::vector<NamePiece> RenderNamePieces(std::string_view format) const;

  // The fault that rendering `format` against the record would raise: the
  // first in the order of the text, a missing ordinal included; nullopt when
  // it renders.
  std::optional<FormatFault> FirstFault(const ParsedFormat& format) const;

 private:
  static constexpr std::size_t kTypicalFieldCount = 24;
  static constexpr char kInteger = 'd';
  static constexpr char kText = 's';
  static constexpr char kReal = 'f';

  // One field. `kind` is also the printf conversion letter the field renders
  // with; only the member named by it is meaningful.
  struct Entry {
    char kind = kText;  // kInteger, kText or kReal
    std::array<char, 2> ordinal{};
    std::int32_t integer = 0;
    double real = 0;
    std::string text;
    bool line_break = false;  // set by SetLineBreak: the line filter keeps it
  };

  // Puts `entry` under `ordinal`: overwrites the entry the ordinal has where
  // it stands, so every other entry keeps its place, or appends `entry` when
  // the ordinal has none. Does nothing for an ordinal that is not two bytes
  // long.
  void Replace(std::string_view ordinal, Entry entry);
  // Whether the seven time parts are the entries from `at` on, in order.
  bool TimePartsStandAt(std::size_t at) const;
  // The entry of a two-byte ordinal, or null.
  const Entry* Find(std::string_view ordinal) const;
  class Renderer;
  // Appends the entry's value under the reference's conversion.
  static void AppendValue(std::string& out, const FormatPart& reference, const Entry& entry);

  // The instant of the local date and time last converted: the pipeline sets
  // the time parts twice from the same texts, and the calendar conversion is
  // the dearest step of a section.
  struct ConvertedMoment {
    std::string date;
    std::string time;
    std::optional<std::int64_t> instant;
  };
  std::optional<std::int64_t> InstantOf(std::string_view date, std::string_view time);

  std::vector<Entry> entries_;     // in the order set, at most one per ordinal
  std::size_t time_parts_at_ = 0;  // where SetDateTime last found or put them
  std::optional<ConvertedMoment> last_moment_;
};

}  // namespace zelk::extformat

#endif  // ZELK_EXTFORMAT_FIELD_RECORD_H_
