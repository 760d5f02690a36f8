// ExtFormat against a slow reference: every field reference is formatted on its
// own by snprintf with "%<spec>d", "%<spec>s" or "%<spec>f", the conversion
// glibc's printf gives for a valid spec, and every fault must be the first one
// in the text with its exact message.
//
// Input: field lines, an empty line, then the format (any bytes). A field line
// is a kind letter, the ordinal up to "=", and the value after it:
//   d  integer (decimal, wrapped to 32 bits)    s  text (SetText of a view)
//   f  real (as strtod reads it, "nan" too)     S  text (SetText of a C text)
//   N  text (SetText of a null pointer)     B  line break (SetLineBreak; value ignored)
// Without an empty line the whole input is the format of an empty record.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "extformat/field_record.h"
#include "extformat/parsed_format.h"
#include "fuzz_support.h"

namespace {

using zelk::extformat::CsvRule;
using zelk::extformat::ExtFormatError;
using zelk::extformat::FieldRecord;
using zelk::extformat::FormatFault;
using zelk::extformat::ParsedFormat;
using zelk::extformat::ValueFilter;
using zelk::fuzz::ExpectEqual;
using zelk::fuzz::Fail;

constexpr std::string_view kIllegal = "f[ExtFormat] t[Illegal Format String]";
constexpr std::string_view kBadOrdinal =
    "f[ExtFormat] t[At least one %@ expresion does not follow by two correct alfanumeric "
    "ordinals]";
constexpr std::string_view kMissingPrefix =
    "f[ExtFormat] t[Ordinal does not exist in this context] @[";
constexpr unsigned long kLargestWidthOrPrecision = 100000;

std::string_view CText(std::string_view text) { return text.substr(0, text.find('\0')); }

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsKnownMessage(std::string_view message) {
  if (message == kIllegal || message == kBadOrdinal) return true;
  return message.size() == kMissingPrefix.size() + 3 &&
         message.substr(0, kMissingPrefix.size()) == kMissingPrefix &&
         IsAsciiAlnum(message[kMissingPrefix.size()]) &&
         IsAsciiAlnum(message[kMissingPrefix.size() + 1]) && message.back() == ']';
}

// What the record should hold: the last value set for each two-byte ordinal.
struct ModelField {
  std::string ordinal;
  char kind = 's';
  std::int32_t integer = 0;
  std::string text;
  double real = 0;
  bool line_break = false;
};

struct Model {
  std::vector<ModelField> fields;

  void Set(std::string_view ordinal, ModelField field) {
    ordinal = CText(ordinal);
    if (ordinal.size() != 2) return;
    for (auto it = fields.begin(); it != fields.end(); ++it) {
      if (it->ordinal == ordinal) {
        fields.erase(it);
        break;
      }
    }
    field.ordinal = std::string(ordinal);
    fields.push_back(std::move(field));
  }

  const ModelField* Find(std::string_view ordinal) const {
    for (const ModelField& field : fields) {
      if (field.ordinal == ordinal) return &field;
    }
    return nullptr;
  }
};

std::int32_t WrappedInteger(std::string_view text) {
  std::int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Fills the record and the model alike from the field lines.
void SetFields(std::string_view header, FieldRecord& record, Model& model) {
  while (!header.empty()) {
    const zelk::fuzz::Split split = zelk::fuzz::SplitAtLineFeed(header);
    header = split.rest;
    const std::string_view line = split.head;
    if (line.empty()) continue;
    const std::size_t equals = line.find('=');
    const std::string_view ordinal = line.substr(1, equals == line.npos ? line.npos : equals - 1);
    const std::string value(equals == line.npos ? std::string_view() : line.substr(equals + 1));
    ModelField field;
    switch (line[0]) {
      case 'd':
        field.kind = 'd';
        field.integer = WrappedInteger(value);
        record.SetInteger(ordinal, field.integer);
        break;
      case 'f':
        field.kind = 'f';
        field.real = std::strtod(value.c_str(), nullptr);
        record.SetReal(ordinal, field.real);
        break;
      case 's':
        field.text = std::string(CText(value));
        record.SetText(ordinal, std::string_view(value));
        break;
      case 'S':
        field.text = std::string(CText(value));
        record.SetText(ordinal, value.c_str());
        break;
      case 'N':
        record.SetText(ordinal, static_cast<const char*>(nullptr));
        break;
      case 'B':
        field.text = "\n";
        field.line_break = true;
        record.SetLineBreak(ordinal);
        break;
      default:
        continue;
    }
    model.Set(ordinal, std::move(field));
  }
}

// Flags from "-0", width digits, then optionally "." and precision digits; no
// number above the largest accepted one. Leading zeros of a precision count
// for nothing, so the value is what is compared, not the digit count.
bool IsValidSpec(std::string_view spec) {
  std::size_t at = spec.find_first_not_of("-0");
  if (at == spec.npos) return true;
  auto number_fits = [&](std::size_t from, std::size_t& to) {
    to = from;
    unsigned long value = 0;
    while (to < spec.size() && spec[to] >= '0' && spec[to] <= '9') {
      value = value * 10 + static_cast<unsigned long>(spec[to] - '0');
      if (value > kLargestWidthOrPrecision) return false;
      ++to;
    }
    return true;
  };
  if (!number_fits(at, at)) return false;
  if (at < spec.size() && spec[at] == '.') {
    if (!number_fits(at + 1, at)) return false;
  }
  return at == spec.size();
}

template <typename Value>
std::string Printf(const std::string& conversion, Value value) {
  const int length = std::snprintf(nullptr, 0, conversion.c_str(), value);
  if (length < 0) Fail("snprintf accepts a valid conversion", conversion, "an error");
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), conversion.c_str(), value);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

void MakeFileNameSafe(std::string& value) {
  for (char& c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == ':' || byte < 0x20 || byte == 0x7F) c = '_';
  }
}

