// What a program that may only read the service's files can do to it: hold
// read locks anywhere in them. The trace log still gets its lines, a listed
// job stays valid, and a spool file is still learnt, its lines kept in order.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "config/config.h"
#include "forwarding/job_check.h"
#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace zelk::forwarding {
namespace {

namespace fs = std::filesystem;

struct Range {
  const char* what;
  off_t start;
  off_t length;  // 0: to the end, however far
};

constexpr off_t kLast = std::numeric_limits<off_t>::max();

// Every byte a door open may mark or look at lies in one of these.
const Range kRanges[] = {
    {"the whole file", 0, 0},
    {"the last byte but one", kLast - 1, 1},
    {"the last byte but two", kLast - 2, 1},
    {"the last byte but three", kLast - 3, 1},
    {"the last 2^34 bytes", kLast - (off_t{1} << 34), 0},
};

// A descriptor opened for reading only, holding a read lock on `range`.
class ForeignReader {
 public:
  ForeignReader(const std::string& path, const Range& range)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = range.start;
    lock.l_len = range.length;
    locked_ = fd_ >= 0 && fcntl(fd_, F_OFD_SETLK, &lock) == 0;
  }
  ~ForeignReader() {
    if (fd_ >= 0) ::close(fd_);
  }
  ForeignReader(const ForeignReader&) = delete;
  ForeignReader& operator=(const ForeignReader&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

class ForeignReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetTimeZoneForTesting("UTC0");
    tracelog::ResetTraceLogForTesting();
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
  testing::ScratchDir dir_;
};

TEST_F(ForeignReaderTest, TheLogGetsItsLinesAtOnce) {
  const std::string log = Path("trace.log");
  testing::WriteFileBytes(log, "");
  tracelog::ConfigureTraceLog(log, -1, "");
  for (const Range& range : kRanges) {
    ForeignReader reader(log, range);
    ASSERT_TRUE(reader.locked()) << range.what;
    const auto start = std::chrono::steady_clock::now();
    tracelog::LogMessage('I', "%s", range.what);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << range.what;
  }
  std::vector<std::string> expected;
  for (const Range& range : kRanges) expected.push_back(std::string("I-") + range.what);
  EXPECT_EQ(testing::ReadLogTexts(log), expected);
}

TEST_F(ForeignReaderTest, AListedJobStaysValid) {
  const std::string list = Path("jobs.txt");
  testing::WriteFileBytes(list, "A1\r\n");
  const config::Snapshot snapshot =
      config::Snapshot::Parse("[ValidJob]\nSource1=" + list + "\nFormat1=0000000002\n");
  for (const Range& range : kRanges) {
    ForeignReader reader(list, range);
    ASSERT_TRUE(reader.locked()) << range.what;
    EXPECT_EQ(CheckJobno("A1", snapshot), 1) << range.what;
  }
}

// The reader keeps the spool file from being delivered (as a reader that
// shares no writing does on Windows), but the start learns it all the same:
// the next line goes behind the waiting one, and both arrive in order.
TEST_F(ForeignReaderTest, ASpoolFileIsLearntAtTheStart) {
  const std::string folder = Path("spool");
  fs::create_directory(folder);
  const std::string target = Path("away/out.txt");
  const config::Snapshot snapshot = config::Snapshot::Parse(
      "[ForwardTransaction]\nFormat1=line %@01\nTarget1=" + target + "\nSpoolFolder=" + folder);
  Transaction t;
  t.job_no = "A1";
  t.date = "071010";
  t.time = "075037";
  t.value09 = "1";
  int number = 0;
  std::string trans_no;
  std::string expected;
  for (const Range& range : kRanges) {
    trans_no = std::to_string(++number);
    t.trans_no = trans_no;
    ForwardTransaction2(t, snapshot);  // the folder of the target is away: spooled
    expected += "line " + trans_no + "\r\n";
    fs::create_directory(Path("away"));
    {
      std::vector<std::string> spool_files;
      for (const auto& entry : fs::directory_iterator(folder)) {
        spool_files.push_back(entry.path().string());
      }
      ASSERT_EQ(spool_files.size(), 1u) << range.what;
      ForeignReader reader(spool_files.front(), range);
      ASSERT_TRUE(reader.locked()) << range.what;
      spool::DeliverAll(folder);  // a start
      spool::StopDelivery(std::chrono::seconds(10));
      EXPECT_TRUE(spool::HasWaitingLines(folder, target)) << range.what;
    }
    trans_no = std::to_string(++number);
    t.trans_no = trans_no;
    ForwardTransaction2(t, snapshot);
    expected += "line " + trans_no + "\r\n";
    spool::DeliverAll(folder);
    spool::StopDelivery(std::chrono::seconds(10));
    EXPECT_EQ(testing::ReadFileBytes(target), expected) << range.what;
    fs::remove_all(Path("away"));
    expected.clear();
  }
}

}  // namespace
}  // namespace zelk::forwarding
