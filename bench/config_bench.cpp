// Reading every setting of one transaction from a snapshot of a typical
// configuration file, per call, beside the floor: reading the file's bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "config/config.h"
#include "config/current.h"
#include "config/settings.h"
#include "platform/platform.h"

namespace {

// About 2 KB: two output sections, two job lists, the log, and comments.
std::string TypicalConfiguration() {
  std::string text =
      "; zelkforward configuration\r\n"
      "[ForwardTransaction]\r\n"
      "Enable=1\r\nAllowZeroTransaction=0\r\nValidation=0\r\n"
      "Format1=%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00\r\n"
      "Filter1=\r\nTarget1=out\\day%@10%@12%@13.txt\r\nFileRotationTime1=1440\r\n"
      "MaxLines1=0\r\nDropOnSuccess1=0\r\n"
      "Format2=%@01;%@07;%@k9\r\nFilter2=A\r\nTarget2=out\\a%@10%@12%@13%@14.txt\r\n"
      "FileRotationTime2=60\r\nMaxLines2=5000\r\nDropOnSuccess2=1\r\n"
      "[ValidJob]\r\nSource1=jobs\\main.txt\r\nFilter1=\r\nFormat1=001;000006\r\n"
      "Source2=jobs\\a.txt\r\nFilter2=A\r\nFormat2=0000000010\r\n"
      "[Log]\r\nFileName=trace.log\r\nMaxLines=5000\r\nFlags=+x-Y\r\n";
  while (text.size() < 2048) text += "; notes of the administrator about this site's setup\r\n";
  return text;
}

struct ConfigFile {
  ConfigFile() : path((std::filesystem::temp_directory_path() / "zelk-bench.ini").string()) {
    std::ofstream(path, std::ios::binary) << TypicalConfiguration();
  }
  ~ConfigFile() { std::filesystem::remove(path); }
  std::string path;
};

// Every key a transaction reads, from `snapshot`.
void ReadEveryTransactionKey(const zelk::config::Snapshot& snapshot) {
  using namespace zelk::config;
  benchmark::DoNotOptimize(Read(snapshot, kEnable));
  benchmark::DoNotOptimize(Read(snapshot, kAllowZeroTransaction));
  benchmark::DoNotOptimize(Read(snapshot, kValidation));
  for (int n = 1; n <= 3; ++n) {
    benchmark::DoNotOptimize(Read(snapshot, kOutputFormat, n));
    benchmark::DoNotOptimize(Read(snapshot, kOutputFilter, n));
    benchmark::DoNotOptimize(Read(snapshot, kTarget, n));
    benchmark::DoNotOptimize(Read(snapshot, kFileRotationTime, n));
    benchmark::DoNotOptimize(Read(snapshot, kOutputMaxLines, n));
    benchmark::DoNotOptimize(Read(snapshot, kDropOnSuccess, n));
  }
}

// The file as it is between edits: last changed long enough before it is
// read (2 s, the racy window) for its kept snapshot to be trusted on one look.
// Its times cannot be set back instead: that changes its change time.
void AgeFile(const std::string& /*path*/) {
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
}

// The floor of a call that finds the file unchanged: one look at it.
void BM_FloorOneLook(benchmark::State& state) {
  ConfigFile file;
  AgeFile(file.path);
  for (auto _ : state) benchmark::DoNotOptimize(zelk::platform::StampOf(file.path));
}
BENCHMARK(BM_FloorOneLook);

// The floor of the same call with its keys: the look, then every key of a
// transaction from a snapshot parsed once.
void BM_FloorOneLookAndKeys(benchmark::State& state) {
  ConfigFile file;
  AgeFile(file.path);
  const zelk::config::Snapshot parsed = zelk::config::Snapshot::Load(file.path);
  for (auto _ : state) {
    benchmark::DoNotOptimize(zelk::platform::StampOf(file.path));
    ReadEveryTransactionKey(parsed);
  }
}
BENCHMARK(BM_FloorOneLookAndKeys);

// What every call pays for the configuration while the file is unchanged:
// the look, the kept snapshot, and every key of a transaction.
void BM_KeptSnapshotEveryTransactionKey(benchmark::State& state) {
  ConfigFile file;
  AgeFile(file.path);
  for (auto _ : state) {
    ReadEveryTransactionKey(*zelk::config::CurrentConfiguration(file.path).snapshot);
  }
}
BENCHMARK(BM_KeptSnapshotEveryTransactionKey);

void BM_FloorReadFileBytes(benchmark::State& state) {
  ConfigFile file;
  for (auto _ : state) {
    std::ifstream in(file.path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_FloorReadFileBytes);

void BM_SnapshotEveryTransactionKey(benchmark::State& state) {
  ConfigFile file;
  for (auto _ : state) ReadEveryTransactionKey(zelk::config::Snapshot::Load(file.path));
}
BENCHMARK(BM_SnapshotEveryTransactionKey);

// A walk of N output sections as a transaction reads them (six keys each),
// from a parsed snapshot: grows with N, not with its square.
void BM_WalkOfManySections(benchmark::State& state) {
  using namespace zelk::config;
  const int sections = static_cast<int>(state.range(0));
  std::string text = "[ForwardTransaction]\r\n";
  for (int n = 1; n <= sections; ++n) {
    const std::string number = std::to_string(n);
    text += "Format" + number + "=%@01\r\nFilter" + number + "=A\r\nTarget" + number + "=out" +
            number + ".txt\r\n";
  }
  const Snapshot snapshot = Snapshot::Parse(text);
  for (auto _ : state) {
    for (int n = 1; n <= sections; ++n) {
      benchmark::DoNotOptimize(Read(snapshot, kOutputFormat, n));
      benchmark::DoNotOptimize(Read(snapshot, kOutputFilter, n));
      benchmark::DoNotOptimize(Read(snapshot, kTarget, n));
      benchmark::DoNotOptimize(Read(snapshot, kFileRotationTime, n));
      benchmark::DoNotOptimize(Read(snapshot, kOutputMaxLines, n));
      benchmark::DoNotOptimize(Read(snapshot, kDropOnSuccess, n));
    }
  }
  state.SetComplexityN(sections);
}
BENCHMARK(BM_WalkOfManySections)
    ->RangeMultiplier(4)
    ->Range(64, 16384)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace

BENCHMARK_MAIN();
