// A long run of the built plug-in as a host drives it: transactions over two
// days through a configuration that rotates its target every hour (48 names)
// and holds a second target to its last lines, with a trimmed trace log.
// Every line must arrive whole and once, and the run must leave neither
// memory nor file descriptors (handles) behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
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
    char date[8], time[8];
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

}  // namespace
}  // namespace zelk::host
