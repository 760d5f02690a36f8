// Job-number validation: field layouts and extraction, the check against job
// lists with its trace-log lines, and the callback path.
#include "forwarding/job_check.h"
#include "forwarding/job_list.h"
#include "forwarding/validation_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/config_test_helper.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"
#include "tracelog/causes.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace {

// The largest single allocation of the program since the test last reset it:
// what a reader of a file takes for its buffer.
std::atomic<std::size_t> g_largest_allocation{0};

void* Allocate(std::size_t size) {
  std::size_t largest = g_largest_allocation.load(std::memory_order_relaxed);
  while (size > largest && !g_largest_allocation.compare_exchange_weak(largest, size)) {
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace zelk::forwarding {
namespace {

using testing::ReadLogTexts;
using testing::WriteFileBytes;

TEST(FieldLayout, ExtractsTheJobNumberField) {
  struct Case {
    const char* layout;
    std::string line;
    const char* field;
  };
  const Case cases[] = {
      {"0000000010", "ABCDEFGHIJKLMN", "ABCDEFGHIJ"},
      {"001;000006", "x;123456789;y", "123456"},
      {"002,002004", "AA,BB,XY1234,ZZ", "1234"},
      {"003;000010", "A;B", "B"},
      {"001;000010", "no sep", "no sep"},
      {"0000100010", "short", ""},
      {"0000000000", "anything", ""},
      {"000;-01006", "ABCDEFGH;X", "ABCDEF"},
      {"0000000-01", "ABCDEFGH", ""},
      {"1  ; 1   2", "a;xyz;b", "yz"},
      {"001x000003", "aXbxcde", "cde"},
      {"5000000003", "abcdef", "abc"},
      {"-01;000003", "abc;def", "abc"},
      {"0000000005", "AB\rCD", "AB\rCD"},
  };
  for (const Case& c : cases) {
    const std::optional<FieldLayout> layout = ParseFieldLayout(c.layout);
    ASSERT_TRUE(layout.has_value()) << c.layout;
    EXPECT_EQ(ExtractJobField(c.line, *layout), c.field) << c.layout << " / " << c.line;
  }
}

TEST(FieldLayout, MustBeExactlyTenCharacters) {
  EXPECT_FALSE(ParseFieldLayout("000000001").has_value());
  EXPECT_FALSE(ParseFieldLayout("00000000100").has_value());
  EXPECT_FALSE(ParseFieldLayout("").has_value());
}

// A scratch folder with a trace log and job lists, and the configuration text
// that names them.
class JobCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tracelog::ResetTraceLogForTesting();
    tracelog::ConfigureTraceLog(log_path_, -1, "");
  }
  void TearDown() override { tracelog::ResetTraceLogForTesting(); }

  std::string List(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    WriteFileBytes(path, bytes);
    return path;
  }

  int Check(const std::string& jobno, const std::string& config) {
    return CheckJobno(jobno, config::Snapshot::Parse("[ValidJob]\n" + config));
  }

  std::vector<std::string> Log() { return ReadLogTexts(log_path_); }

  testing::ScratchDir dir_;
  const std::string log_path_ = dir_.File("trace.log");
};

TEST_F(JobCheckTest, MatchesWithoutRegardToCase) {
  const std::string list = List("jobs.txt", "123abc\r\n");
  const std::string config = "Source1=" + list + "\nFormat1=0000000006\n";
  EXPECT_EQ(Check("123ABC", config), 1);
  EXPECT_EQ(Check("123abc", config), 1);
  EXPECT_EQ(Log(),
            (std::vector<std::string>{
                ".-IsJobnoValid section[1] file[" + list + "] jobno[123ABC] -- IS VALID line[1]",
                ".-IsJobnoValid section[1] file[" + list + "] jobno[123abc] -- IS VALID line[1]",
            }));
}

// A read that fails part way is not the list's end: the job number may be in
// what was not read, so the check says so and goes on to the next list.
TEST_F(JobCheckTest, AListThatFailsToBeReadIsReportedAndPassedOver) {
  const std::string first = List("first.txt", "J1\r\n");
  const std::string second = List("second.txt", "J1\r\n");
  platform::InjectFaults(
      {platform::Fault{platform::DoorCall::kRead, 1, false, platform::SystemError::kIo, 0}});
  EXPECT_EQ(Check("J1", "Source1=" + first + "\nFormat1=0000000002\nSource2=" + second +
                            "\nFormat2=0000000002\n"),
            1);
  platform::ClearFaults();
  EXPECT_EQ(
      Log(),
      (std::vector<std::string>{
          "*-IsJobnoValid section[1] file[" + first + "] jobno[J1] -- t[File could not be read]",
          ".-IsJobnoValid section[2] file[" + second + "] jobno[J1] -- IS VALID line[1]",
      }));
}

// The open's message brings its own line end; the cause goes before it, on
// the message's line.
TEST_F(JobCheckTest, TheCauseOfAFailedOpenStaysOnItsLine) {
  tracelog::ShowCauses(true);
  const std::string missing = dir_.File("missing.txt");
  EXPECT_EQ(Check("J1", "Source1=" + missing + "\nFormat1=0000000002\n"), 0);
  tracelog::ShowCauses(false);
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rfind("*-IsJobnoValid section[1] file[" + missing +
                             "] jobno[J1] -- t[File could not be opened] cause[",
                         0),
            0u)
      << log[0];
  EXPECT_EQ(log[1], "*-IsJobnoValid jobno[J1] -- NOT VALID");
}

TEST_F(JobCheckTest, ComparesExactlyWithoutTrimming) {
  const std::string list = List("jobs.txt", "J12345 \n");
  EXPECT_EQ(Check("J12345", "Source1=" + list + "\nFormat1=0000000010\n"), 0);
  EXPECT_EQ(Check("J12345", "Source1=" + list + "\nFormat1=0000000006\n"), 1);
}

TEST_F(JobCheckTest, FilterCharacterSelectsListsAndIsLeftOutOfTheKey) {
  const std::string list = List("jobs.txt", "123456\nJ123456\n");
  const std::string six = "Source1=" + list + "\nFilter1=j\nFormat1=0000000006\n";
  EXPECT_EQ(Check("J123456", six), 1);
  EXPECT_EQ(Check("K123456", six), 0);
  EXPECT_EQ(Log().back(), "*-IsJobnoValid jobno[K123456] -- NOT VALID");
  EXPECT_EQ(Log().size(), 2u);  // K123456 did not consult the list
  // The key is 123456, so the list's J123456 never matches.
  EXPECT_EQ(Check("J123456",
                  "Source1=" + List("j.txt", "J123456\n") + "\nFilter1=J\nFormat1=0000000010\n"),
            0);
  EXPECT_EQ(Check("", six), 0);
}

TEST_F(JobCheckTest, FormatErrorsAreReportedAndTheNextSourceConsulted) {
  const std::string list = List("jobs.txt", "A1\n");
  const std::string config = "Source1=" + list + "\nFormat1=000000001\n" + "Source2=" + list +
                             "\nFilter2=Z\nFormat2=00000000100\n" + "Source3=" + list +
                             "\nFormat3=0000000002\n";
  EXPECT_EQ(Check("A1", config), 1);
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "*-IsJobnoValid section[1] jobno[A1] -- t[Format Error]",
                       "*-IsJobnoValid section[2] jobno[A1] -- t[Format Error]",
                       ".-IsJobnoValid section[3] file[" + list + "] jobno[A1] -- IS VALID line[1]",
                   }));
}

