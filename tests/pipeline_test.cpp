// The forwarding pipeline end to end: target files and trace log, byte for byte.
#include "forwarding/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "forwarding/target_guard.h"
#include "forwarding/target_guard_test_helper.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace zelk::forwarding {
namespace {

using testing::ReadFileBytes;
using testing::ReadLogTexts;

Transaction Sample() {
  Transaction t;
  t.trans_no = "42";
  t.job_no = "A1234";
  t.date = "071010";
  t.time = "075037";
  t.text03 = "OP1";
  t.text04 = "";
  t.number05 = "12";
  t.number06 = "3";
  t.text21 = "Remark";
  t.text23 = "";
  t.value09 = "12.5";
  t.value08 = "0";
  return t;
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetTimeZoneForTesting("UTC0");
    tracelog::ResetTraceLogForTesting();
    tracelog::ConfigureTraceLog(log_path_, -1, "");
  }
  void TearDown() override {
    EXPECT_TRUE(platform::WaitForWorkers(std::chrono::seconds(30)));
    tracelog::ResetTraceLogForTesting();
  }

  // A target name inside the scratch folder, with "/" as the separator.
  std::string Target(const std::string& name) { return dir_.path().generic_string() + "/" + name; }

  void Forward(const std::string& settings, const Transaction& t = Sample()) {
    ForwardTransaction2(t, config::Snapshot::Parse("[ForwardTransaction]\n" + settings));
  }

  std::vector<std::string> Log() { return ReadLogTexts(log_path_); }

  std::string Success(int section, const std::string& file, const Transaction& t = Sample()) {
    return ".-ForwardTransaction section[" + std::to_string(section) + "] file[" + file +
           "] transno[" + std::string(t.trans_no) + "] jobno[" + std::string(t.job_no) +
           "] -- SUCCESS";
  }

  testing::ScratchDir dir_;
  const std::string log_path_ = dir_.File("trace.log");
};

TEST_F(PipelineTest, WithoutConfigurationTheEmptyTargetFailsToOpen) {
  ForwardTransaction2(Sample(), config::Snapshot());
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "*-ForwardTransaction section[1] file[] transno[42] jobno[A1234] -- "
                       "t[Could not open file]"}));
}

TEST_F(PipelineTest, TheDefaultLineFormat) {
  const std::string target = Target("out.txt");
  Forward("Target1=" + target + "\n");
  EXPECT_EQ(ReadFileBytes(target),
            "00042,10/10/2007,A1234     ,     OP1, 3,12,         Remark, , 12.500,00\r\n");
  EXPECT_EQ(Log(), (std::vector<std::string>{Success(1, target)}));
}

TEST_F(PipelineTest, EnableComesBeforeTheZeroTest) {
  Transaction zero = Sample();
  zero.value09 = "0";
  Forward("Enable=0\n", zero);
  Forward("Enable=off\n");
  const std::string line =
      "*-ForwardTransaction TransNo[42] JobNo[A1234] -- Internal t[Forward Transaction Not "
      "Enabled]";
  EXPECT_EQ(Log(), (std::vector<std::string>{line, line}));
}

TEST_F(PipelineTest, ZeroTransactionsAreDroppedUnlessAllowed) {
  const std::string target = Target("zero.txt");
  for (const char* value : {"0", "0.000", "", "abc", "0,50", "-0"}) {
    Transaction zero = Sample();
    zero.value09 = value;
    Forward("Target1=" + target + "\nFormat1=%@09|%@k9|%@K9\n", zero);
    EXPECT_EQ(Log().back(),
              "*-ForwardTransaction TransNo:[42] JobNo:[A1234] -- Internal: t[Removing NULL "
              "Transaction]")
        << value;
    Forward("AllowZeroTransaction=1\nTarget1=" + target + "\nFormat1=%@09|%@k9\n", zero);
  }
  std::string expected;
  for (int i = 0; i < 5; ++i) expected += "0.000000|0,00\r\n";
  expected += "-0.000000|-0,00\r\n";
  EXPECT_EQ(ReadFileBytes(target), expected);
}

