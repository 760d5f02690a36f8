// Trimming is crash safe: a process killed at any moment of a trim leaves the
// newest lines in the file. POSIX only (fork and SIGKILL).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "tracelog/trim.h"

namespace {

using zelk::testing::ReadFileBytes;
using zelk::testing::WriteFileBytes;

// The lines of `bytes`: a line feed ends a line, a CR before it belongs to the
// line break.
std::vector<std::string> LinesOf(const std::string& bytes) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < bytes.size();) {
    std::size_t end = bytes.find('\n', start);
    std::string line = bytes.substr(start, end == std::string::npos ? end : end - start);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// True when `wanted` stands in `lines` as one unbroken run.
bool ContainsRun(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  if (wanted.empty()) return true;
  for (std::size_t at = 0; at + wanted.size() <= lines.size(); ++at) {
    if (lines[at] != wanted.front()) continue;
    bool whole = true;
    for (std::size_t i = 1; i < wanted.size() && whole; ++i) whole = lines[at + i] == wanted[i];
    if (whole) return true;
  }
  return false;
}

TEST(TrimCrash, TheNewestLinesSurviveAKillAtAnyMoment) {
  constexpr int kRuns = zelk::testing::kUnderSanitizer ? 10 : 60;
  constexpr int kLines = 60000;
  zelk::testing::ScratchDir dir;
  const std::string path = dir.File("trimmed.txt");
  std::mt19937 random(20261209);
  int killed_midway = 0;
  for (int run = 0; run < kRuns; ++run) {
    // Bare line feeds make the rewritten lines longer than they were; keeping
    // nearly all of them makes the rewrite overlap the lines it keeps.
    const bool bare = run % 2 == 1;
    const int keep = run % 3 == 0 ? kLines - 5 : kLines / 2;
    std::string bytes;
    std::vector<std::string> lines;
    for (int i = 0; i < kLines; ++i) {
      lines.push_back("line " + std::to_string(run) + "-" + std::to_string(i) +
                      " of the file that is being trimmed");
      bytes += lines.back() + (bare ? "\n" : "\r\n");
    }
    WriteFileBytes(path, bytes);
    const std::vector<std::string> newest(lines.end() - keep, lines.end());

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      zelk::tracelog::TrimToLastLines(path, keep);
      _exit(0);
    }
    usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(random));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    killed_midway += WIFSIGNALED(status) ? 1 : 0;
    ASSERT_TRUE(ContainsRun(LinesOf(ReadFileBytes(path)), newest)) << "run " << run;
  }
  // Not a pass condition (timing decides it), but the runs should have hit
  // trims in flight.
  RecordProperty("killed_midway", killed_midway);
}

}  // namespace
