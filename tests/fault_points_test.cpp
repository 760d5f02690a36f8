// Every failure point of a scenario, one at a time: the scenario is run once
// to count the door's calls, then once per call with that call failing (and,
// per write, once with the write cut short and once with the disk full from
// it on), then the service is loaded again with the real calls back. After
// each run, every line the trace log called written or kept is in its target
// once and whole, and every line that is not is reported once, blamed on its
// file, with the system's cause.
//
// Then once per call with the power cut after it: the disk keeps only what
// was flushed, and the service is loaded again over that. Every line the log
// called kept in the spool, every line the log called written where the
// target is flushed line by line (Sync), and every line that was on the disk
// at the cut is then in its target once and whole. Where the target is not
// flushed, the lines the log called written but the cut took are counted as
// the window the documentation describes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/config_test_helper.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "service/entry_points.h"
#include "test_support.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;
using platform::DoorCall;
using platform::Fault;

// How long a run may wait for the spool's worker to empty the spool: past
// its first retry, a second after a failed delivery.
constexpr auto kDeliveryPatience = std::chrono::milliseconds(1500);
// What a cut-short write leaves of its bytes: a torn line.
constexpr std::size_t kShortWriteBytes = 2;
// Past the window in which the configuration's time stamp may not show a
// change, so that a call trusts the settings it read.
constexpr auto kPastTheRacyWindow = std::chrono::milliseconds(2100);
// Under a sanitizer, a power cut after every third call only: each run costs
// several times as much there, and the plain build tries every point.
constexpr int kSanitizerCutStride = 3;

// One transaction a scenario forwards: its number (the whole line its target
// gets is the number and CR LF) and the target's name inside the scratch folder.
struct Sent {
  std::string trans_no;
  std::string target;
  bool may_vanish = false;  // its file is of a period KeepFiles may remove
};

// What the runs found, summed over every run of a scenario.
struct Findings {
  int lost = 0;     // reported written or kept, missing; or missing and never reported
  int doubled = 0;  // in its target more than once
  int torn = 0;     // a piece of a line, or a line no transaction sent
};

// What a scenario is: its configuration, what it does under the faults, and
// its restart (run with the real calls), inside a scratch folder `root` ending
// in "/".
struct Scenario {
  std::string name;
  std::function<std::string(const std::string& root)> settings;  // [ForwardTransaction] keys
  std::function<void(const std::string& root)> drive;
  std::function<void(const std::string& root)> restart;
  std::vector<Sent> sent;  // every transaction, drive's and restart's, in order
  int max_lines = 0;       // the targets' MaxLines (0: every line stays)
  // Judges a scenario that forwards nothing instead of `sent`, counting a
  // wrong answer that no line with its cause explains as lost.
  std::function<void(const std::string& root, Findings& found, std::string& story)> judge;
  int log_max_lines = -1;  // the trace log's MaxLines (-1: never trimmed)
  // [ForwardTransaction] keys the power-cut runs add (Sync1=1 holds each
  // line the log reports written against a cut).
  std::string cut_settings{};
  // Judges a power-cut run beside the usual judge of one, when set.
  std::function<void(const std::string& root, Findings& found, std::string& story)> cut_judge{};
  // What the run does with the settings saved, before the faults begin.
  std::function<void(const std::string& root)> before{};
};

// What the runs of a power cut found beyond the findings: the lines the log
// called written that the cut took, where the target is not flushed.
struct Window {
  int cuts = 0;     // runs in which the cut took one or more such lines
  int lines = 0;    // all such lines, over every run
  int at_most = 0;  // the most one cut took
};

// One run's plan: the faults, or a power cut after call `cut_after`; with
// the scenario's power-cut settings or not.
struct Plan {
  std::vector<Fault> faults;
  int cut_after = 0;
  bool cut_settings = false;
};

// The call after which a power cut stops the machine in this run (0: none).
int g_cut_after = 0;

// True once the machine stopped: a host that lost its power calls nothing
// more, so the drive leaves the rest of its calls out (each would only fail,
// some after a wait of their own).
bool Stopped() { return g_cut_after > 0 && platform::DoorCallTotal() >= g_cut_after; }