TEST_F(PipelineTest, ValuesFillTheirOrdinals) {
  const std::string target = Target("values.txt");
  Transaction t = Sample();
  t.value09 = "12.5";
  t.value08 = " -3e2";
  t.text04 = "T4";
  t.text23 = "T23";
  Forward("Target1=" + target + "\nFormat1=%@01|%@03|%@04|%@05|%@06|%@07|%@21|%@23|%@08|%@09|" +
              "%@D9|%@C9|%@K9|%@k9|%@10%@11%@12%@13%@14%@15%@16\n",
          t);
  EXPECT_EQ(ReadFileBytes(target),
            "42|OP1|T4|12|3|A1234|Remark|T23|-300.000000|12.500000|125.000000|1250.000000|"
            "12500.000000|12,50|20070710100750"
            "37\r\n");
}

TEST_F(PipelineTest, FiltersAdmitByTheFirstCharacter) {
  const std::string target = Target("a.txt");
  const std::string settings = "Filter1=A\nTarget1=" + target + "\nFormat1=%@07\nMaxLines1=1\n";
  Transaction lower = Sample();
  lower.job_no = "a1234";
  Forward(settings, lower);
  Transaction other = Sample();
  other.job_no = "B1234";
  Forward(settings, other);
  Transaction empty = Sample();
  empty.job_no = "";
  Forward(settings, empty);
  EXPECT_EQ(ReadFileBytes(target), "1234\r\n");
  EXPECT_EQ(Log(), (std::vector<std::string>{Success(1, target, lower)}));
}

TEST_F(PipelineTest, BlankFiltersKeepTheJobNumberWhole) {
  const std::string first = Target("first.txt");
  const std::string second = Target("second.txt");
  const std::string sections = "Target1=" + first + "\nFormat1=%@07\nDropOnSuccess1=1\n" +
                               "Target2=" + second + "\nFormat2=%@07\n";
  Forward("Filter1=\n" + sections);  // an empty filter: DropOnSuccess is not consulted
  EXPECT_EQ(ReadFileBytes(second), "A1234\r\n");
  Forward("Filter1=\" \"\n" + sections);  // a single space: it is
  EXPECT_EQ(ReadFileBytes(first), "A1234\r\nA1234\r\n");
  EXPECT_EQ(ReadFileBytes(second), "A1234\r\n");
}

TEST_F(PipelineTest, DropOnSuccessRoutesByPrefix) {
  const std::string first = Target("first.txt");
  const std::string second = Target("second.txt");
  const std::string settings = "Filter1=A\nDropOnSuccess1=1\nTarget1=" + first +
                               "\nFormat1=%@01\nFormat2=%@01\nTarget2=" + second + "\n";
  Forward(settings);
  Transaction other = Sample();
  other.job_no = "B9";
  other.trans_no = "7";
  Forward(settings, other);
  EXPECT_EQ(ReadFileBytes(first), "42\r\n");
  EXPECT_EQ(ReadFileBytes(second), "7\r\n");
  // The walk stops after section 1 also when it failed.
  Forward("Filter1=A\nDropOnSuccess1=1\nTarget1=" + Target("missing/x.txt") +
          "\nFormat1=%@01\nFormat2=%@01\nTarget2=" + second + "\n");
  Forward("Filter1=A\nDropOnSuccess1=1\nTarget1=" + first + "\nFormat1=%@zz\nFormat2=%@01\n" +
          "Target2=" + second + "\n");
  EXPECT_EQ(ReadFileBytes(second), "7\r\n");
}

TEST_F(PipelineTest, TheTargetNameRotatesWhileTheLineKeepsTheMoment) {
  Forward("FileRotationTime1=60\nTarget1=" + Target("out%@10%@12%@13%@14%@15.txt") +
          "\nFormat1=%@14:%@15\n");
  EXPECT_EQ(ReadFileBytes(Target("out200710100700.txt")), "07:50\r\n");
  Forward("FileRotationTime1=-1\nTarget1=" + Target("neg%@10%@12%@13%@14%@15.txt") +
          "\nFormat1=%@14:%@15\n");
  EXPECT_EQ(ReadFileBytes(Target("neg197001010000.txt")), "07:50\r\n");
}

