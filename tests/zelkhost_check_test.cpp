// zelkhost check: a good configuration passes, a broken one is reported in the
// service's own words.
#include "check.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "test_support.h"

namespace zelk::host {
namespace {

TEST(ZelkhostCheck, AGoodConfigurationHasNoProblems) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  testing::WriteFileBytes(root + "jobs.txt", "A1234\r\n");
  const std::string ini = root + "zelkforward.ini";
  testing::WriteFileBytes(ini, "[ForwardTransaction]\r\nTarget1=" + root +
                                   "day%@10%@12%@13.txt\r\nFileRotationTime1=1440\r\n" +
                                   "Format2=%@01;%@07\r\nFilter2=B\r\nTarget2=" + root +
                                   "b.txt\r\n[ValidJob]\r\nSource1=" + root +
                                   "jobs.txt\r\nFormat1=0000000010\r\n[Log]\r\nFileName=" + root +
                                   "trace.log\r\n");
  std::ostringstream out;
  const CheckResult result = CheckConfiguration(ini, out);
  EXPECT_EQ(result.problems, 0) << out.str();
  EXPECT_EQ(result.warnings, 0) << out.str();
  EXPECT_NE(out.str().find("jobno[B1234]"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("No problems found."), std::string::npos);
}

TEST(ZelkhostCheck, ABrokenConfigurationIsReported) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  const std::string ini = root + "zelkforward.ini";
  testing::WriteFileBytes(ini, "[ForwardTransaction]\r\nFormat1=%@01 %q\r\nTarget1=" + root +
                                   "missing/out.txt\r\nFormat2=x\r\nTarget2=%@_1\r\n" +
                                   "[ValidJob]\r\nSource1=" + root +
                                   "nolist.txt\r\nFormat1=000000001\r\n[Log]\r\nFileName=" + root +
                                   "nofolder/trace.log\r\n");
  std::ostringstream out;
  EXPECT_EQ(CheckConfiguration(ini, out).problems, 6) << out.str();
  for (const char* expected : {
           "Format1: f[ExtFormat] t[Illegal Format String]",
           "missing/out.txt does not exist",
           "Target2: f[ExtFormat] t[At least one %@ expresion does not follow by two correct "
           "alfanumeric ordinals]",
           "nolist.txt is missing",
           "Format1 is not 10 characters long",
           "nofolder/trace.log does not exist",
       }) {
    EXPECT_NE(out.str().find(expected), std::string::npos) << expected << "\n" << out.str();
  }
}

// A fault in a format is shown where it stands, with the text around it.
TEST(ZelkhostCheck, ShowsWhereAFormatGoesWrong) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  const struct {
    std::string format;
    const char* problem;
  } cases[] = {
      {"100% done %@01",
       "Format1: f[ExtFormat] t[Illegal Format String] at column 4: \"100% done %@01\"; a "
       "percent sign on its own is written %%"},
      {"%@01;%@02;%q",
       "Format1: f[ExtFormat] t[Ordinal does not exist in this context] @[02] at column 6: "
       "\"%@01;%@02;%q\""},
      {"%@01,%@03,%@07,%@21,%@23:%5-3@09",
       "Format1: f[ExtFormat] t[Illegal Format String] at column 26: "
       "\"...7,%@21,%@23:%5-3@09\""},
      {"%@k9 %@1",
       "Format1: f[ExtFormat] t[At least one %@ expresion does not follow by two correct "
       "alfanumeric ordinals] at column 6: \"%@k9 %@1\""},
  };
  for (const auto& c : cases) {
    const std::string ini = root + "zelkforward.ini";
    testing::WriteFileBytes(
        ini, "[ForwardTransaction]\r\nTarget1=" + root + "a.txt\r\nFormat1=" + c.format + "\r\n");
    std::ostringstream out;
    EXPECT_EQ(CheckConfiguration(ini, out).problems, 1) << out.str();
    EXPECT_NE(out.str().find(std::string("problem: ") + c.problem), std::string::npos)
        << c.problem << "\n"
        << out.str();
  }
  // Every field a transaction fills, the time parts and the line break among them.
  const std::string ini = root + "zelkforward.ini";
  testing::WriteFileBytes(ini, "[ForwardTransaction]\r\nTarget1=" + root +
                                   "a%@10%@11%@12%@13%@14%@15%@16.txt\r\nFormat1=%@01%@03%@04%@05"
                                   "%@06%@07%@21%@23%@99%@08%@09%@D9%@C9%@K9%@k9\r\n");
  std::ostringstream out;
  EXPECT_EQ(CheckConfiguration(ini, out).problems, 0) << out.str();
}

