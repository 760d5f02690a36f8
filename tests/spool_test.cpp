// The spool: lines whose target is away are kept and delivered in order when
// it returns, through the pipeline as a host drives it.
#include "forwarding/spool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "forwarding/pipeline.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"
#include "tracelog/causes.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace zelk::forwarding {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::ReadLogTexts;

Transaction At(const std::string& trans_no, const char* time = "075037") {
  Transaction t;
  t.trans_no = trans_no;
  t.job_no = "A1234";
  t.date = "071010";
  t.time = time;
  t.value09 = "1";
  return t;
}

// One spool item as the service writes it: the fields, " #", FNV-1a 32 over
// the fields and the bytes, CR LF, the bytes.
std::string SpoolItem(const std::string& fields, const std::string& bytes = "") {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : fields + bytes) hash = (hash ^ c) * 16777619u;
  char check[9];
  std::snprintf(check, sizeof check, "%08x", hash);
  return fields + " #" + check + "\r\n" + bytes;
}

// The name the service gives spool file `sequence` of `target`: FNV-1a 64 of
// its identity (its absolute name, letter case folded on Windows), then the
// sequence from the second file on.
std::string SpoolName(const std::string& target, int sequence = 0) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char ch : platform::FileNameIdentity(platform::AbsolutePath(target))) {
    hash = (hash ^ ch) * 1099511628211ull;
  }
  char name[48];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
  return name + (sequence > 0 ? "." + std::to_string(sequence) : "") + ".spool";
}

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetTimeZoneForTesting("UTC0");
    tracelog::ResetTraceLogForTesting();
    tracelog::ConfigureTraceLog(log_path_, -1, "");
    fs::create_directory(spool_);
    spool::RecordFoldersBeside(dir_.File("zelkforward.ini"));
    // The tests deliver themselves; the worker has a test of its own.
    spool::StopDelivery(std::chrono::seconds(10));
  }
  void TearDown() override {
    spool::StopDelivery(std::chrono::seconds(10));
    EXPECT_TRUE(platform::WaitForWorkers(std::chrono::seconds(30)));
    tracelog::ResetTraceLogForTesting();
  }

  std::string Path(const std::string& name) const {
    return dir_.path().generic_string() + "/" + name;
  }

  // Forwards `t` with a line of its transaction number and time.
  void Forward(const Transaction& t, const std::string& target, const std::string& more = "") {
    ForwardTransaction2(t,
                        config::Snapshot::Parse("[ForwardTransaction]\nFormat1=line %@01 "
                                                "%@14:%@15\nTarget1=" +
                                                target + "\nSpoolFolder=" + spool_ + "\n" + more));
  }

  std::size_t SpoolFiles() const {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(spool_)) count += entry.is_regular_file();
    return count;
  }

  std::vector<std::string> Log() { return ReadLogTexts(log_path_); }

  std::string Outcome(const std::string& trans_no, const std::string& file,
                      const std::string& outcome) {
    return "ForwardTransaction section[1] file[" + file + "] transno[" + trans_no +
           "] jobno[A1234] -- " + outcome;
  }

  testing::ScratchDir dir_;
  const std::string log_path_ = dir_.File("trace.log");
  const std::string spool_ = Path("spool");
};

TEST_F(SpoolTest, AMissingFolderKeepsTheLinesUntilItExistsThenTheyArriveInOrder) {
  const std::string target = Path("import/out.txt");
  for (const char* n : {"1", "2", "3"}) Forward(At(n), target);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(SpoolFiles(), 1u);
  EXPECT_EQ(spool::DeliverAll(spool_).targets_waiting, 1);

  fs::create_directory(Path("import"));
  const spool::DeliveryCount count = spool::DeliverAll(spool_);
  EXPECT_EQ(count.lines_delivered, 3);
  EXPECT_EQ(count.targets_waiting, 0);
  EXPECT_EQ(ReadFileBytes(target), "line 1 07:50\r\nline 2 07:50\r\nline 3 07:50\r\n");
  EXPECT_EQ(SpoolFiles(), 0u);
  Forward(At("4"), target);
  EXPECT_EQ(ReadFileBytes(target),
            "line 1 07:50\r\nline 2 07:50\r\nline 3 07:50\r\nline 4 07:50\r\n");

  const std::string absolute = platform::AbsolutePath(target);
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0], "*-" + Outcome("1", target, "SPOOLED t[Could not open file]"));
  EXPECT_EQ(log[1], "*-" + Outcome("2", target, "SPOOLED t[Target has spooled lines]"));
  EXPECT_EQ(log[2], "*-" + Outcome("3", target, "SPOOLED t[Target has spooled lines]"));
  EXPECT_NE(log[3].find("file[" + absolute + "] -- DELIVERED lines[3]"), std::string::npos)
      << log[3];
  EXPECT_EQ(log[4], ".-" + Outcome("4", target, "SUCCESS"));
}

