// The spool's cost, side by side with the service without it:
// - every target present, no SpoolFolder: the plain path;
// - every target present, SpoolFolder set and empty: must cost the same, as
//   the pipeline learns that nothing waits without looking at the folder;
// - the target away, SpoolFolder set: every line goes to the spool behind
//   the first one; each is flushed to the disk before it counts as kept,
//   which costs a flush beside an append;
// - a delivery through a damaged stretch (a keeper killed while it kept a
//   long line) of 256 KB beside one of 4 MB: resynchronising is linear, so
//   16 times the bytes cost about 16 times the time.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/config.h"
#include "config/config_test_helper.h"
#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "forwarding/spool_file.h"
#include "platform/platform.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace {

namespace fs = std::filesystem;

enum class Spool { kOff, kEmpty, kTargetAway };

struct Setup {
  explicit Setup(Spool spool) : dir(fs::temp_directory_path() / "zelk-bench-spool") {
    fs::remove_all(dir);
    fs::create_directories(dir / "spool");
    fs::create_directories(dir / "out");
    config_path = (dir / "zelkforward.ini").string();
    std::ofstream config(config_path, std::ios::binary);
    const fs::path target_folder = spool == Spool::kTargetAway ? dir / "away" : dir / "out";
    config << "[ForwardTransaction]\r\n"
           << "Format1=%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00\r\n"
           << "Target1=" << (target_folder / "out%@10%@12%@13.txt").string()
           << "\r\nFileRotationTime1=1440\r\n";
    if (spool != Spool::kOff) config << "SpoolFolder=" << (dir / "spool").string() << "\r\n";
    config << "[Log]\r\nFileName=" << (dir / "trace.log").string() << "\r\nMaxLines=-1\r\n";
    config.close();
    zelk::config::SetConfigFilePathForTesting(config_path);
    zelk::tracelog::ResetTraceLogForTesting();
    zelk::tracelog::OpenTraceLog();
    // No retries while measuring.
    zelk::forwarding::spool::StopDelivery(std::chrono::seconds(10));
  }
  ~Setup() {
    zelk::tracelog::ResetTraceLogForTesting();
    zelk::config::SetConfigFilePathForTesting("");
    fs::remove_all(dir);
  }
  fs::path dir;
  std::string config_path;
};

zelk::forwarding::Transaction Sample() {
  return {"42", "A1234", "261208", "075037", "OP1", "", "12", "3", "Remark", "", "12.5", "0"};
}

void Forwarding(benchmark::State& state, Spool spool) {
  Setup setup(spool);
  const zelk::forwarding::Transaction transaction = Sample();
  // The first line for an away target pays the bounded wait for it; the
  // measured ones go behind it.
  if (spool == Spool::kTargetAway) zelk::forwarding::ForwardTransaction2(transaction);
  for (auto _ : state) zelk::forwarding::ForwardTransaction2(transaction);
  state.SetItemsProcessed(state.iterations());
}

void BM_SpoolOffTargetPresent(benchmark::State& state) { Forwarding(state, Spool::kOff); }
BENCHMARK(BM_SpoolOffTargetPresent);

void BM_SpoolEmptyTargetPresent(benchmark::State& state) { Forwarding(state, Spool::kEmpty); }
BENCHMARK(BM_SpoolEmptyTargetPresent);

void BM_SpoolTargetAway(benchmark::State& state) { Forwarding(state, Spool::kTargetAway); }
BENCHMARK(BM_SpoolTargetAway);

// A spool file with one whole line, a torn item of `damaged` bytes of text
// (holding the word "line " often, each a false start), and one whole line.
void WriteDamagedSpool(const fs::path& spool, const std::string& target, std::size_t damaged) {
  std::ofstream file(zelk::forwarding::spool::SpoolFileOf(spool.string(), target, 0),
                     std::ios::binary);
  std::string items = zelk::forwarding::spool::Header(target);
  zelk::forwarding::spool::AppendLineItem(items, 1765000000, 0, "first\r\n");
  items += "line 1765000001 0 " + std::to_string(damaged + 100) + " #0123abcd\r\n";
  const std::string text = "a line of a long host text, ";
  while (items.size() < damaged) items += text;
  zelk::forwarding::spool::AppendLineItem(items, 1765000002, 0, "last\r\n");
  file << items;
}

void BM_SpoolDeliverDamaged(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / "zelk-bench-spool-damaged";
  fs::remove_all(dir);
  fs::create_directories(dir / "spool");
  const std::string target = zelk::platform::AbsolutePath((dir / "out.txt").string());
  zelk::forwarding::spool::KnowTargets(
      zelk::config::Snapshot::Parse("[ForwardTransaction]\nTarget1=" + target + "\n"));
  zelk::forwarding::spool::StopDelivery(std::chrono::seconds(10));
  for (auto _ : state) {
    state.PauseTiming();
    WriteDamagedSpool(dir / "spool", target, static_cast<std::size_t>(state.range(0)));
    state.ResumeTiming();
    benchmark::DoNotOptimize(zelk::forwarding::spool::DeliverAll((dir / "spool").string()));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  fs::remove_all(dir);
}
BENCHMARK(BM_SpoolDeliverDamaged)->Arg(256 << 10)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
