#include "extformat/value_filters.h"

#include <algorithm>

namespace zelk::extformat::internal {
namespace {

constexpr char kMendByte = '_';

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Windows drops a component's trailing dots and spaces.
bool IsDroppedAtTheEnd(char c) { return c == '.' || c == ' '; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameLetters(std::string_view text, std::string_view upper) {
  return text.size() == upper.size() &&
         std::equal(text.begin(), text.end(), upper.begin(),
                    [](char a, char b) { return AsciiUpper(a) == b; });
}

// The digits a COM or LPT device ends in: 0 to 9, and the superscripts 1, 2, 3
// in Latin-1 and in UTF-8, which Windows counts as digits there too.
bool IsPortNumber(std::string_view text) {
  constexpr std::string_view kSuperscripts[] = {"\xB9",     "\xB2",     "\xB3",
                                                "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '9') return true;
  return std::find(std::begin(kSuperscripts), std::end(kSuperscripts), text) !=
         std::end(kSuperscripts);
}

// Mends one path component; `written[i]` says whether a field wrote
// component[i].
void MendComponent(std::string& component, const std::vector<bool>& written) {
  if (std::none_of(written.begin(), written.end(), [](bool w) { return w; })) return;
  if (std::all_of(component.begin(), component.end(), IsDroppedAtTheEnd)) {
    for (std::size_t i = 0; i < component.size(); ++i) {
      if (written[i]) component[i] = kMendByte;
    }
    return;  // it holds a "_" now, so it is no device either
  }
  if (IsDroppedAtTheEnd(component.back()) && written.back()) component.back() = kMendByte;
  const std::size_t base_end = std::min(component.find('.'), component.size());
  std::size_t name_end = base_end;
  while (name_end > 0 && component[name_end - 1] == ' ') --name_end;
  if (!IsDeviceName(std::string_view(component).substr(0, name_end))) return;
  // A device the format's own text names is the configuration's choice.
  for (std::size_t i = base_end; i-- > 0;) {
    if (written[i]) {
      component.insert(i + 1, 1, kMendByte);
      return;
    }
  }
}

}  // namespace

void ReplaceFileNameBytes(std::string& out, std::size_t from) {
  for (std::size_t i = from; i < out.size(); ++i) {
    const auto byte = static_cast<unsigned char>(out[i]);
    if (byte == '/' || byte == '\\' || byte == ':' || byte < 0x20 || byte == 0x7F) {
      out[i] = kMendByte;
    }
  }
}

void ReplaceLineBreaks(std::string& out, std::size_t from) {
  for (std::size_t i = from; i < out.size(); ++i) {
    if (out[i] == '\r' || out[i] == '\n') out[i] = ' ';
  }
}

bool IsDeviceName(std::string_view name) {
  constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : kDevices) {
    if (SameLetters(name, device)) return true;
  }
  return name.size() > 3 &&
         (SameLetters(name.substr(0, 3), "COM") || SameLetters(name.substr(0, 3), "LPT")) &&
         IsPortNumber(name.substr(3));
}

void KeepFieldsInTheirComponents(std::string& name, const std::vector<FieldBytes>& fields) {
  if (fields.empty()) return;
  std::vector<bool> written(name.size(), false);
  bool starts_with_empty_field = false;
  for (const FieldBytes& field : fields) {
    std::fill(written.begin() + static_cast<std::ptrdiff_t>(field.begin),
              written.begin() + static_cast<std::ptrdiff_t>(field.end), true);
    starts_with_empty_field = starts_with_empty_field || field.end == 0;
  }
  std::string mended;
  mended.reserve(name.size() + 4);
  for (std::size_t begin = 0;;) {
    const std::size_t end = static_cast<std::size_t>(
        std::find_if(name.begin() + static_cast<std::ptrdiff_t>(begin), name.end(), IsSeparator) -
        name.begin());
    std::string component = name.substr(begin, end - begin);
    if (begin == 0 && end == 0 && end < name.size() && starts_with_empty_field) {
      component = std::string(1, kMendByte);
    } else {
      MendComponent(component,
                    std::vector<bool>(written.begin() + static_cast<std::ptrdiff_t>(begin),
                                      written.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    mended += component;
    if (end == name.size()) break;
    mended += name[end];
    begin = end + 1;
  }
  name = std::move(mended);
}

}  // namespace zelk::extformat::internal