// A delivery step the system refuses is reported with the system's cause
// under Causes=1, and the lines wait for the next delivery, which brings
// each of them once.
TEST_F(SpoolTest, AFailedDeliveryStepTellsTheSystemsCause) {
  const std::string target = Path("import/out.txt");
  for (const char* n : {"1", "2"}) Forward(At(n), target);
  fs::create_directory(Path("import"));
  tracelog::ShowCauses(true);
  platform::InjectFaults({{platform::DoorCall::kFlush, 1, true, platform::SystemError::kNoSpace}});
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 0);
  platform::ClearFaults();
  tracelog::ShowCauses(false);
  const std::string cause = platform::Status::FromSystem(
                                "", "", platform::SystemErrorCode(platform::SystemError::kNoSpace))
                                .cause();
  const std::vector<std::string> log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("-- t[Could not write spool file] cause[" + cause + "]"),
            std::string::npos)
      << log.back();
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 2);
  EXPECT_EQ(ReadFileBytes(target), "line 1 07:50\r\nline 2 07:50\r\n");
}

TEST_F(SpoolTest, AHeldTargetCostsOneWaitThenLinesGoBehindAtOnce) {
  const std::string target = Path("out.txt");
  testing::WriteFileBytes(target, "before\r\n");
  {
    // Another program holds the file as an importer does.
    platform::OpenResult importer =
        platform::OpenExclusive(target, platform::CreateMode::kOpenExisting);
    ASSERT_EQ(importer.status, platform::OpenStatus::kOk);
    Forward(At("1"), target);
    Forward(At("2"), target);
  }
  // Free again, but the next line still goes behind the spooled ones.
  Forward(At("3"), target);
  EXPECT_EQ(ReadFileBytes(target), "before\r\n");
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "*-" + Outcome("1", target, "SPOOLED t[Could not open file]"));
  EXPECT_EQ(log[2], "*-" + Outcome("3", target, "SPOOLED t[Target has spooled lines]"));
  spool::DeliverAll(spool_);
  EXPECT_EQ(ReadFileBytes(target), "before\r\nline 1 07:50\r\nline 2 07:50\r\nline 3 07:50\r\n");
  // The line that waited was spooled and delivered, not lost: the end of the
  // busy stretch counts no lost line.
  Forward(At("4"), target);
  EXPECT_EQ(Log().back(), ".-" + Outcome("4", target, "SUCCESS"));
  for (const std::string& text : Log()) EXPECT_EQ(text.find("Busy until now"), std::string::npos);
}

// A reader or a delivery holding the spool file costs no line and no wait:
// the lines go to the target's next spool file, delivered after the first.
TEST_F(SpoolTest, AHeldSpoolFileSendsLinesToTheNextOne) {
  const std::string target = Path("away/out.txt");
  for (const bool reader : {true, false}) {
    Forward(At("1"), target);
    const std::string first = spool_ + "/" + SpoolName(target);
    {
      platform::OpenResult holder =
          reader ? platform::OpenSharedRead(first)
                 : platform::OpenExclusiveRemovable(first, platform::CreateMode::kOpenExisting);
      ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
      Forward(At("2"), target);
      Forward(At("3"), target);
    }
    Forward(At("4"), target);
    EXPECT_EQ(SpoolFiles(), 2u);
    fs::create_directory(Path("away"));
    EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 4);
    EXPECT_EQ(ReadFileBytes(target),
              "line 1 07:50\r\nline 2 07:50\r\nline 3 07:50\r\nline 4 07:50\r\n");
    EXPECT_EQ(SpoolFiles(), 0u);
    fs::remove_all(Path("away"));
  }
  for (const std::string& text : Log()) EXPECT_EQ(text.find("-- t["), std::string::npos) << text;
}

