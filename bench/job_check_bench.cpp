// Job-number checks whose match is the last line of a 1,000,000-line list,
// each beside the floor any scan of its list must pay: reading the list
// in-process and counting its lines (open, large reads, memchr for the line
// feeds, close). The lists hold job numbers of digits, of letters, and of
// both, so that every byte of the job number is common in its list.
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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

// A list file written once per program and removed at its end.
struct JobList {
  JobList(const char* name, const std::function<void(std::ostream&)>& write)
      : path((fs::temp_directory_path() / name).string()) {
    std::ofstream out(path, std::ios::binary);
    write(out);
  }
  ~JobList() { fs::remove(path); }
  std::string path;
};

// "N;Jnnnnnn;description" lines; the job wanted is on the last one.
JobList& List() {
  static JobList list("zelk-bench-jobs.txt", [](std::ostream& out) {
    for (int i = 0; i < kLines; ++i) {
      out << i << ";J" << (100000 + i % 800000) << ";housing, series " << i % 97 << "\r\n";
    }
    out << kLines << ";WANTED;the last line\r\n";
  });
  return list;
}

// `count` letters for `n`, in base 26.
std::string Letters(int n, int count) {
  std::string letters(static_cast<std::size_t>(count), ' ');
  for (int i = count - 1; i >= 0; --i, n /= 26) {
    letters[static_cast<std::size_t>(i)] = static_cast<char>('A' + n % 26);
  }
  return letters;
}

std::string DigitJob(int i) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%06d", i);
  return digits;
}
std::string LetterJob(int i) { return Letters(i, 6); }
std::string MixedJob(int i) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04d", i % 10000);
  return Letters(i / 10000, 2) + digits;
}

// "item N description;JOB;x" lines, JOB made by `job` from N; the job wanted
// is the last one's.
void WriteItems(std::ostream& out, std::string (*job)(int)) {
  for (int i = 0; i < kLines; ++i) out << "item " << i << " description;" << job(i) << ";x\r\n";
}
JobList& DigitList() {
  static JobList list("zelk-bench-digits.txt",
                      [](std::ostream& out) { WriteItems(out, DigitJob); });
  return list;
}
JobList& LetterList() {
  static JobList list("zelk-bench-letters.txt",
                      [](std::ostream& out) { WriteItems(out, LetterJob); });
  return list;
}
JobList& MixedList() {
  static JobList list("zelk-bench-mixed.txt", [](std::ostream& out) { WriteItems(out, MixedJob); });
  return list;
}

void CountLines(benchmark::State& state, const JobList& job_list, std::size_t expected) {
  constexpr std::size_t kReadSize = 64 * 1024;
  std::unique_ptr<char[]> buffer(new char[kReadSize]);
  for (auto _ : state) {
    auto list = zelk::platform::OpenSharedRead(job_list.path);
    std::size_t lines = 0;
    for (std::int64_t count; (count = list.file.Read(buffer.get(), kReadSize)) > 0;) {
      const char* at = buffer.get();
      const char* end = at + count;
      while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
        ++lines;
        ++at;
      }
    }
    benchmark::DoNotOptimize(list.file.Close().ok());
    if (lines != expected) state.SkipWithError("wrong line count");
  }
}

void Check(benchmark::State& state, const JobList& job_list, const std::string& jobno) {
  zelk::tracelog::ResetTraceLogForTesting();  // no log file: measure the scan
  const zelk::config::Snapshot snapshot = zelk::config::Snapshot::Parse(
      "[ValidJob]\nSource1=" + job_list.path + "\nFormat1=001;000006\n");
  for (auto _ : state) {
    if (zelk::forwarding::CheckJobno(jobno, snapshot) != 1) state.SkipWithError("not found");
  }
}

void BM_FloorCountLines(benchmark::State& state) { CountLines(state, List(), kLines + 1); }
BENCHMARK(BM_FloorCountLines)->Unit(benchmark::kMillisecond);

void BM_CheckJobnoLastLine(benchmark::State& state) { Check(state, List(), "wanted"); }
BENCHMARK(BM_CheckJobnoLastLine)->Unit(benchmark::kMillisecond);

// The job numbers are asked for in lower case; the lists hold them in upper.
void CheckLastItem(benchmark::State& state, const JobList& list, std::string (*job)(int)) {
  std::string jobno = job(kLines - 1);
  for (char& c : jobno) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Check(state, list, jobno);
}

void BM_FloorCountDigitLines(benchmark::State& state) { CountLines(state, DigitList(), kLines); }
BENCHMARK(BM_FloorCountDigitLines)->Unit(benchmark::kMillisecond);
void BM_CheckJobnoDigitKey(benchmark::State& state) { CheckLastItem(state, DigitList(), DigitJob); }
BENCHMARK(BM_CheckJobnoDigitKey)->Unit(benchmark::kMillisecond);

void BM_FloorCountLetterLines(benchmark::State& state) { CountLines(state, LetterList(), kLines); }
BENCHMARK(BM_FloorCountLetterLines)->Unit(benchmark::kMillisecond);
void BM_CheckJobnoLetterKey(benchmark::State& state) {
  CheckLastItem(state, LetterList(), LetterJob);
}
BENCHMARK(BM_CheckJobnoLetterKey)->Unit(benchmark::kMillisecond);

void BM_FloorCountMixedLines(benchmark::State& state) { CountLines(state, MixedList(), kLines); }
BENCHMARK(BM_FloorCountMixedLines)->Unit(benchmark::kMillisecond);
void BM_CheckJobnoMixedKey(benchmark::State& state) { CheckLastItem(state, MixedList(), MixedJob); }
BENCHMARK(BM_CheckJobnoMixedKey)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