TEST_F(PipelineTest, AMalformedDateFailsEveryAdmittedSection) {
  Transaction t = Sample();
  t.date = "71010";
  Forward("Target1=" + Target("a.txt") +
              "\nFormat2=x\nFilter2=B\nFormat3=y\nTarget3=" + Target("c.txt") + "\n",
          t);
  const std::string line =
      "] file[] transno[42] jobno[A1234] -- f[ExtFormat] t[DateAndTime has wrong format]";
  EXPECT_EQ(Log(), (std::vector<std::string>{"*-ForwardTransaction section[1" + line,
                                             "*-ForwardTransaction section[3" + line}));
  EXPECT_FALSE(std::filesystem::exists(Target("a.txt")));
}

TEST_F(PipelineTest, AnErrorInTheLineNamesTheRenderedTarget) {
  const std::string target = Target("t.txt");
  Forward("Target1=" + target + "\nFormat1=%@02\n");
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "*-ForwardTransaction section[1] file[" + target +
                       "] transno[42] jobno[A1234] -- f[ExtFormat] t[Ordinal does not exist in "
                       "this context] @[02]"}));
}

TEST_F(PipelineTest, LineFeedsReachTheDiskAsCrLf) {
  const std::string target = Target("lf.txt");
  Forward("Target1=" + target + "\nFormat1=a%@99b\n");
  EXPECT_EQ(ReadFileBytes(target), "a\r\nb\r\n");
}

// Line ends and other control characters in the host's numbers cannot start
// a line of the trace log; the job number is checked as the host sent it.
TEST_F(PipelineTest, HostNumbersAreShownEscapedInTheTraceLog) {
  Transaction t = Sample();
  t.trans_no = "42\r\n2026-12-09 08:00:00-.-FAKE";
  const std::string list = dir_.File("jobs.txt");
  testing::WriteFileBytes(list, "A1\tB\n");
  t.job_no = "A1\tB";
  ForwardTransaction2(t, config::Snapshot::Parse("[ForwardTransaction]\nValidation=1\nFormat1=x\n"
                                                 "Target1=" +
                                                 Target("out.txt") + "\n[ValidJob]\nSource1=" +
                                                 list + "\nFormat1=0000000004\n"));
  EXPECT_EQ(Log(),
            (std::vector<std::string>{
                ".-IsJobnoValid section[1] file[" + list + "] jobno[A1\\tB] -- IS VALID line[1]",
                ".-ForwardTransaction section[1] file[" + Target("out.txt") +
                    "] transno[42\\r\\n2026-12-09 08:00:00-.-FAKE] jobno[A1\\tB] -- SUCCESS"}));
}

TEST_F(PipelineTest, MaxLinesHoldsTheTargetToItsLastLines) {
  const std::string target = Target("max.txt");
  for (int i = 1; i <= 5; ++i) {
    Transaction t = Sample();
    const std::string number = std::to_string(i);
    t.trans_no = number;
    Forward("Target1=" + target + "\nFormat1=%@01\nMaxLines1=3\n", t);
  }
  EXPECT_EQ(ReadFileBytes(target), "3\r\n4\r\n5\r\n");
  Forward("Target1=" + target + "\nFormat1=x%@99y\nMaxLines1=3\n");
  EXPECT_EQ(ReadFileBytes(target), "5\r\nx\r\ny\r\n");
}

TEST_F(PipelineTest, CsvKeysQuoteAndGuardTheSectionsValues) {
  const std::string target = Target("import.csv");
  Transaction t = Sample();
  t.text03 = "=1+2";
  t.text21 = "a;\"b\"";
  const std::string section = "Target1=" + target + "\nFormat1=%@01;%@03;%@21;%@k9\n";
  Forward(section);
  Forward(section + "CsvDelimiter1=;\nCsvGuard1=1\n", t);
  EXPECT_EQ(ReadFileBytes(target), "42;OP1;Remark;12,50\r\n42;'=1+2;\"a;\"\"b\"\"\";12,50\r\n");
}

