// The ExtFormat engine: rendering, the order and texts of its errors, the limits
// of the modifiers, and the file-name filter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "extformat/field_record.h"
#include "extformat/parsed_format.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"

namespace zelk::extformat {
namespace {

using namespace std::string_view_literals;

constexpr char kIllegal[] = "f[ExtFormat] t[Illegal Format String]";
constexpr char kBadOrdinal[] =
    "f[ExtFormat] t[At least one %@ expresion does not follow by two correct alfanumeric "
    "ordinals]";
constexpr char kMissing02[] = "f[ExtFormat] t[Ordinal does not exist in this context] @[02]";

std::string Render(const FieldRecord& record, std::string_view format,
                   ValueFilter filter = ValueFilter::kAsIs) {
  std::string out;
  record.ExtFormat(out, format, filter);
  return out;
}

// The error text, or "" when rendering succeeds; the output must stay as it was.
std::string ErrorOf(const FieldRecord& record, std::string_view format) {
  std::string out = "before";
  try {
    record.ExtFormat(out, format);
  } catch (const ExtFormatError& error) {
    EXPECT_EQ(out, "before") << format;
    return error.what();
  }
  return "";
}

class ExtFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record_.SetInteger("01", 123);
    record_.SetInteger("05", -42);
    record_.SetText("07", "J42");
    record_.SetText("03", "ABC");
    record_.SetReal("09", 2.5);
    record_.SetReal("K9", 2500.0);
    record_.SetText("k9", "2,50");
    platform::SetTimeZoneForTesting("UTC0");
    record_.SetDateTime("261208", "143005", 0);
  }
  FieldRecord record_;
};

struct RenderCase {
  const char* format;
  const char* expected;
};

TEST_F(ExtFormatTest, Renders) {
  const RenderCase cases[] = {
      {"", ""},
      {"plain text, /path\\ \xE9\x80", "plain text, /path\\ \xE9\x80"},
      {"100%%", "100%"},
      {"%%@01", "%@01"},
      {"%5.5@01", "00123"},
      {"%-10@07", "J42       "},
      {"%8@03", "     ABC"},
      {"%.2@03", "AB"},
      {"%@09", "2.500000"},
      {"%6.3@09", " 2.500"},
      {"%.0@K9", "2500"},
      {"%05@05", "-0042"},
      {"%@05", "-42"},
      {"%@K9", "2500.000000"},
      {"%@k9", "2,50"},
      {"%@10%@12%@13", "20261208"},
      {"%5@10", " 2026"},
      {"%.2@10", "20"},
      {"%@07%@07%3@07", "J42J42J42"},
      // Odd but well-formed modifiers.
      {"%@01|%0@01|%-@01|%.@01|%-.@01", "123|123|123|123|123"},
      {"%-0-08@05|%0-8@05|%000008@05", "-42     |-42     |-0000042"},
      {"%08.4@05|%-8.4@05|%.5@07", "   -0042|-0042   |J42"},
      {"%06@07|%-06@07", "   J42|J42   "},
      {"%09.2@09|%-9.1@09|%09.0@09", "000002.50|2.5      |000000002"},
  };
  for (const RenderCase& c : cases) EXPECT_EQ(Render(record_, c.format), c.expected) << c.format;
}

TEST(ExtFormat, RendersTheDefaultLine) {
  FieldRecord record;
  record.SetInteger("01", 123);
  record.SetText("13", "08");
  record.SetText("12", "12");
  record.SetText("10", "2026");
  record.SetText("07", "J42");
  record.SetText("03", "ABC");
  record.SetInteger("06", 7);
  record.SetInteger("05", 12);
  record.SetText("21", "XYZ");
  record.SetReal("09", 2.5);
  const std::string line =
      Render(record, "%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00");
  EXPECT_EQ(line, "00123,08/12/2026,J42       ,     ABC, 7,12,            XYZ, ,  2.500,00");
  EXPECT_EQ(line.size(), 71u);
}

TEST(ExtFormat, FormatWithoutReferencesNeedsNoFields) {
  const FieldRecord empty;
  EXPECT_EQ(Render(empty, ""), "");
  EXPECT_EQ(Render(empty, "C:\\out\\a.txt"), "C:\\out\\a.txt");
  EXPECT_EQ(Render(empty, "ab\0%q"sv), "ab");  // a format ends at its first NUL
}

struct ErrorCase {
  const char* format;
  const char* message;
};