// A hang watchdog, no measurement: an entry call must come back within its
// bound plus this margin, so a slow or busy machine never fails it, only a
// call that hangs.
constexpr auto kHangMargin = std::chrono::seconds(5);
// The bounds: StopService's grace for the workers; the start's own waits (the
// configuration retried for 1 s, 2 s for a trimmer of the trace log); a
// line's (the configuration, then 2 s for its target and its waiting lines).
constexpr auto kStopBound = std::chrono::seconds(5);
constexpr auto kStartBound = std::chrono::seconds(3);
constexpr auto kForwardBound = std::chrono::seconds(3);

// Catches hangs, measures nothing: fails only when `call` took longer than
// its `bound` and kHangMargin together.
void Watched(const char* entry_point, std::chrono::steady_clock::duration bound,
             const std::function<void()>& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  EXPECT_LT(std::chrono::steady_clock::now() - start, bound + kHangMargin)
      << entry_point << " hangs";
}

// The host's calls a drive makes, each watched for a hang, and none once
// the machine stopped.
void Start() {
  if (Stopped()) return;
  Watched("ExecuteService", kStartBound, [] { EXPECT_EQ(ExecuteService(), 1); });
}

void Stop() {
  if (!Stopped()) Watched("StopService", kStopBound, [] { StopService(); });
}

void Forward(const std::string& trans_no, const char* date = "071010") {
  if (Stopped()) return;
  Watched("ForwardTransaction2", kForwardBound, [&trans_no, date] {
    ForwardTransaction2(trans_no.c_str(), "A1234", date, "075037", "", "", "", "", "", "", "1",
                        "0");
  });
}

