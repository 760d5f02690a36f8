// What a line's field values become for a program that reads the line as
// CSV: quoted when they hold the delimiter or a double quote, and kept from
// starting a spreadsheet formula. Only the bytes a field wrote are touched;
// the format's own text is the configuration's and stays as written.
#ifndef ZELK_EXTFORMAT_CSV_VALUES_H_
#define ZELK_EXTFORMAT_CSV_VALUES_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "extformat/field_record.h"

namespace zelk::extformat::internal {

// Applies `rule` to one field's rendered value, out[from] onwards: the guard
// to a text (`text`), then the quoting. Numbers are never guarded: a
// negative amount is a number, not a formula.
void ApplyCsvRule(std::string& out, std::size_t from, bool text, const CsvRule& rule);

// Whether `value` reads as a number as a whole, padding spaces aside: an
// optional sign, then digits with at most one "." or "," among them (the
// "-12,50" of "k9").
bool ReadsAsNumber(std::string_view value);

// In one text field's rendered value, out[from] onwards: when its first
// character other than a space is "=", "+", "-", "@" or a tab and the value
// is no number, a "'" goes in just before that character, so a spreadsheet
// shows the text instead of running it.
void GuardFormula(std::string& out, std::size_t from);

// In one field's rendered value, out[from] onwards: when it holds `delimiter`
// or a double quote, it is enclosed in double quotes and each double quote in
// it doubled (RFC 4180); otherwise it stays as it is.
void QuoteForCsv(std::string& out, std::size_t from, char delimiter);

}  // namespace zelk::extformat::internal

#endif  // ZELK_EXTFORMAT_CSV_VALUES_H_