// When the spool cannot keep a line that should wait behind others, the line
// goes ahead of them rather than be lost, and is lost only when the target
// fails too.
TEST_F(SpoolTest, ALineTheSpoolCannotKeepGoesAheadOfTheWaitingOnes) {
  const std::string target = Path("away/out.txt");
  for (const bool target_back : {true, false}) {
    Forward(At("1"), target);
    if (target_back) fs::create_directory(Path("away"));
    {
      // Every spool file a keeper tries is held.
      std::vector<platform::OpenResult> holders;
      for (int sequence = 0; sequence < 4; ++sequence) {
        holders.push_back(platform::OpenExclusiveRemovable(
            spool_ + "/" + SpoolName(target, sequence), platform::CreateMode::kCreateIfMissing));
      }
      Forward(At("2"), target);
    }
    for (int sequence = 1; sequence < 4; ++sequence) {
      fs::remove(spool_ + "/" + SpoolName(target, sequence));
    }
    EXPECT_EQ(Log().back(), target_back
                                ? "*-" + Outcome("2", target, "SUCCESS t[Ahead of 1 spooled lines]")
                                : "*-" + Outcome("2", target, "t[Could not open file]"));
    fs::create_directory(Path("away"));
    spool::DeliverAll(spool_);
    EXPECT_EQ(ReadFileBytes(target),
              target_back ? "line 2 07:50\r\nline 1 07:50\r\n" : "line 1 07:50\r\n");
    fs::remove_all(Path("away"));
  }
}

// Where names differ only in letter case name one file (Windows), they share
// one spool file, so that file gets its lines in their order.
TEST_F(SpoolTest, NamesOfOneFileShareOneSpool) {
  if (platform::FileNameIdentity("a") != platform::FileNameIdentity("A")) {
    GTEST_SKIP() << "file names differ in letter case here";
  }
  for (const char* n : {"1", "2", "3"}) {
    Forward(At(n), Path(std::string("away/") + (n[0] == '2' ? "OUT.TXT" : "out.txt")));
  }
  EXPECT_EQ(SpoolFiles(), 1u);
  fs::create_directory(Path("away"));
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 3);
  EXPECT_EQ(ReadFileBytes(Path("away/out.txt")),
            "line 1 07:50\r\nline 2 07:50\r\nline 3 07:50\r\n");
}

// Lines left waiting in a folder that SpoolFolder no longer names are said,
// and still delivered, before the lines kept for their target since.
TEST_F(SpoolTest, AChangedSpoolFolderSaysWhatStillWaitsInTheOldOne) {
  const std::string target = Path("away/out.txt");
  Forward(At("1"), target);
  const std::string other = Path("other-spool");
  fs::create_directory(other);
  ForwardTransaction2(At("2"), config::Snapshot::Parse("[ForwardTransaction]\nFormat1=x\nTarget1=" +
                                                       target + "\nSpoolFolder=" + other + "\n"));
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], "*-ForwardTransaction spool[" + spool_ +
                        "] -- t[SpoolFolder changed; lines still wait here] targets[1]");
  EXPECT_EQ(log[2], "*-" + Outcome("2", target, "SPOOLED t[Target has spooled lines]"));
  fs::create_directory(Path("away"));
  EXPECT_EQ(spool::DeliverAll(other).lines_delivered, 2);
  EXPECT_EQ(ReadFileBytes(target), "line 1 07:50\r\nx\r\n");
  EXPECT_EQ(SpoolFiles(), 0u);
}

// Lines an earlier process left in a spool folder it used (named in the
// record beside the configuration) go first, and new lines for their target
// wait behind them although the target is there.
TEST_F(SpoolTest, LinesLeftInAFolderUsedBeforeAreDeliveredFirst) {
  const std::string target = Path("out.txt");
  const std::string old = Path("old-spool");
  fs::create_directory(old);
  testing::WriteFileBytes(old + "/" + SpoolName(target),
                          "zelkforward spool 1 " + platform::AbsolutePath(target) + "\r\n" +
                              SpoolItem("line 1765000000 0 8", "line 0\r\n"));
  testing::WriteFileBytes(dir_.File("zelkforward.spoolfolders"),
                          platform::AbsolutePath(old) + "\r\n" + Path("gone-spool") + "\r\n");
  Forward(At("1"), target);
  EXPECT_EQ(Log().back(), "*-" + Outcome("1", target, "SPOOLED t[Target has spooled lines]"));
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 2);
  EXPECT_EQ(ReadFileBytes(target), "line 0\r\nline 1 07:50\r\n");
  Forward(At("2"), target);
  EXPECT_EQ(Log().back(), ".-" + Outcome("2", target, "SUCCESS"));
  // The folder in use is recorded, the one gone is dropped.
  EXPECT_EQ(ReadFileBytes(dir_.File("zelkforward.spoolfolders")),
            platform::AbsolutePath(old) + "\r\n" + platform::AbsolutePath(spool_) + "\r\n");
}