// Waits, within kDeliveryPatience, until the spool folder holds no file.
void AwaitEmptySpool(const std::string& folder) {
  const auto deadline = std::chrono::steady_clock::now() + kDeliveryPatience;
  std::error_code error;
  while (!Stopped() && !fs::is_empty(folder, error) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Waits, within kDeliveryPatience, until the spool folder holds no file or
// the log, past its first `seen` bytes, tells of a delivery tried: the retry
// of one that failed is the restart's to make.
void AwaitDeliveryTried(const std::string& root, std::size_t seen) {
  const auto deadline = std::chrono::steady_clock::now() + kDeliveryPatience;
  std::error_code error;
  while (!Stopped() && !fs::is_empty(root + "spool", error) &&
         !Contains(testing::ReadFileBytes(root + "trace.log").substr(seen),
                   "ForwardTransaction spool[") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The log's lines about transaction `trans_no`.
std::vector<std::string> LinesAbout(const std::vector<std::string>& log,
                                    const std::string& trans_no) {
  std::vector<std::string> about;
  for (const std::string& line : log) {
    if (Contains(line, "transno[" + trans_no + "]")) about.push_back(line);
  }
  return about;
}

// Whether the log says `trans_no`'s line was kept in the spool, or written.
bool Said(const std::vector<std::string>& log, const std::string& trans_no, bool written_too) {
  for (const std::string& line : LinesAbout(log, trans_no)) {
    if (Contains(line, "-- SPOOLED") || (written_too && Contains(line, "-- SUCCESS"))) return true;
  }
  return false;
}

// Reads one target: counts each whole line by its transaction number, and
// counts a piece that is not a whole line of a sent transaction as torn.
std::map<std::string, int> ReadTarget(const std::string& path, const std::vector<Sent>& sent,
                                      Findings& found, std::string& story) {
  std::map<std::string, int> count;
  const std::string bytes = testing::ReadFileBytes(path);
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", at);
    const std::string line = bytes.substr(at, end == std::string::npos ? end : end - at);
    bool known = end != std::string::npos;
    if (known) {
      known = false;
      for (const Sent& s : sent) known = known || s.trans_no == line;
    }
    if (!known) {
      ++found.torn;
      story += " torn[" + line + "]";
    } else if (++count[line] == 2) {
      ++found.doubled;
      story += " doubled[" + line + "]";
    }
    at = end == std::string::npos ? bytes.size() : end + 2;
  }
  return count;
}

// Every target's whole lines, read as ReadTarget reads them.
std::map<std::string, std::map<std::string, int>> ReadTargets(const Scenario& scenario,
                                                              const std::string& root,
                                                              Findings& found, std::string& story) {
  std::map<std::string, std::map<std::string, int>> counts;
  for (const Sent& s : scenario.sent) {
    if (!counts.contains(s.target)) {
      counts[s.target] = ReadTarget(root + s.target, scenario.sent, found, story);
    }
  }
  return counts;
}

// The last `max_lines` of `lines` (all of them when max_lines is 0): those a
// target held to MaxLines keeps.
std::vector<std::string> Newest(std::vector<std::string> lines, int max_lines) {
  if (max_lines > 0 && lines.size() > static_cast<std::size_t>(max_lines)) {
    lines.erase(lines.begin(), lines.end() - max_lines);
  }
  return lines;
}

// The newest `max_lines` transactions of `target` whose line was written
// (SUCCESS, SPOOLED) or is there: those the target must still hold when they
// were reported. All of them when max_lines is 0.
std::vector<std::string> Held(const Scenario& scenario, const std::string& target,
                              const std::vector<std::string>& log,
                              const std::map<std::string, int>& count) {
  std::vector<std::string> written;
  for (const Sent& s : scenario.sent) {
    if (s.target != target) continue;
    if (Said(log, s.trans_no, true) || count.contains(s.trans_no)) written.push_back(s.trans_no);
  }
  return Newest(std::move(written), scenario.max_lines);
}

// Judges one transaction's outcome against its target and the log.
void JudgeTransaction(const Sent& s, const std::string& target_path,
                      const std::vector<std::string>& log, const std::map<std::string, int>& count,
                      bool must_hold, Findings& found, std::string& story) {
  const std::vector<std::string> about = LinesAbout(log, s.trans_no);
  const bool present = count.contains(s.trans_no);
  int reported_failures = 0;
  bool reported_written = false;
  for (const std::string& line : about) {
    if (Contains(line, "-- SUCCESS") || Contains(line, "-- SPOOLED")) {
      reported_written = true;
    } else if (Contains(line, "file[" + target_path + "]") && Contains(line, " cause[")) {
      ++reported_failures;
    }
  }
  if (reported_written && !present && must_hold) {
    ++found.lost;
    story += " lost[" + s.trans_no + "]";
  }
  // A line neither written nor reported failed once with its cause is a
  // silent loss; a transaction the log has no line about at all lost its log
  // line to the fault, not its line (its target write came first).
  if (!present && !reported_written && reported_failures != 1 && !about.empty()) {
    ++found.lost;
    story += " unreported[" + s.trans_no + "]";
  }
}

// Judges the scratch folder after a run and its restart.
Findings Judge(const Scenario& scenario, const std::string& root, std::string& story) {
  Findings found;
  const std::vector<std::string> log = testing::ReadLogTexts(root + "trace.log");
  const auto counts = ReadTargets(scenario, root, found, story);
  for (const auto& [target, count] : counts) {
    const std::vector<std::string> held = Held(scenario, target, log, count);
    for (const Sent& s : scenario.sent) {
      if (s.target != target) continue;
      const bool must_hold =
          !s.may_vanish && std::find(held.begin(), held.end(), s.trans_no) != held.end();
      JudgeTransaction(s, root + target, log, count, must_hold, found, story);
    }
  }
  return found;
}

// What the disk and the log held at a power cut: the log as a reader saw it
// just before the cut, and every target's lines once the cut had its way.
struct AtTheCut {
  std::vector<std::string> log;
  std::map<std::string, std::map<std::string, int>> targets;
  bool sync = false;  // the targets flushed line by line
};

// Whether `s`'s line must be in its target after a cut and the restart: the
// log called it kept (or, flushed, written) before the cut; it was on the
// disk at the cut; or the restart, which the log knew nothing of before the
// cut, called it kept or written.
bool Promised(const Sent& s, const AtTheCut& cut, const std::vector<std::string>& log) {
  const auto target = cut.targets.find(s.target);
  return Said(cut.log, s.trans_no, cut.sync) ||
         (target != cut.targets.end() && target->second.contains(s.trans_no)) ||
         (LinesAbout(cut.log, s.trans_no).empty() && Said(log, s.trans_no, true));
}

// Judges a power-cut run: the promised lines, newest `max_lines` of them, in
// their targets once and whole; the written lines the cut took, counted.
Findings JudgeCut(const Scenario& scenario, const std::string& root, const AtTheCut& cut,
                  Window& window, std::string& story) {
  Findings found;
  const std::vector<std::string> log = testing::ReadLogTexts(root + "trace.log");
  std::map<std::string, std::vector<std::string>> promised;
  auto counts = ReadTargets(scenario, root, found, story);
  int taken = 0;
  for (const Sent& s : scenario.sent) {
    if (Promised(s, cut, log)) {
      if (!s.may_vanish) promised[s.target].push_back(s.trans_no);
    } else if (Said(cut.log, s.trans_no, true) && !counts[s.target].contains(s.trans_no)) {
      ++taken;
    }
  }
  for (auto& [target, lines] : promised) {
    for (const std::string& line : Newest(std::move(lines), scenario.max_lines)) {
      if (counts[target].contains(line)) continue;
      ++found.lost;
      story += " lost[" + line + "]";
    }
  }
  window.cuts += taken > 0 ? 1 : 0;
  window.lines += taken;
  window.at_most = std::max(window.at_most, taken);
  return found;
}

// The folder every run of a scenario works in. Its configuration is left to
// age past the racy window of its time stamp once written, so that the calls
// trust the settings they read, as a host's calls do on a configuration
// saved long before, and read them again only when a drive saves them.
class Workspace {
 public:
  Workspace() { config::SetConfigFilePathForTesting(ini_); }
  ~Workspace() { config::SetConfigFilePathForTesting(""); }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // Empties the folder but for the configuration; answers its path.
  const std::string& Clear() {
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_.path())) {
      if (entry.path().generic_string() != ini_) fs::remove_all(entry.path());
    }
    return root_;
  }

  // Saves `settings` as the configuration, unless it holds them; settings
  // never saved before are left to age.
  void Configure(const std::string& settings) {
    if (testing::ReadFileBytes(ini_) == settings) return;
    testing::WriteFileBytes(ini_, settings);
    if (aged_.insert(settings).second) std::this_thread::sleep_for(kPastTheRacyWindow);
  }

 private:
  testing::ScratchDir dir_;
  std::string root_ = dir_.path().generic_string() + "/";
  std::string ini_ = root_ + "zelkforward.ini";
  std::set<std::string> aged_;
};

// One run in the workspace: the drive under `plan`, the restart
// with the real calls back (over what a power cut left, when the plan has
// one). Answers the door's calls by kind during the drive.
std::vector<int> RunOnce(Workspace& workspace, const Scenario& scenario, const Plan& plan,
                         Findings& found, Window& window, std::string& story) {
  const std::string& root = workspace.Clear();
  workspace.Configure("[Log]\r\nFileName=" + root + "trace.log\r\nMaxLines=" +
                      std::to_string(scenario.log_max_lines) + "\r\nCauses=1\r\n" +
                      "[ForwardTransaction]\r\nFormat1=%@01\r\n" + scenario.settings(root) +
                      (plan.cut_settings ? scenario.cut_settings : std::string()));
  if (scenario.before) scenario.before(root);
  g_cut_after = plan.cut_after;
  if (plan.cut_after > 0) {
    platform::InjectPowerCut(plan.cut_after);
  } else {
    platform::InjectFaults(plan.faults);
  }
  scenario.drive(root);
  // The machine stopped: its workers end with it, though only in memory, as
  // every call of theirs fails.
  if (Stopped()) StopService();
  platform::ClearFaults();
  g_cut_after = 0;
  std::vector<int> calls;
  calls.reserve(platform::kDoorCallKinds);
  for (int kind = 0; kind < platform::kDoorCallKinds; ++kind) {
    calls.push_back(platform::DoorCallCount(static_cast<DoorCall>(kind)));
  }
  AtTheCut cut{testing::ReadLogTexts(root + "trace.log"), {}, !scenario.cut_settings.empty()};
  if (plan.cut_after > 0) {
    platform::ApplyPowerCut();
    Findings judged_later;  // a torn piece the cut left is the restart's to mend or keep
    std::string unused;
    cut.targets = ReadTargets(scenario, root, judged_later, unused);
  }
  scenario.restart(root);
  const std::size_t told = story.size();
  Findings judged;
  if (plan.cut_after > 0) {
    judged = JudgeCut(scenario, root, cut, window, story);
    if (scenario.cut_judge) scenario.cut_judge(root, judged, story);
  } else if (scenario.judge) {
    scenario.judge(root, judged, story);
  } else {
    judged = Judge(scenario, root, story);
  }
  if (story.size() > told) {  // what the failure message shows, to tell why
    story += "\nlog:\n" + testing::ReadFileBytes(root + "trace.log");
  }
  found.lost += judged.lost;
  found.doubled += judged.doubled;
  found.torn += judged.torn;
  return calls;
}

const char* KindName(int kind) {
  static const char* const kNames[] = {"open",     "read",  "write",       "seek",   "stat",
                                       "truncate", "flush", "close",       "rename", "remove",
                                       "lock",     "list",  "thread start"};
  return kNames[kind];
}

// Runs `scenario` once per door call of `calls` (by kind) failing that call
// (kIo), and per write twice more: cut short, and the disk full from it on.
// Answers the runs tried.
int RunEveryFailure(Workspace& workspace, const Scenario& scenario, const std::vector<int>& calls,
                    Findings& found) {
  int tried = 0;
  Window unused;
  for (int kind = 0; kind < platform::kDoorCallKinds; ++kind) {
    for (int nth = 1; nth <= calls[kind]; ++nth) {
      std::vector<std::vector<Fault>> variants = {
          {Fault{static_cast<DoorCall>(kind), nth, false, platform::SystemError::kIo, 0}}};
      if (static_cast<DoorCall>(kind) == DoorCall::kWrite) {
        variants.push_back({Fault{DoorCall::kWrite, nth, false, platform::SystemError::kNoSpace,
                                  kShortWriteBytes}});
        // The disk full from this write on, the trace log's too.
        variants.push_back({Fault{DoorCall::kWrite, nth, true, platform::SystemError::kNoSpace,
                                  kShortWriteBytes}});
      }
      for (const std::vector<Fault>& faults : variants) {
        std::string what;
        const Findings before = found;
        static_cast<void>(RunOnce(workspace, scenario, {faults}, found, unused, what));
        ++tried;
        EXPECT_EQ(found.lost + found.doubled + found.torn,
                  before.lost + before.doubled + before.torn)
            << scenario.name << ": " << KindName(kind) << " call " << nth
            << (faults[0].short_write > 0 ? " cut short" : " failing")
            << (faults[0].and_after ? " and after" : "") << ":" << what;
      }
    }
  }
  return tried;
}

// Runs `scenario` with its power-cut settings clean, to count its calls,
// then once with the power cut after each call (under a sanitizer, after
// every kSanitizerCutStride-th). Answers the runs tried.
int RunEveryPowerCut(Workspace& workspace, const Scenario& scenario, Findings& found,
                     Window& window) {
  Findings clean;
  std::string story;
  // The first run reads the settings it finds new; the second counts.
  static_cast<void>(RunOnce(workspace, scenario, {{}, 0, true}, clean, window, story));
  const std::vector<int> calls = RunOnce(workspace, scenario, {{}, 0, true}, clean, window, story);
  EXPECT_EQ(clean.lost + clean.doubled + clean.torn, 0) << "clean run with Sync:" << story;
  int total = 0;
  for (const int count : calls) total += count;
  const int stride = testing::kUnderSanitizer ? kSanitizerCutStride : 1;
  int tried = 0;
  for (int after = 1; after <= total; after += stride) {
    std::string what;
    const Findings before = found;
    static_cast<void>(RunOnce(workspace, scenario, {{}, after, true}, found, window, what));
    ++tried;
    EXPECT_EQ(found.lost + found.doubled + found.torn, before.lost + before.doubled + before.torn)
        << scenario.name << ": power cut after call " << after << " of " << total << ":" << what;
  }
  return tried;
}

// Runs `scenario` clean, then at every failure point and every power-cut
// point; prints the summary line, and the power cut's window where the
// targets are not flushed line by line.
void RunEveryFailurePoint(const Scenario& scenario) {
  Findings clean;
  Window window;
  std::string story;
  Workspace workspace;
  static_cast<void>(RunOnce(workspace, scenario, {}, clean, window, story));
  const std::vector<int> calls = RunOnce(workspace, scenario, {}, clean, window, story);
  EXPECT_EQ(clean.lost + clean.doubled + clean.torn, 0) << "clean run:" << story;
  int total = 0;
  for (const int count : calls) total += count;
  Findings found;
  const int failures = RunEveryFailure(workspace, scenario, calls, found);
  const int cuts = RunEveryPowerCut(workspace, scenario, found, window);
  std::printf(
      "fault points: %s: %d calls, %d failures tried, %d power cuts tried, %d lost, %d "
      "doubled, %d torn\n",
      scenario.name.c_str(), total, failures, cuts, found.lost, found.doubled, found.torn);
  if (scenario.cut_settings.empty()) {
    std::printf(
        "power-cut window: %s: without Sync, %d of %d cuts took lines the log called written, "
        "%d in all, at most %d at one cut\n",
        scenario.name.c_str(), window.cuts, cuts, window.lines, window.at_most);
  }
}

// The transactions `numbers`, all to `target`.
std::vector<Sent> To(const std::string& target, const std::vector<std::string>& numbers) {
  std::vector<Sent> sent;
  sent.reserve(numbers.size());
  for (const std::string& n : numbers) sent.push_back({n, target, false});
  return sent;
}

// Load, forward `numbers`, stop.
std::function<void(const std::string&)> Session(const std::vector<std::string>& numbers) {
  return [numbers](const std::string&) {
    Start();
    for (const std::string& n : numbers) Forward(n);
    Stop();
  };
}

// The power-cut runs of the forwarding scenarios flush each line, so that
// every line the log calls written is held against the cut; the spool's and
// the other scenarios' runs go without, and measure the window.
const std::string kFlushEachLine = "Sync1=1\r\n";

class FaultPoints : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetTimeZoneForTesting("UTC0"); }
};

