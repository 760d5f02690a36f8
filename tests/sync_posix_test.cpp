// Sync<N>: a target's line, a new target's entry in its folder and a cut of
// the target are on the disk before the trace log says SUCCESS. POSIX only:
// this program's own fsync stands in front of the C library's (the service's
// rooms are linked into it) and notes, for each flush, what it flushed and
// whether the log held the SUCCESS line yet.
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "forwarding/pipeline.h"
#include "test_support.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace {

struct Flush {
  std::string path;  // what was flushed, as the system names it
  bool after_success = false;
};

// The flushes noted while `log` is set, with the log that tells SUCCESS.
struct Flushes {
  std::mutex mutex;
  std::string log;
  std::vector<Flush> seen;
};

// Workers of the service may flush at any time: never destroyed.
Flushes& Noted() {
  static Flushes* const flushes = new Flushes();
  return *flushes;
}

std::string PathOf(int fd) {
  char buffer[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

extern "C" int fsync(int fd) {
  Flushes& noted = Noted();
  {
    std::lock_guard<std::mutex> lock(noted.mutex);
    if (!noted.log.empty()) {
      const bool logged =
          zelk::testing::ReadFileBytes(noted.log).find("SUCCESS") != std::string::npos;
      noted.seen.push_back({PathOf(fd), logged});
    }
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace zelk::forwarding {
namespace {

constexpr char kLine[] = "a line\r\n";

// Forwards one transaction under `settings`, logging to `log`; the flushes
// noted meanwhile.
std::vector<Flush> FlushesOfOneTransaction(const std::string& settings, const std::string& log) {
  tracelog::ResetTraceLogForTesting();
  tracelog::ConfigureTraceLog(log, -1, "");
  Transaction t;
  t.trans_no = "1";
  t.job_no = "A1";
  t.date = "071010";
  t.time = "075037";
  t.value09 = "1";
  {
    std::lock_guard<std::mutex> lock(Noted().mutex);
    Noted().log = log;
    Noted().seen.clear();
  }
  ForwardTransaction2(t,
                      config::Snapshot::Parse("[ForwardTransaction]\nFormat1=a line\n" + settings));
  std::lock_guard<std::mutex> lock(Noted().mutex);
  Noted().log.clear();
  tracelog::ResetTraceLogForTesting();
  return Noted().seen;
}

TEST(Sync, TheLineAndTheCutAreOnTheDiskBeforeTheLogSaysSuccess) {
  testing::ScratchDir dir;
  const std::string folder = std::filesystem::canonical(dir.path()).string();
  const std::string held = folder + "/held.txt";
  testing::WriteFileBytes(held, std::string(kLine) + kLine + kLine);
  struct Case {
    const char* what;
    std::string target;
    std::string settings;
    std::vector<std::string> flushed;  // in this order, before SUCCESS
    std::string content;               // of the target afterwards
  };
  const Case cases[] = {
      {"no Sync1", folder + "/plain.txt", "", {}, kLine},
      {"Sync1=0", folder + "/zero.txt", "Sync1=0", {}, kLine},
      {"a new target", folder + "/new.txt", "Sync1=1", {folder + "/new.txt", folder}, kLine},
      // A device keeps nothing to flush: written all the same.
      {"a device", "/dev/null", "Sync1=1", {"/dev/null"}, ""},
      // The line, then the write of the kept lines at the start before the
      // cut after them, then the cut.
      {"a held target's cut",
       held,
       "Sync1=1\nMaxLines1=2",
       {held, held, held},
       std::string(kLine) + kLine},
  };
  int row = 0;
  for (const Case& c : cases) {
    const std::string log = dir.File("trace" + std::to_string(++row) + ".log");
    const std::vector<Flush> seen =
        FlushesOfOneTransaction("Target1=" + c.target + "\n" + c.settings, log);
    std::vector<std::string> flushed;
    for (const Flush& flush : seen) {
      if (flush.path == c.target || flush.path == folder) flushed.push_back(flush.path);
      EXPECT_FALSE(flush.after_success) << c.what << ": " << flush.path;
    }
    EXPECT_EQ(flushed, c.flushed) << c.what;
    EXPECT_NE(testing::ReadFileBytes(log).find("SUCCESS"), std::string::npos) << c.what;
    EXPECT_EQ(testing::ReadFileBytes(c.target), c.content) << c.what;
  }
}

}  // namespace
}  // namespace zelk::forwarding
