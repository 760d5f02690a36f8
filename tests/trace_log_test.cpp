// The trace log: line format, the Flags filter, the message counter and its
// periodic trim, set-up from the settings file, banners, and log workers.
#include "tracelog/trace_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"
#include "tracelog/version.h"

namespace zelk::tracelog {
namespace {

using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::WriteFileBytes;

constexpr auto kWorkerWait = std::chrono::seconds(120);
const std::regex kLineShape(R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})-(.)-(.*))");

// The lines of the file, each of which must end in CR LF.
std::vector<std::string> LinesOf(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "line without CR LF: " << bytes.substr(start);
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// "C-text" of each line: the category and the message without the time.
std::vector<std::string> TextsOf(const std::string& path) {
  std::vector<std::string> texts;
  for (const std::string& line : LinesOf(path)) {
    std::smatch parts;
    if (std::regex_match(line, parts, kLineShape)) {
      texts.push_back(parts[2].str() + "-" + parts[3].str());
    } else {
      texts.push_back("?" + line);
    }
  }
  return texts;
}

std::vector<std::string> Numbered(const char* prefix, int first, int last) {
  std::vector<std::string> texts;
  for (int i = first; i <= last; ++i) texts.push_back(prefix + std::to_string(i));
  return texts;
}

void LogNumbered(int first, int last) {
  for (int i = first; i <= last; ++i) LogMessage('.', "m%d", i);
}

class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTraceLogForTesting();
    platform::SetTimeZoneForTesting("UTC0");
  }
  void TearDown() override {
    platform::SetThreadStartFailureForTesting(false);
    EXPECT_TRUE(platform::WaitForWorkers(kWorkerWait));
    ResetTraceLogForTesting();
  }

  ScratchDir dir_;
  const std::string log_ = dir_.File("trace.log");
};

TEST_F(TraceLogTest, LineCarriesTheLocalTimeOfWriting) {
  platform::SetTimeZoneForTesting("XXX-2");
  ConfigureTraceLog(log_, -1, "");
  const std::time_t before = std::time(nullptr);
  LogMessage('*', "IsJobnoValid jobno[%s] -- NOT VALID", "4711");
  const std::time_t after = std::time(nullptr);

  const std::vector<std::string> lines = LinesOf(log_);
  ASSERT_EQ(lines.size(), 1u);
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(lines[0], parts, kLineShape)) << lines[0];
  EXPECT_EQ(parts[2].str(), "*");
  EXPECT_EQ(parts[3].str(), "IsJobnoValid jobno[4711] -- NOT VALID");
  std::set<std::string> allowed;  // the wall time two hours east of UTC
  for (std::time_t t = before; t <= after; ++t) {
    const std::time_t shifted = t + 2 * 3600;
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::gmtime(&shifted));
    allowed.insert(stamp);
  }
  EXPECT_TRUE(allowed.count(parts[1].str())) << parts[1].str();
}

TEST_F(TraceLogTest, LineFeedsBecomeCrLfAndEndTheLineOnce) {
  struct Case {
    std::string text;
    std::string written;  // after the "-C-"
  };
  const Case cases[] = {
      {"plain", "plain\r\n"},
      {"IsJobnoValid -- t[File could not be opened]\n",
       "IsJobnoValid -- t[File could not be opened]\r\n"},
      {"a\nb", "a\r\nb\r\n"},
      {"a\n\n", "a\r\n\r\n"},
      {"", "\r\n"},
      {"\n", "\r\n"},
      {"cr\r", "cr\r\r\n"},
      {std::string(100000, 'x'), std::string(100000, 'x') + "\r\n"},
  };
  int file = 0;
  for (const Case& c : cases) {
    const std::string path = dir_.File("case" + std::to_string(file++) + ".log");
    ConfigureTraceLog(path, -1, "");
    LogMessage('.', "%s", c.text.c_str());
    const std::string bytes = ReadFileBytes(path);
    ASSERT_GE(bytes.size(), 22u);
    EXPECT_EQ(bytes.substr(19, 3), "-.-");
    EXPECT_EQ(bytes.substr(22), c.written) << c.text.substr(0, 60);
  }
}

TEST_F(TraceLogTest, NulCategoryIsWrittenAsDot) {
  ConfigureTraceLog(log_, -1, "-.");
  WriteTraceLine('\0', "nul");
  EXPECT_EQ(TextsOf(log_), std::vector<std::string>{".-nul"});
}