TEST_F(FaultPoints, OneTransactionToAPlainTarget) {
  RunEveryFailurePoint(Scenario{
      "plain target", [](const std::string& root) { return "Target1=" + root + "out.txt\r\n"; },
      Session({"101", "102"}), Session({"103"}), To("out.txt", {"101", "102", "103"}), 0, nullptr,
      -1, kFlushEachLine});
}

TEST_F(FaultPoints, AHeldTarget) {
  RunEveryFailurePoint(Scenario{
      "held target",
      [](const std::string& root) { return "Target1=" + root + "held.txt\r\nMaxLines1=2\r\n"; },
      Session({"201", "202", "203"}), Session({"204"}),
      To("held.txt", {"201", "202", "203", "204"}), 2, nullptr, -1, kFlushEachLine});
}

// A target of one file per day, keeping the newest one: the second day's
// first line removes the first day's file.
TEST_F(FaultPoints, ARotatingTarget) {
  RunEveryFailurePoint(Scenario{"rotating target",
                                [](const std::string& root) {
                                  return "Target1=" + root +
                                         "rot-%@10%@12%@13.txt\r\nFileRotationTime1=1440\r\n" +
                                         "KeepFiles1=1\r\n";
                                },
                                [](const std::string&) {
                                  Start();
                                  Forward("401", "071008");
                                  Forward("402", "071009");
                                  Stop();
                                },
                                [](const std::string&) {
                                  Start();
                                  Forward("403", "071009");
                                  Stop();
                                },
                                {{"401", "rot-20071008.txt", true},
                                 {"402", "rot-20071009.txt", false},
                                 {"403", "rot-20071009.txt", false}},
                                0,
                                nullptr,
                                -1,
                                kFlushEachLine});
}

