// The spool is crash safe: a process killed at any moment while it keeps
// lines, delivers them or appends after them loses no line it reported kept
// and delivers none twice. And two processes may share one spool folder.
// POSIX only (fork and SIGKILL).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "forwarding/spool_file.h"
#include "platform/platform.h"
#include "test_support.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace zelk::forwarding {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;

constexpr int kSpooledLines = 1500;
constexpr int kDirectLines = 300;
constexpr int kKillRuns = zelk::testing::kUnderSanitizer ? 6 : 30;

void Forward(int number, const std::string& target, const std::string& spool) {
  const std::string trans_no = std::to_string(number);
  Transaction t;
  t.trans_no = trans_no;
  t.job_no = "A1";
  t.date = "071010";
  t.time = "075037";
  t.value09 = "1";
  ForwardTransaction2(
      t, config::Snapshot::Parse("[ForwardTransaction]\nFormat1=line %@01 of a spooled target\n"
                                 "Target1=" +
                                 target + "\nSpoolFolder=" + spool + "\n"));
}

// The numbers of the target's lines, in file order; -1 for a line that is not
// whole.
std::vector<int> NumbersIn(const std::string& bytes) {
  std::vector<int> numbers;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t end = bytes.find("\r\n", at);
    const std::string line = bytes.substr(at, end == std::string::npos ? end : end - at);
    int number = -1;
    char rest[64] = "";
    if (std::sscanf(line.c_str(), "line %d of a spooled %63s", &number, rest) != 2 ||
        std::string(rest) != "target") {
      number = -1;
    }
    numbers.push_back(number);
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return numbers;
}

// The child's work: lines kept while the target's folder is missing, the
// folder made and the spool delivered, then lines appended directly. Each
// number goes to `report` once its call returned.
// With `from` past the spooled lines, the parent kept them already and the
// child starts with the delivery.
[[noreturn]] void KeepDeliverAppend(const std::string& folder, const std::string& target,
                                    const std::string& spool, int report, int from) {
  for (int n = from; n <= kSpooledLines + kDirectLines; ++n) {
    if (n == kSpooledLines + 1) {
      fs::create_directory(folder);
      spool::DeliverAll(spool);
    }
    Forward(n, target, spool);
    const std::string done = std::to_string(n) + "\n";
    if (write(report, done.data(), done.size()) < 0) _exit(3);
  }
  _exit(0);
}

// The highest number the child reported done.
int LastReported(int report) {
  std::string all;
  char buffer[4096];
  for (ssize_t count; (count = read(report, buffer, sizeof buffer)) > 0;) {
    all.append(buffer, static_cast<std::size_t>(count));
  }
  int last = 0;
  for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
    last = std::stoi(all.substr(at, end - at));
  }
  return last;
}

struct Child {
  pid_t pid;
  int report;
};

Child StartChild(const std::string& folder, const std::string& target, const std::string& spool,
                 int from) {
  int pipe_ends[2];
  EXPECT_EQ(pipe(pipe_ends), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_ends[0]);
    KeepDeliverAppend(folder, target, spool, pipe_ends[1], from);
  }
  close(pipe_ends[1]);
  return {pid, pipe_ends[0]};
}

class SpoolCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    tracelog::ResetTraceLogForTesting();
    // No worker in this process (nor, inheriting the state, in the children).
    spool::StopDelivery(std::chrono::seconds(10));
  }
};

// Runs the child `runs` times, killing it at a random moment of its work, and
// checks what the next start delivers. `from` as for KeepDeliverAppend.
void KillAtRandomMoments(int runs, int from, std::mt19937& random) {
  testing::ScratchDir dir;
  // The section the children write with, so that this process delivers to
  // each run's target too.
  spool::KnowTargets(
      config::Snapshot::Parse("[ForwardTransaction]\nTarget1=" + dir.File("%@01/out.txt") + "\n"));
  // Keeps lines 1 to from - 1 in `spool`, the target's folder missing, as
  // the service keeps them (written at once: keeping flushes every line).
  const auto prepare = [from](const std::string& target, const std::string& spool) {
    fs::create_directory(spool);
    if (from == 1) return;
    const std::string absolute = platform::AbsolutePath(target);
    std::ofstream file(spool::SpoolFileOf(spool, absolute, 0), std::ios::binary);
    std::string items = spool::Header(absolute);
    for (int n = 1; n < from; ++n) {
      spool::AppendLineItem(items, 1765000000, 0,
                            "line " + std::to_string(n) + " of a spooled target\r\n");
    }
    file << items;
  };
  // One run to its end tells how long the child's work takes.
  long long span = 0;
  {
    const std::string folder = dir.File("whole");
    const std::string spool = dir.File("whole-spool");
    prepare(folder + "/out.txt", spool);
    const auto started = std::chrono::steady_clock::now();
    Child child = StartChild(folder, folder + "/out.txt", spool, from);
    int status = 0;
    waitpid(child.pid, &status, 0);
    span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 started)
               .count();
    ASSERT_EQ(LastReported(child.report), kSpooledLines + kDirectLines);
    close(child.report);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  int killed_midway = 0;
  for (int run = 0; run < runs; ++run) {
    const std::string folder = dir.File("away" + std::to_string(run));
    const std::string target = folder + "/out.txt";
    const std::string spool = dir.File("spool" + std::to_string(run));
    prepare(target, spool);
    Child child = StartChild(folder, target, spool, from);
    usleep(static_cast<useconds_t>(std::uniform_int_distribution<long long>(0, span)(random)));
    kill(child.pid, SIGKILL);
    int status = 0;
    waitpid(child.pid, &status, 0);
    killed_midway += WIFSIGNALED(status) ? 1 : 0;
    const int reported = std::max(LastReported(child.report), from - 1);
    close(child.report);

    // The next start delivers what the killed one left.
    fs::create_directory(folder);
    spool::DeliverAll(spool);
    const std::vector<int> numbers = NumbersIn(ReadFileBytes(target));
    // 1, 2, ... without a gap, a repeat or a torn line; the line in flight
    // when the child died may be there or not.
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      ASSERT_EQ(numbers[i], static_cast<int>(i) + 1) << "run " << run << ", line " << i;
    }
    EXPECT_GE(static_cast<int>(numbers.size()), reported) << "run " << run;
    EXPECT_LE(static_cast<int>(numbers.size()), reported + 1) << "run " << run;
    EXPECT_TRUE(fs::is_empty(spool)) << "run " << run;
  }
  ::testing::Test::RecordProperty("killed_midway", killed_midway);
}

