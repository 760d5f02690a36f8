// Transactions through the pipeline with a typical configuration (two output
// sections, one of them filtered out, trace log on), beside the floor: per
// transaction, read the configuration file once, open, lock, append to and
// close the target, and append one line to the log. The pieces of a
// transaction are measured on their own too, to show where the time goes.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "config/config.h"
#include "extformat/field_record.h"
#include "forwarding/pipeline.h"
#include "platform/platform.h"
#include "tracelog/trace_log.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  Setup() : dir(fs::temp_directory_path() / "zelk-bench-pipeline") {
    fs::remove_all(dir);
    fs::create_directories(dir);
    config_path = (dir / "zelkforward.ini").string();
    target = (dir / "out20261208.txt").string();
    log = (dir / "trace.log").string();
    std::ofstream(config_path, std::ios::binary)
        << "[ForwardTransaction]\r\nEnable=1\r\n"
        << "Format1=%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00\r\n"
        << "Target1=" << (dir / "out%@10%@12%@13.txt").string() << "\r\nFileRotationTime1=1440\r\n"
        << "Format2=%@01;%@07;%@k9\r\nFilter2=Z\r\nTarget2=" << (dir / "z.txt").string()
        << "\r\n[Log]\r\nFileName=" << log << "\r\nMaxLines=-1\r\n";
    zelk::config::SetConfigFilePathForTesting(config_path);
  }
  ~Setup() {
    zelk::config::SetConfigFilePathForTesting("");
    fs::remove_all(dir);
  }
  void Truncate() {
    fs::resize_file(target, 0);
    fs::resize_file(log, 0);
  }
  fs::path dir;
  std::string config_path, target, log;
};

zelk::forwarding::Transaction Sample() {
  return {"42", "A1234", "261208", "075037", "OP1", "", "12", "3", "Remark", "", "12.5", "0"};
}

void BM_FloorPlainLoop(benchmark::State& state) {
  Setup setup;
  const std::string line =
      "00042,08/12/2026,A1234     ,     OP1, 3,12,         Remark, , 12.500,00\r\n";
  const std::string log_line =
      "2026-12-08 07:50:37-.-ForwardTransaction section[1] file[" + setup.target +
      "] transno[42] jobno[A1234] -- SUCCESS\r\n";
  std::ofstream(setup.target).close();
  std::ofstream(setup.log).close();
  for (auto _ : state) {
    std::ifstream config(setup.config_path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(config)), std::istreambuf_iterator<char>());
    benchmark::DoNotOptimize(text);
    auto target = zelk::platform::OpenExclusive(setup.target,
                                                zelk::platform::CreateMode::kCreateIfMissing);
    target.file.SeekToEnd();
    target.file.Write(line.data(), line.size());
    target.file.Close();
    auto log = zelk::platform::OpenAppendShared(setup.log);
    log.file.Write(log_line.data(), log_line.size());
    log.file.Close();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorPlainLoop);

void BM_ForwardTransaction2(benchmark::State& state) {
  Setup setup;
  zelk::tracelog::ResetTraceLogForTesting();
  zelk::tracelog::OpenTraceLog();
  const zelk::forwarding::Transaction transaction = Sample();
  for (auto _ : state) zelk::forwarding::ForwardTransaction2(transaction);
  state.SetItemsProcessed(state.iterations());
  zelk::tracelog::ResetTraceLogForTesting();
}
BENCHMARK(BM_ForwardTransaction2);

// The pieces.
void BM_PieceSnapshot(benchmark::State& state) {
  Setup setup;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zelk::config::Snapshot::Load(setup.config_path));
  }
}
BENCHMARK(BM_PieceSnapshot);

void BM_PieceRender(benchmark::State& state) {
  const zelk::forwarding::Transaction transaction = Sample();
  std::string target, line;
  for (auto _ : state) {
    zelk::extformat::FieldRecord record;
    zelk::forwarding::FillFieldRecord(record, transaction, false);
    record.SetDateTime(transaction.date, transaction.time, 86400);
    record.ExtFormat(target, "out%@10%@12%@13.txt", zelk::extformat::ValueFilter::kFileNameSafe);
    record.SetDateTime(transaction.date, transaction.time, 0);
    record.ExtFormat(line,
                     "%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00");
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_PieceRender);

void BM_PieceLogMessage(benchmark::State& state) {
  Setup setup;
  zelk::tracelog::ResetTraceLogForTesting();
  zelk::tracelog::ConfigureTraceLog(setup.log, -1, "");
  for (auto _ : state) {
    zelk::tracelog::LogMessage('.', "ForwardTransaction section[%d] file[%s] transno[%s] "
                               "jobno[%s] -- SUCCESS", 1, setup.target.c_str(), "42", "A1234");
  }
  zelk::tracelog::ResetTraceLogForTesting();
}
BENCHMARK(BM_PieceLogMessage);

}  // namespace

BENCHMARK_MAIN();