TEST_F(SpoolTest, DeliveredLinesAreHeldToTheirMaxLines) {
  const std::string target = Path("away/out.txt");
  for (const char* n : {"1", "2", "3"}) Forward(At(n), target, "MaxLines1=2\n");
  fs::create_directory(Path("away"));
  spool::DeliverAll(spool_);
  EXPECT_EQ(ReadFileBytes(target), "line 2 07:50\r\nline 3 07:50\r\n");
}

TEST_F(SpoolTest, LinesGoToTheRotatedNameTheyWereRenderedFor) {
  const std::string target = Path("away/out%@13%@14.txt");
  Forward(At("1", "075037"), target, "FileRotationTime1=60\n");
  Forward(At("2", "081005"), target, "FileRotationTime1=60\n");
  Forward(At("3", "075959"), target, "FileRotationTime1=60\n");
  EXPECT_EQ(SpoolFiles(), 2u);
  fs::create_directory(Path("away"));
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 3);
  EXPECT_EQ(ReadFileBytes(Path("away/out1007.txt")), "line 1 07:50\r\nline 3 07:59\r\n");
  EXPECT_EQ(ReadFileBytes(Path("away/out1008.txt")), "line 2 08:10\r\n");
}

TEST_F(SpoolTest, AFullDeviceSpoolsWithoutLeavingAPieceInTheTarget) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  Forward(At("1"), "/dev/full");
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "*-" + Outcome("1", "/dev/full", "SPOOLED t[Could not write file]")}));
  EXPECT_EQ(spool::DeliverAll(spool_).targets_waiting, 1);
  const auto waiting = spool::ListWaiting(spool_);
  ASSERT_TRUE(waiting);
  ASSERT_EQ(waiting->size(), 1u);
  EXPECT_EQ(waiting->front().target, "/dev/full");
  EXPECT_EQ(waiting->front().lines, 1);
}

// A spool folder that cannot be listed is said once; the line is lost only
// because neither it nor the target can take it.
TEST_F(SpoolTest, ASpoolThatCannotBeWrittenLosesTheLineAsBefore) {
  const std::string target = Path("away/out.txt");
  for (const char* trans_no : {"1", "2"}) {
    ForwardTransaction2(
        At(trans_no), config::Snapshot::Parse("[ForwardTransaction]\nFormat1=x\nTarget1=" + target +
                                              "\nSpoolFolder=" + Path("no-such-spool") + "\n"));
  }
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"*-ForwardTransaction spool[" + Path("no-such-spool") +
                                          "] -- t[Could not list spool folder]",
                                      "*-" + Outcome("1", target, "t[Could not open file]"),
                                      "*-" + Outcome("2", target, "t[Could not open file]")}));
}

// The spool trusts only what it wrote: its files are the owner's alone, a
// link planted at a spool file's name is never followed, and names from the
// spool folder are logged escaped, as host texts are.
TEST_F(SpoolTest, TheSpoolTrustsOnlyWhatItWrote) {
  if (!fs::exists("/dev/null")) GTEST_SKIP() << "links and file modes as POSIX has them";
  const std::string target = Path("away/out.txt");
  Forward(At("1"), target);
  const std::string first = spool_ + "/" + SpoolName(target);
  EXPECT_EQ(fs::status(first).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  const std::string victim = Path("victim.txt");
  testing::WriteFileBytes(victim, "precious\r\n");
  fs::create_symlink(victim, spool_ + "/" + SpoolName(target, 1));
  {
    // A reader sends the next line past the first file, to the link.
    platform::OpenResult reader = platform::OpenSharedRead(first);
    Forward(At("2"), target);
  }
  EXPECT_EQ(ReadFileBytes(victim), "precious\r\n");
  fs::remove(spool_ + "/" + SpoolName(target, 1));
  testing::WriteFileBytes(spool_ + "/x\n2026-01-01 00:00:00-*-forged.spool", "");
  fs::create_directory(Path("away"));
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 2);
  EXPECT_EQ(ReadFileBytes(target), "line 1 07:50\r\nline 2 07:50\r\n");
  EXPECT_EQ(ReadFileBytes(log_path_).find("\n2026-01-01"), std::string::npos);
  EXPECT_NE(ReadFileBytes(log_path_).find("/x\\n2026-01-01"), std::string::npos);
}