TEST_F(JobCheckTest, AnEmptySourceEndsTheSearch) {
  const std::string other = List("other.txt", "X\n");
  const std::string listed = List("listed.txt", "A1\n");
  const std::string config = "Source1=" + other + "\nFormat1=0000000002\nSource2=" + other +
                             "\nFormat2=0000000002\nSource4=" + listed + "\nFormat4=0000000002\n";
  EXPECT_EQ(Check("A1", config), 0);
  EXPECT_EQ(Check("A1", ""), 0);
  EXPECT_EQ(Log(), (std::vector<std::string>{"*-IsJobnoValid jobno[A1] -- NOT VALID",
                                             "*-IsJobnoValid jobno[A1] -- NOT VALID"}));
}

TEST_F(JobCheckTest, AMissingListIsReportedOnALineOfItsOwn) {
  const std::string missing = dir_.File("missing.txt");
  EXPECT_EQ(Check("A1", "Source1=" + missing + "\nFormat1=0000000002\n"), 0);
  const std::string expected = "-*-IsJobnoValid section[1] file[" + missing +
                               "] jobno[A1] -- t[File could not be opened]\r\n";
  const std::string bytes = testing::ReadFileBytes(log_path_);
  ASSERT_GT(bytes.size(), 19 + expected.size());
  EXPECT_EQ(bytes.substr(19, expected.size()), expected);
  EXPECT_EQ(Log().back(), "*-IsJobnoValid jobno[A1] -- NOT VALID");
}