// Lines kept while the target's folder is away, then delivered when it is back
// and the service starts again.
void KeepThenDeliver(const std::string& root) {
  fs::create_directory(root + "spool");
  Start();
  Forward("301");
  Forward("302");
  Stop();
  fs::create_directory(root + "away");
  const std::size_t seen = testing::ReadFileBytes(root + "trace.log").size();
  Start();
  AwaitDeliveryTried(root, seen);
  Stop();
}

void DeliverTheRest(const std::string& root) {
  Start();
  AwaitEmptySpool(root + "spool");
  Forward("303");
  Stop();
  // What the faulted run left waiting (its worker backing off), and 303 when
  // it was kept behind it, go at this start.
  Start();
  AwaitEmptySpool(root + "spool");
  Stop();
}

TEST_F(FaultPoints, ASpoolKeepsAndDelivers) {
  RunEveryFailurePoint(Scenario{
      "spool",
      [](const std::string& root) {
        return "Target1=" + root + "away/out.txt\r\nSpoolFolder=" + root + "spool\r\n";
      },
      KeepThenDeliver, DeliverTheRest, To("away/out.txt", {"301", "302", "303"}), 0, nullptr, -1});
}

// The answer of the drive's job check, for the judge.
int g_answer = -1;

void WriteLists(const std::string& root) {
  for (int n = 1; n <= 3; ++n) {
    testing::WriteFileBytes(root + "list" + std::to_string(n) + ".txt",
                            "J0000" + std::to_string(n) + "\r\n");
  }
}

