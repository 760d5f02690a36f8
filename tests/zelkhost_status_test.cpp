// zelkhost status: its exit status for each state, on status files and spool
// files written as the service writes them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "status_command.h"
#include "test_support.h"

namespace zelk::host {
namespace {

namespace fs = std::filesystem;

// A local time the status file would show for `seconds_ago`.
std::string Ago(std::int64_t seconds_ago) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const std::tm parts = *platform::LocalTimeOf(now - seconds_ago);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  return std::string("\"") + text + "\"";
}

std::string StatusFile(const std::string& last_written, const std::string& failure_at) {
  const std::string failure =
      failure_at == "null"
          ? "null"
          : R"({"at": )" + failure_at +
                R"(, "file": "a.txt", "reason": "Could not open file", "cause": null})";
  return R"({"format": 1, "process": 1, "stopped": false, "sections": [{"section": 1,
      "target": "a.txt", "last_file": "a.txt", "written": 1, "not_written": 1,
      "last_written": )" +
         last_written + R"(, "last_failure": )" + failure + "}]}";
}

// A spool file with one line kept `seconds_ago`, its item checked as the
// service checks it (FNV-1a 32 over the fields and the bytes).
std::string SpoolFile(const std::string& target, std::int64_t seconds_ago) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const std::string bytes = "x\r\n";
  const std::string fields = "line " + std::to_string(now - seconds_ago) + " 0 3";
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : fields + bytes) hash = (hash ^ c) * 16777619u;
  char check[9];
  std::snprintf(check, sizeof check, "%08x", hash);
  return "zelkforward spool 1 " + target + "\r\n" + fields + " #" + check + "\r\n" + bytes;
}

TEST(ZelkhostStatus, ExitStatusForEachState) {
  platform::SetTimeZoneForTesting("XXX-2");
  const std::string pid = std::to_string(platform::CurrentProcessId());
  const struct {
    const char* name;
    bool folder_set;
    std::string status_file;   // empty: none
    std::int64_t spooled_ago;  // -1: nothing spooled
    int window_minutes;
    int expected;
  } cases[] = {
      {"no StatusFolder", false, "", -1, 60, kStatusUnknown},
      {"no status file", true, "", -1, 60, kStatusUnknown},
      {"a file that cannot be read", true, "{\"format\": 1, \"sections\": [", -1, 60,
       kStatusUnknown},
      {"every line written", true, StatusFile(Ago(5), "null"), -1, 60, kStatusOk},
      {"a loss before the window", true, StatusFile("null", Ago(7200)), -1, 60, kStatusOk},
      {"a loss in the window, written since", true, StatusFile(Ago(5), Ago(60)), -1, 60,
       kStatusWarning},
      {"a loss in the window, nothing since", true, StatusFile(Ago(600), Ago(60)), -1, 60,
       kStatusCritical},
      {"lines wait in the spool", true, StatusFile(Ago(5), "null"), 60, 60, kStatusWarning},
      {"a spooled line older than the window", true, StatusFile(Ago(5), "null"), 7200, 60,
       kStatusCritical},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir dir;
    const std::string root = dir.path().generic_string() + "/";
    fs::create_directory(root + "status");
    fs::create_directory(root + "spool");
    testing::WriteFileBytes(root + "zelkforward.ini",
                            std::string("[Log]\r\nStatusFolder=") +
                                (c.folder_set ? root + "status" : "") +
                                "\r\n[ForwardTransaction]\r\nSpoolFolder=" + root + "spool\r\n");
    if (!c.status_file.empty()) {
      testing::WriteFileBytes(root + "status/zelkforward-" + pid + ".json", c.status_file);
    }
    if (c.spooled_ago >= 0) {
      testing::WriteFileBytes(root + "spool/0123456789abcdef.spool",
                              SpoolFile(root + "away/a.txt", c.spooled_ago));
    }
    std::ostringstream out;
    EXPECT_EQ(
        StatusCommand(root + "zelkforward.ini", "zelkforward.so", false, c.window_minutes, out),
        c.expected)
        << out.str();
    std::ostringstream json;
    StatusCommand(root + "zelkforward.ini", "zelkforward.so", true, c.window_minutes, json);
    EXPECT_NE(json.str().find("\"exit_status\": " + std::to_string(c.expected)), std::string::npos)
        << json.str();
  }
}

}  // namespace
}  // namespace zelk::host