// A device or a folder in a list's place is not read (a console or a FIFO
// would keep the check waiting for ever): it is a list that cannot be opened.
TEST_F(JobCheckTest, OnlyRegularFilesAreReadAsLists) {
  const std::string device = std::filesystem::exists("/dev/null") ? "/dev/null" : "NUL";
  for (const std::string& list : {device, dir_.path().string()}) {
    EXPECT_EQ(Check("", "Source1=" + list + "\nFormat1=0000000002\n"), 0) << list;
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              "*-IsJobnoValid section[1] file[" + list + "] jobno[] -- t[File could not be opened]")
        << list;
  }
}

// A job number cannot forge a line of the trace log.
TEST_F(JobCheckTest, JobNumbersAreShownEscaped) {
  const std::string list = List("jobs.txt", "J1\n");
  const std::string config = "Source1=" + list + "\nFormat1=0000000010\n";
  EXPECT_EQ(Check("J1\nFAKE -- IS VALID", config), 0);
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"*-IsJobnoValid jobno[J1\\nFAKE -- IS VALID] -- NOT VALID"}));
}

TEST_F(JobCheckTest, ReadsListsAsSingleByteText) {
  struct Case {
    std::string bytes;
    const char* jobno;
    int valid;
    int line;
  };
  const Case cases[] = {
      {"AAA\r\n\x1A"
       "BBB\r\n",
       "BBB", 0, 0},  // Ctrl-Z ends the file
      {"AAA\r\nBB\x1A"
       "B\r\n",
       "BB", 1, 2},
      {"AAA\r\nBBB", "BBB", 1, 2},      // a last line without line end
      {"AAA\n\r\nCCC\n", "CCC", 1, 3},  // an empty line counts
      {"AB\rCD\n", "AB", 0, 0},         // a lone CR stays in the line
      {"AB\rCD\n", "AB\rCD", 1, 1},
      {"AAA\n\nBBB\n", "", 1, 2},  // the empty job number
      {"", "", 0, 0},              // an empty file is passed over
      {std::string(200000, 'x') + "\nLONG\n", "LONG", 1, 2},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string list = List("list" + std::to_string(index++) + ".txt", c.bytes);
    EXPECT_EQ(Check(c.jobno, "Source1=" + list + "\nFormat1=0000000010\n"), c.valid) << c.bytes;
    if (c.valid == 1) {
      const std::string suffix = "IS VALID line[" + std::to_string(c.line) + "]";
      EXPECT_EQ(Log().back().substr(Log().back().size() - suffix.size()), suffix);
    }
  }
}