// A spool file whose first line names a target no configured section could
// have rendered (planted by whoever may write the spool folder) is refused
// before its target is opened, left where it is and said, its name escaped;
// the genuine lines beside it are delivered.
TEST_F(SpoolTest, ASpoolFileForATargetNoSectionWritesIsRefused) {
  const std::string target = Path("away/out%@07.txt");
  Forward(At("1"), target);
  for (const char* folder : {"away", "away/sub", "awayx"}) fs::create_directory(Path(folder));
  std::vector<std::string> forged = {Path("victim.txt"), Path("away/../victim.txt"),
                                     Path("away/sub/outA1234.txt"), Path("awayx/out.txt")};
  // A line feed in a name, which only POSIX allows, is logged escaped.
  const bool posix_names = fs::exists("/dev/null");
  if (posix_names) forged.push_back(Path("away/a\nb.txt"));
  for (const std::string& name : forged) {
    testing::WriteFileBytes(spool_ + "/" + SpoolName(name),
                            "zelkforward spool 1 " + platform::AbsolutePath(name) + "\r\n" +
                                SpoolItem("line 1765000000 0 8", "forged\r\n"));
  }
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 1);
  EXPECT_EQ(ReadFileBytes(Path("away/outA1234.txt")), "line 1 07:50\r\n");
  for (const std::string& name : forged) {
    EXPECT_FALSE(fs::exists(name)) << name;
    EXPECT_TRUE(fs::exists(spool_ + "/" + SpoolName(name))) << name;
  }
  const std::string log = ReadFileBytes(log_path_);
  std::size_t refused = 0;
  for (std::size_t at = 0;
       (at = log.find("t[Spool file names a target no section writes]", at)) != std::string::npos;
       ++at) {
    ++refused;
  }
  // One refusal per spool file: Windows makes "away/../victim.txt" the
  // full name of "victim.txt", which then shares its spool file.
  std::set<std::string> spool_files;
  for (const std::string& name : forged) spool_files.insert(SpoolName(name));
  EXPECT_EQ(refused, spool_files.size());
  if (posix_names) {
    EXPECT_NE(log.find("a\\nb.txt"), std::string::npos);
  }
}

TEST_F(SpoolTest, ListingShowsCountAndTimes) {
  const std::string target = Path("away/out.txt");
  const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  for (const char* n : {"1", "2"}) Forward(At(n), target);
  const auto waiting = spool::ListWaiting(spool_);
  ASSERT_TRUE(waiting);
  ASSERT_EQ(waiting->size(), 1u);
  EXPECT_EQ(waiting->front().target, platform::AbsolutePath(target));
  EXPECT_EQ(waiting->front().lines, 2);
  EXPECT_GE(waiting->front().oldest, before);
  EXPECT_GE(waiting->front().newest, waiting->front().oldest);
  EXPECT_EQ(waiting->front().damaged_bytes, 0);
  EXPECT_FALSE(spool::ListWaiting(Path("no-such-spool")));
}

TEST_F(SpoolTest, ATornItemIsSkippedAndTheLinesAroundItArrive) {
  const std::string target = Path("away/out.txt");
  Forward(At("1"), target);
  ASSERT_EQ(SpoolFiles(), 1u);
  const std::string file = fs::directory_iterator(spool_)->path().string();
  // A writer killed halfway through its item.
  testing::WriteFileBytes(file, ReadFileBytes(file) + "line 1765000000 0 40 #0123");
  Forward(At("2"), target);
  fs::create_directory(Path("away"));
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 2);
  EXPECT_EQ(ReadFileBytes(target), "line 1 07:50\r\nline 2 07:50\r\n");
  EXPECT_NE(Log().back().find("DELIVERED lines[2]"), std::string::npos);
}