// Header<N> and Bom<N> go first into a target holding no lines, and stay
// first, uncounted, through MaxLines<N>; a target holding lines is left so.
TEST_F(PipelineTest, AHeaderAndAByteOrderMarkBeginEveryNewTarget) {
  const std::string bom = "\xEF\xBB\xBF";
  const std::string held = Target("held.csv");
  const std::string old = Target("old.csv");
  const std::string marked = Target("marked.csv");
  testing::WriteFileBytes(old, "old\r\n");
  testing::WriteFileBytes(marked, bom);
  const std::string keys =
      "Format1=%@01;%@03\nHeader1=Nr;Text %@07\nBom1=1\nCsvDelimiter1=;\nMaxLines1=2\n";
  for (const char* trans_no : {"1", "2", "3"}) {
    Transaction t = Sample();
    t.trans_no = trans_no;
    for (const std::string& target : {held, old, marked})
      Forward("Target1=" + target + "\n" + keys, t);
  }
  EXPECT_EQ(ReadFileBytes(held), bom + "Nr;Text A1234\r\n2;OP1\r\n3;OP1\r\n");
  // Its first line is taken for the header it was written before.
  EXPECT_EQ(ReadFileBytes(old), "old\r\n2;OP1\r\n3;OP1\r\n");
  EXPECT_EQ(ReadFileBytes(marked), bom + "Nr;Text A1234\r\n2;OP1\r\n3;OP1\r\n");
  // A fault in the header is the section's: no line.
  const std::string faulty = Target("faulty.csv");
  Forward("Target1=" + faulty + "\nFormat1=%@01\nHeader1=%@02\n");
  EXPECT_FALSE(std::filesystem::exists(faulty));
  EXPECT_EQ(Log().back(), "*-ForwardTransaction section[1] file[" + faulty +
                              "] transno[42] jobno[A1234] -- f[ExtFormat] t[Ordinal does not "
                              "exist in this context] @[02]");
}

// KeepFiles<N> across a day boundary: each job's daily files are its own
// set, read by the day their names show; a file that cannot be removed is
// logged with its cause and left.
TEST_F(PipelineTest, KeepFilesRemovesTheJobsFilesOfEarlierDays) {
  const std::string out = Target("out");
  std::filesystem::create_directory(out);
  const std::vector<std::string> others = {"job-B9-20071006.csv", "job-A1234-2007100.csv",
                                           "notes.txt", "job-A1234-20071006.csv.bak"};
  for (const std::string& name : others) testing::WriteFileBytes(out + "/" + name, "x\r\n");
  for (const char* day : {"06", "07", "08"}) {
    testing::WriteFileBytes(out + "/job-A1234-200710" + day + ".csv", "x\r\n");
  }
  platform::SetRemovalFailureForTesting(out + "/job-A1234-20071006.csv");
  const std::string keys = "Target1=" + out +
                           "/job-%@07-%@10%@12%@13.csv\nFileRotationTime1=1440\nKeepFiles1=2\n"
                           "Format1=%@01\n";
  Transaction t = Sample();
  for (const char* moment : {"071009235958", "071009235959", "071010000001"}) {
    t.date = std::string_view(moment, 6);
    t.time = std::string_view(moment + 6, 6);
    Forward(keys, t);
  }
  platform::SetRemovalFailureForTesting("");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected = others;
  expected.insert(expected.end(),
                  {"job-A1234-20071006.csv", "job-A1234-20071009.csv", "job-A1234-20071010.csv"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  std::vector<std::string> removals;
  for (const std::string& line : Log()) {
    if (line.find("keepfiles[") != std::string::npos) removals.push_back(line);
  }
  const std::string refused =
      "*-ForwardTransaction section[1] file[" + out +
      "/job-A1234-20071006.csv] keepfiles[2] -- t[Could not remove file: " +
      platform::Status::FromSystem("", "",
                                   platform::SystemErrorCode(platform::SystemError::kNoAccess))
          .message() +
      "]";
  EXPECT_EQ(removals,
            (std::vector<std::string>{".-ForwardTransaction section[1] file[" + out +
                                          "/job-A1234-20071007.csv] keepfiles[2] -- REMOVED",
                                      refused,
                                      ".-ForwardTransaction section[1] file[" + out +
                                          "/job-A1234-20071008.csv] keepfiles[2] -- REMOVED",
                                      refused}));
}

TEST_F(PipelineTest, AnEmptyFirstFormatDoesNothing) {
  Forward("Format1=\nTarget1=" + Target("none.txt") + "\n");
  EXPECT_TRUE(Log().empty());
  EXPECT_FALSE(std::filesystem::exists(Target("none.txt")));
}

TEST_F(PipelineTest, AFailedRecheckIsLoggedLater) {
  Forward("Validation=1\nTarget1=" + Target("v.txt") + "\n");
  EXPECT_TRUE(platform::WaitForWorkers(std::chrono::seconds(30)));
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "*-IsJobnoValid jobno[A1234] -- NOT VALID",
                       "*-ForwardTransaction -- error while double checking jobno"}));
  EXPECT_FALSE(std::filesystem::exists(Target("v.txt")));
}

