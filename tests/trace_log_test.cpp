// The trace log: line format, the Flags filter, the message counter and its
// periodic trim, set-up from the settings file, banners, and log workers.
#include "tracelog/trace_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/current.h"
#include "config/settings.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"
#include "tracelog/causes.h"
#include "tracelog/trace_log_test_helper.h"
#include "tracelog/version.h"

namespace zelk::tracelog {
namespace {

using testing::ReadFileBytes;
using testing::ReadLogLines;
using testing::ReadLogTexts;
using testing::WriteFileBytes;
using Texts = std::vector<std::string>;

constexpr auto kWorkerWait = std::chrono::seconds(120);

Texts Numbered(int first, int last) {
  Texts texts;
  for (int i = first; i <= last; ++i) texts.push_back(".-m" + std::to_string(i));
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

  testing::ScratchDir dir_;
  const std::string log_ = dir_.File("trace.log");
};

TEST_F(TraceLogTest, LineCarriesTheLocalTimeOfWriting) {
  platform::SetTimeZoneForTesting("XXX-2");
  ConfigureTraceLog(log_, -1, "");
  // The same clock as the log's: time() may run a tick behind it.
  const std::time_t before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  LogMessage('*', "IsJobnoValid jobno[%s] -- NOT VALID", "4711");
  const std::time_t after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());

  const std::string bytes = ReadFileBytes(log_);
  ASSERT_TRUE(std::regex_match(
      bytes, std::regex(R"(.{19}-\*-IsJobnoValid jobno\[4711\] -- NOT VALID\r\n)")))
      << bytes;
  std::set<std::string> allowed;  // the wall time two hours east of UTC
  for (std::time_t t = before; t <= after; ++t) {
    const std::time_t east = t + 2 * 3600;
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::gmtime(&east));
    allowed.insert(stamp);
  }
  EXPECT_TRUE(allowed.count(bytes.substr(0, 19))) << bytes;
}

TEST_F(TraceLogTest, LineFeedsBecomeCrLfAndEndTheLineOnce) {
  struct Case {
    char category;
    std::string text;
    std::string written;  // from the category on
  };
  const Case cases[] = {
      {'.', "plain", ".-plain\r\n"},
      {'*', "IsJobnoValid -- t[File could not be opened]\n",
       "*-IsJobnoValid -- t[File could not be opened]\r\n"},
      {'.', "a\nb", ".-a\r\nb\r\n"},
      {'.', "a\n\n", ".-a\r\n\r\n"},
      {'.', "", ".-\r\n"},
      {'.', "cr\r", ".-cr\r\r\n"},
      {'\0', "nul category", ".-nul category\r\n"},
      {'.', std::string(511, 'y'), ".-" + std::string(511, 'y') + "\r\n"},
      {'.', std::string(512, 'y'), ".-" + std::string(512, 'y') + "\r\n"},
      {'.', std::string(100000, 'x'), ".-" + std::string(100000, 'x') + "\r\n"},
  };
  int file = 0;
  for (const Case& c : cases) {
    const std::string path = dir_.File(std::to_string(file++) + ".log");
    ConfigureTraceLog(path, -1, "");
    LogMessage(c.category, "%s", c.text.c_str());
    const std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.substr(std::min<std::size_t>(bytes.size(), 20)), c.written)
        << c.text.substr(0, 60);
  }
}

TEST_F(TraceLogTest, FlagsFilter) {
  struct Case {
    const char* flags;
    const char* written;      // categories that pass
    const char* not_written;  // categories that do not
  };
  const Case cases[] = {
      {"", "B1.*", "az"},
      {"+a", "a", "b"},
      {"a", "a", "b"},
      {"-B", "C", "B"},
      {"-a", "", "a"},
      {"-.*", ".*", ""},
      {"ab-XY+c", "abcZ", "XYd"},
      {"a b -c", "ab", "c"},
      {"- 1", "2", "1"},
      {"A", "A", "a"},
  };
  for (const Case& c : cases) {
    ResetTraceLogForTesting();
    ConfigureTraceLog("", -1, c.flags);
    for (const char* p = c.written; *p != '\0'; ++p) {
      EXPECT_TRUE(IsCategoryEnabled(*p)) << "flags[" << c.flags << "] " << *p;
    }
    for (const char* p = c.not_written; *p != '\0'; ++p) {
      EXPECT_FALSE(IsCategoryEnabled(*p)) << "flags[" << c.flags << "] " << *p;
    }
  }
  ResetTraceLogForTesting();
  ConfigureTraceLog(log_, -1, "-B");
  WriteTraceLine('a', "lowercase not enabled");
  WriteTraceLine('B', "disabled");
  WriteTraceLine('C', "other");
  EXPECT_EQ(ReadLogTexts(log_), Texts{"C-other"});
}

