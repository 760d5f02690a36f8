// zelkhost spool and check's spool report, on a spool the service filled.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "check.h"
#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "platform/platform.h"
#include "spool_command.h"
#include "test_support.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace zelk::host {
namespace {

namespace fs = std::filesystem;

class ZelkhostSpool : public ::testing::Test {
 protected:
  void SetUp() override {
    forwarding::spool::StopDelivery(std::chrono::seconds(10));
    forwarding::spool::RecordFoldersBeside(ini_);
    fs::create_directory(root_ + "spool");
    testing::WriteFileBytes(ini_, "[ForwardTransaction]\r\nFormat1=%@01\r\nTarget1=" + target_ +
                                      "\r\nSpoolFolder=" + root_ + "spool\r\n");
  }
  void TearDown() override { tracelog::ResetTraceLogForTesting(); }

  void Forward(const char* trans_no) {
    forwarding::Transaction t;
    t.trans_no = trans_no;
    t.date = "071010";
    t.time = "075037";
    t.value09 = "1";
    forwarding::ForwardTransaction2(t, config::Snapshot::Load(ini_));
  }

  testing::ScratchDir dir_;
  const std::string root_ = dir_.path().generic_string() + "/";
  const std::string ini_ = root_ + "zelkforward.ini";
  const std::string target_ = root_ + "away/out.txt";
};

TEST_F(ZelkhostSpool, ListsWhatWaitsAndDeliversItOnRequest) {
  Forward("1");
  Forward("2");
  std::ostringstream listing;
  EXPECT_EQ(SpoolCommand(ini_, false, listing), 1);
  EXPECT_NE(listing.str().find(platform::AbsolutePath(target_) + ": 2 line(s), oldest "),
            std::string::npos)
      << listing.str();

  std::ostringstream check;
  CheckConfiguration(ini_, check);
  EXPECT_NE(check.str().find("2 line(s) wait in the spool for 1 target(s)"), std::string::npos)
      << check.str();

  // While the target's folder is missing, the delivery says so, here and in
  // the trace log.
  tracelog::ResetTraceLogForTesting();
  testing::WriteFileBytes(ini_, testing::ReadFileBytes(ini_) + "[Log]\r\nFileName=" + root_ +
                                    "trace.log\r\nMaxLines=-1\r\n");
  std::ostringstream away;
  EXPECT_EQ(SpoolCommand(ini_, true, away), 1);
  EXPECT_NE(away.str().find("Delivered 0 line(s) to 0 target(s).\n  not delivered: " +
                            platform::AbsolutePath(target_) + ": target folder missing"),
            std::string::npos)
      << away.str();
  EXPECT_NE(testing::ReadFileBytes(root_ + "trace.log")
                .find("-- t[Not delivered: target folder missing] lines[2]"),
            std::string::npos);

  fs::create_directory(root_ + "away");
  std::ostringstream delivered;
  EXPECT_EQ(SpoolCommand(ini_, true, delivered), 0);
  EXPECT_NE(delivered.str().find("Delivered 2 line(s) to 1 target(s)."), std::string::npos)
      << delivered.str();
  EXPECT_NE(delivered.str().find("nothing waits"), std::string::npos) << delivered.str();
  EXPECT_EQ(testing::ReadFileBytes(target_), "1\r\n2\r\n");
}

// A spool file its keeper or deliverer holds is named as in use, never left
// out of the listing as if nothing waited there.
TEST_F(ZelkhostSpool, ListsAHeldSpoolFileAsInUse) {
  Forward("1");
  const auto waiting = forwarding::spool::ListWaiting(root_ + "spool");
  ASSERT_TRUE(waiting && waiting->size() == 1);
  const std::string spool_file = waiting->front().spool_file;
  platform::OpenResult holder =
      platform::OpenExclusiveRemovable(spool_file, platform::CreateMode::kOpenExisting);
  ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
  std::ostringstream listing;
  EXPECT_EQ(SpoolCommand(ini_, false, listing), 1);
  EXPECT_NE(listing.str().find("in use just now, not read\n    " + spool_file), std::string::npos)
      << listing.str();
}

// Lines for a target no section writes (any more) are not delivered, and
// both the listing and the check say so.
TEST_F(ZelkhostSpool, TellsOfATargetNoSectionWrites) {
  Forward("1");
  testing::WriteFileBytes(ini_, "[ForwardTransaction]\r\nFormat1=%@01\r\nTarget1=" + root_ +
                                    "other/out.txt\r\nSpoolFolder=" + root_ + "spool\r\n");
  fs::create_directory(root_ + "away");
  std::ostringstream listing;
  EXPECT_EQ(SpoolCommand(ini_, true, listing), 1);
  EXPECT_NE(listing.str().find("Delivered 0 line(s)"), std::string::npos) << listing.str();
  EXPECT_NE(listing.str().find(": 1 line(s), oldest "), std::string::npos) << listing.str();
  EXPECT_NE(listing.str().find(", refused: no section of the configuration writes this target"),
            std::string::npos)
      << listing.str();
  EXPECT_FALSE(fs::exists(target_));
  std::ostringstream check;
  CheckConfiguration(ini_, check);
  EXPECT_NE(check.str().find("names " + platform::AbsolutePath(target_) +
                             ", which no section writes: it is not delivered"),
            std::string::npos)
      << check.str();
}

// Lines left in a spool folder SpoolFolder named before are listed, said
// by the check, and delivered first.
TEST_F(ZelkhostSpool, ListsAndDeliversAFolderUsedBefore) {
  Forward("1");
  fs::create_directory(root_ + "spool2");
  testing::WriteFileBytes(ini_, "[ForwardTransaction]\r\nFormat1=%@01\r\nTarget1=" + target_ +
                                    "\r\nSpoolFolder=" + root_ + "spool2\r\n");
  Forward("2");
  std::ostringstream listing;
  EXPECT_EQ(SpoolCommand(ini_, false, listing), 1);
  EXPECT_NE(listing.str().find("Spool folder used before (delivered first): " +
                               platform::AbsolutePath(root_ + "spool")),
            std::string::npos)
      << listing.str();
  std::ostringstream check;
  CheckConfiguration(ini_, check);
  EXPECT_NE(check.str().find("1 line(s) wait for 1 target(s) in the spool folder used before"),
            std::string::npos)
      << check.str();
  fs::create_directory(root_ + "away");
  std::ostringstream delivered;
  EXPECT_EQ(SpoolCommand(ini_, true, delivered), 0) << delivered.str();
  EXPECT_EQ(testing::ReadFileBytes(target_), "1\r\n2\r\n");
}

TEST_F(ZelkhostSpool, CheckReportsAMissingSpoolFolder) {
  testing::WriteFileBytes(ini_, "[ForwardTransaction]\r\nSpoolFolder=" + root_ + "nospool\r\n");
  std::ostringstream out;
  CheckConfiguration(ini_, out);
  EXPECT_NE(out.str().find("problem: the spool folder " + root_ + "nospool does not exist"),
            std::string::npos)
      << out.str();
  std::ostringstream listing;
  EXPECT_EQ(SpoolCommand(ini_, false, listing), 2);
}

}  // namespace
}  // namespace zelk::host
