#include "extformat/csv_values.h"

#include <algorithm>

#include "platform/ascii.h"

namespace zelk::extformat::internal {
namespace {

constexpr char kQuote = '"';
constexpr char kFormulaEscape = '\'';
constexpr char kPadding = ' ';

// The characters a spreadsheet takes for the start of a formula; the tab
// because some of them drop it and then read what follows.
bool StartsFormula(char c) { return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t'; }

}  // namespace

bool ReadsAsNumber(std::string_view value) {
  const std::size_t first = value.find_first_not_of(kPadding);
  if (first == std::string_view::npos) return false;
  value = value.substr(first, value.find_last_not_of(kPadding) - first + 1);
  if (value.front() == '+' || value.front() == '-') value.remove_prefix(1);
  bool digits = false;
  bool separator = false;
  for (char c : value) {
    if (platform::IsAsciiDigit(c)) {
      digits = true;
    } else if ((c == '.' || c == ',') && !separator) {
      separator = true;
    } else {
      return false;
    }
  }
  return digits;
}

void GuardFormula(std::string& out, std::size_t from) {
  const std::size_t first = out.find_first_not_of(kPadding, from);
  if (first == std::string::npos || !StartsFormula(out[first])) return;
  if (ReadsAsNumber(std::string_view(out).substr(from))) return;
  out.insert(first, 1, kFormulaEscape);
}

void QuoteForCsv(std::string& out, std::size_t from, char delimiter) {
  const std::string_view value = std::string_view(out).substr(from);
  if (value.find(delimiter) == std::string_view::npos &&
      value.find(kQuote) == std::string_view::npos) {
    return;
  }
  std::string quoted;
  quoted.reserve(value.size() + 2 +
                 static_cast<std::size_t>(std::count(value.begin(), value.end(), kQuote)));
  quoted += kQuote;
  for (char c : value) {
    if (c == kQuote) quoted += kQuote;
    quoted += c;
  }
  quoted += kQuote;
  out.resize(from);
  out += quoted;
}

void ApplyCsvRule(std::string& out, std::size_t from, bool text, const CsvRule& rule) {
  if (rule.guard && text) GuardFormula(out, from);
  if (rule.delimiter != '\0') QuoteForCsv(out, from, rule.delimiter);
}

}  // namespace zelk::extformat::internal