// A list of one line of many megabytes is searched in a buffer of a fixed
// size: the line's start is read, the rest passed over up to the next line.
TEST_F(JobCheckTest, ALineOfAnyLengthTakesABufferOfFixedSize) {
  constexpr std::size_t kLongLine = 8 * 1024 * 1024;
  const std::string list = List("long.txt", "LONG" + std::string(kLongLine, 'x') + "\nNEXT\n");
  const std::string config = "Source1=" + list + "\nFormat1=0000000004\n";
  g_largest_allocation = 0;
  EXPECT_EQ(Check("LONG", config), 1);
  EXPECT_EQ(Check("NEXT", config), 1);
  EXPECT_LT(g_largest_allocation.load(), std::size_t{1024 * 1024});
  EXPECT_EQ(Log().back(),
            ".-IsJobnoValid section[1] file[" + list + "] jobno[NEXT] -- IS VALID line[2]");
}

// The number (from 1) of the first line of `bytes` whose field matches
// `jobno`, read the slow way: split at line feeds, each line on its own.
int ReferenceLine(std::string bytes, const std::string& layout_text, std::string jobno) {
  bytes = bytes.substr(0, bytes.find('\x1A'));
  for (char& c : jobno) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const FieldLayout layout = *ParseFieldLayout(layout_text);
  int number = 0;
  for (std::size_t start = 0; start < bytes.size();) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++number;
    std::string field(ExtractJobField(line, layout));
    for (char& c : field) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (field == jobno) return number;
    start = end + 1;
  }
  return 0;
}