TEST_F(TraceLogTest, SecondSetUpKeepsBothCategorySets) {
  ConfigureTraceLog("", -1, "+a-B");
  ConfigureTraceLog(log_, -1, "-a+B");
  EXPECT_TRUE(IsCategoryEnabled('a'));   // enabled once; lowercase ignores the disabled set
  EXPECT_FALSE(IsCategoryEnabled('B'));  // disabled once stays disabled
  WriteLoadedBanner();
  EXPECT_NE(ReadFileBytes(log_).find("logflags[-a+B]"), std::string::npos);
}

TEST_F(TraceLogTest, EleventhMessageTrimsToTheLineLimit) {
  ConfigureTraceLog(log_, 5, "");
  LogNumbered(1, 10);
  EXPECT_EQ(ReadLogTexts(log_), Numbered(1, 10));
  LogNumbered(11, 11);
  EXPECT_EQ(ReadLogTexts(log_), Numbered(7, 11));
  LogNumbered(12, 21);
  EXPECT_EQ(ReadLogTexts(log_).size(), 15u);
  LogNumbered(22, 22);
  EXPECT_EQ(ReadLogTexts(log_), Numbered(18, 22));
}

TEST_F(TraceLogTest, LowercaseCountsButNeverTrimsAndFilteredDoNotCount) {
  ConfigureTraceLog(log_, 2, "a");
  LogNumbered(1, 10);
  LogMessage('q', "filtered");  // dropped before counting
  LogMessage('a', "lower");     // the eleventh: counts, does not trim
  EXPECT_EQ(ReadLogTexts(log_).size(), 11u);
  LogMessage('.', "next");  // the overdue trim
  EXPECT_EQ(ReadLogTexts(log_), (Texts{"a-lower", ".-next"}));
}

TEST_F(TraceLogTest, LineLimitZeroEmptiesAndNegativeNeverCuts) {
  WriteFileBytes(log_, "old\r\nold\r\n");
  ConfigureTraceLog(log_, 0, "");
  EXPECT_TRUE(std::filesystem::exists(log_));
  EXPECT_EQ(ReadFileBytes(log_), "");
  LogNumbered(1, 10);
  EXPECT_EQ(ReadLogTexts(log_).size(), 10u);
  LogNumbered(11, 11);
  EXPECT_EQ(ReadFileBytes(log_), "");

  ConfigureTraceLog(log_, -1, "");
  LogNumbered(1, 30);
  EXPECT_EQ(ReadLogTexts(log_), Numbered(1, 30));
}

TEST_F(TraceLogTest, MessagesBeforeSetUpCountButWriteNothing) {
  LogNumbered(1, 5);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  ConfigureTraceLog(log_, 3, "");
  EXPECT_FALSE(std::filesystem::exists(log_));  // the set-up trim creates nothing
  LogNumbered(6, 10);
  EXPECT_EQ(ReadLogTexts(log_).size(), 5u);
  LogNumbered(11, 11);  // the eleventh since load
  EXPECT_EQ(ReadLogTexts(log_), Numbered(9, 11));
}

TEST_F(TraceLogTest, OpenTraceLogReadsTheLogSection) {
  struct Case {
    std::string max_lines;  // the MaxLines line of the file, or none
    std::string shown;
    std::size_t lines_after_set_up;  // of the two that were there
  };
  const Case cases[] = {{"", "maxlines[50]", 2},
                        {"MaxLines=\r\n", "maxlines[0]", 0},
                        {"maxlines= 1x\r\n", "maxlines[1]", 1}};
  const std::string ini = dir_.File("settings.ini");
  for (const Case& c : cases) {
    ResetTraceLogForTesting();
    WriteFileBytes(ini, "[log]\r\nfilename=" + log_ + "\r\n" + c.max_lines + "Flags= a b -c\r\n");
    WriteFileBytes(log_, "a\r\nb\r\n");
    OpenTraceLog(ini);
    EXPECT_EQ(ReadLogTexts(log_).size(), c.lines_after_set_up) << c.max_lines;
    WriteLoadedBanner();
    EXPECT_NE(ReadFileBytes(log_).find("logflags[ab-c] " + c.shown), std::string::npos) << c.shown;
  }
}

