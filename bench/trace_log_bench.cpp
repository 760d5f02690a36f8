// One LogMessage of a typical forwarding line, beside the floor: open for
// append, one write of the same bytes, close.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "platform/platform.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace {

namespace fs = std::filesystem;

constexpr char kFormat[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- SUCCESS";
constexpr char kWrittenLine[] =
    "2007-10-10 12:00:00-.-ForwardTransaction section[1] file[out20071010.txt] transno[42] "
    "jobno[A1234] -- SUCCESS\r\n";

// A log file in a temporary folder of its own, removed afterwards.
struct LogFile {
  LogFile() {
    fs::create_directories(dir);
    fs::remove(path);
  }
  ~LogFile() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  fs::path dir =
      fs::temp_directory_path() / ("zelk-log-bench-" + std::to_string(std::random_device()()));
  fs::path path = dir / "trace.log";
};

// state.range(0): the line limit (MaxLines); -1 never cuts.
void BM_LogMessage(benchmark::State& state) {
  LogFile log;
  zelk::tracelog::ResetTraceLogForTesting();
  zelk::tracelog::ConfigureTraceLog(log.path.string(), static_cast<std::int32_t>(state.range(0)),
                                    "");
  for (auto _ : state) {
    zelk::tracelog::LogMessage('.', kFormat, 1, "out20071010.txt", "42", "A1234");
  }
  zelk::tracelog::ResetTraceLogForTesting();
}
BENCHMARK(BM_LogMessage)->Arg(-1)->Arg(50)->Unit(benchmark::kMicrosecond);

void BM_AppendFloor(benchmark::State& state) {
  LogFile log;
  const std::string path = log.path.string();
  const std::string line = kWrittenLine;
  for (auto _ : state) {
    zelk::platform::OpenResult opened = zelk::platform::OpenAppendShared(path);
    benchmark::DoNotOptimize(opened.file.Write(line.data(), line.size()).ok());
    benchmark::DoNotOptimize(opened.file.Close().ok());
  }
}
BENCHMARK(BM_AppendFloor)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