// A delivery killed after announcing its append: the lines the target holds
// from the announced offset on are not appended again, a torn piece of the
// next one is cut off, and the rest follows.
TEST_F(SpoolTest, ADeliveryCutShortIsCompletedWithoutRepeats) {
  const std::string target = Path("out.txt");
  struct Case {
    std::string in_target;  // after "old\r\n", where the delivery was announced
    std::string expected;
  };
  const std::string one = "line 1\r\n", two = "line 2\r\n";
  for (const Case& c : std::vector<Case>{
           {"", "old\r\n" + one + two},                                 // cut before the write
           {"line 1\r\nli", "old\r\n" + one + two},                     // cut during it
           {one + two, "old\r\n" + one + two},                          // cut after it
           {one + two + "new\r\n", "old\r\n" + one + two + "new\r\n"},  // others since
       }) {
    testing::WriteFileBytes(target, "old\r\n" + c.in_target);
    spool::KnowTargets(config::Snapshot::Parse("[ForwardTransaction]\nTarget1=" + target + "\n"));
    const std::string absolute = platform::AbsolutePath(target);
    const std::string name = SpoolName(target);
    testing::WriteFileBytes(spool_ + "/" + name, "zelkforward spool 1 " + absolute + "\r\n" +
                                                     SpoolItem("line 1765000000 0 8", one) +
                                                     SpoolItem("line 1765000001 0 8", two) +
                                                     SpoolItem("sent 5 16 00000000"));
    spool::DeliverAll(spool_);
    EXPECT_EQ(ReadFileBytes(target), c.expected) << c.in_target;
    EXPECT_FALSE(fs::exists(spool_ + "/" + name)) << c.in_target;
  }
}

// A section's byte order mark and header go first into a target that holds
// no lines when its spooled lines are delivered, as they do when the line is
// appended at once, and the trim keeps them; a delivery cut short after it
// wrote them repeats neither the head nor a line.
TEST_F(SpoolTest, SpooledLinesBeginAnEmptyTargetWithTheSectionsHead) {
  const std::string target = Path("away/out.txt");
  for (const char* n : {"1", "2"}) {
    Forward(At(n), target, "Header1=head %@07\nBom1=1\nMaxLines1=1\n");
  }
  fs::create_directory(Path("away"));
  EXPECT_EQ(spool::DeliverAll(spool_).lines_delivered, 2);
  EXPECT_EQ(ReadFileBytes(target), "\xEF\xBB\xBFhead A1234\r\nline 2 07:50\r\n");

  const std::string bom = "\xEF\xBB\xBF", one = "line 1\r\n", two = "line 2\r\n";
  const std::string whole = bom + "head\r\n" + one + two;
  for (const std::string& in_target : {std::string(), bom + "hea", whole}) {
    testing::WriteFileBytes(target, in_target);
    testing::WriteFileBytes(spool_ + "/" + SpoolName(target),
                            "zelkforward spool 1 " + platform::AbsolutePath(target) + "\r\n" +
                                SpoolItem("line 1765000000 0 8 1 4", "head" + one) +
                                SpoolItem("line 1765000001 0 8 1 4", "head" + two) +
                                SpoolItem("sent 0 25 00000000"));
    spool::DeliverAll(spool_);
    EXPECT_EQ(ReadFileBytes(target), whole) << in_target;
  }
}

TEST_F(SpoolTest, ThreadsSpoolingAndDeliveringAtOnceLoseAndRepeatNothing) {
  constexpr int kThreads = 4;
  constexpr int kLines = 150;
  const std::string target = Path("away/out.txt");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        if (t == 0 && i == kLines / 3) fs::create_directory(Path("away"));
        Forward(At(std::to_string(t * 1000 + i)), target);
        if (i % 10 == 0) spool::DeliverAll(spool_);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  spool::DeliverAll(spool_);
  const std::string bytes = ReadFileBytes(target);
  std::vector<int> last(kThreads, -1);
  int lines = 0;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    const int number = std::stoi(bytes.substr(at + 5, end - at - 5));
    EXPECT_GT(number % 1000, last[number / 1000]) << "out of order: " << number;
    last[number / 1000] = number % 1000;
    ++lines;
    at = end + 2;
  }
  EXPECT_EQ(lines, kThreads * kLines);
  EXPECT_EQ(SpoolFiles(), 0u);
}

TEST_F(SpoolTest, TheWorkerDeliversWhenTheTargetReturns) {
  spool::ResumeDelivery();
  const std::string target = Path("away/out.txt");
  Forward(At("1"), target);
  fs::create_directory(Path("away"));
  // Bounded: the worker's first retry comes after about a second.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadFileBytes(target).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ReadFileBytes(target), "line 1 07:50\r\n");
  EXPECT_TRUE(spool::StopDelivery(std::chrono::seconds(10)));
}

TEST_F(SpoolTest, StoppingLeavesWhatWaitsForTheNextStart) {
  spool::ResumeDelivery();
  Forward(At("1"), Path("away/out.txt"));
  EXPECT_TRUE(spool::StopDelivery(std::chrono::seconds(10)));
  EXPECT_EQ(SpoolFiles(), 1u);
}

}  // namespace
}  // namespace zelk::forwarding
