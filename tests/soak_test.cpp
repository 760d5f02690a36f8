// A long run of the built plug-in as a host drives it: transactions over two
// days through a configuration that rotates its target every hour (48 names)
// and holds a second target to its last lines, with a trimmed trace log.
// Every line must arrive whole and once, and the run must leave neither
// memory nor file descriptors (handles) behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "process_stats.h"
#include "service_library.h"
#include "test_support.h"

namespace zelk::host {
namespace {

namespace fs = std::filesystem;

// Set by the build: fewer under Wine, where every system call is dearer.
constexpr int kTransactions = ZELK_SOAK_TRANSACTIONS;
constexpr int kWarmUp = kTransactions / 10;
constexpr int kHours = 48;
constexpr int kHeldLines = 500;
constexpr std::size_t kMemorySlack = 1024 * 1024;

fs::path BuiltPlugin() {
  return fs::path(platform::ModulePath(32768)).parent_path().parent_path() / "bin" /
         DefaultLibraryName();
}

std::vector<std::string> LinesOf(const std::string& bytes) {
  std::vector<std::string> lines;
  std::istringstream in(bytes);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line.back() != '\r') {
      lines.push_back("(no CR LF) " + line);
    } else {
      line.pop_back();
      lines.push_back(line);
    }
  }
  return lines;
}

TEST(Soak, EveryLineOnceAndWholeAndNothingLeaks) {
  platform::SetTimeZoneForTesting("UTC0");
  testing::ScratchDir dir;
  const std::string root = dir.path().string() + "/";
  const std::string library_path = root + DefaultLibraryName();
  fs::copy_file(BuiltPlugin(), library_path);
  testing::WriteFileBytes(root + "zelkforward.ini",
                          "[Log]\r\nFileName=" + root + "trace.log\r\nMaxLines=1000\r\n" +
                              "[ForwardTransaction]\r\n"
                              "Format1=%@01 %@07 %@10%@12%@13%@14%@15%@16\r\n"
                              "Target1=" +
                              root +
                              "hour-%@10%@12%@13-%@14.txt\r\n"
                              "FileRotationTime1=60\r\n"
                              "Format2=%@01 %@03\r\n"
                              "Target2=" +
                              root +
                              "held.txt\r\n"
                              "MaxLines2=" +
                              std::to_string(kHeldLines) + "\r\n");
  std::string error;
  std::unique_ptr<ServiceLibrary> library = ServiceLibrary::Load(library_path, &error);
  ASSERT_NE(library, nullptr) << error;
  const EntryPoints& api = library->api();
  api.ExecuteService();

  const std::size_t handles_at_start = testing::OpenHandles();
  std::size_t memory_after_warm_up = 0;
  for (int i = 0; i < kTransactions; ++i) {
    if (i == kWarmUp) memory_after_warm_up = testing::ResidentBytes();
    // Spread evenly over 48 hours from 2026-12-08 00:00.
    const int hour = static_cast<int>(static_cast<long long>(i) * kHours / kTransactions);
    char date[16], time[16];  // room for any int, as the compiler cannot bound these
    std::snprintf(date, sizeof date, "2612%02d", 8 + hour / 24);
    std::snprintf(time, sizeof time, "%02d%02d%02d", hour % 24, i / 60 % 60, i % 60);
    const std::string number = std::to_string(i);
    api.ForwardTransaction2(number.c_str(), "J42", date, time, "text", "", "1", "2", "", "", "1.5",
                            "0");
  }
  const std::size_t memory_at_end = testing::ResidentBytes();
  const std::size_t handles_at_end = testing::OpenHandles();
  api.StopService();

  EXPECT_EQ(handles_at_end, handles_at_start);
  EXPECT_LE(memory_at_end, memory_after_warm_up + kMemorySlack)
      << "after " << kWarmUp << ": " << memory_after_warm_up << " bytes, at the end "
      << memory_at_end;

  // Section 1: each transaction once, whole, in the file of its hour.
  std::vector<int> seen(kTransactions, 0);
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("hour-", 0) != 0) continue;
    ++files;
    const std::string hour_stamp = name.substr(5, 8) + name.substr(14, 2);  // YYYYmmddHH
    for (const std::string& line : LinesOf(testing::ReadFileBytes(entry.path().string()))) {
      int number = -1;
      char job[8] = "", stamp[16] = "";
      const bool whole = std::sscanf(line.c_str(), "%d %7s %15s", &number, job, stamp) == 3 &&
                         std::string(job) == "J42" && std::string(stamp).size() == 14 &&
                         std::string(stamp).substr(0, 10) == hour_stamp && number >= 0 &&
                         number < kTransactions;
      ASSERT_TRUE(whole) << name << ": " << line;
      ++seen[static_cast<std::size_t>(number)];
    }
  }
  EXPECT_EQ(files, kHours);
  for (int i = 0; i < kTransactions; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], 1) << i;

  // Section 2: exactly the last lines, in order.
  const std::vector<std::string> held = LinesOf(testing::ReadFileBytes(root + "held.txt"));
  ASSERT_EQ(held.size(), static_cast<std::size_t>(kHeldLines));
  for (int i = 0; i < kHeldLines; ++i) {
    ASSERT_EQ(held[static_cast<std::size_t>(i)],
              std::to_string(kTransactions - kHeldLines + i) + " text");
  }

  // The trace log: held to its limit (plus what comes before the next trim),
  // every line in the log's own shape.
  const std::vector<testing::LogLine> log = testing::ReadLogLines(root + "trace.log");
  EXPECT_LE(log.size(), 1011u);
  for (const testing::LogLine& line : log) ASSERT_FALSE(line.stamp.empty()) << line.text;
}