TEST_F(TraceLogTest, FlagsFilter) {
  struct Case {
    const char* flags;
    char category;
    bool written;
  };
  const Case cases[] = {
      {"", 'a', false},       {"", 'B', true},         {"", '.', true},
      {"", '*', true},        {"", '\0', true},        {"", '1', true},
      {"+a", 'a', true},      {"a", 'a', true},        {"-B", 'B', false},
      {"-B", 'C', true},      {"-a", 'a', false},      {"-.*", '.', true},
      {"-.*", '*', true},     {"ab-XY+c", 'a', true},  {"ab-XY+c", 'b', true},
      {"ab-XY+c", 'c', true}, {"ab-XY+c", 'X', false}, {"ab-XY+c", 'Y', false},
      {"ab-XY+c", 'Z', true}, {"ab-XY+c", 'd', false}, {"a b -c", 'b', true},
      {"a b -c", 'c', false}, {"- 1", '1', false},     {"+-+", '+', true},
      {"a-A", 'A', false},    {"A", 'a', false},
  };
  for (const Case& c : cases) {
    ResetTraceLogForTesting();
    ConfigureTraceLog("", -1, c.flags);
    EXPECT_EQ(IsCategoryEnabled(c.category), c.written)
        << "flags[" << c.flags << "] category " << int(c.category);
  }
  ResetTraceLogForTesting();
  ConfigureTraceLog(log_, -1, "-B");
  WriteTraceLine('a', "lowercase not enabled");
  WriteTraceLine('B', "disabled");
  WriteTraceLine('C', "other");
  EXPECT_EQ(TextsOf(log_), std::vector<std::string>{"C-other"});
}

TEST_F(TraceLogTest, SecondSetUpKeepsBothCategorySets) {
  ConfigureTraceLog("", -1, "+a-B");
  ConfigureTraceLog(log_, -1, "-a+B");
  EXPECT_TRUE(IsCategoryEnabled('a'));   // enabled once, lowercase: disabling does not matter
  EXPECT_FALSE(IsCategoryEnabled('B'));  // disabled once stays disabled
  WriteLoadedBanner();
  const std::vector<std::string> lines = LinesOf(log_);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("logflags[-a+B]"), std::string::npos) << lines[0];
}

TEST_F(TraceLogTest, EleventhMessageTrimsToTheLineLimit) {
  ConfigureTraceLog(log_, 5, "");
  LogNumbered(1, 10);
  EXPECT_EQ(TextsOf(log_), Numbered(".-m", 1, 10));
  LogNumbered(11, 11);
  EXPECT_EQ(TextsOf(log_), Numbered(".-m", 7, 11));
  LogNumbered(12, 21);
  EXPECT_EQ(TextsOf(log_).size(), 15u);
  LogNumbered(22, 22);
  EXPECT_EQ(TextsOf(log_), Numbered(".-m", 18, 22));
}

TEST_F(TraceLogTest, LowercaseCountsButNeverTrimsAndFilteredDoNotCount) {
  ConfigureTraceLog(log_, 2, "a");
  LogNumbered(1, 10);
  LogMessage('q', "filtered");  // dropped before counting
  LogMessage('a', "lower");     // the eleventh: counts, does not trim
  EXPECT_EQ(TextsOf(log_).size(), 11u);
  LogMessage('.', "next");  // the overdue trim
  EXPECT_EQ(TextsOf(log_), (std::vector<std::string>{"a-lower", ".-next"}));
}

TEST_F(TraceLogTest, LineLimitZeroEmptiesOnSetUpAndEveryEleventhMessage) {
  WriteFileBytes(log_, "old\r\nold\r\n");
  ConfigureTraceLog(log_, 0, "");
  EXPECT_TRUE(std::filesystem::exists(log_));
  EXPECT_EQ(ReadFileBytes(log_), "");
  LogNumbered(1, 10);
  EXPECT_EQ(TextsOf(log_).size(), 10u);
  LogNumbered(11, 11);
  EXPECT_EQ(ReadFileBytes(log_), "");
}

TEST_F(TraceLogTest, NegativeLineLimitNeverCuts) {
  ConfigureTraceLog(log_, -1, "");
  LogNumbered(1, 30);
  EXPECT_EQ(TextsOf(log_), Numbered(".-m", 1, 30));
}

TEST_F(TraceLogTest, MessagesBeforeSetUpCountButWriteNothing) {
  LogNumbered(1, 5);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  ConfigureTraceLog(log_, 3, "");
  EXPECT_FALSE(std::filesystem::exists(log_));  // the set-up trim creates nothing
  LogNumbered(6, 10);
  EXPECT_EQ(TextsOf(log_).size(), 5u);
  LogNumbered(11, 11);  // the eleventh since load
  EXPECT_EQ(TextsOf(log_), Numbered(".-m", 9, 11));
}