// Lists of few distinct bytes (so that keys recur in lines that do not
// match), mixed case, lone CRs, lines across the read chunks, Ctrl-Z; job
// numbers taken from the list or made up. The line found is the reference's.
TEST_F(JobCheckTest, GeneratedListsFindTheLineASlowScanFinds) {
  std::mt19937 random(20261209);
  auto below = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const char* layouts[] = {"0000000006", "001;000006", "002;001004", "0000020003", "000;000010"};
  // Narrow alphabets make every line worth a look; wide ones and rare bytes
  // let the search skip to candidate lines.
  const char* alphabets[] = {
      "ab;12",      "Jj0123456789;", "abcdefghijklmnopqrstuvwxyz0123456789;",
      "xyzXYZ;\r ", "0123456789;",   "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx;1Q\r"};
  for (int run = 0; run < 300; ++run) {
    const std::string alphabet = alphabets[run % std::size(alphabets)];
    std::string bytes;
    const std::size_t lines = 1 + below(run % 10 == 0 ? 6000 : 60);
    for (std::size_t i = 0; i < lines; ++i) {
      const std::size_t length = run % 25 == 0 && i == lines / 2 ? 70000 : below(14);
      for (std::size_t j = 0; j < length; ++j) bytes += alphabet[below(alphabet.size())];
      bytes += below(4) == 0 ? "\n" : "\r\n";
    }
    if (run % 7 == 0) bytes.insert(below(bytes.size()), "\x1A");
    const char* layout = layouts[run % std::size(layouts)];
    std::string jobno;
    if (run % 3 != 0) {
      // A field of some line, in the other letter case now and then.
      const std::size_t at = below(bytes.size());
      const std::size_t start =
          bytes.rfind('\n', at) == std::string::npos ? 0 : bytes.rfind('\n', at) + 1;
      std::string line = bytes.substr(start, bytes.find('\n', start) - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      jobno = ExtractJobField(line, *ParseFieldLayout(layout));
      if (run % 2 == 0) {
        for (char& c : jobno) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    } else {
      for (std::size_t j = below(7); j > 0; --j) jobno += alphabet[below(alphabet.size())];
    }
    const std::string list = List("generated.txt", bytes);
    const int expected = ReferenceLine(bytes, layout, jobno);
    ASSERT_EQ(Check(jobno, "Source1=" + list + "\nFormat1=" + layout + "\n"), expected ? 1 : 0)
        << "run " << run << " jobno [" << jobno << "]";
    if (expected != 0) {
      const std::string suffix = "IS VALID line[" + std::to_string(expected) + "]";
      const std::string last = Log().back();
      ASSERT_EQ(last.substr(last.size() - std::min(last.size(), suffix.size())), suffix)
          << "run " << run << " jobno [" << jobno << "]";
    }
  }
}

// Places where a search for the job number among the list's bytes could go
// wrong where reading line by line would not: the number elsewhere in a line
// than in its field, letters of either case beside bytes one case bit away,
// a line across two reads, the end of a list without line end, and the part
// of a long line that is not searched.
TEST_F(JobCheckTest, FindsTheLineAReadingLineByLineFinds) {
  struct Case {
    std::string bytes;
    const char* layout;
    const char* jobno;
    int line;  // 0: not valid
  };
  // Lines of 15 bytes up to 65,535 bytes into the list: the next line lies
  // across the first read's end.
  std::string across_reads;
  for (int i = 0; i < 4369; ++i) across_reads += "x;000000000000\n";
  const Case cases[] = {
      {"123456;999999\n999999;123456\n", "001;000006", "123456", 2},
      {"123456;123456\n", "001;000006", "123456", 1},     // before its field and in it
      {"12;3456\n123456\n", "0000000006", "123456", 2},   // not across a separator
      {"12\n3456\n123456\n", "0000000006", "123456", 3},  // nor across a line end
      {"item;AbCdEf;x\n", "001;000006", "abcDEF", 1},
      {"`12\n@12\n", "0000000003", "@12", 2},  // '`' is not a letter's lower case
      {"`12\n@12\n", "0000000003", "`12", 1},
      {"{Z\n[z\n", "0000000002", "[Z", 2},
      {across_reads + "J;123456\r\n", "001;000006", "123456", 4370},
      {across_reads + "J;123456", "001;000006", "123456", 4370},
      {"a;1\nb;999999", "001;000006", "999999", 2},  // the last line, no line end
      {"a;1\nb;99999", "001;000006", "999999", 0},
      {std::string(70000, 'x') + ";123456\ny;123456\n", "001;000006", "123456", 2},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string list = List("search" + std::to_string(index++) + ".txt", c.bytes);
    const std::string config = "Source1=" + list + "\nFormat1=" + c.layout + "\n";
    EXPECT_EQ(Check(c.jobno, config), c.line != 0 ? 1 : 0) << "case " << index;
    if (c.line != 0) {
      const std::string suffix = "IS VALID line[" + std::to_string(c.line) + "]";
      const std::string last = Log().back();
      EXPECT_EQ(last.substr(last.size() - std::min(last.size(), suffix.size())), suffix)
          << "case " << index;
    }
  }
}

TEST_F(JobCheckTest, ListsAreReadSharedButNotAgainstAnExclusiveHolder) {
  const std::string list = List("jobs.txt", "A1\n");
  const std::string config = "Source1=" + list + "\nFormat1=0000000002\n";
  {
    platform::OpenResult reader = platform::OpenSharedRead(list);
    ASSERT_EQ(reader.status, platform::OpenStatus::kOk);
    EXPECT_EQ(Check("A1", config), 1);
  }
  platform::OpenResult writer = platform::OpenExclusive(list, platform::CreateMode::kOpenExisting);
  ASSERT_EQ(writer.status, platform::OpenStatus::kOk);
  EXPECT_EQ(Check("A1", config), 0);
}

// ---------------------------------------------------------------------------
// The callback path

std::mutex g_results_mutex;
std::vector<std::pair<int, std::string>> g_results;

void RecordResult(std::int32_t result, const char* jobno) {
  std::lock_guard<std::mutex> lock(g_results_mutex);
  g_results.emplace_back(result, jobno);
}

class CallbackTest : public JobCheckTest {
 protected:
  void SetUp() override {
    JobCheckTest::SetUp();
    const std::string list = List("jobs.txt", "123abc\nvalid\n");
    config_path_ = dir_.File("zelk.ini");
    WriteFileBytes(config_path_, "[ValidJob]\r\nSource1=" + list + "\r\nFormat1=0000000006\r\n");
    config::SetConfigFilePathForTesting(config_path_);
    std::lock_guard<std::mutex> lock(g_results_mutex);
    g_results.clear();
  }
  void TearDown() override {
    SetCallback(nullptr);
    EXPECT_TRUE(platform::WaitForWorkers(std::chrono::seconds(30)));
    platform::SetThreadStartFailureForTesting(false);
    config::SetConfigFilePathForTesting("");
    JobCheckTest::TearDown();
  }
  std::vector<std::pair<int, std::string>> Results() {
    EXPECT_TRUE(platform::WaitForWorkers(std::chrono::seconds(60)));
    std::lock_guard<std::mutex> lock(g_results_mutex);
    return g_results;
  }
  std::string config_path_;
};

TEST_F(CallbackTest, SetCallbackReturnsItsArgument) {
  EXPECT_EQ(SetCallback(&RecordResult), &RecordResult);
  EXPECT_EQ(SetCallback(nullptr), nullptr);
}

TEST_F(CallbackTest, WithoutACallbackTheAnswerComesAtOnce) {
  EXPECT_EQ(IsJobnoValid("123ABC"), 1);
  EXPECT_EQ(IsJobnoValid("nothing"), 0);
  EXPECT_EQ(IsJobnoValid(nullptr), 0);
  SetCallback(&RecordResult);
  SetCallback(nullptr);
  EXPECT_EQ(IsJobnoValid("123abc"), 1);
  EXPECT_TRUE(Results().empty());
}

TEST_F(CallbackTest, ANullJobNumberIsNotValidEvenAgainstAnEmptyLine) {
  WriteFileBytes(config_path_, "[ValidJob]\r\nSource1=" + List("blank.txt", "\r\nvalid\r\n") +
                                   "\r\nFormat1=0000000006\r\n");
  EXPECT_EQ(IsJobnoValid(""), 1);  // the empty text is a job number like any other
  EXPECT_EQ(IsJobnoValid(nullptr), 0);
  SetCallback(&RecordResult);
  EXPECT_EQ(IsJobnoValid(nullptr), 0);
  EXPECT_EQ(Results(), (std::vector<std::pair<int, std::string>>{{0, ""}}));
  EXPECT_EQ(Log().back(), "*-IsJobnoValid jobno[] -- NOT VALID");
}

TEST_F(CallbackTest, WithACallbackTheAnswerComesThroughIt) {
  SetCallback(&RecordResult);
  EXPECT_EQ(IsJobnoValid("123abc"), 0);
  EXPECT_EQ(IsJobnoValid("nothing"), 0);
  auto results = Results();
  std::sort(results.begin(), results.end());
  EXPECT_EQ(results, (std::vector<std::pair<int, std::string>>{{0, "nothing"}, {1, "123abc"}}));
}

// With no worker at all the check is dropped with a log line: never run on
// the host's thread, which must get its answer at once.
TEST_F(CallbackTest, AWorkerThatCannotStartIsNeverReplacedByTheHostsThread) {
  SetCallback(&RecordResult);
  platform::SetThreadStartFailureForTesting(true);
  EXPECT_EQ(IsJobnoValid("valid"), 0);
  EXPECT_TRUE(Results().empty());
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "*-IsJobnoValid jobno[valid] -- t[Not checked: no validation worker could "
                       "be started]"}));
}