TEST_F(SpoolCrash, NoLineKeptIsLostOrDeliveredTwiceWhateverMomentTheProcessDies) {
  std::mt19937 random(20261209);
  KillAtRandomMoments(kKillRuns, 1, random);
}

// The same with the spool full when the child starts, so the kills fall
// mostly on the delivery.
TEST_F(SpoolCrash, NoLineIsLostOrDeliveredTwiceWhenTheDeliveryIsCutShort) {
  std::mt19937 random(20261210);
  KillAtRandomMoments(kKillRuns, kSpooledLines + 1, random);
}

TEST_F(SpoolCrash, TwoProcessesShareOneSpoolFolder) {
  testing::ScratchDir dir;
  const std::string folder = dir.File("away");
  const std::string spool = dir.File("spool");
  fs::create_directory(spool);
  const std::string target = folder + "/out.txt";
  constexpr int kEach = 400;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  const int first = child == 0 ? 100000 : 0;
  for (int n = 1; n <= kEach; ++n) {
    Forward(first + n, target, spool);
    if (n == kEach / 2 && child != 0) {
      fs::create_directory(folder);
      spool::DeliverAll(spool);
    }
    if (n % 50 == 0) spool::DeliverAll(spool);
  }
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  spool::DeliverAll(spool);

  // Every line once, each process's lines in their order.
  std::vector<int> last(2, 0);
  int lines = 0;
  for (int number : NumbersIn(ReadFileBytes(target))) {
    ASSERT_GT(number, 0);
    const int process = number >= 100000 ? 1 : 0;
    EXPECT_EQ(number % 100000, last[process] + 1) << number;
    last[process] = number % 100000;
    ++lines;
  }
  EXPECT_EQ(lines, 2 * kEach);
  EXPECT_TRUE(fs::is_empty(spool));
}

// The address space this process has mapped, from /proc/self/statm.
rlim_t AddressSpaceInUse() {
  std::ifstream statm("/proc/self/statm");
  rlim_t pages = 0;
  statm >> pages;
  return pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// A backlog larger than the memory left to the process (as a 32-bit host
// has little) is delivered in pieces, whole and in order.
TEST_F(SpoolCrash, ABacklogLargerThanTheAddressSpaceLeftIsDelivered) {
  if (zelk::testing::kUnderSanitizer)
    GTEST_SKIP() << "sanitizers reserve address space of their own";
  testing::ScratchDir dir;
  const std::string target = dir.File("out.txt");
  const std::string spool = dir.File("spool");
  fs::create_directory(spool);
  constexpr int kLines = 32 * 1024;
  const std::string absolute = platform::AbsolutePath(target);
  spool::KnowTargets(config::Snapshot::Parse("[ForwardTransaction]\nTarget1=" + target + "\n"));
  {
    std::ofstream file(spool::SpoolFileOf(spool, absolute, 0), std::ios::binary);
    file << spool::Header(absolute);
    std::string item;
    for (int n = 0; n < kLines; ++n) {
      item.clear();
      spool::AppendLineItem(item, 1765000000, 0,
                            std::to_string(n) + std::string(1000, 'x') + "\r\n");
      file << item;
    }
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{AddressSpaceInUse() + (16 << 20), RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    _exit(spool::DeliverAll(spool).lines_delivered == kLines ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string bytes = ReadFileBytes(target);
  EXPECT_EQ(bytes.substr(0, 6), "0xxxxx");
  EXPECT_EQ(NumbersIn(bytes).size(), static_cast<std::size_t>(kLines));
  EXPECT_TRUE(fs::is_empty(spool));
}

}  // namespace
}  // namespace zelk::forwarding