TEST_F(ExtFormatTest, RaisesTheFirstFaultInTextOrder) {
  const ErrorCase cases[] = {
      {"%", kIllegal},
      {"abc%", kIllegal},
      {"%d", kIllegal},
      {"%5", kIllegal},
      {"%+5@01", kIllegal},
      {"% 5@01", kIllegal},
      {"%#5@01", kIllegal},
      {"%*@01", kIllegal},
      {"%l@01", kIllegal},
      {"%@1", kBadOrdinal},
      {"%@", kBadOrdinal},
      {"%5@", kBadOrdinal},
      {"%@1,", kBadOrdinal},
      {"%@_1", kBadOrdinal},
      {"%@1\xC3", kBadOrdinal},
      {"%@02", kMissing02},
      {"%@01 %q %@02", kIllegal},
      {"%@02 %q", kMissing02},
      {"%@0%@02", kBadOrdinal},
      // Modifiers must be flags, width, and at most one precision.
      {"%5-3@01", kIllegal},
      {"%5.5.5@01", kIllegal},
      {"%-.-@01", kIllegal},
      {"%1.2-@01", kIllegal},
      {"%..@01", kIllegal},
      // The form is checked before the ordinal, and before the field's presence.
      {"%5-3@_", kIllegal},
      {"%5.5.5@02", kIllegal},
      // Widths and precisions are limited.
      {"%100001@07", kIllegal},
      {"%0000100001@07", kIllegal},
      {"%.100001@09", kIllegal},
      {"%99999999999999999999999@01", kIllegal},
      {"%.99999999999999999999999@01", kIllegal},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(ErrorOf(record_, c.format), c.message) << c.format;
}

TEST_F(ExtFormatTest, LargestWidthAndPrecision) {
  EXPECT_EQ(Render(record_, "%100000@07"), std::string(99997, ' ') + "J42");
  const std::string real = Render(record_, "%.100000@09");
  EXPECT_EQ(real.size(), 100002u);
  EXPECT_EQ(real, "2." + std::string(1, '5') + std::string(99999, '0'));
}

// Values whose renderings are easy to get wrong, with the bytes glibc's printf
// gives for them; these run on every platform.
TEST(ExtFormat, RendersValuesAsGlibcPrintfDoes) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double nan = std::nan("");
  FieldRecord record;
  record.SetInteger("i0", 0);
  record.SetInteger("mn", std::numeric_limits<std::int32_t>::min());
  record.SetInteger("mx", std::numeric_limits<std::int32_t>::max());
  record.SetReal("r0", -0.0);
  record.SetReal("t8", 0.125);
  record.SetReal("t3", 0.375);
  record.SetReal("h2", 2.5);
  record.SetReal("h3", 3.5);
  record.SetReal("sm", -0.0001);
  record.SetReal("pi", -3.14159);
  record.SetReal("ip", kInf);
  record.SetReal("in", -kInf);
  record.SetReal("np", nan);
  record.SetReal("nn", -nan);
  record.SetReal("mm", -std::numeric_limits<double>::max() / 1e300);
  const RenderCase cases[] = {
      {"[%.0@i0][%5.0@i0][%-3.0@i0][%.@i0][%.1@i0]", "[][     ][   ][][0]"},
      {"%@mn|%015@mn|%.12@mn|%-13@mn|", "-2147483648|-00002147483648|-002147483648|-2147483648  |"},
      {"%@mx|%.0@mx", "2147483647|2147483647"},
      {"%@r0|%.0@r0|%06.1@r0", "-0.000000|-0|-000.0"},
      {"%.2@t8|%.2@t3|%.0@h2|%.0@h3", "0.12|0.38|2|4"},
      {"%.3@sm|%010.3@pi|%-010.1@pi", "-0.000|-00003.142|-3.1      "},
      {"[%05@ip][%-08@in][%08.2@np][%05@nn][%.0@ip]", "[  inf][-inf    ][     nan][ -nan][inf]"},
      {"%.3@mm", "-179769313.486"},
  };
  for (const RenderCase& c : cases) EXPECT_EQ(Render(record, c.format), c.expected) << c.format;
}

// Fixed notation prints every digit of the binary value, however long.
TEST(ExtFormat, PrintsRealsExactly) {
  FieldRecord record;
  record.SetReal("bg", 1e300);
  record.SetReal("ts", 5e-324);
  const std::string big = Render(record, "%.0@bg");
  EXPECT_EQ(big.size(), 301u);
  EXPECT_EQ(big.substr(0, 40), "1000000000000000052504760255204420248704");
  const std::string tiny = Render(record, "%.1080@ts");
  ASSERT_EQ(tiny.size(), 1082u);
  EXPECT_EQ(tiny.substr(0, 345), "0." + std::string(323, '0') + "49406564584124654417");
  EXPECT_EQ(tiny.substr(1082 - 21), "265533447265625000000");
}

