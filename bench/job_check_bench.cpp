// A job-number check whose match is the last line of a 1,000,000-line list,
// beside the floor any scan of it must pay: reading the list in-process and
// counting its lines (open, large reads, memchr for the line feeds, close).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "config/config.h"
#include "forwarding/job_check.h"
#include "platform/platform.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

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

void BM_FloorCountLines(benchmark::State& state) {
  constexpr std::size_t kReadSize = 64 * 1024;
  std::unique_ptr<char[]> buffer(new char[kReadSize]);
  for (auto _ : state) {
    auto list = zelk::platform::OpenSharedRead(List().path);
    std::size_t lines = 0;
    for (std::int64_t count; (count = list.file.Read(buffer.get(), kReadSize)) > 0;) {
      const char* at = buffer.get();
      const char* end = at + count;
      while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
        ++lines;
        ++at;
      }
    }
    list.file.Close();
    if (lines != kLines + 1) state.SkipWithError("wrong line count");
  }
}
BENCHMARK(BM_FloorCountLines)->Unit(benchmark::kMillisecond);

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