TEST_F(TraceLogTest, OpenTraceLogReadsTheLogSection) {
  struct Case {
    std::string max_lines_line;  // the MaxLines line of the file, or none
    std::string expected_limit;
  };
  const Case cases[] = {
      {"", "50"}, {"MaxLines=\r\n", "0"}, {"MaxLines= 7x\r\n", "7"}, {"MaxLines=-1\r\n", "-1"}};
  for (const Case& c : cases) {
    ResetTraceLogForTesting();
    const std::string ini = dir_.File("settings.ini");
    WriteFileBytes(ini,
                   "[log]\r\nfilename=" + log_ + "\r\n" + c.max_lines_line + "Flags= a b -c\r\n");
    WriteFileBytes(log_, "");
    OpenTraceLog(ini);
    WriteLoadedBanner();
    const std::vector<std::string> lines = LinesOf(log_);
    ASSERT_EQ(lines.size(), 2u) << c.max_lines_line;
    EXPECT_NE(lines[0].find("logflags[ab-c] maxlines[" + c.expected_limit + "]"), std::string::npos)
        << lines[0];
  }
  // A present but empty MaxLines is the limit 0: the set-up empties the log.
  WriteFileBytes(dir_.File("settings.ini"), "[Log]\r\nFileName=" + log_ + "\r\nMaxLines=\r\n");
  WriteFileBytes(log_, "a\r\nb\r\n");
  OpenTraceLog(dir_.File("settings.ini"));
  EXPECT_EQ(ReadFileBytes(log_), "");
}

TEST_F(TraceLogTest, Banners) {
  ConfigureTraceLog(log_, 7, "a b -c");
  WriteLoadedBanner();
  WriteUnloadedBanner();
  const std::vector<std::string> lines = LinesOf(log_);
  ASSERT_EQ(lines.size(), 3u);
  std::smatch parts;
  const std::regex loaded(
      R"(.{19}-\.-(.+) is loaded at \[0x([0-9A-F]{8,})\] v\[1\.05rc12\] logflags\[ab-c\] maxlines\[7\])");
  ASSERT_TRUE(std::regex_match(lines[0], parts, loaded)) << lines[0];
  EXPECT_EQ(parts[1].str(), platform::ModulePath());
  EXPECT_EQ(std::stoull(parts[2].str(), nullptr, 16), platform::ModuleBaseAddress());
  EXPECT_TRUE(parts[2].str().size() == 8 || parts[2].str()[0] != '0') << parts[2].str();

  const std::regex os(
      R"(.{19}-\.-OS: ((NT|WIN9x) Platform os\[[A-Z0-9]+\] ver\[\d+\.\d{2,}\.\d+\] sp\[.*\]|OS Unknown))");
  ASSERT_TRUE(std::regex_match(lines[1], parts, os)) << lines[1];
  EXPECT_EQ(parts[1].str(), DescribeOperatingSystem());

  ASSERT_TRUE(std::regex_match(lines[2], parts, std::regex(R"(.{19}-\.-(.+) is unloaded)")))
      << lines[2];
  EXPECT_EQ(parts[1].str(), platform::ModulePath());
}

TEST_F(TraceLogTest, AsyncMessageReturnsBeforeItsLineExists) {
  ConfigureTraceLog(log_, -1, "");
  WriteFileBytes(log_, "");
  {
    // While the file is held exclusively no line can reach it.
    platform::OpenResult holder =
        platform::OpenExclusive(log_, platform::CreateMode::kOpenExisting);
    ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
    LogMessageAsync('.', "async %d", 1);
    EXPECT_EQ(holder.file.Size(), 0);
  }
  ASSERT_TRUE(platform::WaitForWorkers(kWorkerWait));
  EXPECT_EQ(TextsOf(log_), std::vector<std::string>{".-async 1"});
}

TEST_F(TraceLogTest, MessageWaitsOutAShortExclusiveHold) {
  ConfigureTraceLog(log_, -1, "");
  WriteFileBytes(log_, "");
  platform::OpenResult holder = platform::OpenExclusive(log_, platform::CreateMode::kOpenExisting);
  ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
  std::thread releaser([file = std::move(holder.file)]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    file.Close();
  });
  LogMessage('*', "after the hold");
  releaser.join();
  EXPECT_EQ(TextsOf(log_), std::vector<std::string>{"*-after the hold"});
}

TEST_F(TraceLogTest, AsyncMessageIsWrittenOnTheCallerWhenNoWorkerStarts) {
  ConfigureTraceLog(log_, -1, "");
  platform::SetThreadStartFailureForTesting(true);
  LogMessageAsync('*', "no worker %s", "today");
  EXPECT_EQ(TextsOf(log_), std::vector<std::string>{"*-no worker today"});
}

TEST_F(TraceLogTest, BurstOfAsyncMessagesFromSeveralThreads) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 1250;
  ConfigureTraceLog(log_, -1, "");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        LogMessageAsync('.', "ForwardTransaction thread[%d] n[%d] -- SUCCESS", t, i);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(platform::WaitForWorkers(kWorkerWait));

  const std::regex text(R"(\.-ForwardTransaction thread\[(\d)\] n\[(\d+)\] -- SUCCESS)");
  std::set<std::pair<int, int>> seen;
  for (const std::string& line : TextsOf(log_)) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, text)) << line;
    seen.insert({std::stoi(parts[1].str()), std::stoi(parts[2].str())});
  }
  EXPECT_EQ(seen.size(), std::size_t{kThreads * kPerThread});
  EXPECT_EQ(TextsOf(log_).size(), std::size_t{kThreads * kPerThread});
}

}  // namespace
}  // namespace zelk::tracelog