// Right (the last of three lists holds the job number), or wrong with a
// line blaming a list with the system's cause.
void JudgeAnswer(const std::string& root, Findings& found, std::string& story) {
  if (g_answer == 1) return;
  for (const std::string& line : testing::ReadLogTexts(root + "trace.log")) {
    if (Contains(line, "IsJobnoValid section[") && Contains(line, "file[" + root + "list") &&
        Contains(line, " cause[")) {
      return;
    }
  }
  ++found.lost;
  story += " unexplained answer[" + std::to_string(g_answer) + "]";
}

TEST_F(FaultPoints, AJobCheckAgainstSeveralLists) {
  Scenario scenario{"job check",
                    [](const std::string& root) {
                      WriteLists(root);
                      std::string keys = "[ValidJob]\r\n";
                      for (const char* n : {"1", "2", "3"}) {
                        keys += std::string("Source") + n + "=" + root + "list" + n +
                                ".txt\r\nFormat" + n + "=0000000006\r\n";
                      }
                      return keys;
                    },
                    [](const std::string&) {
                      Start();
                      if (!Stopped()) g_answer = IsJobnoValid("J00003");
                      Stop();
                    },
                    [](const std::string&) {
                      Start();
                      EXPECT_EQ(IsJobnoValid("J00003"), 1);
                      Stop();
                    },
                    {},
                    0,
                    JudgeAnswer,
                    -1};
  RunEveryFailurePoint(scenario);
}

