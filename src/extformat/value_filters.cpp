#include "extformat/value_filters.h"

#include <algorithm>
#include <optional>

#include "platform/ascii.h"

namespace zelk::extformat::internal {
namespace {

constexpr char kMendByte = '_';

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Windows drops a component's trailing dots and spaces.
bool IsDroppedAtTheEnd(char c) { return c == '.' || c == ' '; }

// The digits a COM or LPT device ends in: 0 to 9, and the superscripts 1, 2, 3
// in Latin-1 and in UTF-8, which Windows counts as digits there too.
bool IsPortNumber(std::string_view text) {
  constexpr std::string_view kSuperscripts[] = {"\xB9",     "\xB2",     "\xB3",
                                                "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
  if (text.size() == 1 && platform::IsAsciiDigit(text[0])) return true;
  return std::find(std::begin(kSuperscripts), std::end(kSuperscripts), text) !=
         std::end(kSuperscripts);
}

// Mends the path component name[begin, end) in place; `written[i]` says
// whether a field wrote name[i]. Returns where a "_" has to go in, if one does.
std::optional<std::size_t> MendComponent(std::string& name, const std::vector<bool>& written,
                                         std::size_t begin, std::size_t end) {
  bool any_written = false;
  for (std::size_t i = begin; i < end && !any_written; ++i) any_written = written[i];
  if (!any_written) return std::nullopt;
  if (std::all_of(name.begin() + static_cast<std::ptrdiff_t>(begin),
                  name.begin() + static_cast<std::ptrdiff_t>(end), IsDroppedAtTheEnd)) {
    for (std::size_t i = begin; i < end; ++i) {
      if (written[i]) name[i] = kMendByte;
    }
    return std::nullopt;  // it holds a "_" now, so it is no device either
  }
  if (IsDroppedAtTheEnd(name[end - 1]) && written[end - 1]) name[end - 1] = kMendByte;
  const std::string_view component = std::string_view(name).substr(begin, end - begin);
  const std::size_t base_end = begin + std::min(component.find('.'), component.size());
  std::size_t name_end = base_end;
  while (name_end > begin && name[name_end - 1] == ' ') --name_end;
  if (!IsDeviceName(std::string_view(name).substr(begin, name_end - begin))) return std::nullopt;
  // A device the format's own text names is the configuration's choice.
  for (std::size_t i = base_end; i-- > begin;) {
    if (written[i]) return i + 1;
  }
  return std::nullopt;
}

// Whether any component of `name` is one that may need mending, whoever
// wrote it: most names have none, and then nothing more is looked at.
bool MayNeedMending(std::string_view name) {
  for (std::size_t begin = 0;;) {
    const std::size_t end = static_cast<std::size_t>(
        std::find_if(name.begin() + static_cast<std::ptrdiff_t>(begin), name.end(), IsSeparator) -
        name.begin());
    const std::string_view component = name.substr(begin, end - begin);
    if (component.empty()) {
      if (begin == 0 && end < name.size()) return true;
    } else if (IsDroppedAtTheEnd(component.back())) {
      return true;  // covers the components of dots and spaces alone too
    } else {
      std::string_view base = component.substr(0, component.find('.'));
      while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
      if (IsDeviceName(base)) return true;
    }
    if (end == name.size()) return false;
    begin = end + 1;
  }
}

}  // namespace

void ReplaceFileNameBytes(std::string& out, std::size_t from) {
  for (std::size_t i = from; i < out.size(); ++i) {
    const auto byte = static_cast<unsigned char>(out[i]);
    if (byte == '/' || byte == '\\' || byte == ':' || platform::IsAsciiControl(out[i])) {
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
    if (platform::EqualsIgnoringAsciiCase(name, device)) return true;
  }
  return name.size() > 3 &&
         (platform::EqualsIgnoringAsciiCase(name.substr(0, 3), "COM") ||
          platform::EqualsIgnoringAsciiCase(name.substr(0, 3), "LPT")) &&
         IsPortNumber(name.substr(3));
}

void KeepFieldsInTheirComponents(std::string& name, std::span<const FieldBytes> fields) {
  if (fields.empty() || !MayNeedMending(name)) return;
  std::vector<bool> written(name.size(), false);
  bool starts_with_empty_field = false;
  for (const FieldBytes& field : fields) {
    std::fill(written.begin() + static_cast<std::ptrdiff_t>(field.begin),
              written.begin() + static_cast<std::ptrdiff_t>(field.end), true);
    starts_with_empty_field = starts_with_empty_field || field.end == 0;
  }
  // Mended in place; the rare insertions come last, from the back, so that
  // the places found stay valid.
  std::vector<std::size_t> insertions;
  for (std::size_t begin = 0;;) {
    const std::size_t end = static_cast<std::size_t>(
        std::find_if(name.begin() + static_cast<std::ptrdiff_t>(begin), name.end(), IsSeparator) -
        name.begin());
    if (begin == 0 && end == 0 && end < name.size() && starts_with_empty_field) {
      insertions.push_back(0);
    } else if (const std::optional<std::size_t> at = MendComponent(name, written, begin, end)) {
      insertions.push_back(*at);
    }
    if (end == name.size()) break;
    begin = end + 1;
  }
  for (auto at = insertions.rbegin(); at != insertions.rend(); ++at) name.insert(*at, 1, kMendByte);
}

}  // namespace zelk::extformat::internal
