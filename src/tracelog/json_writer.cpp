#include "tracelog/json_writer.h"

#include "platform/ascii.h"

namespace zelk::tracelog {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at the start of `text`, 0 when
// none starts there (a stray continuation byte, an overlong form, a
// surrogate, a cut sequence).
std::size_t Utf8SequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 0 || text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

void AppendEscape(std::string& out, unsigned code) {
  out += "\\u00";
  out += kHexDigits[(code >> 4) & 0xF];
  out += kHexDigits[code & 0xF];
}

}  // namespace

void JsonWriter::Key(std::string_view name) {
  String(name);
  text_ += ':';
  after_value_ = false;
}

// Texts of the service are bytes in the host's code page; the document is
// UTF-8. Well-formed UTF-8 passes as it is; any other byte above 0x7F is
// taken as Latin-1 and written as \u00XX, so the document stays valid.
void JsonWriter::String(std::string_view text) {
  BeforeValue();
  text_ += '"';
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    if (byte >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text);
      if (length == 0) {
        AppendEscape(text_, byte);
        text.remove_prefix(1);
      } else {
        text_.append(text.substr(0, length));
        text.remove_prefix(length);
      }
      continue;
    }
    if (byte == '"' || byte == '\\') {
      text_ += '\\';
      text_ += static_cast<char>(byte);
    } else if (platform::IsAsciiControl(text[0])) {
      AppendEscape(text_, byte);
    } else {
      text_ += static_cast<char>(byte);
    }
    text.remove_prefix(1);
  }
  text_ += '"';
  after_value_ = true;
}

void JsonWriter::Integer(std::int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
  after_value_ = true;
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
  after_value_ = true;
}

void JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
  after_value_ = true;
}

void JsonWriter::StringOrNull(std::string_view text) {
  if (text.empty()) {
    Null();
  } else {
    String(text);
  }
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  text_ += bracket;
  after_value_ = false;
}

void JsonWriter::Close(char bracket) {
  text_ += bracket;
  after_value_ = true;
}

void JsonWriter::BeforeValue() {
  if (after_value_) text_ += ',';
}

}  // namespace zelk::tracelog
