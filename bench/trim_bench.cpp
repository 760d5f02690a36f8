// Trimming a 100 MB file of 80-byte lines to its last 1000 lines, beside the
// floor of any in-place cut: `tail -n 1000 FILE > OTHER` on the same content
// plus the truncation of the file, which frees the 100 MB cut away (tail
// frees nothing). Both pieces of the floor are also measured alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/platform.h"
#include "tracelog/trim.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLineBytes = 80;
constexpr std::size_t kLines = 100'000'000 / kLineBytes;
constexpr int kKeep = 1000;
constexpr int kIterations = 30;

// The file to trim and its pristine copy in a temporary folder of their own,
// removed when the program ends.
struct Files {
  Files() {
    fs::create_directories(dir);
    std::ofstream out(master, std::ios::binary);
    char line[kLineBytes + 1];
    for (std::size_t i = 0; i < kLines; ++i) {
      std::snprintf(line, sizeof line, "%010zu %-67s\r\n", i, "ForwardTransaction -- SUCCESS");
      out.write(line, kLineBytes);
    }
  }
  ~Files() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  fs::path dir =
      fs::temp_directory_path() / ("zelk-trim-bench-" + std::to_string(std::random_device()()));
  fs::path master = dir / "master.txt";
  fs::path work = dir / "work.txt";
  fs::path tail_out = dir / "tail.txt";
};

Files& TheFiles() {
  static Files files;
  return files;
}

// A cut happens only once per file, so the file is put back outside the
// measured time, and written through to the disk so that no write-back of the
// copy is still running when the cut frees its blocks.
void RestoreWorkFile(benchmark::State& state, const Files& files) {
  state.PauseTiming();
  fs::copy_file(files.master, files.work, fs::copy_options::overwrite_existing);
  if (std::system("sync") != 0) state.SkipWithError("sync failed");
  state.ResumeTiming();
}

void BM_TrimToLastLines(benchmark::State& state) {
  Files& files = TheFiles();
  const std::string work = files.work.string();
  for (auto _ : state) {
    RestoreWorkFile(state, files);
    zelk::tracelog::TrimToLastLines(work, kKeep);
  }
  if (fs::file_size(files.work) != kKeep * kLineBytes) state.SkipWithError("wrong trim result");
}
BENCHMARK(BM_TrimToLastLines)->Iterations(kIterations)->Unit(benchmark::kMillisecond);

// What any in-place cut pays and tail does not: the file system freeing the
// 100 MB that are cut away. Only the exclusive open and the truncation.
void BM_TruncateOnly(benchmark::State& state) {
  Files& files = TheFiles();
  const std::string work = files.work.string();
  for (auto _ : state) {
    RestoreWorkFile(state, files);
    zelk::platform::OpenResult opened =
        zelk::platform::OpenExclusive(work, zelk::platform::CreateMode::kOpenExisting);
    benchmark::DoNotOptimize(opened.file.Truncate(kKeep * kLineBytes).ok());
  }
}
BENCHMARK(BM_TruncateOnly)->Iterations(kIterations)->Unit(benchmark::kMillisecond);

void BM_TailFloor(benchmark::State& state) {
  Files& files = TheFiles();
  const std::string command = "tail -n " + std::to_string(kKeep) + " '" + files.master.string() +
                              "' > '" + files.tail_out.string() + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("tail failed");
  }
}
BENCHMARK(BM_TailFloor)->Iterations(kIterations)->Unit(benchmark::kMillisecond);

void BM_FloorTailAndTruncate(benchmark::State& state) {
  Files& files = TheFiles();
  const std::string work = files.work.string();
  const std::string command =
      "tail -n " + std::to_string(kKeep) + " '" + work + "' > '" + files.tail_out.string() + "'";
  for (auto _ : state) {
    RestoreWorkFile(state, files);
    if (std::system(command.c_str()) != 0) state.SkipWithError("tail failed");
    zelk::platform::OpenResult opened =
        zelk::platform::OpenExclusive(work, zelk::platform::CreateMode::kOpenExisting);
    benchmark::DoNotOptimize(opened.file.Truncate(kKeep * kLineBytes).ok());
  }
}
BENCHMARK(BM_FloorTailAndTruncate)->Iterations(kIterations)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