// A configuration held so that it cannot be opened: the calls go on with the
// settings last read whole (or, never read whole, the defaults), the log says
// so once, and only the first call of the stretch waits.
TEST_F(TraceLogTest, AHeldConfigurationKeepsTheLastSettingsAndIsLoggedOnce) {
  ConfigureTraceLog(log_, -1, "");
  const std::string ini = dir_.File("held.ini");
  const std::string never = dir_.File("never.ini");
  WriteFileBytes(ini, "[ForwardTransaction]\r\nTarget1=kept\r\n");
  WriteFileBytes(never, "[ForwardTransaction]\r\nTarget1=unseen\r\n");
  EXPECT_EQ(config::Read(*LoadConfiguration(ini), config::kTarget, 1), "kept");
  for (const std::string& path : {ini, never}) {
    platform::OpenResult holder =
        platform::OpenExclusive(path, platform::CreateMode::kOpenExisting);
    ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
    EXPECT_EQ(config::Read(*LoadConfiguration(path), config::kTarget, 1),
              path == ini ? "kept" : "");
    const auto start = std::chrono::steady_clock::now();
    for (int call = 0; call < 10; ++call) {
      EXPECT_EQ(config::Read(*LoadConfiguration(path), config::kTarget, 1),
                path == ini ? "kept" : "");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  }
  EXPECT_EQ(config::Read(*LoadConfiguration(never), config::kTarget, 1), "unseen");
  const std::string held = "] -- t[Could not be read (held by another program): ";
  EXPECT_EQ(ReadLogTexts(log_),
            (Texts{"*-Configuration file[" + ini + held + "the settings last read whole are kept]",
                   "*-Configuration file[" + never + held +
                       "never read whole, every setting has its default]"}));
}

// Under Causes=1 a configuration the system will not open tells why.
TEST_F(TraceLogTest, AConfigurationTheSystemRefusesTellsItsCause) {
  ConfigureTraceLog(log_, -1, "");
  const std::string ini = dir_.File("refused.ini");
  WriteFileBytes(ini, "[ForwardTransaction]\r\nTarget1=unseen\r\n");
  ShowCauses(true);
  platform::InjectFaults(
      {{platform::DoorCall::kOpen, 1, true, platform::SystemError::kNoAccess, 0, ini}});
  EXPECT_EQ(config::Read(*LoadConfiguration(ini), config::kTarget, 1), "");
  platform::ClearFaults();
  ShowCauses(false);
  const std::string cause = platform::Status::FromSystem(
                                "", "", platform::SystemErrorCode(platform::SystemError::kNoAccess))
                                .cause();
  EXPECT_EQ(ReadLogTexts(log_),
            Texts{"*-Configuration file[" + ini + "] -- t[Could not be read (" +
                  std::string(config::ReadTroubleText(config::ReadTrouble::kNotOpened)) +
                  "): never read whole, every setting has its default] cause[" + cause + "]"});
}

TEST_F(TraceLogTest, AConfigurationRefusedForItsSizeIsLogged) {
  ConfigureTraceLog(log_, -1, "");
  const std::string ini = dir_.File("huge.ini");
  WriteFileBytes(ini, std::string(config::kLargestConfigurationFile + 1, '\n'));
  EXPECT_TRUE(LoadConfiguration(ini)->too_large());
  EXPECT_FALSE(LoadConfiguration(dir_.File("missing.ini"))->too_large());
  EXPECT_EQ(ReadLogTexts(log_), Texts{"*-Configuration file[" + ini + "] -- t[Larger than " +
                                      std::to_string(config::kLargestConfigurationFile) +
                                      " bytes: not read, every setting has its default]"});
}

TEST(VisibleText, EscapesEveryControlCharacter) {
  struct Case {
    std::string_view text;
    std::string shown;
  };
  const Case cases[] = {
      {"A1234", "A1234"},
      {"", ""},
      {"1\r\nFAKE", "1\\r\\nFAKE"},
      {"a\tb", "a\\tb"},
      {std::string_view("\0\x01\x1A\x1B\x1F", 5), "\\x00\\x01\\x1A\\x1B\\x1F"},
      {"\x7F", "\\x7F"},
      {"caf\xC3\xA9 \\ %s", "caf\xC3\xA9 \\ %s"},  // other bytes stay
  };
  for (const Case& c : cases) EXPECT_EQ(VisibleText(c.text), c.shown) << c.shown;
}

TEST_F(TraceLogTest, Banners) {
  ConfigureTraceLog(log_, 7, "a b -c");
  WriteLoadedBanner();
  WriteUnloadedBanner();
  const std::vector<testing::LogLine> lines = ReadLogLines(log_);
  ASSERT_EQ(lines.size(), 3u);
  for (const testing::LogLine& line : lines) EXPECT_EQ(line.category, '.');
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(
      lines[0].text, parts,
      std::regex(
          R"((.+) is loaded at \[0x([0-9A-F]{8,})\] v\[1\.05rc12\] logflags\[ab-c\] maxlines\[7\])")))
      << lines[0].text;
  EXPECT_EQ(parts[1].str(), platform::ModulePath());
  EXPECT_EQ(std::stoull(parts[2].str(), nullptr, 16), platform::ModuleBaseAddress());
  EXPECT_TRUE(parts[2].length() == 8 || parts[2].str()[0] != '0') << parts[2].str();

  EXPECT_TRUE(std::regex_match(
      lines[1].text,
      std::regex(
          R"(OS: ((NT|WIN9x) Platform os\[[A-Z0-9]+\] ver\[\d+\.\d{2,}\.\d+\] sp\[.*\]|OS Unknown))")))
      << lines[1].text;
  EXPECT_EQ(lines[1].text, "OS: " + DescribeOperatingSystem());
  EXPECT_EQ(lines[2].text, platform::ModulePath() + " is unloaded");
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
  EXPECT_EQ(ReadLogTexts(log_), Texts{".-async 1"});
}

