// A job-number check whose match is the last line of a 1,000,000-line list,
// beside the floor of a line scan: grep -c of a fixed string over the file.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/config.h"
#include "forwarding/job_check.h"
#include "tracelog/trace_log.h"

namespace {

namespace fs = std::filesystem;
constexpr int kLines = 1000000;

// "N;Jnnnnnn;description" lines; the job wanted is on the last one.
struct JobList {
  JobList() : path((fs::temp_directory_path() / "zelk-bench-jobs.txt").string()) {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < kLines; ++i) {
      out << i << ";J" << (100000 + i % 800000) << ";housing, series " << i % 97 << "\r\n";
    }
    out << kLines << ";WANTED;the last line\r\n";
  }
  ~JobList() { fs::remove(path); }
  std::string path;
};

JobList& List() {
  static JobList list;
  return list;
}

void BM_FloorGrepCount(benchmark::State& state) {
  const std::string command = "grep -c -F ';WANTED;' " + List().path + " > /dev/null";
  for (auto _ : state) benchmark::DoNotOptimize(std::system(command.c_str()));
}
BENCHMARK(BM_FloorGrepCount)->Unit(benchmark::kMillisecond);

void BM_CheckJobnoLastLine(benchmark::State& state) {
  zelk::tracelog::ResetTraceLogForTesting();  // no log file: measure the scan
  const zelk::config::Snapshot snapshot = zelk::config::Snapshot::Parse(
      "[ValidJob]\nSource1=" + List().path + "\nFormat1=001;000006\n");
  for (auto _ : state) {
    if (zelk::forwarding::CheckJobno("wanted", snapshot) != 1) state.SkipWithError("not found");
  }
}
BENCHMARK(BM_CheckJobnoLastLine)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