constexpr int kValidations = ZELK_SOAK_VALIDATIONS;
// The validation workers' bound, and what each may hold open at once (a job
// list; on Windows also its thread's own handles).
constexpr std::size_t kValidationWorkers = 4;
constexpr std::size_t kHandlesPerWorker = 4;
// The host asks ahead by no more than this many answers, fewer than the
// checks that may wait, so every check is made.
constexpr int kOutstanding = 5000;

std::atomic<int> g_valid_answers{0};
std::atomic<int> g_answers{0};

void CountAnswer(std::int32_t result, const char*) {
  if (result == 1) ++g_valid_answers;
  ++g_answers;
}

// Checks asked for far faster than a long job list can be read: the workers
// stay within their bound, threads and descriptors with them, and every check
// is answered once.
TEST(Soak, ManyChecksTakeAFewWorkers) {
  testing::ScratchDir dir;
  const std::string root = dir.path().string() + "/";
  const std::string library_path = root + DefaultLibraryName();
  fs::copy_file(BuiltPlugin(), library_path);
  std::string list;
  for (int i = 0; i < 2000; ++i) list += "J" + std::to_string(1000000 + i) + "\r\n";
  testing::WriteFileBytes(root + "jobs.txt", list);
  testing::WriteFileBytes(root + "zelkforward.ini",
                          "[ValidJob]\r\nSource1=" + root + "jobs.txt\r\nFormat1=0000000008\r\n");
  std::string error;
  std::unique_ptr<ServiceLibrary> library = ServiceLibrary::Load(library_path, &error);
  ASSERT_NE(library, nullptr) << error;
  const EntryPoints& api = library->api();
  api.ExecuteService();
  api.SetCallback(&CountAnswer);

  const std::size_t threads_at_start = testing::ThreadCount();
  const std::size_t handles_at_start = testing::OpenHandles();
  std::size_t most_threads = 0;
  std::size_t most_handles = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  for (int i = 0; i < kValidations; ++i) {
    while (i - g_answers.load() > kOutstanding && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Every fourth one is listed (the last line, read to the end), the others not.
    api.IsJobnoValid(i % 4 == 0 ? "J1001999" : "J0000000");
    if (i % 500 == 0) {
      most_threads = std::max(most_threads, testing::ThreadCount());
      most_handles = std::max(most_handles, testing::OpenHandles());
    }
  }
  while (g_answers.load() < kValidations && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  api.SetCallback(nullptr);
  api.StopService();

  EXPECT_EQ(g_answers.load(), kValidations);
  EXPECT_EQ(g_valid_answers.load(), (kValidations + 3) / 4);
  // A worker that found the queue empty has given its place up but may still
  // be ending, for a moment, when its successor starts: at most one such
  // thread per place.
  EXPECT_LE(most_threads, threads_at_start + 2 * kValidationWorkers);
  EXPECT_LE(most_handles, handles_at_start + kValidationWorkers * kHandlesPerWorker);
}

}  // namespace
}  // namespace zelk::host
