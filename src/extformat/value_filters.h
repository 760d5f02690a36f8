// What the value filters of ExtFormat do to the bytes that field values wrote:
// a file name's fields stay inside the path components the format gives them
// and never name a device, a line's fields never break the line. The format's
// own text is never touched.
#ifndef ZELK_EXTFORMAT_VALUE_FILTERS_H_
#define ZELK_EXTFORMAT_VALUE_FILTERS_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::extformat::internal {

// In one field's rendered value, out[from] onwards: "/", "\", ":" and control
// characters become "_", so the value can name neither a folder nor a drive.
void ReplaceFileNameBytes(std::string& out, std::size_t from);

// In one field's rendered value, out[from] onwards: CR and LF become spaces,
// so the value cannot start a line of its own.
void ReplaceLineBreaks(std::string& out, std::size_t from);

// The bytes name[begin, end) that one field reference wrote; empty when the
// value rendered as nothing.
struct FieldBytes {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Whether `name` (a path component's name before its first ".", trailing
// spaces already cut) is one that Windows takes for a device: CON, PRN, AUX,
// NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 (also with the superscripts 1, 2, 3
// of Latin-1 or UTF-8), in any case.
bool IsDeviceName(std::string_view name);

// Mends every path component of `name` ("/" and "\" both end one) that a
// field wrote at least one byte of, in `fields` (in order), so that on every
// platform it stays the file or folder the format names:
//  - a component of nothing but dots and spaces: each byte a field wrote
//    becomes "_" (no "." or ".." from a value);
//  - one that ends in a dot or a space a field wrote: that byte becomes "_"
//    (Windows would drop it);
//  - one whose name before its first dot, without trailing spaces, is a device
//    name: "_" goes in after the last byte a field wrote in that name;
//  - a first component that a field left empty, before a separator, becomes
//    "_" (the name would otherwise start at the root).
void KeepFieldsInTheirComponents(std::string& name, std::span<const FieldBytes> fields);

}  // namespace zelk::extformat::internal

#endif  // ZELK_EXTFORMAT_VALUE_FILTERS_H_