// Configurations that look right and do something else: each gives its
// warning (and no problem), in the section where the service reads it.
TEST(ZelkhostCheck, WarnsOfWhatReadsOtherwiseThanItLooks) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  const std::string good = "[ForwardTransaction]\r\nTarget1=" + root + "a.txt\r\n";
  struct Case {
    std::string text;
    const char* warning;
  };
  const Case cases[] = {
      {good + "Formt1=%@01\r\n",
       "line 3: Formt1: not a key of [ForwardTransaction]; did you mean Format1?"},
      {good + "Format01=%@01\r\n",
       "line 3: Format01: not a key of [ForwardTransaction]; did you mean Format1?"},
      {good + "Format3=%@01\r\n",
       "line 3: Format3 is never read: the walk ends at Format2, which is not written"},
      {good + "Format2=\r\nTarget2=x\r\n",
       "line 4: Target2 is never read: the walk ends at Format2, which is empty"},
      {good + "MaxLines1=abc\r\n",
       "MaxLines1: \"abc\" does not start with a number; it reads as 0"},
      {good + "[Log]\r\nMaxLines=\r\n", "MaxLines is empty: it reads as 0, not as its default 50"},
      {good + "Enable=off\r\n", "Enable: \"off\" does not start with a number; it reads as 0"},
      {good + "Filter1=AB\r\n", "Filter1: only the first character of \"AB\" counts (A)"},
      {good + "DropOnSuccess1=1\r\n", "line 3: DropOnSuccess1 is never read: Filter1 is empty"},
      {good + "[ForwardTransaction]\r\nFormat1=x\r\n",
       "line 3: [ForwardTransaction] again: only the section on line 1 is read"},
      {good + "Target1=other\r\n", "line 3: Target1 again: the first one (line 2) is read"},
      {"Enable=0\r\n" + good, "line 1: Enable stands before the first section and is never read"},
      {good + "[ValidJobs]\r\n", "line 3: [ValidJobs] is not a section the service reads"},
      {good + "[ValidJob]\r\nSource2=x\r\n",
       "line 4: Source2 is never read: the walk ends at Source1, which is not written"},
      {good + "[Log]\r\nFlag=+a\r\n", "line 4: Flag: not a key of [Log]; did you mean Flags?"},
  };
  for (const Case& c : cases) {
    const std::string ini = root + "zelkforward.ini";
    testing::WriteFileBytes(ini, c.text);
    std::ostringstream out;
    const CheckResult result = CheckConfiguration(ini, out);
    EXPECT_EQ(result.problems, 0) << out.str();
    EXPECT_EQ(result.warnings, 1) << out.str();
    EXPECT_NE(out.str().find(std::string("warning: ") + c.warning), std::string::npos)
        << c.warning << "\n"
        << out.str();
  }
}

TEST(ZelkhostCheck, NamesTheEncodingItReadTheFileIn) {
  testing::ScratchDir dir;
  const std::string ini = dir.File("zelkforward.ini");
  const struct {
    std::string bytes;
    const char* name;
  } cases[] = {
      {"[Log]\r\n", "encoding: ANSI"},
      {"\xEF\xBB\xBF[Log]\r\n", "encoding: UTF-8 with byte order mark"},
      {std::string("\xFF\xFE[\0L\0o\0g\0]\0", 12), "encoding: UTF-16 LE"},
      {std::string("\xFE\xFF\0[\0L\0o\0g\0]", 12), "encoding: UTF-16 BE"},
  };
  for (const auto& c : cases) {
    testing::WriteFileBytes(ini, c.bytes);
    std::ostringstream out;
    CheckConfiguration(ini, out);
    EXPECT_NE(out.str().find(c.name), std::string::npos) << out.str();
  }
}

}  // namespace
}  // namespace zelk::host
