// zelkhost check: a good configuration passes, a broken one is reported in the
// service's own words.
#include "check.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "file_checks.h"
#include "run_summary.h"
#include "service_library.h"
#include "test_support.h"

namespace zelk::host {
namespace {

// Line `index` (from 0) of `text`, without its line end.
std::string LinesFor(const std::string& text, std::size_t index) {
  std::istringstream lines(text);
  std::string line;
  for (std::size_t i = 0; i <= index; ++i) std::getline(lines, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

TEST(ZelkhostCheck, AGoodConfigurationHasNoProblems) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  testing::WriteFileBytes(root + "jobs.txt", "A1234\r\n");
  const std::string ini = root + "zelkforward.ini";
  testing::WriteFileBytes(
      ini, "[ForwardTransaction]\r\nTarget1=" + root +
               "day%@10%@12%@13.txt\r\nFileRotationTime1=1440\r\n" + "KeepFiles1=30\r\nBom1=1\r\n" +
               "Format2=%@01,%@07,%@k9\r\nCsvDelimiter2=,\r\n" +
               "Header2=Nr,Job %@07\r\nFilter2=B\r\nTarget2=" + root +
               "b.txt\r\n[ValidJob]\r\nSource1=" + root +
               "jobs.txt\r\nFormat1=0000000010\r\n[Log]\r\nFileName=" + root + "trace.log\r\n");
  std::ostringstream out;
  const CheckResult result = CheckConfiguration(ini, out);
  EXPECT_EQ(result.problems, 0) << out.str();
  EXPECT_EQ(result.warnings, 0) << out.str();
  EXPECT_NE(out.str().find("jobno[B1234]"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("line:   1,1234,\"12,50\"\n    header: Nr,Job 1234\n"),
            std::string::npos)
      << out.str();
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
       ":3:12: problem: Format1: f[ExtFormat] t[Illegal Format String]: \"100% done %@01\"; a "
       "percent sign on its own is written %%"},
      {"%@01;%@02;%q",
       ":3:14: problem: Format1: f[ExtFormat] t[Ordinal does not exist in this context] @[02]: "
       "\"%@01;%@02;%q\""},
      {"%@01,%@03,%@07,%@21,%@23:%5-3@09",
       ":3:34: problem: Format1: f[ExtFormat] t[Illegal Format String]: "
       "\"...7,%@21,%@23:%5-3@09\""},
      {"%@k9 %@1",
       ":3:14: problem: Format1: f[ExtFormat] t[At least one %@ expresion does not follow by two "
       "correct "
       "alfanumeric ordinals]: \"%@k9 %@1\""},
  };
  for (const auto& c : cases) {
    const std::string ini = root + "zelkforward.ini";
    testing::WriteFileBytes(
        ini, "[ForwardTransaction]\r\nTarget1=" + root + "a.txt\r\nFormat1=" + c.format + "\r\n");
    std::ostringstream out;
    EXPECT_EQ(CheckConfiguration(ini, out).problems, 1) << out.str();
    EXPECT_NE(out.str().find("zelkforward.ini" + std::string(c.problem)), std::string::npos)
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
  testing::WriteFileBytes(root + "held.txt", "old\r\n");
  struct Case {
    std::string text;
    const char* warning;
  };
  const Case cases[] = {
      {good + "CsvDelimiter1=;\r\nFormat1=\"%@03\";%@01\r\n",
       "Format1 puts quotes around fields itself, and CsvDelimiter1 quotes the values"},
      {good + "KeepFiles1=5\r\n",
       "KeepFiles1 is set, but Target1 has no date or time part in its file name"},
      {"[ForwardTransaction]\r\nTarget1=" + root + "held.txt\r\nBom1=1\r\n",
       "Bom1 is set, but the target"},
      {good + "Formt1=%@01\r\n",
       ":3:1: warning: Formt1: not a key of [ForwardTransaction]; did you mean Format1?"},
      {good + "Format01=%@01\r\n",
       ":3:1: warning: Format01: not a key of [ForwardTransaction]; did you mean Format1?"},
      {good + "Format3=%@01\r\n",
       ":3:1: warning: Format3 is never read: the walk ends at Format2, which is not written"},
      {good + "Format2=\r\nTarget2=x\r\n",
       ":4:1: warning: Target2 is never read: the walk ends at Format2, which is empty"},
      {good + "MaxLines1=abc\r\n",
       "warning: MaxLines1: \"abc\" does not start with a number; it reads as 0"},
      {good + "[Log]\r\nMaxLines=\r\n",
       "warning: MaxLines is empty: it reads as 0, not as its default 50"},
      {good + "Enable=off\r\n",
       "warning: Enable: \"off\" does not start with a number; it reads as 0"},
      {good + "Filter1=AB\r\n", "warning: Filter1: only the first character of \"AB\" counts (A)"},
      {good + "FileRotationTime1=71582789\r\n",
       "warning: FileRotationTime1: 71582789 minutes make a period of 44 seconds"},
      {good + "FileRotationTime1=-5\r\n",
       "warning: FileRotationTime1: -5 minutes make a period of 4294966996 seconds"},
      {good + "DropOnSuccess1=1\r\n",
       ":3:1: warning: DropOnSuccess1 is never read: Filter1 is empty"},
      {good + "[ForwardTransaction]\r\nFormat1=x\r\n",
       ":3:1: warning: [ForwardTransaction] again: only the section on line 1 is read"},
      {good + "Target1=other\r\n", ":3:1: warning: Target1 again: the first one (line 2) is read"},
      {"Enable=0\r\n" + good,
       ":1:1: warning: Enable stands before the first section and is never read"},
      {good + "[ValidJobs]\r\n", ":3:1: warning: [ValidJobs] is not a section the service reads"},
      {good + "[ValidJob]\r\nSource2=x\r\n",
       ":4:1: warning: Source2 is never read: the walk ends at Source1, which is not written"},
      {good + "[Log]\r\nFlag=+a\r\n",
       ":4:1: warning: Flag: not a key of [Log]; did you mean Flags?"},
  };
  for (const Case& c : cases) {
    const std::string ini = root + "zelkforward.ini";
    testing::WriteFileBytes(ini, c.text);
    std::ostringstream out;
    const CheckResult result = CheckConfiguration(ini, out);
    EXPECT_EQ(result.problems, 0) << out.str();
    EXPECT_EQ(result.warnings, 1) << out.str();
    EXPECT_NE(out.str().find(c.warning), std::string::npos) << c.warning << "\n" << out.str();
  }
}

// Values whose text goes on past what the service reads: each is a warning
// on its line that says what the value reads as, and how to write it.
TEST(ZelkhostCheck, WarnsOfValuesThatReadAsLessThanIsWritten) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  const std::string good = "[ForwardTransaction]\r\nTarget1=" + root + "a.txt\r\n";
  struct Case {
    std::string text;
    std::string warning;
  };
  const Case cases[] = {
      {good + "MaxLines1=1,000\r\n",
       ":3:12: warning: MaxLines1: \"1,000\" reads as 1: the number ends before \",000\"; write it "
       "in "
       "digits only"},
      {good + "MaxLines1=1 000\r\n", ":3:12: warning: MaxLines1: \"1 000\" reads as 1"},
      {good + "MaxLines1=5.5\r\n", ":3:12: warning: MaxLines1: \"5.5\" reads as 5"},
      {good + "Format2=%@01\r\nTarget2=" + root + "b%@15.txt\r\nFileRotationTime2=1h\r\n",
       ":5:20: warning: FileRotationTime2: \"1h\" reads as 1: the number ends before \"h\"; write "
       "it in "
       "digits only, without separators, decimals or units; the period is in minutes: 60 is an "
       "hour, 1440 a day"},
      {good + "[Log]\r\nMaxLines=12abc\r\n", ":4:12: warning: MaxLines: \"12abc\" reads as 12"},
      {"[ForwardTransaction]\r\nTarget1=" + root + "a.txt ; file for A jobs\r\n",
       ":2:" + std::to_string(9 + root.size() + 5) +
           ": warning: Target1: \" ; file for A jobs\" is part of the value: ';' starts a comment "
           "only "
           "at the start of a line; put the comment on a line of its own"},
      {good + "Enable=1 ; on\r\n",
       ":3:9: warning: Enable: \" ; on\" is part of the value: ';' starts a comment only at the "
       "start of "
       "a line; it reads as 1"},
      {"[ForwardTransaction]\r\nTarget1=" + root + std::string(300, 'x') + "\r\n",
       ":2:264: warning: Target1 is " + std::to_string(root.size() + 300) +
           " characters long: the service keeps only its first 255"},
      {good + "Format1=" + std::string(1100, 'y') + "\r\n",
       ":3:1032: warning: Format1 is 1100 characters long: the service keeps only its first 1023"},
  };
  for (const Case& c : cases) {
    const std::string ini = root + "zelkforward.ini";
    testing::WriteFileBytes(ini, c.text);
    std::ostringstream out;
    const CheckResult result = CheckConfiguration(ini, out);
    EXPECT_EQ(result.warnings, 1) << out.str();
    EXPECT_NE(out.str().find("zelkforward.ini" + c.warning), std::string::npos) << c.warning << "\n"
                                                                                << out.str();
  }
}

// The shipped example reads as it looks: no problem and no warning.
TEST(ZelkhostCheck, TheExampleChecksClean) {
  testing::ScratchDir dir;
  const std::filesystem::path examples = std::filesystem::path(ZELK_SOURCE_DIR) / "examples";
  for (const char* file : {"zelkforward.ini", "jobs.txt"}) {
    std::filesystem::copy_file(examples / file, dir.path() / file);
  }
  std::filesystem::create_directory(dir.path() / "out");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  std::ostringstream out;
  const CheckResult result = CheckConfiguration("zelkforward.ini", out);
  std::filesystem::current_path(before);
  EXPECT_EQ(result.problems, 0) << out.str();
  EXPECT_EQ(result.warnings, 0) << out.str();
  EXPECT_NE(out.str().find("Relative file names are taken from the working folder, here " +
                           dir.path().string()),
            std::string::npos)
      << out.str();
}

// Files the service would meet otherwise than check: each a problem that
// names the file. (Permissions are checked only where the test runs without
// every right.)
TEST(ZelkhostCheck, ReportsFilesTheServiceCannotUse) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  std::filesystem::create_directory(root + "folder");
  std::filesystem::create_directory(root + "locked");
  testing::WriteFileBytes(root + "secret.txt", "A1\r\n");
  std::filesystem::permissions(
      root + "locked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  std::filesystem::permissions(root + "secret.txt", std::filesystem::perms::none);
  // Where rights are not checked: with every right, and on Windows, whose
  // access lists std::filesystem::permissions does not set.
  const bool rights_checked = !RunsWithAllRights() && NativeBinaryKind() != BinaryFile::Kind::kPe;
  struct Case {
    std::string text;
    std::string problem;
    bool needs_rights_checked;
    int problems = 1;
  };
  const std::string source =
      "[ForwardTransaction]\r\nFormat1=\r\n[ValidJob]\r\nFormat1=0000000010\r\n";
  const Case cases[] = {
      {source + "Source1=" + root + "folder\r\n",
       "the job list " + root + "folder is a folder, not a file", false},
      {source + "Source1=" + root + "secret.txt\r\n",
       "the job list " + root + "secret.txt cannot be read (permissions)", true},
      {"[ForwardTransaction]\r\nTarget1=" + root + "folder\r\n",
       "the target " + root + "folder is a folder; name a file", false},
      {"[ForwardTransaction]\r\nTarget1=" + root + "locked/a.txt\r\n",
       "the folder " + root + "locked of the target " + root +
           "locked/a.txt cannot be written (permissions)",
       true},
      {"[ForwardTransaction]\r\nFormat1=\r\n[Log]\r\nFileName=" + root + "locked/trace.log\r\n",
       "the folder " + root + "locked of the trace log " + root +
           "locked/trace.log cannot be "
           "written (permissions)",
       true},
      {"[ForwardTransaction]\r\nTarget1=" + root + "%-300@07.txt\r\n",
       "the target " + root + "A1234" + std::string(295, ' ') +
           ".txt has a name too long for the file system",
       false},
      {std::string("[\0L\0o\0g\0]\0", 10),
       "the file holds NUL bytes: it looks like UTF-16 without a byte order mark", false,
       // The service finds no section, so output section 1 has no target either.
       2},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  if (NativeBinaryKind() != BinaryFile::Kind::kPe) {
    // A device in a job list's place, which the service does not read.
    all.push_back({source + "Source1=/dev/zero\r\n",
                   "the job list /dev/zero is not a plain file (a FIFO or a device)", false});
  }
  for (const Case& c : all) {
    if (c.needs_rights_checked && !rights_checked) continue;
    const std::string ini = root + "zelkforward.ini";
    testing::WriteFileBytes(ini, c.text);
    std::ostringstream out;
    const CheckResult result = CheckConfiguration(ini, out);
    EXPECT_EQ(result.problems, c.problems) << out.str();
    EXPECT_NE(out.str().find("problem: " + c.problem), std::string::npos) << c.problem << "\n"
                                                                          << out.str();
  }
  // The service then reads every default, so output section 1 has no target.
  std::ostringstream out;
  EXPECT_EQ(CheckConfiguration(root + "folder", out).problems, 2);
  EXPECT_NE(out.str().find("the configuration file " + root + "folder is a folder"),
            std::string::npos)
      << out.str();
  std::filesystem::permissions(root + "locked", std::filesystem::perms::owner_all);
  std::filesystem::permissions(root + "secret.txt", std::filesystem::perms::owner_all);
}

// Mistakes that change what the service does, one row per kind, each with
// its clean twin: the mistake is named on its line, the twin checks clean.
TEST(ZelkhostCheck, NamesEachMistakeOnItsLineAndPassesItsCleanTwin) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  std::filesystem::create_directories(root + "out");
  std::filesystem::create_directories(root + "spool");
  testing::WriteFileBytes(root + "jobs.txt", "A1234\r\n");
  testing::WriteFileBytes(root + "plain.txt", "100200\r\n");
  testing::WriteFileBytes(root + "carried.txt", "J123456\r\n");
  const std::string fwd = "[ForwardTransaction]\r\n";
  const std::string one = fwd + "Format1=%@01\r\nTarget1=" + root + "a.txt\r\n";
  const std::string two = one + "Format2=";
  const std::string list = "[ValidJob]\r\nSource1=" + root;
  const std::string hour = "Target1=" + root + "h%@10%@12%@13%@14.txt\r\nFileRotationTime1=";
  struct Row {
    std::string mistake;
    std::string twin;
    std::string finding;  // after the file's name
  };
  std::vector<Row> rows = {
      {two + "%@01\r\nTarget2=" + root + "a.txt\r\n", two + "%@01\r\nTarget2=" + root + "b.txt\r\n",
       ":5:9: problem: section 2 is a copy of section 1"},
      {two + "%@07\r\nTarget2=" + root + "a.txt\r\n", two + "%@07\r\nTarget2=" + root + "b.txt\r\n",
       ":5:9: problem: Target2 names the file of Target1"},
      {one + "[Log]\r\nFileName=" + root + "a.txt\r\n",
       one + "[Log]\r\nFileName=" + root + "trace.log\r\n",
       ":3:9: problem: Target1 is the trace log"},
      {one + "Filter1=A\r\nDropOnSuccess1=1\r\nFormat2=%@01\r\nFilter2=a\r\nTarget2=" + root +
           "b.txt\r\n",
       one + "Filter1=A\r\nDropOnSuccess1=1\r\nFormat2=%@01\r\nFilter2=B\r\nTarget2=" + root +
           "b.txt\r\n",
       ":6:9: problem: no job number reaches section 2: section 1"},
      {one + "Filter1=*\r\n", one + "Filter1=A\r\n", ":4:9: problem: Filter1=* is no wildcard"},
      {fwd + "Format1=%@01\r\n" + hour + "3600\r\n", fwd + "Format1=%@01\r\n" + hour + "60\r\n",
       ":4:19: problem: FileRotationTime1=3600 is 3600 minutes, a period of 60 hours"},
      {one + "FileRotationTime1=60\r\n", one + "FileRotationTime1=0\r\n",
       ":4:19: warning: FileRotationTime1 has no effect"},
      {one + "SpoolFolder=" + root + "spool\r\n",
       fwd + "Format1=%@01\r\nTarget1=" + root + "out/a.txt\r\nSpoolFolder=" + root + "spool\r\n",
       ":4:13: problem: the spool folder " + root + "spool lies in the folder of Target1"},
      {one + list + "jobs.txt\r\nFormat1=0000200010\r\n",
       one + list + "jobs.txt\r\nFormat1=0000000010\r\n",
       ":6:9: problem: Format1 extracts an empty field from every one of the 1 entries"},
      {one + list + "plain.txt\r\nFormat1=001;000006\r\n",
       one + list + "plain.txt\r\nFormat1=0000000006\r\n",
       ":6:9: problem: the separator \";\" of Format1 occurs in none of the 1 entries"},
      {one + list + "plain.txt\r\nFormat1=0000001006\r\n",
       one + list + "plain.txt\r\nFormat1=0000000006\r\n",
       ":6:9: problem: the fields Format1 extracts from the 1 entries of " + root +
           "plain.txt are shorter than its length 6"},
      {one + list + "carried.txt\r\nFilter1=J\r\nFormat1=0000000010\r\n",
       one + list + "carried.txt\r\nFilter1=J\r\nFormat1=0000001006\r\n",
       ":6:9: problem: the fields of 1 of the 1 entries of " + root +
           "carried.txt still begin with the filter character J"},
      {one + "Filter1=B\r\nValidation=1\r\n" + list +
           "plain.txt\r\nFilter1=A\r\nFormat1=0000000010\r\n",
       one + "Filter1=A\r\nValidation=1\r\n" + list +
           "plain.txt\r\nFilter1=A\r\nFormat1=0000000010\r\n",
       ":4:9: problem: with Validation on, no job list is consulted for job numbers that begin "
       "with B"},
      {one + "[Log]\r\nFileName=" + root + "t.log\r\nMaxLines=0\r\n",
       one + "[Log]\r\nFileName=" + root + "t.log\r\nMaxLines=-1\r\n",
       ":6:10: problem: MaxLines=0 empties the trace log"},
      {one + "[Log]\r\nFlags=.*\r\n", one + "[Log]\r\nFlags=+a\r\n",
       ":5:7: warning: Flags: \".\" and \"*\" messages are always written"},
      {one + "MaxLines1=10 # ten\r\n", one + "MaxLines1=10\r\n",
       ":4:13: warning: MaxLines1: \" # ten\" is part of the value: '#' starts no comment"},
      {fwd + "Format1=%@01\r\nTarget1=" + root + "a.txt\xC2\xA0\r\n", one,
       ":3:" + std::to_string(9 + root.size() + 5) +
           ": problem: Target1 ends in a non-breaking space"},
      {fwd + "Format1=\"%@01\",\"%@07\"\r\nTarget1=" + root + "a.txt\r\n",
       fwd + "Format1='\"%@01\",\"%@07\"'\r\nTarget1=" + root + "a.txt\r\n",
       ":2:9: problem: Format1 is wrapped in \" and holds \" inside"},
      {fwd + "Format1=\xE2\x80\x9C%@01\r\nTarget1=" + root + "a.txt\r\n", one,
       ":2:9: warning: Format1: \xE2\x80\x9C (bytes E2 80 9C) is no quotation mark"},
      {one + "[ValidJob]\r\nFile1=" + root + "jobs.txt\r\nFormat1=0000000010\r\n",
       one + list + "jobs.txt\r\nFormat1=0000000010\r\n",
       ":5:1: warning: File1: not a key of [ValidJob]; did you mean Source1?"},
      {one + "\xEF\xBB\xBF[Log]\r\n", one + "[Log]\r\n",
       ":4:1: problem: a byte order mark (bytes EF BB BF) stands inside the file"},
  };
  if (NativeBinaryKind() == BinaryFile::Kind::kElf) {
    rows.push_back({fwd + "Format1=%@01\r\nTarget1=" + root + "out\\a.txt\r\n",
                    fwd + "Format1=%@01\r\nTarget1=" + root + "out/a.txt\r\n",
                    ":3:" + std::to_string(9 + root.size() + 3) +
                        ": warning: Target1: on Linux \"\\\" is no folder separator"});
  }
  const std::string ini = root + "zelkforward.ini";
  for (const Row& row : rows) {
    testing::WriteFileBytes(ini, row.mistake);
    std::ostringstream mistake;
    CheckConfiguration(ini, mistake);
    EXPECT_NE(mistake.str().find(ini + row.finding), std::string::npos) << row.finding << "\n"
                                                                        << mistake.str();
    testing::WriteFileBytes(ini, row.twin);
    std::ostringstream twin;
    const CheckResult clean = CheckConfiguration(ini, twin);
    EXPECT_EQ(clean.problems + clean.warnings, 0) << row.finding << "\n" << twin.str();
  }
}

// The findings in the order of the file, alone (quiet) or as one JSON
// document with the same places.
TEST(ZelkhostCheck, PrintsTheFindingsInFileOrderForPeopleAndScripts) {
  testing::ScratchDir dir;
  const std::string ini = dir.File("zelkforward.ini");
  testing::WriteFileBytes(ini, "[ForwardTransaction]\r\nTarget1=" + dir.File("a.txt") +
                                   "\r\nMaxLines1=x\r\nFormt1=%@01\r\n[Lgo]\r\n");
  CheckOptions options;
  options.config_path = ini;
  options.output = CheckOutput::kQuiet;
  std::ostringstream quiet;
  CheckConfiguration(options, quiet);
  EXPECT_EQ(quiet.str(), ini + ":3:11: warning: MaxLines1: \"x\" does not start with a number; " +
                             "it reads as 0; write a number\n" + ini +
                             ":4:1: warning: Formt1: not a key of [ForwardTransaction]; did you " +
                             "mean Format1?\n" + ini +
                             ":5:1: warning: [Lgo] is not a section the service reads " +
                             "([ForwardTransaction], [ValidJob], [Log]); did you mean [Log]?\n");
  options.output = CheckOutput::kJson;
  std::ostringstream json;
  CheckConfiguration(options, json);
  const nlohmann::json document = nlohmann::json::parse(json.str());
  ASSERT_EQ(document["findings"].size(), 3u) << json.str();
  EXPECT_EQ(document["findings"][1]["line"], 4);
  EXPECT_EQ(document["findings"][1]["column"], 1);
  EXPECT_EQ(document["findings"][1]["severity"], "warning");
  EXPECT_EQ(document["warnings"], 3);
}

TEST(ZelkhostCheck, NamesTheCostOfALargeFile) {
  testing::ScratchDir dir;
  const std::string ini = dir.File("zelkforward.ini");
  testing::WriteFileBytes(
      ini, "[ForwardTransaction]\r\nFormat1=\r\n" + std::string(5 * 1024 * 1024, ';') + "\r\n");
  std::ostringstream out;
  const CheckResult result = CheckConfiguration(ini, out);
  EXPECT_EQ(result.warnings, 1) << out.str().substr(0, 2000);
  EXPECT_NE(out.str().find("warning: the file is 5120 KB: the service reads it whole on every "
                           "transaction and every job-number check"),
            std::string::npos)
      << out.str().substr(0, 2000);
}

// A file that is no library of this host's kind is named as what it is.
TEST(ZelkhostCheck, SaysWhyALibraryCannotBeLoaded) {
  testing::ScratchDir dir;
  const int native_bits = static_cast<int>(sizeof(void*) * 8);
  const int other_bits = native_bits == 64 ? 32 : 64;
  const bool native_pe = NativeBinaryKind() == BinaryFile::Kind::kPe;
  auto elf = [](int bits, bool library) {
    std::string bytes(64, '\0');
    bytes.replace(0, 4,
                  "\x7f"
                  "ELF");
    bytes[4] = static_cast<char>(bits == 64 ? 2 : 1);
    bytes[16] = static_cast<char>(library ? 3 : 2);
    return bytes;
  };
  auto pe = [](int bits, bool library) {
    std::string bytes(512, '\0');
    bytes.replace(0, 2, "MZ");
    bytes[0x3c] = static_cast<char>(0x80);
    bytes.replace(0x80, 4, std::string("PE\0\0", 4));
    bytes[0x84] = static_cast<char>(bits == 32 ? 0x4c : 0x64);
    bytes[0x85] = static_cast<char>(bits == 32 ? 0x01 : 0x86);
    bytes[0x80 + 23] = static_cast<char>(library ? 0x20 : 0x00);
    return bytes;
  };
  auto native = [&](int bits, bool library) {
    return native_pe ? pe(bits, library) : elf(bits, library);
  };
  auto foreign = [&](int bits) { return native_pe ? elf(bits, true) : pe(bits, true); };
  const std::string width = std::to_string(native_bits) + "-bit";
  const std::string other = std::to_string(other_bits) + "-bit";
  const std::string kind = native_pe ? " Windows DLL" : " Linux shared library";
  const std::string foreign_kind = native_pe ? " Linux shared library" : " Windows DLL";
  struct Case {
    std::string name;
    std::string bytes;
    std::string problem;
  };
  const Case cases[] = {
      {"other-width", native(other_bits, true),
       "is a " + other + kind + ", and this zelkhost is " + width + ": a " + width +
           " host cannot load it"},
      {"other-platform", foreign(native_bits),
       "is a " + width + foreign_kind + "; a host here loads a " + width + kind},
      {"program", native(native_bits, false),
       "is a " + width + (native_pe ? " Windows program" : " Linux program") + ", not a library"},
      {"passwd", "root:x:0:0:root:/root:/bin/bash\n", "is no "},
  };
  for (const Case& c : cases) {
    const std::string path = dir.File(c.name);
    testing::WriteFileBytes(path, c.bytes);
    const std::optional<std::string> problem = LibraryFileProblem(path);
    ASSERT_TRUE(problem.has_value()) << c.name;
    EXPECT_NE(problem->find(path + " " + c.problem), std::string::npos) << *problem;
  }
  EXPECT_EQ(LibraryFileProblem(dir.File("none")),
            "the library " + dir.File("none") + " does not exist; give --library the path of a " +
                width + kind + " of zelkforward");
  EXPECT_NE(LibraryFileProblem(dir.path().string())->find("is a folder, not a library"),
            std::string::npos);
}

// A shared library that is no zelkforward: every entry point it lacks is named.
TEST(ZelkhostCheck, NamesEveryMissingEntryPoint) {
  std::string library;
  for (const char* candidate : {"/lib/x86_64-linux-gnu/libm.so.6", "/usr/lib64/libm.so.6",
                                "/lib64/libm.so.6", "C:\\windows\\system32\\kernel32.dll"}) {
    std::error_code ignored;
    if (std::filesystem::is_regular_file(candidate, ignored)) library = candidate;
  }
  if (library.empty()) GTEST_SKIP() << "no system library of a known name here";
  std::string error;
  EXPECT_EQ(ServiceLibrary::Load(library, &error), nullptr);
  EXPECT_EQ(error, library +
                       " lacks the entry points ExecuteService, ForwardTransaction, "
                       "ForwardTransaction2, GetAPIVersion, GetServiceName, IsJobnoValid, "
                       "Properties, SetCallback, StopService: it is no zelkforward library, or "
                       "one built without its export list");
}

// zelkhost run's summary: the service's counts, and the first lines not
// written of this run only (after the last loaded banner of its library); a
// busy stretch's line is no line of its own.
TEST(ZelkhostRunSummary, CountsTheLinesOfThisRun) {
  const std::string log =
      "2026-12-09 08:00:00-.-/old/zelkforward.so is loaded at [0x7F00] v[1.05rc12] logflags[] "
      "maxlines[50]\r\n"
      "2026-12-09 08:00:01-*-ForwardTransaction section[1] file[x] transno[0] jobno[A] -- "
      "t[Could not open file]\r\n"
      "2026-12-09 09:00:00-.-/opt/Zelkforward.SO is loaded at [0x7F00] v[1.05rc12] logflags[] "
      "maxlines[50]\r\n"
      "2026-12-09 09:00:00-.-OS: OS Unknown\r\n"
      "2026-12-09 09:00:01-.-ForwardTransaction section[1] file[a] transno[1] jobno[A1] -- "
      "SUCCESS\r\n"
      "2026-12-09 09:00:01-.-ForwardTransaction section[2] file[b] transno[1] jobno[A1] -- "
      "SUCCESS\r\n"
      "2026-12-09 09:00:03-*-ForwardTransaction section[1] file[a] transno[2] jobno[A2] -- "
      "t[Could not open file]\r\n"
      "2026-12-09 09:00:03-*-ForwardTransaction section[2] file[] transno[2] jobno[A2] -- "
      "f[ExtFormat] t[Illegal Format String]\r\n"
      "2026-12-09 09:00:03-*-ForwardTransaction section[3] file[c] transno[2] jobno[A2] -- "
      "t[Could not write file]\r\n"
      "2026-12-09 09:00:03-*-ForwardTransaction file[a] -- t[Busy until now: 5 lines could not "
      "be written]\r\n"
      "2026-12-09 09:00:03-*-ForwardTransaction section[1] file[d] transno[3] jobno[A3] -- "
      "SPOOLED t[Could not open file]\r\n"
      "2026-12-09 09:00:03-*-ForwardTransaction TransNo:[3] JobNo:[A3] -- Internal: t[Removing "
      "NULL Transaction]\r\n"
      "2026-12-09 09:00:05-.-/opt/zelkforward.so is unloaded\r\n";
  const std::vector<std::string> failures = FirstLinesNotWritten(log, "zelkforward.so");
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[0], LinesFor(log, 6));
  EXPECT_EQ(failures[1], LinesFor(log, 7));
  EXPECT_EQ(failures[2], LinesFor(log, 8));