// The trace log after its periodic trims: no line about a transaction twice,
// and no piece of a line but what a write cut short leaves (and the next line
// then ends).
void JudgeLogLines(const std::string& root, Findings& found, std::string& story) {
  std::map<std::string, int> seen;
  for (const testing::LogLine& line : testing::ReadLogLines(root + "trace.log")) {
    if (line.stamp.empty() && line.text.size() > kShortWriteBytes) {
      ++found.torn;
      story += " torn log line[" + line.text + "]";
    } else if (Contains(line.text, "transno[") && ++seen[line.text] == 2) {
      ++found.doubled;
      story += " doubled log line[" + line.text + "]";
    }
  }
}

TEST_F(FaultPoints, TheTraceLogsAppendAndTrim) {
  std::vector<std::string> numbers;
  for (int n = 501; n <= 512; ++n) numbers.push_back(std::to_string(n));
  Scenario scenario{"trace log",
                    [](const std::string& root) { return "Target1=" + root + "out.txt\r\n"; },
                    Session(numbers),
                    Session({"513"}),
                    {},
                    0,
                    nullptr,
                    4};
  numbers.emplace_back("513");
  scenario.sent = To("out.txt", numbers);
  // The target as every scenario's, and the log's lines.
  scenario.judge = [&scenario](const std::string& root, Findings& found, std::string& story) {
    const Findings target = Judge(scenario, root, story);
    found.lost += target.lost;
    found.doubled += target.doubled;
    found.torn += target.torn;
    JudgeLogLines(root, found, story);
  };
  scenario.cut_judge = JudgeLogLines;
  RunEveryFailurePoint(scenario);
}

// The configuration read at the start and read again when an editor saved
// it between two transactions, naming another target.
TEST_F(FaultPoints, TheConfigurationReadAgain) {
  RunEveryFailurePoint(Scenario{
      "configuration read",
      [](const std::string& root) { return "Target1=" + root + "first.txt\r\n"; },
      [](const std::string& root) {
        Start();
        Forward("601");
        const std::string ini = root + "zelkforward.ini";
        std::string settings = testing::ReadFileBytes(ini);
        settings.replace(settings.find("first.txt"), 9, "second.txt");
        testing::WriteFileBytes(ini, settings);
        Forward("602");
        Stop();
      },
      Session({"603"}),
      {{"601", "first.txt", false}, {"602", "second.txt", false}, {"603", "second.txt", false}},
      0,
      nullptr,
      -1});
}

// ---------------------------------------------------------------------------
// The host stops the service with work in flight: the spool's worker
// delivering.

// How long a run waits for a worker to begin its delivery or to answer (one
// of the lowest priority on a busy machine may wait its turn): past it the
// run goes on all the same (the worker could not start, or not open the
// target).
constexpr auto kWorkerPatience = std::chrono::milliseconds(500);