void MakeLineSafe(std::string& value) {
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool IsWindowsDevice(const std::string& name) {
  const std::string upper = Upper(name);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (upper == device) return true;
  }
  if (upper.size() < 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  const std::string number = upper.substr(3);
  for (const char* digit : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\xB9", "\xB2",
                            "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"}) {
    if (number == digit) return true;
  }
  return false;
}

// A file name's bytes, each marked with whether a field wrote it, and where
// fields that wrote nothing stood.
struct MarkedName {
  std::string bytes;
  std::vector<bool> by_field;
  bool empty_field_at_start = false;
};

// One component of a file name mended as the file-name filter promises.
std::string MendComponent(std::string component, std::vector<bool> by_field) {
  bool any = false;
  for (bool b : by_field) any = any || b;
  if (!any) return component;
  if (component.find_first_not_of(". ") == std::string::npos) {
    for (std::size_t i = 0; i < component.size(); ++i) {
      if (by_field[i]) component[i] = '_';
    }
    return component;
  }
  const char last = component.back();
  if ((last == '.' || last == ' ') && by_field.back()) component.back() = '_';
  std::size_t base = component.find('.');
  if (base == std::string::npos) base = component.size();
  std::string name = component.substr(0, base);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (!IsWindowsDevice(name)) return component;
  std::size_t last_by_field = base;
  for (std::size_t i = 0; i < base; ++i) {
    if (by_field[i]) last_by_field = i;
  }
  if (last_by_field != base) component.insert(last_by_field + 1, "_");
  return component;
}

std::string MendFileName(const MarkedName& name) {
  std::string mended;
  std::size_t begin = 0;
  while (true) {
    std::size_t end = begin;
    while (end < name.bytes.size() && name.bytes[end] != '/' && name.bytes[end] != '\\') ++end;
    std::string component = name.bytes.substr(begin, end - begin);
    if (begin == 0 && end == 0 && end < name.bytes.size() && name.empty_field_at_start) {
      component = "_";
    }
    mended += MendComponent(
        component, std::vector<bool>(name.by_field.begin() + begin, name.by_field.begin() + end));
    if (end == name.bytes.size()) return mended;
    mended += name.bytes[end];
    begin = end + 1;
  }
}

// A text that reads as a number as a whole: padding, an optional sign, digits
// with at most one "." or "," among them.
bool IsCsvNumber(const std::string& value) {
  static const std::regex number(R"re(^ *[+-]?(?=[.,]?[0-9])[0-9]*[.,]?[0-9]* *$)re");
  return std::regex_match(value, number);
}

// What the CSV rule makes of one field's filtered value.
void ApplyCsvModel(std::string& value, const ModelField& field, const CsvRule& csv) {
  if (field.line_break) return;
  if (csv.guard && field.kind == 's') {
    const std::size_t lead = value.find_first_not_of(' ');
    if (lead != std::string::npos &&
        std::string_view("=+-@\t").find(value[lead]) != std::string_view::npos &&
        !IsCsvNumber(value)) {
      value.insert(lead, "'");
    }
  }
  if (csv.delimiter == '\0') return;
  if (value.find(csv.delimiter) == std::string::npos && value.find('"') == std::string::npos)
    return;
  std::string quoted = "\"";
  for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  value = quoted + "\"";
}

struct Outcome {
  std::optional<std::string> rendered;  // set on success
  std::string error;                    // the message otherwise
};

