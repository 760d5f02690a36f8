// Single calls through the platform door beside the same system calls made
// bare (bare_floor.h): what the door adds to one positioned write of a line,
// and to a whole open, write and close of a target. Built with and without
// the door's fault seam (ZELK_FAULT_SEAM), the two programs side by side show
// what the seam costs a call.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "bare_floor.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kLine =
    "00042,08/12/2026,A1234     ,     OP1, 3,12,         Remark, , 12.500,00\r\n";

// A file of its own for the benchmark, removed after it.
struct Scratch {
  Scratch() : dir(fs::temp_directory_path() / "zelk-bench-platform") {
    fs::remove_all(dir);
    fs::create_directories(dir);
    path = (dir / "target.txt").string();
  }
  ~Scratch() { fs::remove_all(dir); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  fs::path dir;
  std::string path;
};

// The line written over the start of a file held open, as a target's line is
// written where its end was.
void BM_DoorWriteAt(benchmark::State& state) {
  Scratch scratch;
  zelk::platform::OpenResult opened =
      zelk::platform::OpenExclusive(scratch.path, zelk::platform::CreateMode::kCreateIfMissing);
  if (!opened.error.ok()) state.SkipWithError("the file did not open");
  for (auto _ : state) {
    benchmark::DoNotOptimize(opened.file.WriteAt(0, kLine.data(), kLine.size()).ok());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DoorWriteAt);

void BM_FloorWriteAt(benchmark::State& state) {
  Scratch scratch;
  const int fd = zelk::bench::OpenHeldBare(scratch.path);
  for (auto _ : state) zelk::bench::WriteAtStartBare(fd, kLine);
  zelk::bench::CloseBare(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorWriteAt);

// A target's whole visit: opened and held, the line written, closed.
void BM_DoorOpenWriteClose(benchmark::State& state) {
  Scratch scratch;
  for (auto _ : state) {
    zelk::platform::OpenResult opened =
        zelk::platform::OpenExclusive(scratch.path, zelk::platform::CreateMode::kCreateIfMissing);
    opened.file.WriteAt(0, kLine.data(), kLine.size()).IgnoreError();
    benchmark::DoNotOptimize(opened.file.Close().ok());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DoorOpenWriteClose);

void BM_FloorOpenWriteClose(benchmark::State& state) {
  Scratch scratch;
  for (auto _ : state) {
    const int fd = zelk::bench::OpenHeldBare(scratch.path);
    zelk::bench::WriteAtStartBare(fd, kLine);
    zelk::bench::CloseBare(fd);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorOpenWriteClose);

}  // namespace

BENCHMARK_MAIN();
