// Rendering the default line format against its record, beside its floor: one
// snprintf of the equivalent ready-made template with the same values.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "extformat/field_record.h"

namespace {

constexpr char kLineFormat[] =
    "%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00";
constexpr char kPrintfTemplate[] = "%5.5d,%s/%s/%s,%-10s,%8s,%2d,%2d,%15s, , %6.3f,00";

zelk::extformat::FieldRecord LineRecord() {
  zelk::extformat::FieldRecord record;
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
  return record;
}

void BM_ExtFormatLine(benchmark::State& state) {
  const zelk::extformat::FieldRecord record = LineRecord();
  std::string line;
  for (auto _ : state) {
    record.ExtFormat(line, kLineFormat);
    benchmark::DoNotOptimize(line.data());
  }
}
BENCHMARK(BM_ExtFormatLine);

// The format read once and rendered from its parts, as a caller that renders
// one format many times would.
void BM_ExtFormatLineParsedOnce(benchmark::State& state) {
  const zelk::extformat::FieldRecord record = LineRecord();
  const zelk::extformat::ParsedFormat format(kLineFormat);
  std::string line;
  for (auto _ : state) {
    record.ExtFormat(line, format);
    benchmark::DoNotOptimize(line.data());
  }
}
BENCHMARK(BM_ExtFormatLineParsedOnce);

// Reading the format alone.
void BM_ParseLineFormat(benchmark::State& state) {
  for (auto _ : state) {
    const zelk::extformat::ParsedFormat format(kLineFormat);
    benchmark::DoNotOptimize(format.parts().data());
  }
}
BENCHMARK(BM_ParseLineFormat);

// The floor: the values are at hand and the template is ready, so this is
// the formatting step alone.
void BM_SnprintfLine(benchmark::State& state) {
  int number = 123, count = 7, code = 12;
  double amount = 2.5;
  char line[128];
  for (auto _ : state) {
    benchmark::DoNotOptimize(number);
    benchmark::DoNotOptimize(amount);
    std::snprintf(line, sizeof line, kPrintfTemplate, number, "08", "12", "2026", "J42", "ABC",
                  count, code, "XYZ", amount);
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_SnprintfLine);

}  // namespace

BENCHMARK_MAIN();