TEST_F(ExtFormatTest, FileNameSafeFilterChangesOnlyFieldValues) {
  record_.SetText("xx",
                  "a/b\\c:d\x01"
                  "e\x7F"
                  "f\x1F\xE9");
  const char format[] = "dir/%@xx:%@05_%@09%%.txt";
  EXPECT_EQ(Render(record_, format, ValueFilter::kFileNameSafe),
            "dir/a_b_c_d_e_f_\xE9:-42_2.500000%.txt");
  EXPECT_EQ(Render(record_, format, ValueFilter::kAsIs),
            "dir/a/b\\c:d\x01"
            "e\x7F"
            "f\x1F\xE9:-42_2.500000%.txt");
}

// Each component a field wrote part of stays the file or folder the format
// names, and never a device; what the format's own text says is kept.
TEST(ExtFormat, FileNameSafeFilterKeepsFieldsInTheirComponents) {
  struct Case {
    const char* format;
    const char* value;  // of "07"
    const char* expected;
  };
  const Case cases[] = {
      {"base/out/%@07/%@07/data.txt", "..", "base/out/__/__/data.txt"},
      {"base/%@07/x", ".", "base/_/x"},
      {"base/.%@07/x", ".", "base/._/x"},
      {"base/%@07./x", ".", "base/_./x"},
      {"base/%@07/x", " . ", "base/___/x"},
      {"out/%@07.txt", "NUL", "out/NUL_.txt"},
      {"out/%@07", "nul", "out/nul_"},
      {"out/%@07.tar.gz", "Com1", "out/Com1_.tar.gz"},
      {"out/%@07", "LPT9", "out/LPT9_"},
      {"out/%@07", "COM\xB9", "out/COM\xB9_"},
      {"out/%@07", "conout$", "out/conout$_"},
      {"out/%@07 .txt", "aux", "out/aux_ .txt"},
      {"out/N%@07.txt", "UL", "out/NUL_.txt"},
      {"out/%@07L.txt", "NU", "out/NU_L.txt"},
      {"out/%@07/x", "abc.", "out/abc_/x"},
      {"out/%@07", "abc ", "out/abc_"},
      {"out/%-5@07.txt", "ab", "out/ab   .txt"},
      {"out/%-5@07", "ab", "out/ab  _"},
      {"%@07/x.txt", "", "_/x.txt"},
      {"%@07\\%@07\\x.txt", "", "_\\\\x.txt"},
      // Nothing to mend: other names, and what the format's own text says.
      {"out/%@07.txt", "COM10", "out/COM10.txt"},
      {"out/%@07.txt", "CONSOLE", "out/CONSOLE.txt"},
      {"out/%@07.txt", "..x", "out/..x.txt"},
      {"../%@07/NUL.%@07", "A", "../A/NUL.A"},
      {"out/%@07./", "x", "out/x./"},
      {"/dev/null%@07", "", "/dev/null"},
      {"out/%@07", "", "out/"},
      {"%@07", "", ""},
  };
  for (const Case& c : cases) {
    FieldRecord record;
    record.SetText("07", c.value);
    EXPECT_EQ(Render(record, c.format, ValueFilter::kFileNameSafe), c.expected)
        << c.format << " with " << c.value;
  }
}

TEST(ExtFormat, LineSafeFilterKeepsFieldsOnTheLine) {
  FieldRecord record;
  record.SetText("03", "OP1\r\n99999,FAKE-RECORD\r");
  record.SetLineBreak("99");
  record.SetInteger("01", 7);
  EXPECT_EQ(Render(record, "a\r\n%@03|%@99|%-3@01", ValueFilter::kLineSafe),
            "a\r\nOP1  99999,FAKE-RECORD |\n|7  ");
  EXPECT_EQ(Render(record, "%@03%@99", ValueFilter::kAsIs), "OP1\r\n99999,FAKE-RECORD\r\n");
  // In a file name the line break is a control character like any other.
  EXPECT_EQ(Render(record, "x%@99", ValueFilter::kFileNameSafe), "x_");
}

