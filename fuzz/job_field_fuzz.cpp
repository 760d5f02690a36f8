// The job-number field of a list line against a reference that follows the
// extraction rule step by step: skip k separated fields, cut at the next
// separator, drop p characters, keep n.
//
// Input: the 10-character layout, then the line (any bytes). Every shorter
// or longer prefix of the input must be refused as a layout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "forwarding/job_list.h"
#include "fuzz_support.h"

namespace {

using zelk::forwarding::ExtractJobField;
using zelk::forwarding::FieldLayout;
using zelk::forwarding::ParseFieldLayout;
using zelk::fuzz::ExpectEqual;
using zelk::fuzz::Fail;

constexpr std::size_t kLayoutLength = 10;

// A numeric group as atoi reads it, and whether a minus sign came first.
struct Group {
  long value = 0;
  bool minus = false;
};

Group ReadGroup(std::string_view text) {
  Group group;
  std::size_t at = 0;
  while (at < text.size() && std::string_view(" \t\n\v\f\r").find(text[at]) != text.npos) ++at;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) group.minus = text[at++] == '-';
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    group.value = group.value * 10 + (text[at] - '0');
  }
  return group;
}

std::string ReferenceField(std::string_view layout, std::string_view line) {
  const Group skip = ReadGroup(layout.substr(0, 3));
  const char separator = layout[3];
  const Group start = ReadGroup(layout.substr(4, 3));
  const Group length = ReadGroup(layout.substr(7, 3));
  std::string field(line);
  if (separator != '0') {
    const long rounds = skip.minus ? 0 : skip.value;
    for (long round = 0; round < rounds; ++round) {
      const std::size_t found = field.find(separator);
      if (found != field.npos) field.erase(0, found + 1);
    }
    const std::size_t end = field.find(separator);
    if (end != field.npos) field.erase(end);
  }
  const std::size_t drop = start.minus ? 0 : static_cast<std::size_t>(start.value);
  field.erase(0, std::min(drop, field.size()));
  if (length.minus) return {};
  field.resize(std::min(field.size(), static_cast<std::size_t>(length.value)));
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (std::size_t length = 0; length <= std::min<std::size_t>(input.size(), 16); ++length) {
    if (length != kLayoutLength && ParseFieldLayout(input.substr(0, length))) {
      Fail("only a layout of 10 characters is accepted", "nullopt",
           std::string(input.substr(0, length)));
    }
  }
  if (input.size() < kLayoutLength) return 0;
  const std::string_view layout_text = input.substr(0, kLayoutLength);
  const std::string_view line = input.substr(kLayoutLength);
  const std::optional<FieldLayout> layout = ParseFieldLayout(layout_text);
  if (!layout) Fail("a layout of 10 characters is accepted", std::string(layout_text), "nullopt");

  const std::string_view field = ExtractJobField(line, *layout);
  if (!field.empty() &&
      (field.data() < line.data() || field.data() + field.size() > line.data() + line.size())) {
    Fail("the field lies within the line", std::string(line), std::string(field));
  }
  if (line.find(field) == line.npos) {
    Fail("the field is a substring of the line", std::string(line), std::string(field));
  }
  ExpectEqual("the field equals the reference extraction", ReferenceField(layout_text, line),
              field);
  return 0;
}