TEST_F(TraceLogTest, MessageWaitsOutAShortExclusiveHold) {
  ConfigureTraceLog(log_, -1, "");
  WriteFileBytes(log_, "");
  platform::OpenResult holder = platform::OpenExclusive(log_, platform::CreateMode::kOpenExisting);
  ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
  std::thread releaser([file = std::move(holder.file)]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    file.Close().IgnoreError();
  });
  LogMessage('*', "after the hold");
  releaser.join();
  EXPECT_EQ(ReadLogTexts(log_), Texts{"*-after the hold"});
}

// A log held past the patience loses its lines, the first after one wait and
// the rest at once, and the first line written after says how many.
TEST_F(TraceLogTest, ABusyLogCostsOneWaitPerStretch) {
  ConfigureTraceLog(log_, -1, "");
  WriteFileBytes(log_, "");
  {
    platform::OpenResult holder =
        platform::OpenExclusive(log_, platform::CreateMode::kOpenExisting);
    ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
    for (int line = 1; line <= 3; ++line) LogMessage('.', "lost %d", line);
  }
  LogMessage('.', "after");
  LogMessage('.', "next");
  EXPECT_EQ(ReadLogTexts(log_), (Texts{"*-Trace log file[" + log_ +
                                           "] -- t[Busy until now: 3 lines could not be written]",
                                       ".-after", ".-next"}));
}

TEST_F(TraceLogTest, AsyncMessageIsWrittenOnTheCallerWhenNoWorkerStarts) {
  ConfigureTraceLog(log_, -1, "");
  platform::SetThreadStartFailureForTesting(true);
  LogMessageAsync('*', "no worker %s", "today");
  EXPECT_EQ(ReadLogTexts(log_), Texts{"*-no worker today"});
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

  const std::string bytes = ReadFileBytes(log_);
  const std::regex line(R"(.{19}-\.-ForwardTransaction thread\[(\d)\] n\[(\d+)\] -- SUCCESS\r\n)");
  std::set<std::string> seen;
  for (auto it = std::sregex_iterator(bytes.begin(), bytes.end(), line);
       it != std::sregex_iterator(); ++it) {
    seen.insert((*it)[1].str() + "/" + (*it)[2].str());
  }
  EXPECT_EQ(seen.size(), std::size_t{kThreads * kPerThread});
  EXPECT_EQ(ReadLogTexts(log_).size(), std::size_t{kThreads * kPerThread});
}

}  // namespace
}  // namespace zelk::tracelog
