// Transactions through the pipeline beside the floor of the same work, done
// by hand in bare system calls (bare_floor.h), without the door's defences:
// - a typical configuration (two output sections, one of them filtered out,
//   trace log on): per transaction, read the configuration file (open, one
//   read, close), open, lock, append to and close the target, and append one
//   line to the log (open, lock, write, close);
// - a held target (MaxLines1=1000 on a target already at 1000 lines, so every
//   call trims): the same, plus rewriting the last 1000 lines at the start of
//   the target and truncating it after them.
// The pieces of a transaction are measured on their own too, to show where
// the time goes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bare_floor.h"
#include "config/config.h"
#include "config/config_test_helper.h"
#include "extformat/field_record.h"
#include "forwarding/pipeline.h"
#include "platform/platform.h"
#include "tracelog/status.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace {

namespace fs = std::filesystem;

constexpr char kLine[] =
    "00042,08/12/2026,A1234     ,     OP1, 3,12,         Remark, , 12.500,00\r\n";
constexpr int kHeldLines = 1000;

// The kinds of configuration: the typical one, or one section that holds
// its target to kHeldLines lines; each also with Sync1=1.
struct Kind {
  bool held = false;
  bool sync = false;
};

// The configuration files, one per kind, written once per run and then left
// alone: a file changed less than 2 s before it is read (the racy window of
// the kept configuration) is read and parsed again by every call, which a
// configuration between edits never is. Its times cannot be set back
// instead, as that sets its change time to now.
class ConfigFiles {
 public:
  // The file of `kind`, aged past the racy window.
  static std::string PathFor(Kind kind, const fs::path& dir) {
    static ConfigFiles files(dir);
    return files.paths_[(kind.held ? 2 : 0) + (kind.sync ? 1 : 0)];
  }