TEST_F(PipelineTest, FieldValuesCannotMoveTheTarget) {
  Transaction t = Sample();
  t.job_no = "..\\../x:y\t";
  Forward("Target1=" + Target("t%@07.txt") + "\nFormat1=%@07\n", t);
  EXPECT_EQ(ReadFileBytes(Target("t.._.._x_y_.txt")), "..\\../x:y\t\r\n");
}

TEST_F(PipelineTest, AHostTextCannotStartALine) {
  Transaction t = Sample();
  t.text03 = "OP1\r\n99999,FAKE-RECORD";
  const std::string target = Target("lines.txt");
  Forward("Target1=" + target + "\n", t);
  Forward("Target1=" + target + "\nFormat1=%@03%@99%@21\n", t);
  EXPECT_EQ(ReadFileBytes(target),
            "00042,10/10/2007,A1234     ,OP1  99999,FAKE-RECORD, 3,12,         Remark, , "
            "12.500,00\r\n"
            "OP1  99999,FAKE-RECORD\r\nRemark\r\n");
}

TEST_F(PipelineTest, FieldValuesCannotLeaveTheFolderTheTargetNames) {
  Transaction t = Sample();
  t.job_no = "..";
  t.text03 = "..";
  std::filesystem::create_directories(Target("base/out/__/__"));
  Forward("Target1=" + Target("base/out/%@07/%@03/data.txt") + "\nFormat1=%@01\n", t);
  EXPECT_EQ(ReadFileBytes(Target("base/out/__/__/data.txt")), "42\r\n");
  EXPECT_FALSE(std::filesystem::exists(Target("base/data.txt")));
  EXPECT_EQ(Log().back(), Success(1, Target("base/out/__/__/data.txt"), t));
}

TEST_F(PipelineTest, AFieldValueCannotMakeTheTargetADevice) {
  const struct {
    const char* job_no;
    const char* file;
  } cases[] = {
      {"NUL", "NUL_.txt"}, {"con", "con_.txt"},   {"COM1", "COM1_.txt"},
      {"Aux", "Aux_.txt"}, {"LPT1", "LPT1_.txt"}, {"nul.x", "nul_.x.txt"},
  };
  for (const auto& c : cases) {
    Transaction t = Sample();
    t.job_no = c.job_no;
    Forward("Target1=" + Target("%@07.txt") + "\nFormat1=%@01\n", t);
    EXPECT_EQ(ReadFileBytes(Target(c.file)), "42\r\n") << c.job_no;
    EXPECT_EQ(Log().back(), Success(1, Target(c.file), t));
  }
}

TEST_F(PipelineTest, ADeviceTheConfigurationNamesStaysADevice) {
  if (!std::filesystem::exists("/dev/null")) GTEST_SKIP() << "no null device by that name";
  Forward("Target1=/dev/null%@04\nFormat1=%@01\n");
  EXPECT_EQ(Log().back(), Success(1, "/dev/null"));
}

TEST_F(PipelineTest, ABusyTargetIsWaitedForAndThenWritten) {
  const std::string target = Target("busy.txt");
  platform::OpenResult holder =
      platform::OpenExclusive(target, platform::CreateMode::kCreateIfMissing);
  ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
  std::thread releaser([&holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    holder.file.Close().IgnoreError();
  });
  Forward("Target1=" + target + "\nFormat1=%@01\n");
  releaser.join();
  EXPECT_EQ(ReadFileBytes(target), "42\r\n");
}

