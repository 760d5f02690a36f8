// ExtFormat beside glibc's snprintf: for generated well-formed modifiers and
// values, "%<modifiers>@v0" must render the very bytes of "%<modifiers>d",
// "%<modifiers>s" or "%<modifiers>f" for the same value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "extformat/field_record.h"

namespace zelk::extformat {
namespace {

// Flags, widths and precisions combined in every way the language allows.
const std::vector<std::string>& AllModifiers() {
  static const std::vector<std::string> modifier_list = [] {
    const char* flags[] = {"", "-", "0", "-0", "0-", "00", "-00-"};
    const char* widths[] = {"", "1", "2", "5", "9", "12", "40"};
    const char* precisions[] = {"", ".", ".0", ".1", ".2", ".3", ".6", ".17", ".40", ".1075"};
    std::vector<std::string> all;
    for (const char* f : flags) {
      for (const char* w : widths) {
        for (const char* p : precisions) all.push_back(std::string(f) + w + p);
      }
    }
    return all;
  }();
  return modifier_list;
}

template <typename T>
std::string Printf(const std::string& modifiers, char letter, T value) {
  const std::string format = "%" + modifiers + letter;
  const int size = std::snprintf(nullptr, 0, format.c_str(), value);
  std::string out(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(out.data(), out.size(), format.c_str(), value);
  out.resize(static_cast<std::size_t>(size));
  return out;
}

std::string Render(const FieldRecord& record, const std::string& modifiers) {
  std::string out;
  record.ExtFormat(out, "%" + modifiers + "@v0");
  return out;
}

// Counts the modifiers under which `record`'s "v0" renders otherwise than printf
// renders `value`, reporting the first few.
template <typename T>
int Mismatches(const FieldRecord& record, char letter, T value,
               const std::vector<std::string>& modifier_list) {
  int mismatches = 0;
  for (const std::string& modifiers : modifier_list) {
    const std::string expected = Printf(modifiers, letter, value);
    const std::string actual = Render(record, modifiers);
    if (actual != expected && ++mismatches <= 3) {
      ADD_FAILURE() << "%" << modifiers << letter << ": printf [" << expected << "] ExtFormat ["
                    << actual << "]";
    }
  }
  return mismatches;
}

TEST(ExtFormatBesideGlibc, Integers) {
  const std::int32_t values[] = {0,       1,          -1,      7,       -7,
                                 42,      -42,        123,     99999,   100000,
                                 -100000, 1234567890, INT_MAX, INT_MIN, INT_MIN + 1};
  FieldRecord record;
  for (std::int32_t value : values) {
    record.SetInteger("v0", value);
    EXPECT_EQ(Mismatches(record, 'd', static_cast<int>(value), AllModifiers()), 0) << value;
  }
}

TEST(ExtFormatBesideGlibc, Texts) {
  const char* values[] = {
      "", "a", "J42", "hello world", "0123456789abcdef0123456789", "\xE9t\xE9", " lead", "trail "};
  FieldRecord record;
  for (const char* value : values) {
    record.SetText("v0", value);
    EXPECT_EQ(Mismatches(record, 's', value, AllModifiers()), 0) << value;
  }
}

TEST(ExtFormatBesideGlibc, Reals) {
  const double values[] = {0.0,       -0.0,   2.5,    -2.5,           0.5,       1.5,     0.125,
                           0.375,     9.995,  0.05,   1e-7,           -1e-7,     123.456, 1.0 / 3,
                           -2.0 / 3,  1e15,   1e22,   1e23,           -1e300,    DBL_MAX, -DBL_MAX,
                           DBL_MIN,   5e-324, 2500.0, 999999.9999995, 0.0000005, 4.35,    INFINITY,
                           -INFINITY, NAN,    -NAN};
  FieldRecord record;
  for (double value : values) {
    record.SetReal("v0", value);
    EXPECT_EQ(Mismatches(record, 'f', value, AllModifiers()), 0) << value;
  }
}

// What a CSV reader is promised, written out on printf's output: a guarded
// text gets "'" before its first character other than a space when that
// would start a formula and the text is no number; a value holding ";" or a
// double quote is quoted with its quotes doubled.
std::string CsvOf(std::string value, bool text) {
  const std::size_t lead = value.find_first_not_of(' ');
  const std::size_t last = value.find_last_not_of(' ');
  if (text && lead != std::string::npos && std::strchr("=+-@\t", value[lead]) != nullptr) {
    const std::string core = value.substr(lead, last - lead + 1);
    const std::size_t digits = std::count_if(core.begin(), core.end(), ::isdigit);
    const std::size_t marks =
        std::count(core.begin(), core.end(), '.') + std::count(core.begin(), core.end(), ',');
    const bool sign = core[0] == '+' || core[0] == '-';
    if (!(digits > 0 && marks <= 1 && digits + marks + (sign ? 1 : 0) == core.size())) {
      value.insert(lead, "'");
    }
  }
  if (value.find_first_of(";\"") == std::string::npos) return value;
  std::string quoted = "\"";
  for (char c : value) quoted.append(c == '"' ? 2 : 1, c);
  return quoted + "\"";
}

TEST(ExtFormatBesideGlibc, CsvValues) {
  const CsvRule csv{';', true};
  const char* texts[] = {"a;b", "say \"hi\"", "=SUM(A1)", "-12,50", "+1", "-", "@x", "\tx", "1-2"};
  FieldRecord record;
  int mismatches = 0;
  for (const std::string& modifiers : AllModifiers()) {
    for (const char* text : texts) {
      record.SetText("v0", text);
      std::string out;
      record.ExtFormat(out, "%" + modifiers + "@v0", ValueFilter::kLineSafe, csv);
      mismatches += out != CsvOf(Printf(modifiers, 's', text), true) ? 1 : 0;
    }
    record.SetReal("v0", -2.5);
    std::string out;
    record.ExtFormat(out, "%" + modifiers + "@v0", ValueFilter::kLineSafe, csv);
    mismatches += out != CsvOf(Printf(modifiers, 'f', -2.5), false) ? 1 : 0;
  }
  EXPECT_EQ(mismatches, 0);
}

// Random bit patterns reach every exponent; halves to 1/2048 of random
// integers make exact ties at the precisions just below their last bit.
TEST(ExtFormatBesideGlibc, GeneratedValues) {
  std::mt19937_64 random(20261208);
  FieldRecord record;
  int mismatches = 0;
  for (int i = 0; i < 30000; ++i) {
    const std::string modifiers = std::string(random() % 2 ? "-" : "") + (random() % 3 ? "" : "0") +
                                  std::to_string(random() % 30) +
                                  (random() % 4 ? "." + std::to_string(random() % 14) : "");
    if (i % 3 == 0) {
      const auto value = static_cast<std::int32_t>(random());
      record.SetInteger("v0", value);
      mismatches += Mismatches(record, 'd', static_cast<int>(value), {modifiers});
      continue;
    }
    double value;
    if (i % 3 == 1) {
      const std::uint64_t bits = random();
      std::memcpy(&value, &bits, sizeof value);
      if (!std::isfinite(value)) continue;
    } else {
      const auto numerator = static_cast<std::int64_t>(random() % 2000001) - 1000000;
      value = std::ldexp(static_cast<double>(numerator), -static_cast<int>(random() % 12));
    }
    record.SetReal("v0", value);
    mismatches += Mismatches(record, 'f', value, {modifiers});
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace zelk::extformat