// CsvDelimiter and CsvGuard: only what a field writes is quoted or guarded,
// padding included; numbers are never guarded.
TEST(ExtFormat, CsvRuleQuotesAndGuardsFieldValues) {
  struct Case {
    char delimiter;
    bool guard;
    const char* text;  // the value of "t0"
    const char* format;
    std::string_view expected;
  };
  const Case cases[] = {
      {';', false, "plain", "%@t0;x", "plain;x"},
      {';', false, "a;b", "%@t0;x", "\"a;b\";x"},
      {';', false, "say \"hi\"", "%@t0", "\"say \"\"hi\"\"\""},
      {';', false, "a;b", "%6@t0|%-4@t0", "\"   a;b\"|\"a;b \""},
      {';', false, "ab", "\"%@t0\";x;y", "\"ab\";x;y"},  // the format's quotes are its own
      {',', false, "", "%@k9,%@n0", "\"-12,50\",-42"},
      {';', false, "", "%@k9;%.1@r0", "-12,50;-2.5"},
      {'-', false, "", "%@n0|%@k9", "\"-42\"|\"-12,50\""},
      {'\t', false, "a\tb", "%@t0\t", "\"a\tb\"\t"},
      {'\0', true, "=SUM(A1)", "%@t0", "'=SUM(A1)"},
      {'\0', true, "+1x", "%5@t0", "  '+1x"},
      {'\0', true, "@home", "%-6@t0|", "'@home |"},
      {'\0', true, "\tx", "%@t0", "'\tx"},
      {'\0', true, "-", "%@t0", "'-"},
      {'\0', true, "a=b", "%@t0", "a=b"},
      {'\0', true, "-12.5", "%8@t0", "   -12.5"},
      {'\0', true, "-1.2.3", "%@t0", "'-1.2.3"},
      {'\0', true, "", "%@k9 %@n0 %.1@r0", "-12,50 -42 -2.5"},
      {';', true, "=a;b", "%@t0", "\"'=a;b\""},
      {';', true, "", "x%@99y", "x\ny"},  // a line-break field is the format's
      {'\0', false, "=a;\"", "%@t0", "=a;\""},
  };
  FieldRecord record;
  record.SetText("k9", "-12,50");
  record.SetInteger("n0", -42);
  record.SetReal("r0", -2.5);
  record.SetLineBreak("99");
  for (const Case& c : cases) {
    record.SetText("t0", c.text);
    CsvRule csv;
    csv.delimiter = c.delimiter;
    csv.guard = c.guard;
    std::string out;
    record.ExtFormat(out, c.format, ValueFilter::kLineSafe, csv);
    EXPECT_EQ(out, c.expected) << c.format << " with " << c.text;
  }
}

// The parser keeps the first fault of form with where its reference begins;
// against a record a missing ordinal earlier in the text comes first.
TEST_F(ExtFormatTest, FaultsKeepTheirPlace) {
  struct Case {
    const char* format;
    FaultKind kind;
    std::size_t offset;
    bool lone_percent;
  };
  const Case cases[] = {
      {"100% sure", FaultKind::kIllegalFormatString, 3, true},
      {"abc%", FaultKind::kIllegalFormatString, 3, true},
      {"%%%q", FaultKind::kIllegalFormatString, 2, true},
      {"%@01%5x", FaultKind::kIllegalFormatString, 4, false},
      {"%5-3@01", FaultKind::kIllegalFormatString, 0, false},
      {"ab%@1", FaultKind::kBadOrdinal, 2, false},
      {"%@01 %q %@02", FaultKind::kIllegalFormatString, 5, true},
      {"%@01 %@02 %q", FaultKind::kMissingOrdinal, 5, false},
  };
  for (const Case& c : cases) {
    const ParsedFormat parsed(c.format);
    const std::optional<FormatFault> fault = record_.FirstFault(parsed);
    ASSERT_TRUE(fault.has_value()) << c.format;
    EXPECT_EQ(fault->kind, c.kind) << c.format;
    EXPECT_EQ(fault->offset, c.offset) << c.format;
    EXPECT_EQ(fault->lone_percent, c.lone_percent) << c.format;
    EXPECT_EQ(fault->Message(), ErrorOf(record_, c.format)) << c.format;
  }
  EXPECT_FALSE(record_.FirstFault(ParsedFormat("%@01 100%% %-5.2@07")).has_value());
  EXPECT_EQ(ParsedFormat("%@01 %q").parts().size(), 1u);
}

// A format read once renders as often as wanted, as its text would.
TEST_F(ExtFormatTest, AParsedFormatRendersAsItsText) {
  const ParsedFormat parsed("x%5.5@01|%%|%-4@07|%@09");
  std::string out;
  record_.ExtFormat(out, parsed);
  EXPECT_EQ(out, Render(record_, "x%5.5@01|%%|%-4@07|%@09"));
  record_.SetInteger("01", 9);
  record_.ExtFormat(out, parsed);
  EXPECT_EQ(out, "x00009|%|J42 |2.500000");
}

}  // namespace
}  // namespace zelk::extformat