// Waits, within `patience`, until `done` holds.
void AwaitWithin(std::chrono::milliseconds patience, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The keys: a target per day, kept in the spool.
std::string InFlightKeys(const std::string& root) {
  return "Target1=" + root + "away/day%@13.txt\r\nSpoolFolder=" + root + "spool\r\n";
}

// Keeps three lines for two targets while their folder is away, before the
// faults begin: keeping's failure points are the spool scenario's; this
// one's are the stop's.
void KeepBeforeTheFaults(const std::string& root) {
  fs::create_directory(root + "spool");
  EXPECT_EQ(ExecuteService(), 1);
  Forward("701", "071008");
  Forward("702", "071008");
  Forward("703", "071009");
  StopService();
}

// The folder is back: the start has the worker deliver at once, and as soon
// as the first target is there or the log tells of the delivery, the host
// forwards one more line to it (kept behind a delivery under way, or written)
// and one to a target with nothing waiting (written), and stops, so that the
// first delivery is under way or just done (or failed) and the second is
// still to come.
void StopWhileDelivering(const std::string& root) {
  fs::create_directory(root + "away");
  Start();
  AwaitWithin(kWorkerPatience, [&root] {
    return Stopped() || fs::exists(root + "away/day08.txt") ||
           Contains(testing::ReadFileBytes(root + "trace.log"), "ForwardTransaction spool[");
  });
  Forward("704", "071008");
  Forward("705", "071010");
  Stop();
}

// The next start delivers what the stop left waiting.
void FinishTheDelivery(const std::string& root) {
  Start();
  AwaitEmptySpool(root + "spool");
  Stop();
}

TEST_F(FaultPoints, StopServiceWhileTheSpoolDelivers) {
  RunEveryFailurePoint(Scenario{"stop while delivering",
                                InFlightKeys,
                                StopWhileDelivering,
                                FinishTheDelivery,
                                {{"701", "away/day08.txt", false},
                                 {"702", "away/day08.txt", false},
                                 {"703", "away/day09.txt", false},
                                 {"704", "away/day08.txt", false},
                                 {"705", "away/day10.txt", false}},
                                0,
                                nullptr,
                                -1,
                                "",
                                nullptr,
                                KeepBeforeTheFaults});
}

// A check by callback asked just before the stop: its worker is reading the
// list (or about to) when StopService comes.

// A check by callback is asked and answered later: IsJobnoValid and
// SetCallback return at once.
constexpr auto kAtOnce = std::chrono::seconds(0);

// The callback's answers: how many came, and the last (in g_answer).
std::atomic<int> g_callbacks{0};
// Whether the drive asked (a power cut may have stopped it first).
bool g_asked = false;

void RecordAnswer(std::int32_t result, const char* /*jobno*/) {
  g_answer = result;
  ++g_callbacks;
}

bool AnsweredOrRefused(const std::string& root) {
  return g_callbacks > 0 ||
         Contains(testing::ReadFileBytes(root + "trace.log"), "jobno[J00003] -- t[Not checked");
}

void AskThenStop(const std::string& /*root*/) {
  g_callbacks = 0;
  g_answer = -1;
  g_asked = false;
  Start();
  if (Stopped()) return;
  Watched("SetCallback", kAtOnce, [] { EXPECT_EQ(SetCallback(RecordAnswer), RecordAnswer); });
  Watched("IsJobnoValid", kAtOnce, [] { EXPECT_EQ(IsJobnoValid("J00003"), 0); });
  g_asked = true;
  Stop();
}

// Where StopService returns at once (the workers hold the module), the
// answer may still be on its way: it is waited for before the start empties
// the callback slot.
void StartAfterTheAnswer(const std::string& root) {
  AwaitWithin(kWorkerPatience, [&root] { return !g_asked || AnsweredOrRefused(root); });
  Start();
  Stop();
}

// One answer: right, or wrong with its cause (JudgeAnswer); or none, with
// the check's refusal in the log.
void JudgeCallback(const std::string& root, Findings& found, std::string& story) {
  if (g_callbacks == 1) {
    JudgeAnswer(root, found, story);
  } else if (g_callbacks > 1) {
    ++found.doubled;
    story += " answers[" + std::to_string(g_callbacks) + "]";
  } else if (!AnsweredOrRefused(root)) {
    ++found.lost;
    story += " unanswered check";
  }
}

TEST_F(FaultPoints, StopServiceWhileACheckRuns) {
  RunEveryFailurePoint(Scenario{"stop while checking",
                                [](const std::string& root) {
                                  WriteLists(root);
                                  return "[ValidJob]\r\nSource1=" + root +
                                         "list3.txt\r\nFormat1=0000000006\r\n";
                                },
                                AskThenStop,
                                StartAfterTheAnswer,
                                {},
                                0,
                                JudgeCallback,
                                -1});
}

}  // namespace
}  // namespace zelk