Outcome Reference(const Model& model, std::string_view format, ValueFilter filter,
                  const CsvRule& csv = CsvRule()) {
  format = CText(format);
  std::string out;
  MarkedName name;
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      out += format[i++];
      name.by_field.push_back(false);
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      name.by_field.push_back(false);
      i += 2;
      continue;
    }
    std::size_t at = i + 1;
    while (at < format.size() && std::string_view("0123456789.-").find(format[at]) != format.npos) {
      ++at;
    }
    const std::string spec(format.substr(i + 1, at - i - 1));
    if (at == format.size() || format[at] != '@' || !IsValidSpec(spec)) {
      return {std::nullopt, std::string(kIllegal)};
    }
    if (at + 2 >= format.size() || !IsAsciiAlnum(format[at + 1]) || !IsAsciiAlnum(format[at + 2])) {
      return {std::nullopt, std::string(kBadOrdinal)};
    }
    const std::string_view ordinal = format.substr(at + 1, 2);
    const ModelField* field = model.Find(ordinal);
    if (field == nullptr) {
      return {std::nullopt, std::string(kMissingPrefix).append(ordinal).append("]")};
    }
    const std::string conversion = "%" + spec + field->kind;
    std::string value;
    switch (field->kind) {
      case 'd':
        value = Printf(conversion, field->integer);
        break;
      case 'f':
        value = Printf(conversion, field->real);
        break;
      default:
        value = Printf(conversion, field->text.c_str());
        break;
    }
    if (filter == ValueFilter::kFileNameSafe) MakeFileNameSafe(value);
    if (filter == ValueFilter::kLineSafe && field->kind == 's' && !field->line_break) {
      MakeLineSafe(value);
    }
    ApplyCsvModel(value, *field, csv);
    if (out.empty() && value.empty()) name.empty_field_at_start = true;
    out += value;
    name.by_field.resize(out.size(), true);
    i = at + 3;
  }
  if (filter == ValueFilter::kFileNameSafe) {
    name.bytes = out;
    return {MendFileName(name), {}};
  }
  return {out, {}};
}

void CheckRendering(const FieldRecord& record, const Model& model, std::string_view format,
                    ValueFilter filter, const CsvRule& csv = CsvRule()) {
  const Outcome expected = Reference(model, format, filter, csv);
  const std::string before = "\x7Fprevious output";
  std::string output = before;
  try {
    record.ExtFormat(output, format, filter, csv);
  } catch (const ExtFormatError& error) {
    const std::string_view message = error.what();
    if (!IsKnownMessage(message)) Fail("the error is one of the three messages", "", message);
    if (expected.rendered) Fail("a format without faults renders", *expected.rendered, message);
    ExpectEqual("the first fault in the text is reported", expected.error, message);
    ExpectEqual("the output is untouched on error", before, output);
    return;
  }
  if (!expected.rendered) Fail("a fault is raised", expected.error, output);
  ExpectEqual("the output equals the reference rendering", *expected.rendered, output);
}

// A format read once renders as its text does, and its first fault is the
// one rendering raises.
void CheckParsedFormat(const FieldRecord& record, const Model& model, std::string_view format) {
  const ParsedFormat parsed(format);
  const std::optional<FormatFault> fault = record.FirstFault(parsed);
  for (ValueFilter filter :
       {ValueFilter::kAsIs, ValueFilter::kFileNameSafe, ValueFilter::kLineSafe}) {
    const Outcome expected = Reference(model, format, filter);
    std::string output;
    try {
      record.ExtFormat(output, parsed, filter);
    } catch (const ExtFormatError& error) {
      ExpectEqual("a parsed format raises the first fault", expected.error, error.what());
      if (!fault) Fail("FirstFault finds the fault rendering raises", expected.error, "none");
      ExpectEqual("FirstFault's message is the one raised", expected.error, fault->Message());
      continue;
    }
    if (!expected.rendered) Fail("a parsed format raises a fault", expected.error, output);
    if (fault) Fail("FirstFault finds nothing in a format that renders", "none", fault->Message());
    ExpectEqual("a parsed format renders as its text", *expected.rendered, output);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view header;
  std::string_view format = input;
  if (const std::size_t blank = input.find("\n\n"); blank != input.npos) {
    header = input.substr(0, blank + 1);
    format = input.substr(blank + 2);
  } else if (!input.empty() && input.front() == '\n') {
    format = input.substr(1);
  }
  FieldRecord record;
  Model model;
  SetFields(header, record, model);
  CheckRendering(record, model, format, ValueFilter::kAsIs);
  CheckRendering(record, model, format, ValueFilter::kFileNameSafe);
  CheckRendering(record, model, format, ValueFilter::kLineSafe);
  // A CSV line: guarded, and quoted for ";" and for the format's first byte,
  // so that the fuzzer picks delimiters too.
  CsvRule csv;
  csv.delimiter = ';';
  csv.guard = true;
  CheckRendering(record, model, format, ValueFilter::kLineSafe, csv);
  csv.delimiter = format.empty() ? '\0' : format.front();
  csv.guard = false;
  CheckRendering(record, model, format, ValueFilter::kLineSafe, csv);
  CheckParsedFormat(record, model, format);
  return 0;
}
