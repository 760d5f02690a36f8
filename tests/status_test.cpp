// The status file against what the pipeline logs: each outcome counted once,
// where the trace log says it; a folder that cannot be written; a reader
// never seeing half a document.
#include "tracelog/status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"
#include "tracelog/causes.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace zelk::forwarding {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

Transaction Sample(const char* value09 = "12.5") {
  Transaction t;
  t.trans_no = "42";
  t.job_no = "A1234";
  t.date = "071010";
  t.time = "075037";
  t.value09 = value09;
  return t;
}

class StatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetTimeZoneForTesting("UTC0");
    tracelog::ResetTraceLogForTesting();
    tracelog::ConfigureTraceLog(log_path_, -1, "");
    fs::create_directory(status_);
    spool::StopDelivery(std::chrono::seconds(10));
    tracelog::status::Configure(status_, "Quillet Zelk v[test]");
  }
  void TearDown() override {
    tracelog::status::Configure("", "");
    spool::StopDelivery(std::chrono::seconds(10));
    EXPECT_TRUE(platform::WaitForWorkers(std::chrono::seconds(30)));
    tracelog::ResetTraceLogForTesting();
  }

  std::string Path(const std::string& name) const {
    return dir_.path().generic_string() + "/" + name;
  }

  Json Status() {
    tracelog::status::WriteNow();
    return Json::parse(testing::ReadFileBytes(tracelog::status::FilePath()));
  }

  std::size_t LogLinesWith(const std::string& marker) {
    const std::vector<std::string> log = testing::ReadLogTexts(log_path_);
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const auto& line) {
      return line.find(marker) != std::string::npos;
    }));
  }

  testing::ScratchDir dir_;
  const std::string log_path_ = dir_.File("trace.log");
  const std::string status_ = Path("status");
};

// The counter a case moves, by its JSON pointer; section 1 is the first.
std::int64_t Counter(const Json& status, const char* pointer) {
  const Json::json_pointer at(pointer);
  return status.contains(at) ? status.at(at).get<std::int64_t>() : 0;
}

TEST_F(StatusTest, EachOutcomeCountsOnceWhereTheLogSaysIt) {
  fs::create_directory(Path("spool"));
  const std::string spool_setting = "SpoolFolder=" + Path("spool") + "\n";
  const struct {
    const char* name;
    std::string settings;
    const char* value09;
    const char* counter;
    const char* log_marker;
  } cases[] = {
      {"written", "Target1=" + Path("a.txt"), "1", "/sections/0/written", "-- SUCCESS"},
      {"not written", "Target1=" + Path("gone/a.txt"), "1", "/sections/0/not_written",
       "-- t[Could not open file]"},
      {"format error", "Format1=%@ZZ\nTarget1=" + Path("a.txt"), "1", "/sections/0/format_errors",
       "-- f[ExtFormat]"},
      {"spooled", spool_setting + "Target1=" + Path("away/a.txt"), "1", "/sections/0/spooled",
       "-- SPOOLED"},
      {"not enabled", "Enable=0", "1", "/transactions/not_enabled", "Not Enabled"},
      {"zero", "Target1=" + Path("a.txt"), "0", "/transactions/zero", "Removing NULL"},
      {"not valid", "Validation=1", "1", "/transactions/not_valid", "double checking jobno"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Json before = Status();
    const std::size_t logged_before = LogLinesWith(c.log_marker);
    ForwardTransaction2(Sample(c.value09), config::Snapshot::Parse("[ForwardTransaction]\n" +
                                                                   c.settings + "\nFormat1=x\n"));
    EXPECT_TRUE(platform::WaitForWorkers(std::chrono::seconds(30)));  // the re-check's log line
    const Json after = Status();
    EXPECT_EQ(Counter(after, c.counter) - Counter(before, c.counter), 1);
    EXPECT_EQ(LogLinesWith(c.log_marker) - logged_before, 1u);
    EXPECT_EQ(Counter(after, "/transactions/received") - Counter(before, "/transactions/received"),
              1);
  }
  const Json failed = Status();
  EXPECT_EQ(failed["sections"][0]["last_failure"]["reason"],
            "f[ExtFormat] t[Ordinal does not exist in this context] @[ZZ]");
  EXPECT_EQ(failed["sections"][0]["spooled"], 1);
  EXPECT_EQ(failed["spool"]["waiting_lines"], 1);

  fs::create_directory(Path("away"));
  EXPECT_EQ(spool::DeliverAll(Path("spool")).lines_delivered, 1);
  const Json delivered = Status();
  EXPECT_EQ(delivered["sections"][0]["delivered"], 1);
  EXPECT_EQ(delivered["spool"]["waiting_lines"], 0);
  EXPECT_EQ(LogLinesWith("-- DELIVERED"), 1u);
  EXPECT_EQ(delivered["trace_log"]["written"].get<std::size_t>(), LogLinesWith(""));
}

TEST_F(StatusTest, AFolderThatCannotBeWrittenIsLoggedOnceAndTheLinesStillGo) {
  tracelog::status::Configure(Path("no/such/folder"), "Quillet Zelk v[test]");
  for (int i = 0; i < 3; ++i) {
    ForwardTransaction2(Sample(), config::Snapshot::Parse(
                                      "[ForwardTransaction]\nFormat1=x\nTarget1=" + Path("a.txt")));
    tracelog::status::WriteNow();
  }
  EXPECT_EQ(testing::ReadFileBytes(Path("a.txt")), "x\r\nx\r\nx\r\n");
  EXPECT_EQ(LogLinesWith("Status file["), 1u);
  EXPECT_EQ(LogLinesWith("-- SUCCESS"), 3u);
}

// Under Causes=1 the failed replacement tells the system's cause.
TEST_F(StatusTest, AReplacementTheSystemRefusesTellsItsCause) {
  tracelog::ShowCauses(true);
  platform::InjectFaults(
      {{platform::DoorCall::kRename, 1, true, platform::SystemError::kNoAccess}});
  tracelog::status::WriteNow();
  platform::ClearFaults();
  tracelog::ShowCauses(false);
  const std::string cause = platform::Status::FromSystem(
                                "", "", platform::SystemErrorCode(platform::SystemError::kNoAccess))
                                .cause();
  EXPECT_EQ(LogLinesWith("t[Could not write file: the system refused the write or the rename] "
                         "cause[" +
                         cause + "]"),
            1u);
}

TEST_F(StatusTest, AReaderNeverSeesHalfADocument) {
  tracelog::status::WriteNow();
  const std::string path = tracelog::status::FilePath();
  std::atomic<bool> done{false};
  std::thread writer([&done] {
    for (int i = 0; i < 100; ++i) {
      tracelog::status::CountReceived();
      tracelog::status::WriteNow();
    }
    done = true;
  });
  int reads = 0;
  while (!done) {
    // Opened as readers should, sharing the rename; on Windows an open during
    // the rename is refused (kBusy), which is no half document either.
    platform::OpenResult opened = platform::OpenUnlockedRead(path);
    if (opened.status != platform::OpenStatus::kOk) continue;
    std::string text(1 << 16, '\0');
    const std::int64_t got = opened.file.Read(text.data(), text.size());
    ASSERT_GT(got, 0);
    text.resize(static_cast<std::size_t>(got));
    EXPECT_TRUE(Json::accept(text)) << text;
    ++reads;
  }
  writer.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(Json::parse(testing::ReadFileBytes(path))["stopped"], false);
}

}  // namespace
}  // namespace zelk::forwarding