 private:
  explicit ConfigFiles(const fs::path& dir)
      : folder_(fs::temp_directory_path() / "zelk-bench-pipeline-config") {
    fs::create_directories(folder_);
    for (const bool held : {false, true}) {
      for (const bool sync : {false, true}) {
        const std::string name = std::string(held ? "held" : "typical") + (sync ? "-sync" : "");
        paths_.push_back(Write(folder_ / (name + ".ini"), {held, sync}, dir));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  }
  ~ConfigFiles() { fs::remove_all(folder_); }
  ConfigFiles(const ConfigFiles&) = delete;
  ConfigFiles& operator=(const ConfigFiles&) = delete;
  static std::string Write(const fs::path& path, Kind kind, const fs::path& dir) {
    std::ofstream config(path, std::ios::binary);
    config << "[ForwardTransaction]\r\nEnable=1\r\n"
           << "Format1=%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00\r\n"
           << "Target1=" << (dir / "out%@10%@12%@13.txt").string()
           << "\r\nFileRotationTime1=1440\r\n";
    if (kind.sync) config << "Sync1=1\r\n";
    if (kind.held) {
      config << "MaxLines1=" << kHeldLines << "\r\n";
    } else {
      config << "Format2=%@01;%@07;%@k9\r\nFilter2=Z\r\nTarget2=" << (dir / "z.txt").string()
             << "\r\n";
    }
    config << "[Log]\r\nFileName=" << (dir / "trace.log").string() << "\r\nMaxLines=-1\r\n";
    return path.string();
  }
  fs::path folder_;
  std::vector<std::string> paths_;
};

struct Setup {
  // `kind.held`: the target already full; otherwise empty.
  explicit Setup(Kind kind = Kind()) : dir(fs::temp_directory_path() / "zelk-bench-pipeline") {
    fs::remove_all(dir);
    fs::create_directories(dir);
    config_path = ConfigFiles::PathFor(kind, dir);
    target = (dir / "out20261208.txt").string();
    log = (dir / "trace.log").string();
    std::ofstream out(target, std::ios::binary);
    for (int i = 0; kind.held && i < kHeldLines; ++i) out << kLine;
    zelk::config::SetConfigFilePathForTesting(config_path);
  }
  ~Setup() {
    zelk::config::SetConfigFilePathForTesting("");
    fs::remove_all(dir);
  }
  fs::path dir;
  std::string config_path, target, log;
};

std::string SuccessLine(const Setup& setup) {
  return "2026-12-08 07:50:37-.-ForwardTransaction section[1] file[" + setup.target +
         "] transno[42] jobno[A1234] -- SUCCESS\r\n";
}

zelk::forwarding::Transaction Sample() {
  return {"42", "A1234", "261208", "075037", "OP1", "", "12", "3", "Remark", "", "12.5", "0"};
}

void BM_FloorPlainLoop(benchmark::State& state) {
  Setup setup;
  const std::string line = kLine;
  const std::string log_line = SuccessLine(setup);
  std::string config;
  for (auto _ : state) {
    zelk::bench::ReadWholeFileBare(setup.config_path, config);
    benchmark::DoNotOptimize(config);
    zelk::bench::AppendToTargetBare(setup.target, line);
    zelk::bench::AppendToLogBare(setup.log, log_line);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorPlainLoop);

// Forwards the sample transaction on every iteration into the target `kind`
// asks for, with the trace log on; a held target must end with its lines.
void ForwardSample(benchmark::State& state, Kind kind) {
  Setup setup(kind);
  zelk::tracelog::ResetTraceLogForTesting();
  zelk::tracelog::OpenTraceLog();
  const zelk::forwarding::Transaction transaction = Sample();
  for (auto _ : state) zelk::forwarding::ForwardTransaction2(transaction);
  state.SetItemsProcessed(state.iterations());
  if (kind.held && fs::file_size(setup.target) != kHeldLines * (sizeof kLine - 1)) {
    state.SkipWithError("the target does not hold its lines");
  }
  zelk::tracelog::ResetTraceLogForTesting();
}

void BM_ForwardTransaction2(benchmark::State& state) { ForwardSample(state, {false, false}); }
BENCHMARK(BM_ForwardTransaction2);

// The same with a status folder set, as ExecuteService sets it: the counts are
// made in memory, and the file is replaced by the first call of each second.
void BM_ForwardTransaction2StatusFile(benchmark::State& state) {
  Setup setup;
  zelk::tracelog::ResetTraceLogForTesting();
  zelk::tracelog::OpenTraceLog();
  const std::string folder = (setup.dir / "status").string();
  fs::create_directories(folder);
  zelk::tracelog::status::Configure(folder, "bench");
  const zelk::forwarding::Transaction transaction = Sample();
  for (auto _ : state) zelk::forwarding::ForwardTransaction2(transaction);
  state.SetItemsProcessed(state.iterations());
  zelk::tracelog::status::Configure("", "");
  zelk::tracelog::ResetTraceLogForTesting();
}
BENCHMARK(BM_ForwardTransaction2StatusFile);

// The same with Sync1=1: each line flushed to the disk before it counts.
void BM_ForwardTransaction2Sync(benchmark::State& state) { ForwardSample(state, {false, true}); }
BENCHMARK(BM_ForwardTransaction2Sync);

// The floor of a held target: the kept lines are known without reading them,
// so they are just written at the start and the file truncated after them.
void BM_FloorHeldTarget(benchmark::State& state) {
  Setup setup({true, false});
  const std::string line = kLine;
  const std::string log_line = SuccessLine(setup);
  std::string kept;
  for (int i = 0; i < kHeldLines; ++i) kept += line;
  std::string config;
  for (auto _ : state) {
    zelk::bench::ReadWholeFileBare(setup.config_path, config);
    benchmark::DoNotOptimize(config);
    zelk::bench::AppendToTargetBare(setup.target, line);
    zelk::bench::RewriteHeldBare(setup.target, kept);
    zelk::bench::AppendToLogBare(setup.log, log_line);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorHeldTarget);

void BM_ForwardTransaction2HeldTarget(benchmark::State& state) {
  ForwardSample(state, {true, false});
}
BENCHMARK(BM_ForwardTransaction2HeldTarget);

// The held target with Sync1=1: the line and each step of the cut flushed.
void BM_ForwardTransaction2HeldTargetSync(benchmark::State& state) {
  ForwardSample(state, {true, true});
}
BENCHMARK(BM_ForwardTransaction2HeldTargetSync);

// The pieces.
// The configuration as a call has it while the file is unchanged: one look
// at the file and the kept snapshot.
void BM_PieceSnapshot(benchmark::State& state) {
  Setup setup;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zelk::tracelog::LoadConfiguration(setup.config_path));
  }
}
BENCHMARK(BM_PieceSnapshot);

// The same after an edit: the file read whole and parsed.
void BM_PieceSnapshotRead(benchmark::State& state) {
  Setup setup;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zelk::config::Snapshot::Load(setup.config_path));
  }
}
BENCHMARK(BM_PieceSnapshotRead);

void BM_PieceRender(benchmark::State& state) {
  const zelk::forwarding::Transaction transaction = Sample();
  std::string target, line;
  for (auto _ : state) {
    zelk::extformat::FieldRecord record;
    zelk::forwarding::FillFieldRecord(record, transaction, false);
    record.SetDateTime(transaction.date, transaction.time, 86400);
    record.ExtFormat(target, "out%@10%@12%@13.txt", zelk::extformat::ValueFilter::kFileNameSafe);
    record.SetDateTime(transaction.date, transaction.time, 0);
    record.ExtFormat(line, "%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00");
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_PieceRender);

void BM_PieceLogMessage(benchmark::State& state) {
  Setup setup;
  zelk::tracelog::ResetTraceLogForTesting();
  zelk::tracelog::ConfigureTraceLog(setup.log, -1, "");
  for (auto _ : state) {
    zelk::tracelog::LogMessage('.',
                               "ForwardTransaction section[%d] file[%s] transno[%s] "
                               "jobno[%s] -- SUCCESS",
                               1, setup.target.c_str(), "42", "A1234");
  }
  zelk::tracelog::ResetTraceLogForTesting();
}
BENCHMARK(BM_PieceLogMessage);

}  // namespace

BENCHMARK_MAIN();
