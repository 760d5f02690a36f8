// Writes that the file system cuts short (a full disk, a quota) leave no piece
// of a line to run into the next one: in a target, with a spool and without,
// in a delivery from the spool, and in the trace log. POSIX only: the
// file-size limit (RLIMIT_FSIZE) makes a write stop part way, as a disk that
// fills up does.
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "test_support.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace zelk::forwarding {
namespace {

void Forward(const std::string& trans_no, const std::string& settings) {
  Transaction t;
  t.trans_no = trans_no;
  t.job_no = "A1";
  t.date = "071010";
  t.time = "075037";
  t.value09 = "1";
  ForwardTransaction2(t, config::Snapshot::Parse("[ForwardTransaction]\nFormat1=line %@01 of a "
                                                 "target on a full disk\n" +
                                                 settings));
}

// Lets files grow to `bytes` only: a write past it writes what fits, and the
// next one fails (EFBIG; SIGXFSZ is ignored meanwhile). Put back on
// destruction.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_handler_)(int) = SIG_DFL;
};

TEST(FullDisk, AWriteCutShortLeavesNoPieceOfTheLine) {
  for (const bool with_spool : {false, true}) {
    testing::ScratchDir dir;
    const std::string target = dir.File("out.txt");
    const std::string settings =
        "Target1=" + target + "\n" + (with_spool ? "SpoolFolder=" + dir.path().string() : "");
    // Lines enough that the spool's first item fits below the limit.
    std::string before;
    for (int i = 0; i < 100; ++i) before += "an earlier line\r\n";
    testing::WriteFileBytes(target, before);
    {
      const FileSizeLimit full(before.size() + 10);
      Forward("2", settings);
      EXPECT_EQ(testing::ReadFileBytes(target), before) << "spool: " << with_spool;
    }
    Forward("3", settings);
    const std::string line3 = "line 3 of a target on a full disk\r\n";
    const std::string line2 = "line 2 of a target on a full disk\r\n";
    // With a spool, line 2 waited there and line 3 behind it, and both are
    // delivered in order; without one, line 2 is lost, and line 3 stands on a
    // line of its own.
    if (with_spool) spool::DeliverAll(dir.path().string());
    EXPECT_EQ(testing::ReadFileBytes(target), before + (with_spool ? line2 : "") + line3)
        << "spool: " << with_spool;
    // The delivery worker lets go of the folder before it is removed.
    EXPECT_TRUE(spool::StopDelivery(std::chrono::seconds(10)));
    spool::ResumeDelivery();
    tracelog::ResetTraceLogForTesting();
  }
}

// A delivery whose append the disk cuts short leaves nothing in the target,
// says so once however often it is tried, and succeeds once there is room.
TEST(FullDisk, ADeliveryCutShortIsReportedOnceAndTriedAgain) {
  testing::ScratchDir dir;
  const std::string target = dir.File("away/out.txt");
  const std::string settings = "Target1=" + target + "\nSpoolFolder=" + dir.path().string();
  for (const char* trans_no : {"1", "2", "3", "4", "5"}) Forward(trans_no, settings);
  spool::StopDelivery(std::chrono::seconds(10));
  std::filesystem::create_directory(dir.File("away"));
  // Far more than the spool file, so only the target's append meets the limit.
  const std::string before(10000, 'x');
  testing::WriteFileBytes(target, before);
  const std::string log = dir.File("trace.log");
  tracelog::ConfigureTraceLog(log, -1, "");
  const std::string failed = "-- t[Could not write file] lines[5]";
  {
    const FileSizeLimit full(before.size() + 100);
    for (int attempt = 0; attempt < 3; ++attempt) {
      EXPECT_EQ(spool::DeliverAll(dir.path().string()).lines_delivered, 0);
    }
    EXPECT_EQ(testing::ReadFileBytes(target), before);
  }
  const std::string logged = testing::ReadFileBytes(log);
  EXPECT_NE(logged.find(failed), std::string::npos) << logged;
  EXPECT_EQ(logged.find(failed), logged.rfind(failed)) << logged;
  EXPECT_EQ(spool::DeliverAll(dir.path().string()).lines_delivered, 5);
  EXPECT_EQ(testing::ReadFileBytes(target).size(),
            before.size() + 5 * std::string("line 1 of a target on a full disk\r\n").size());
  spool::ResumeDelivery();
  tracelog::ResetTraceLogForTesting();
}

// The message after a cut-short one starts on a line of its own.
TEST(FullDisk, TheTraceLogLineAfterACutShortOneStandsAlone) {
  testing::ScratchDir dir;
  const std::string log = dir.File("trace.log");
  tracelog::ConfigureTraceLog(log, -1, "");
  tracelog::LogMessage('.', "first message");
  const std::string before = testing::ReadFileBytes(log);
  {
    const FileSizeLimit full(before.size() + 30);
    tracelog::LogMessage('.', "a message the disk has no room for, cut after thirty bytes");
  }
  tracelog::LogMessage('.', "the message after it");
  const std::string after = testing::ReadFileBytes(log);
  ASSERT_GT(after.size(), before.size() + 30);
  EXPECT_EQ(after.compare(0, before.size() + 32, before + after.substr(before.size(), 30) + "\r\n"),
            0)
      << after;
  const std::vector<testing::LogLine> lines = testing::ReadLogLines(log);
  ASSERT_EQ(lines.size(), 3u) << after;
  EXPECT_EQ(lines[2].text, "the message after it") << after;
  EXPECT_FALSE(lines[2].stamp.empty()) << after;
  tracelog::ResetTraceLogForTesting();
}

}  // namespace
}  // namespace zelk::forwarding