TEST_F(PipelineTest, ATargetHeldTooLongLosesItsLineWithALogLine) {
  const std::string target = Target("held.txt");
  platform::OpenResult holder =
      platform::OpenExclusive(target, platform::CreateMode::kCreateIfMissing);
  ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
  Forward("Target1=" + target + "\nFormat1=%@01\n");
  EXPECT_EQ(Log().back(), "*-ForwardTransaction section[1] file[" + target +
                              "] transno[42] jobno[A1234] -- t[Could not open file]");
}

// After one wait that runs out, the target's next lines fail at once (each
// with its log line) until it is free again; the first line written then is
// preceded by a line that counts the lost ones.
TEST_F(PipelineTest, ABusyTargetCostsOneWaitPerStretch) {
  const std::string target = Target("stretch.txt");
  const std::string settings = "Target1=" + target + "\nFormat1=%@01\n";
  const std::string failed = "*-ForwardTransaction section[1] file[" + target +
                             "] transno[42] jobno[A1234] -- t[Could not open file]";
  {
    platform::OpenResult holder =
        platform::OpenExclusive(target, platform::CreateMode::kCreateIfMissing);
    ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
    for (int line = 0; line < 3; ++line) Forward(settings);
  }
  Forward(settings);
  Forward(settings);
  EXPECT_EQ(Log(),
            (std::vector<std::string>{failed, failed, failed,
                                      "*-ForwardTransaction file[" + target +
                                          "] -- t[Busy until now: 3 lines could not be written]",
                                      Success(1, target), Success(1, target)}));
  EXPECT_EQ(ReadFileBytes(target), "42\r\n42\r\n");
}

TEST_F(PipelineTest, AFailedWriteIsReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no device that is always full";
  Forward("Target1=/dev/full\nFormat1=%@01\n");
  EXPECT_EQ(Log().back(),
            "*-ForwardTransaction section[1] file[/dev/full] transno[42] "
            "jobno[A1234] -- t[Could not write file]");
}

// Failures the system reports at the door, injected call by call: each
// reaches the trace log as the failure it is, and no piece of a line stays
// in the target unless the cut that should remove it fails too, which is
// then reported with the file and the system's cause. With Causes=1 the
// failure line ends with the system's cause; without it, not a byte changes.
TEST_F(PipelineTest, InjectedFailuresReachTheTraceLog) {
  using platform::DoorCall;
  using platform::SystemError;
  const std::string target = Target("out.txt");
  const std::string head = "*-ForwardTransaction section[1] file[" + target +
                           "] transno[42] jobno[A1234] -- t[Could not ";
  const auto cause = [](SystemError error) {
    return platform::Status::FromSystem("", "", platform::SystemErrorCode(error)).cause();
  };
  struct Case {
    const char* what;
    std::vector<platform::Fault> faults;
    std::vector<std::string> log;
    std::string bytes;       // what the target holds afterwards
    SystemError last_cause;  // what the last line ends with under Causes=1
    const char* keys = "";   // the section's further keys
  };
  const Case cases[] = {
      {"open refused",
       {{DoorCall::kOpen, 1, false, SystemError::kNoAccess}},
       {head + "open file]"},
       "",
       SystemError::kNoAccess},
      {"no space",
       {{DoorCall::kWrite, 1, false, SystemError::kNoSpace}},
       {head + "write file]"},
       "",
       SystemError::kNoSpace},
      {"short write, then no space",
       {{DoorCall::kWrite, 1, false, SystemError::kIo, 2},
        {DoorCall::kWrite, 2, false, SystemError::kNoSpace}},
       {head + "write file]"},
       "",
       SystemError::kNoSpace},
      {"a cut-back that fails",
       {{DoorCall::kWrite, 1, false, SystemError::kIo, 2},
        {DoorCall::kWrite, 2, false, SystemError::kNoSpace},
        {DoorCall::kTruncate, 1, false, SystemError::kNoAccess}},
       {"*-ForwardTransaction file[" + target +
            "] size[0] -- t[Could not cut back a failed line] cause[" +
            cause(SystemError::kNoAccess) + "]",
        head + "write file]"},
       "42",
       SystemError::kNoSpace},
      // Sync1=1: the line counts only once it is on the disk, so a flush
      // that fails makes it a line not written, cut back out of the target.
      {"a line whose flush fails",
       {{DoorCall::kFlush, 1, false, SystemError::kIo}},
       {head + "write file]"},
       "",
       SystemError::kIo,
       "Sync1=1\n"},
  };
  for (const bool causes : {false, true}) {
    for (const Case& c : cases) {
      std::filesystem::remove(target);
      tracelog::ResetTraceLogForTesting();
      std::filesystem::remove(log_path_);
      tracelog::OpenTraceLog(config::Snapshot::Parse("[Log]\nFileName=" + log_path_ +
                                                     "\nCauses=" + (causes ? "1" : "0") + "\n"));
      platform::InjectFaults(c.faults);
      Forward("Target1=" + target + "\nFormat1=%@01\n" + c.keys);
      platform::ClearFaults();
      std::vector<std::string> log = c.log;
      if (causes) log.back() += " cause[" + cause(c.last_cause) + "]";
      EXPECT_EQ(Log(), log) << c.what;
      EXPECT_EQ(ReadFileBytes(target), c.bytes) << c.what;
    }
  }
}

