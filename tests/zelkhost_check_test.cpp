// zelkhost check: a good configuration passes, a broken one is reported in the
// service's own words.
#include "check.h"

#include <gtest/gtest.h>

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
      {good + "FileRotationTime1=71582789\r\n",
       "FileRotationTime1: 71582789 minutes make a period of 44 seconds"},
      {good + "FileRotationTime1=-5\r\n",
       "FileRotationTime1: -5 minutes make a period of 4294966996 seconds"},
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
       "line 3: MaxLines1: \"1,000\" reads as 1: the number ends before \",000\"; write it in "
       "digits only"},
      {good + "MaxLines1=1 000\r\n", "line 3: MaxLines1: \"1 000\" reads as 1"},
      {good + "MaxLines1=5.5\r\n", "line 3: MaxLines1: \"5.5\" reads as 5"},
      {good + "Format2=%@01\r\nTarget2=" + root + "b.txt\r\nFileRotationTime2=1h\r\n",
       "line 5: FileRotationTime2: \"1h\" reads as 1: the number ends before \"h\"; write it in "
       "digits only, without separators, decimals or units; the period is in minutes: 60 is an "
       "hour, 1440 a day"},
      {good + "[Log]\r\nMaxLines=12abc\r\n", "line 4: MaxLines: \"12abc\" reads as 12"},
      {"[ForwardTransaction]\r\nTarget1=" + root + "a.txt ; file for A jobs\r\n",
       "line 2: Target1: \" ; file for A jobs\" is part of the value: ';' starts a comment only "
       "at the start of a line; put the comment on a line of its own"},
      {good + "Enable=1 ; on\r\n",
       "line 3: Enable: \" ; on\" is part of the value: ';' starts a comment only at the start of "
       "a line; it reads as 1"},
      {"[ForwardTransaction]\r\nTarget1=" + root + std::string(300, 'x') + "\r\n",
       "line 2: Target1 is " + std::to_string(root.size() + 300) +
           " characters long: the service keeps only its first 255"},
      {good + "Format1=" + std::string(1100, 'y') + "\r\n",
       "line 3: Format1 is 1100 characters long: the service keeps only its first 1023"},
  };
  for (const Case& c : cases) {
    const std::string ini = root + "zelkforward.ini";
    testing::WriteFileBytes(ini, c.text);
    std::ostringstream out;
    const CheckResult result = CheckConfiguration(ini, out);
    EXPECT_EQ(result.warnings, 1) << out.str();
    EXPECT_NE(out.str().find("warning: " + c.warning), std::string::npos) << c.warning << "\n"
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

// zelkhost run's summary counts this run's lines only: those after the last
// loaded banner of its library.
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
      "2026-12-09 09:00:03-*-ForwardTransaction TransNo:[3] JobNo:[A3] -- Internal: t[Removing "
      "NULL Transaction]\r\n"
      "2026-12-09 09:00:04-*-IsJobnoValid jobno[Z9] -- NOT VALID\r\n"
      "2026-12-09 09:00:04-*-ForwardTransaction -- error while double checking jobno\r\n"
      "2026-12-09 09:00:05-.-/opt/zelkforward.so is unloaded\r\n";
  const RunSummary summary = SummarizeRun(log, "zelkforward.so");
  EXPECT_TRUE(summary.start_found);
  EXPECT_EQ(summary.Count(Outcome::kWritten), 2u);
  EXPECT_EQ(summary.Count(Outcome::kNotWritten), 3u);
  EXPECT_EQ(summary.Count(Outcome::kDropped), 2u);
  ASSERT_EQ(summary.first_failures.size(), 3u);
  EXPECT_NE(summary.first_failures[1].find("transno[2] jobno[A2] -- f[ExtFormat]"),
            std::string::npos);
  std::ostringstream out;
  PrintRunSummary(summary, "trace.log", out);
  EXPECT_EQ(out.str(),
            "The trace log trace.log says, for this run: 2 lines written, 3 not written, 2 "
            "transactions dropped\n"
            "  2  SUCCESS\n"
            "  1  Could not open file\n"
            "  1  Could not write file\n"
            "  1  ExtFormat error\n"
            "  1  zero transaction dropped (AllowZeroTransaction)\n"
            "  1  job number not valid (Validation)\n"
            "First lines not written:\n"
            "  " +
                std::string(LinesFor(log, 6)) +
                "\n"
                "  " +
                std::string(LinesFor(log, 7)) +
                "\n"
                "  " +
                std::string(LinesFor(log, 8)) + "\n");
  const RunSummary cut =
      SummarizeRun(log.substr(log.find("2026-12-09 09:00:03")), "zelkforward.so");
  EXPECT_FALSE(cut.start_found);
  EXPECT_EQ(cut.Count(Outcome::kNotWritten), 3u);
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
