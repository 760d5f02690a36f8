// A file name rendered in pieces that tell which bytes the time parts wrote,
// so that the files a target format named in earlier periods can be told
// from other files by their names (KeepFiles<N>).
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extformat/field_record.h"
#include "extformat/parsed_format.h"
#include "extformat/value_filters.h"

namespace zelk::extformat {
namespace {

constexpr std::string_view kTimePartOrdinals[] = {"10", "11", "12", "13", "14", "15", "16"};

// 0 to 6 for the time parts' ordinals, -1 for any other.
int TimePartOf(std::string_view ordinal) {
  for (int part = 0; part < static_cast<int>(std::size(kTimePartOrdinals)); ++part) {
    if (kTimePartOrdinals[part] == ordinal) return part;
  }
  return -1;
}

}  // namespace

std::vector<NamePiece> FieldRecord::RenderNamePieces(std::string_view format) const {
  struct Collector {
    const FieldRecord& record;
    std::vector<NamePiece> pieces;

    void Add(std::string text, int time_part) {
      if (time_part < 0 && !pieces.empty() && pieces.back().time_part < 0) {
        pieces.back().text += text;
      } else {
        pieces.push_back({std::move(text), time_part});
      }
    }
    void Part(const FormatPart& part) {
      Add(std::string(part.literal), -1);
      if (!part.has_reference) return;
      const Entry* entry = record.Find(part.ordinal);
      if (entry == nullptr) throw ExtFormatError(MissingOrdinalFault(part).Message());
      std::string value;
      AppendValue(value, part, *entry);
      internal::ReplaceFileNameBytes(value, 0);
      Add(std::move(value), TimePartOf(part.ordinal));
    }
    [[noreturn]] static void Fault(const FormatFault& fault) {
      throw ExtFormatError(fault.Message());
    }
  } collector{*this, {}};
  ParseFormat(format, collector);
  return std::move(collector.pieces);
}

}  // namespace zelk::extformat