TEST_F(PipelineTest, ThreadsForwardingToOneTargetLoseNoLine) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 5000;
  const std::string target = Target("shared.txt");
  const config::Snapshot snapshot = config::Snapshot::Parse(
      "[ForwardTransaction]\nTarget1=" + target + "\nFormat1=%@01-%@03-%@21\n");
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([&snapshot, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Transaction transaction = Sample();
        const std::string number = std::to_string(t * kPerThread + i);
        transaction.trans_no = number;
        transaction.text03 = number;
        transaction.text21 = number;
        ForwardTransaction2(transaction, snapshot);
      }
    });
  }
  for (std::thread& host : hosts) host.join();
  const std::string bytes = ReadFileBytes(target);
  std::vector<bool> seen(kThreads * kPerThread, false);
  std::size_t start = 0;
  std::size_t lines = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = bytes.substr(start, end - start);
    const std::string number = line.substr(0, line.find('-'));
    ASSERT_EQ(line, number + "-" + number + "-" + number);
    seen.at(std::stoul(number)) = true;
    ++lines;
    start = end + 2;
  }
  EXPECT_EQ(lines, seen.size());
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kThreads * kPerThread);
  std::size_t successes = 0;
  for (const std::string& line : Log()) successes += line.find("-- SUCCESS") != std::string::npos;
  EXPECT_EQ(successes, seen.size());
  EXPECT_EQ(ActiveTargetsForTesting(), 0u);
}

TEST(ParseReal, ReadsLikeStrtodInTheCLocale) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* text;
    double expected;  // compared bit for bit, so the sign of a zero counts
  };
  const Case cases[] = {
      {"12.5", 12.5},
      {" -3e2", -300.0},
      {"+.5", 0.5},
      {"0x10", 16.0},
      {"0x.8", 0.5},
      {"0x", 0.0},
      {"1e", 1.0},
      {"0,50", 0.0},
      {"abc", 0.0},
      {"--1", 0.0},
      {"", 0.0},
      {"-", 0.0},
      {"-abc", 0.0},
      {"- 5", 0.0},
      {"-0", -0.0},
      {"-0.000", -0.0},
      {"7.25x", 7.25},
      {"\t\n2", 2.0},
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"5e-99999999999999999999", 0.0},
      {"0x1p-99999999999999999999", 0.0},
      {"1e400", kInf},
      {"5e99999999999999999999", kInf},
      {"-0x1p2000", -kInf},
      {"-Infinity", -kInf},
      {"4e-324", 4e-324},
  };
  for (const Case& c : cases) {
    const double actual = ParseReal(c.text);
    EXPECT_TRUE(std::memcmp(&actual, &c.expected, sizeof actual) == 0)
        << c.text << ": " << actual << ", expected " << c.expected;
  }
  EXPECT_TRUE(std::isnan(ParseReal("nan")));
  EXPECT_TRUE(std::signbit(ParseReal("-nan(1)")));
}

}  // namespace
}  // namespace zelk::forwarding
