#include "extformat/parsed_format.h"

namespace zelk::extformat {
namespace {

constexpr char kIllegalFormatStringMessage[] = "f[ExtFormat] t[Illegal Format String]";
constexpr char kBadOrdinalMessage[] =
    "f[ExtFormat] t[At least one %@ expresion does not follow by two correct alfanumeric "
    "ordinals]";
constexpr char kMissingOrdinalMessage[] =
    "f[ExtFormat] t[Ordinal does not exist in this context] @[";
}  // namespace

std::string FormatFault::Message() const {
  switch (kind) {
    case FaultKind::kIllegalFormatString:
      return kIllegalFormatStringMessage;
    case FaultKind::kBadOrdinal:
      return kBadOrdinalMessage;
    case FaultKind::kMissingOrdinal:
      break;
  }
  return std::string(kMissingOrdinalMessage).append(ordinal).append("]");
}

ParsedFormat::ParsedFormat(std::string_view format) : text_(format.substr(0, format.find('\0'))) {
  struct Collector {
    ParsedFormat& parsed;
    void Part(const FormatPart& part) { parsed.parts_.push_back(part); }
    void Fault(const FormatFault& fault) { parsed.fault_ = fault; }
  } collector{*this};
  ParseFormat(text_, collector);
}

}  // namespace zelk::extformat