// A worker that is running takes the checks for which no new worker could
// be started, later, on its own thread.
std::mutex g_gate_mutex;
std::condition_variable g_gate_changed;
bool g_gate_open = false;
std::thread::id g_host_thread;
std::atomic<int> g_answers_on_host_thread{0};

void RecordResultBehindGate(std::int32_t result, const char* jobno) {
  if (std::this_thread::get_id() == g_host_thread) ++g_answers_on_host_thread;
  std::unique_lock<std::mutex> lock(g_gate_mutex);
  g_gate_changed.wait_for(lock, std::chrono::seconds(30), [] { return g_gate_open; });
  lock.unlock();
  RecordResult(result, jobno);
}

TEST_F(CallbackTest, ChecksNoNewWorkerCouldTakeAreTakenByARunningOne) {
  g_gate_open = false;
  g_host_thread = std::this_thread::get_id();
  g_answers_on_host_thread = 0;
  SetCallback(&RecordResultBehindGate);
  EXPECT_EQ(IsJobnoValid("valid"), 0);  // its worker waits at the gate
  platform::SetThreadStartFailureForTesting(true);
  EXPECT_EQ(IsJobnoValid("123abc"), 0);
  EXPECT_EQ(IsJobnoValid("nothing"), 0);
  {
    std::lock_guard<std::mutex> lock(g_gate_mutex);
    g_gate_open = true;
  }
  g_gate_changed.notify_all();
  EXPECT_EQ(Results(), (std::vector<std::pair<int, std::string>>{
                           {1, "valid"}, {1, "123abc"}, {0, "nothing"}}));
  EXPECT_EQ(g_answers_on_host_thread.load(), 0);
}

