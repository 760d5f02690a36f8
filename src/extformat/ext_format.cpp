// The ExtFormat engine: printf's language where a conversion names a field of
// the record ("%", modifiers, "@", two-character ordinal) instead of consuming an
// argument, and the field's kind supplies the conversion letter.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "extformat/conversion.h"
#include "extformat/field_record.h"

namespace zelk::extformat {
namespace {

constexpr char kIllegalFormatStringMessage[] = "f[ExtFormat] t[Illegal Format String]";
constexpr char kBadOrdinalMessage[] =
    "f[ExtFormat] t[At least one %@ expresion does not follow by two correct alfanumeric "
    "ordinals]";
constexpr char kMissingOrdinalMessage[] =
    "f[ExtFormat] t[Ordinal does not exist in this context] @[";
constexpr std::size_t kOrdinalLength = 2;

bool IsModifierCharacter(char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-'; }

// ASCII only, whatever the locale: a byte above 127 is never alphanumeric.
bool IsOrdinalCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// A field reference as written: its conversion, its ordinal and where the text
// goes on after it.
struct Reference {
  internal::Conversion conversion;
  std::string_view ordinal;
  std::size_t next = 0;
};

// Reads the field reference whose modifiers start at format[start], just after its
// "%". Checks in the order of the text, so the first fault is the one raised.
Reference ReadReference(std::string_view format, std::size_t start) {
  std::size_t at = start;
  while (at < format.size() && IsModifierCharacter(format[at])) ++at;
  if (at == format.size() || format[at] != '@') throw ExtFormatError(kIllegalFormatStringMessage);
  Reference reference;
  if (!internal::ParseConversion(format.substr(start, at - start), reference.conversion)) {
    throw ExtFormatError(kIllegalFormatStringMessage);
  }
  reference.ordinal = format.substr(at + 1, kOrdinalLength);
  if (reference.ordinal.size() != kOrdinalLength || !IsOrdinalCharacter(reference.ordinal[0]) ||
      !IsOrdinalCharacter(reference.ordinal[1])) {
    throw ExtFormatError(kBadOrdinalMessage);
  }
  reference.next = at + 1 + kOrdinalLength;
  return reference;
}

// Makes a field's rendered value safe inside a file name: it can name neither
// another folder nor a drive, nor carry a control character.
void MakeFileNameSafe(std::string& out, std::size_t from) {
  for (std::size_t i = from; i < out.size(); ++i) {
    const auto byte = static_cast<unsigned char>(out[i]);
    if (byte == '/' || byte == '\\' || byte == ':' || byte < 0x20 || byte == 0x7F) out[i] = '_';
  }
}

}  // namespace

void FieldRecord::ExtFormat(std::string& output, std::string_view format,
                            ValueFilter filter) const {
  format = format.substr(0, format.find('\0'));
  // Rendered aside, so that an error found later leaves `output` as it was.
  std::string rendered;
  // Field values are mostly about as long as their references; twice the
  // format saves the regrowing in the common case.
  rendered.reserve(format.size() * 2);
  std::size_t pos = 0;
  while (pos < format.size()) {
    const std::size_t percent = format.find('%', pos);
    rendered.append(format.substr(pos, percent - pos));
    if (percent == std::string_view::npos) break;
    if (percent + 1 < format.size() && format[percent + 1] == '%') {
      rendered += '%';
      pos = percent + 2;
      continue;
    }
    const Reference reference = ReadReference(format, percent + 1);
    const Entry* entry = Find(reference.ordinal);
    if (entry == nullptr) {
      throw ExtFormatError(
          std::string(kMissingOrdinalMessage).append(reference.ordinal).append("]"));
    }
    const std::size_t value_start = rendered.size();
    switch (entry->kind) {
      case kInteger:
        internal::AppendInteger(rendered, reference.conversion, entry->integer);
        break;
      case kText:
        internal::AppendText(rendered, reference.conversion, entry->text);
        break;
      case kReal:
        internal::AppendReal(rendered, reference.conversion, entry->real);
        break;
    }
    if (filter == ValueFilter::kFileNameSafe) MakeFileNameSafe(rendered, value_start);
    pos = reference.next;
  }
  output = std::move(rendered);
}

}  // namespace zelk::extformat