  const std::optional<RunCounts> counts = CountsOfStatus(
      R"({"format": 1, "sections": [{"section": 1, "written": 2, "not_written": 2,
          "format_errors": 0, "spooled": 1, "delivered": 1},
         {"section": 2, "written": 0, "not_written": 0, "format_errors": 1}],
          "transactions": {"received": 5, "not_enabled": 0, "zero": 1, "not_valid": 1}})");
  ASSERT_TRUE(counts.has_value());
  EXPECT_TRUE(counts->Failed());
  std::ostringstream out;
  PrintRunSummary(*counts, failures, out);
  EXPECT_EQ(out.str(),
            "The service counted, for this run: 2 lines written, 3 not written, 1 spooled, 1 "
            "delivered; 5 transactions received, 2 dropped\n"
            "  2  SUCCESS\n"
            "  2  not written: t[Could not open file], t[Could not write file] or another "
            "failure\n"
            "  1  not written: ExtFormat error\n"
            "  1  SPOOLED\n"
            "  1  delivered from the spool\n"
            "  1  dropped: Internal: t[Removing NULL Transaction]\n"
            "  1  dropped: error while double checking jobno\n"
            "First lines not written, as the trace log still holds them:\n"
            "  " +
                failures[0] + "\n  " + failures[1] + "\n  " + failures[2] + "\n");
  EXPECT_FALSE(CountsOfStatus("{\"format\": 1, \"sec").has_value());
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
