// What a host may throw at the entry points, and what an administrator may
// write into the configuration file: nothing crashes, nothing is lost, and the
// trace log says what happened. Also the entry points under load.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/config_test_helper.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "service/entry_points.h"
#include "test_support.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace {

namespace fs = std::filesystem;
using zelk::testing::ReadFileBytes;
using zelk::testing::ReadLogTexts;
using zelk::testing::WriteFileBytes;

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& part) {
  std::size_t count = 0;
  for (const std::string& line : lines) count += line.find(part) != std::string::npos;
  return count;
}

class HardeningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zelk::platform::SetTimeZoneForTesting("UTC0");
    zelk::tracelog::ResetTraceLogForTesting();
    zelk::config::SetConfigFilePathForTesting(config_path_);
  }
  void TearDown() override {
    SetCallback(nullptr);
    EXPECT_TRUE(zelk::platform::WaitForWorkers(std::chrono::seconds(60)));
    zelk::config::SetConfigFilePathForTesting("");
    zelk::tracelog::ResetTraceLogForTesting();
  }

  // Writes the configuration (with a trace log that keeps everything) and
  // starts the service on it.
  void Start(const std::string& settings) {
    WriteFileBytes(config_path_,
                   "[Log]\r\nFileName=" + log_path_ + "\r\nMaxLines=-1\r\n" + settings);
    ExecuteService();
  }

  std::string Root() { return dir_.path().generic_string() + "/"; }

  zelk::testing::ScratchDir dir_;
  const std::string config_path_ = dir_.File("zelkforward.ini");
  const std::string log_path_ = dir_.File("trace.log");
};

TEST_F(HardeningTest, BadTextsFromTheHost) {
  const std::string target = Root() + "bad%@07.txt";
  Start("[ForwardTransaction]\r\nTarget1=" + target + "\r\nFormat1=%@01|%@03|%@05|%@09|%@k9\r\n" +
        "[ValidJob]\r\nSource1=" + Root() + "jobs.txt\r\nFormat1=0000000010\r\n");
  WriteFileBytes(Root() + "jobs.txt", "J\x01\xFF\r\n");
  const std::string huge(1 << 20, 'x');
  const std::string control = "J\x01\x1F\x7F\xFF\xE9";
  const char* nothing = nullptr;
  ForwardTransaction2(nothing, nothing, nothing, nothing, nothing, nothing, nothing, nothing,
                      nothing, nothing, nothing, nothing);
  ForwardTransaction(nothing, nothing, nothing, nothing, nothing, nothing, nothing, nothing,
                     nothing, nothing, nothing);
  ForwardTransaction2("", "", "", "", "", "", "", "", "", "", "", "");
  ForwardTransaction2("99999999999999999999", "J1", "261208", "101010", huge.c_str(), "", "-9e99",
                      "", "", "", "1e999", "-1e999");
  ForwardTransaction2("1", control.c_str(),
                      "26\xFF"
                      "208",
                      "1\x01"
                      "1010",
                      control.c_str(), "", "2147483648", "", "", "", "1", "");
  EXPECT_EQ(IsJobnoValid(nothing), 0);
  EXPECT_EQ(IsJobnoValid(huge.c_str()), 0);
  EXPECT_EQ(IsJobnoValid("j\x01\xFF"), 1);
  EXPECT_EQ(SetCallback(nullptr), nullptr);
  StopService();

  const std::vector<std::string> log = ReadLogTexts(log_path_);
  EXPECT_EQ(CountOf(log, "t[Removing NULL Transaction]"), 3u);  // nulls and empties are zero
  const std::string big_line = ReadFileBytes(Root() + "badJ1.txt");
  EXPECT_TRUE(big_line == "2147483647|" + huge + "|-9|inf|inf\r\n")
      << big_line.size() << " bytes, ending " << big_line.substr(big_line.size() - 20);
  // Control characters of the job number are kept in the line, not in the name.
  EXPECT_EQ(ReadFileBytes(Root() + "badJ___\xFF\xE9.txt"),
            "1|" + control + "|2147483647|1.000000|1,00\r\n");
  EXPECT_EQ(CountOf(log, "-- IS VALID line[1]"), 1u);
  EXPECT_EQ(CountOf(log, "-- NOT VALID"), 2u);
}