// However many checks the host asks for at once, a few workers take them.
std::atomic<int> g_in_callback{0};
std::atomic<int> g_most_in_callback{0};

void RecordResultSlowly(std::int32_t result, const char* jobno) {
  const int now = ++g_in_callback;
  int most = g_most_in_callback.load();
  while (now > most && !g_most_in_callback.compare_exchange_weak(most, now)) {
  }
  std::this_thread::sleep_for(std::chrono::microseconds(200));
  --g_in_callback;
  RecordResult(result, jobno);
}

TEST_F(CallbackTest, ABurstOfChecksTakesAFewWorkers) {
  constexpr int kRequests = 2000;
  g_most_in_callback = 0;
  tracelog::ResetTraceLogForTesting();  // no log file: keep the burst lean
  SetCallback(&RecordResultSlowly);
  for (int i = 0; i < kRequests; ++i) IsJobnoValid("valid");
  EXPECT_EQ(Results().size(), static_cast<std::size_t>(kRequests));
  EXPECT_GE(g_most_in_callback.load(), 1);
  EXPECT_LE(g_most_in_callback.load(), 4);
}

TEST_F(CallbackTest, EveryRequestOfABurstGetsExactlyOneCallback) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  // Even request numbers are listed ("ok0000", "ok0002", ...), odd ones are not.
  auto jobno_of = [](int request) {
    std::string digits = std::to_string(10000 + request).substr(1);
    return (request % 2 == 0 ? "ok" : "no") + digits;
  };
  std::string list;
  for (int request = 0; request < kThreads * kPerThread; request += 2) {
    list += jobno_of(request) + "\r\n";
  }
  WriteFileBytes(config_path_,
                 "[ValidJob]\r\nSource1=" + List("burst.txt", list) + "\r\nFormat1=0000000006\r\n");
  tracelog::ResetTraceLogForTesting();  // no log file: keep the burst lean
  SetCallback(&RecordResult);
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([t, &jobno_of] {
      for (int i = 0; i < kPerThread; ++i) IsJobnoValid(jobno_of(t * kPerThread + i).c_str());
    });
  }
  for (std::thread& host : hosts) host.join();
  const auto results = Results();
  ASSERT_EQ(results.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::map<std::string, int> answers;
  for (const auto& [result, jobno] : results) answers[jobno] = result;
  ASSERT_EQ(answers.size(), results.size());  // every job number exactly once
  for (int request = 0; request < kThreads * kPerThread; ++request) {
    EXPECT_EQ(answers[jobno_of(request)], request % 2 == 0 ? 1 : 0) << request;
  }
}

}  // namespace
}  // namespace zelk::forwarding
