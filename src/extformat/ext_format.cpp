// The ExtFormat engine: printf's language where a conversion names a field of
// the record ("%", modifiers, "@", two-character ordinal) instead of consuming an
// argument, and the field's kind supplies the conversion letter. A format is
// read into its parts first (parsed_format.cpp), then rendered from them.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extformat/conversion.h"
#include "extformat/csv_values.h"
#include "extformat/field_record.h"
#include "extformat/parsed_format.h"
#include "extformat/value_filters.h"

namespace zelk::extformat {
namespace {

constexpr std::size_t kTypicalNameFields = 8;

}  // namespace

void FieldRecord::AppendValue(std::string& out, const FormatPart& reference, const Entry& entry) {
  switch (entry.kind) {
    case kInteger:
      internal::AppendInteger(out, reference.conversion, entry.integer);
      break;
    case kText:
      internal::AppendText(out, reference.conversion, entry.text);
      break;
    case kReal:
      internal::AppendReal(out, reference.conversion, entry.real);
      break;
  }
}

// Renders the parts of one format as the parser hands them over. Rendered
// aside, so that an error found later leaves the caller's output as it was.
class FieldRecord::Renderer {
 public:
  Renderer(const FieldRecord& record, ValueFilter filter, CsvRule csv, std::size_t format_size)
      : record_(record), filter_(filter), csv_(csv) {
    // Field values are mostly about as long as their references; twice the
    // format saves the regrowing in the common case.
    rendered_.reserve(format_size * 2);
    // A file name holds a handful of fields: room for them in one go.
    if (filter_ == ValueFilter::kFileNameSafe) field_bytes_.reserve(kTypicalNameFields);
  }

  void Part(const FormatPart& part) {
    rendered_.append(part.literal);
    if (!part.has_reference) return;
    const Entry* entry = record_.Find(part.ordinal);
    if (entry == nullptr) throw ExtFormatError(MissingOrdinalFault(part).Message());
    const std::size_t value_start = rendered_.size();
    AppendValue(rendered_, part, *entry);
    switch (filter_) {
      case ValueFilter::kAsIs:
        break;
      case ValueFilter::kFileNameSafe:
        internal::ReplaceFileNameBytes(rendered_, value_start);
        field_bytes_.push_back({value_start, rendered_.size()});
        break;
      case ValueFilter::kLineSafe:
        // Integers and reals never render a line break.
        if (entry->kind == kText && !entry->line_break) {
          internal::ReplaceLineBreaks(rendered_, value_start);
        }
        // The line break of a line-break field is the format's, not a value.
        if (csv_.active() && !entry->line_break) [[unlikely]] {
          internal::ApplyCsvRule(rendered_, value_start, entry->kind == kText, csv_);
        }
        break;
    }
    // The line break of a line-break field is the format's, not a value.
  }

  [[noreturn]] static void Fault(const FormatFault& fault) {
    throw ExtFormatError(fault.Message());
  }

  void Finish(std::string& output) {
    if (filter_ == ValueFilter::kFileNameSafe) {
      internal::KeepFieldsInTheirComponents(rendered_, field_bytes_);
    }
    output = std::move(rendered_);
  }

 private:
  const FieldRecord& record_;
  const ValueFilter filter_;
  const CsvRule csv_;
  std::string rendered_;
  std::vector<internal::FieldBytes> field_bytes_;  // what each field wrote, file names only
};

void FieldRecord::ExtFormat(std::string& output, std::string_view format, ValueFilter filter,
                            CsvRule csv) const {
  Renderer renderer(*this, filter, csv, format.size());
  ParseFormat(format, renderer);
  renderer.Finish(output);
}

void FieldRecord::ExtFormat(std::string& output, const ParsedFormat& format, ValueFilter filter,
                            CsvRule csv) const {
  Renderer renderer(*this, filter, csv, format.text().size());
  format.Replay(renderer);
  renderer.Finish(output);
}

std::optional<FormatFault> FieldRecord::FirstFault(const ParsedFormat& format) const {
  for (const FormatPart& part : format.parts()) {
    if (part.has_reference && Find(part.ordinal) == nullptr) return MissingOrdinalFault(part);
  }
  return format.fault();
}

}  // namespace zelk::extformat