TEST_F(HardeningTest, BadConfigurations) {
  const std::string target = Root() + "out.txt";
  const std::string long_value(5000, 'v');
  struct Case {
    const char* name;
    std::string configuration;
    const char* logged;  // a piece of the trace log the case must leave
  };
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) % 256);
  std::string huge = "[ForwardTransaction]\r\nTarget1=" + target + "\r\nFormat1=%@01\r\n";
  while (huge.size() < (10u << 20)) huge += "; " + std::string(1000, 'c') + "\r\n";
  const Case cases[] = {
      {"keys beyond their read length",
       "[ForwardTransaction]\r\nEnable=" + long_value + "\r\nFormat1=" + long_value +
           "\r\nFilter1=" + long_value + "\r\nTarget1=" + long_value +
           "\r\nFileRotationTime1=" + long_value + "\r\nMaxLines1=" + long_value +
           "\r\nDropOnSuccess1=" + long_value + "\r\n[ValidJob]\r\nSource1=" + long_value +
           "\r\nFilter1=" + long_value + "\r\nFormat1=" + long_value + "\r\n",
       "t[Format Error]"},
      {"binary junk", junk, "t[Could not open file]"},
      {"a Format of 1023 percent signs",
       "[ForwardTransaction]\r\nTarget1=" + target + "\r\nFormat1=" + std::string(1023, '%') +
           "\r\n",
       "f[ExtFormat] t[Illegal Format String]"},
      {"ten megabytes", huge, "-- SUCCESS"},
  };
  for (const Case& c : cases) {
    fs::remove(log_path_);
    Start(c.configuration);
    ForwardTransaction2("1", "A1", "261208", "101010", "", "", "", "", "", "", "1", "0");
    IsJobnoValid("A1");
    const std::string log = ReadFileBytes(log_path_);
    EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << "\n" << log.substr(0, 2000);
  }
}

// 8 host threads forward to a shared and to their own targets while another
// validates asynchronously and a third rewrites the configuration file.
std::mutex g_answers_mutex;
std::map<std::string, int> g_answers;
std::atomic<int> g_duplicate_answers{0};

void Answer(std::int32_t result, const char* jobno) {
  std::lock_guard<std::mutex> lock(g_answers_mutex);
  if (!g_answers.emplace(jobno, result).second) ++g_duplicate_answers;
}

TEST_F(HardeningTest, LoadFromManyThreadsWhileTheConfigurationIsEdited) {
  constexpr int kHosts = 8;
  constexpr int kPerHost = 1000;
  constexpr int kChecks = 400;
  // Even checks ask for listed job numbers, odd ones for unlisted ones.
  auto jobno_of = [](int check) {
    return (check % 2 == 0 ? "ok" : "no") + std::to_string(10000 + check).substr(1);
  };
  std::string list;
  for (int check = 0; check < kChecks; check += 2) list += jobno_of(check) + "\r\n";
  WriteFileBytes(Root() + "jobs.txt", list);
  const std::string settings =
      "[ForwardTransaction]\r\nTarget1=" + Root() + "shared.txt\r\nFormat1=%@01 %@03\r\n" +
      "Target2=" + Root() + "own%@04.txt\r\nFormat2=%@01 %@03\r\n" +
      "[ValidJob]\r\nSource1=" + Root() + "jobs.txt\r\nFormat1=0000000006\r\n";
  Start(settings);
  SetCallback(&Answer);
  std::atomic<bool> done{false};
  std::thread editor([&] {
    // Editors replace the file as a whole; the comment changes, the meaning not.
    for (int edit = 0; !done.load(); ++edit) {
      const std::string draft = config_path_ + ".new";
      WriteFileBytes(draft, "; edit " + std::to_string(edit) + "\r\n[Log]\r\nFileName=" +
                                log_path_ + "\r\nMaxLines=-1\r\n" + settings);
      std::error_code busy;  // Windows refuses while a reader has the file open
      fs::rename(draft, config_path_, busy);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::thread validator([&jobno_of] {
    for (int check = 0; check < kChecks; ++check) IsJobnoValid(jobno_of(check).c_str());
  });
  std::vector<std::thread> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([h] {
      const std::string host = std::to_string(h);
      for (int i = 0; i < kPerHost; ++i) {
        const std::string number = std::to_string(h * kPerHost + i);
        ForwardTransaction2(number.c_str(), "J", "261208", "101010", number.c_str(), host.c_str(),
                            "", "", "", "", "1", "0");
      }
    });
  }
  for (std::thread& host : hosts) host.join();
  validator.join();
  done.store(true);
  editor.join();
  ASSERT_TRUE(zelk::platform::WaitForWorkers(std::chrono::seconds(120)));

  auto lines_of = [](const std::string& bytes) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < bytes.size();) {
      std::size_t end = bytes.find("\r\n", start);
      if (end == std::string::npos) end = bytes.size();
      lines.push_back(bytes.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  };
  std::map<std::string, int> shared;
  for (const std::string& line : lines_of(ReadFileBytes(Root() + "shared.txt"))) ++shared[line];
  EXPECT_EQ(shared.size(), static_cast<std::size_t>(kHosts * kPerHost));
  for (const auto& [line, count] : shared) {
    ASSERT_EQ(count, 1) << line;
    const std::string number = line.substr(0, line.find(' '));
    ASSERT_EQ(line, number + " " + number);  // whole, never torn
  }
  for (int h = 0; h < kHosts; ++h) {
    EXPECT_EQ(lines_of(ReadFileBytes(Root() + "own" + std::to_string(h) + ".txt")).size(),
              static_cast<std::size_t>(kPerHost));
  }
  EXPECT_EQ(g_duplicate_answers.load(), 0);
  std::lock_guard<std::mutex> lock(g_answers_mutex);
  ASSERT_EQ(g_answers.size(), static_cast<std::size_t>(kChecks));
  for (int check = 0; check < kChecks; ++check) {
    EXPECT_EQ(g_answers[jobno_of(check)], check % 2 == 0 ? 1 : 0) << check;
  }
}

}  // namespace
