// An ExtFormat text read into its parts: literal text, and field references
// with their conversions and ordinals, up to the first fault of the text's
// form, which is kept with where it stands. Rendering walks the parts against
// a field record; `zelkhost check` reads formats through the same parser
// without rendering them.
#ifndef ZELK_EXTFORMAT_PARSED_FORMAT_H_
#define ZELK_EXTFORMAT_PARSED_FORMAT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extformat/conversion.h"
#include "platform/ascii.h"

namespace zelk::extformat {

// The faults of a format text, each with its own ExtFormatError message.
enum class FaultKind {
  // After "%" and its modifiers comes no "@" (or the text ends), or the
  // modifiers are no conversion ("5-3", "5.5.5", a width above the limit).
  kIllegalFormatString,
  // Either character after "@" is not an ASCII letter or digit, or the text
  // ends before both.
  kBadOrdinal,
  // The ordinal names no field of the record; found only against a record.
  kMissingOrdinal,
};

struct FormatFault {
  FaultKind kind = FaultKind::kIllegalFormatString;
  std::size_t offset = 0;  // of the faulty field reference's "%" in the format
  // A "%" followed by neither a modifier nor "@": most likely a percent sign
  // meant as itself, which is written "%%".
  bool lone_percent = false;
  std::string_view ordinal;  // kMissingOrdinal: the two characters after "@"

  // The complete ExtFormatError text of the fault.
  std::string Message() const;
};

// One part of a format: literal text, then at most one field reference.
struct FormatPart {
  std::string_view literal;  // written as it stands ("%%" already one "%")
  bool has_reference = false;
  internal::Conversion conversion;
  std::string_view ordinal;  // two ASCII letters or digits
  std::size_t offset = 0;    // of the reference's "%" in the format
};

// The fault of a field reference whose ordinal the record lacks.
inline FormatFault MissingOrdinalFault(const FormatPart& reference) {
  FormatFault fault;
  fault.kind = FaultKind::kMissingOrdinal;
  fault.offset = reference.offset;
  fault.ordinal = reference.ordinal;
  return fault;
}

namespace internal {

inline constexpr std::size_t kOrdinalLength = 2;

inline bool IsModifierCharacter(char c) {
  return platform::IsAsciiDigit(c) || c == '.' || c == '-';
}

// ASCII only, whatever the locale: a byte above 127 is never alphanumeric.
inline bool IsOrdinalCharacter(char c) { return platform::IsAsciiLetterOrDigit(c); }

// Reads the field reference whose "%" is at text[percent]: true with `part`'s
// reference filled and `next` past it, or false with `fault` set to its first
// fault, checked in the order of the text.
inline bool ReadReference(std::string_view text, std::size_t percent, FormatPart& part,
                          FormatFault& fault, std::size_t& next) {
  const std::size_t start = percent + 1;
  std::size_t at = start;
  while (at < text.size() && IsModifierCharacter(text[at])) ++at;
  if (at == text.size() || text[at] != '@' ||
      !ParseConversion(text.substr(start, at - start), part.conversion)) {
    fault.kind = FaultKind::kIllegalFormatString;
    fault.offset = percent;
    fault.lone_percent = at == start && (at == text.size() || text[at] != '@');
    return false;
  }
  const std::string_view ordinal = text.substr(at + 1, kOrdinalLength);
  if (ordinal.size() != kOrdinalLength || !IsOrdinalCharacter(ordinal[0]) ||
      !IsOrdinalCharacter(ordinal[1])) {
    fault.kind = FaultKind::kBadOrdinal;
    fault.offset = percent;
    return false;
  }
  part.has_reference = true;
  part.ordinal = ordinal;
  part.offset = percent;
  next = at + 1 + kOrdinalLength;
  return true;
}

}  // namespace internal

// The one parser of ExtFormat texts. Reads `format` (the bytes before any NUL)
// from the left and hands each part in turn to `handler.Part(const
// FormatPart&)`; at the first fault of form it hands that to
// `handler.Fault(const FormatFault&)` and stops. The parts are views of
// `format`. A handler may throw to stop earlier, so a renderer meets a missing
// ordinal before a later fault of form, in the order of the text.
template <typename Handler>
void ParseFormat(std::string_view format, Handler& handler) {
  const std::string_view text = format.substr(0, format.find('\0'));
  FormatPart part;
  FormatFault fault;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // By hand rather than by find: the literals between references are a few
    // bytes long, shorter than a call of memchr costs.
    std::size_t percent = pos;
    while (percent < text.size() && text[percent] != '%') ++percent;
    if (percent == text.size()) percent = std::string_view::npos;
    part.has_reference = false;
    if (percent == std::string_view::npos) {
      part.literal = text.substr(pos);
      pos = text.size();
    } else if (percent + 1 < text.size() && text[percent + 1] == '%') {
      // The escaped percent is the literal's last byte: the first "%" as it stands.
      part.literal = text.substr(pos, percent + 1 - pos);
      pos = percent + 2;
    } else {
      part.literal = text.substr(pos, percent - pos);
      if (!internal::ReadReference(text, percent, part, fault, pos)) {
        handler.Fault(fault);
        return;
      }
    }
    handler.Part(part);
  }
}

// A format read once into its parts, for rendering it many times or for
// looking at it without a record.
class ParsedFormat {
 public:
  // The parts are views of `format`, so it must outlive the result; a
  // temporary string is refused for that.
  explicit ParsedFormat(std::string_view format);
  explicit ParsedFormat(const char* format) : ParsedFormat(std::string_view(format)) {}
  explicit ParsedFormat(std::string&& format) = delete;

  // The parts before the first fault of form, in the order of the text.
  const std::vector<FormatPart>& parts() const { return parts_; }
  // The first fault of form, if any. A missing ordinal depends on the record
  // and is not among these; one that stands earlier in the text comes first.
  const std::optional<FormatFault>& fault() const { return fault_; }
  // The format as read: up to its first NUL.
  std::string_view text() const { return text_; }

  // Hands the parts, then the fault, to `handler` as ParseFormat would.
  template <typename Handler>
  void Replay(Handler& handler) const {
    for (const FormatPart& part : parts_) handler.Part(part);
    if (fault_) handler.Fault(*fault_);
  }

 private:
  std::string_view text_;
  std::vector<FormatPart> parts_;
  std::optional<FormatFault> fault_;
};

}  // namespace zelk::extformat

#endif  // ZELK_EXTFORMAT_PARSED_FORMAT_H_
