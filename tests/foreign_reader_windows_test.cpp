// What a program that may only read the trace log can do to it on Windows:
// hold the appenders' byte-range lock. The service waits for it once, for a
// bounded time, then drops the lines at once until the lock is let go, and
// says so in the first line it then writes. Built for Windows only (it calls
// LockFileEx), so it runs under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/platform_test_helper.h"
#include "test_support.h"
#include "tracelog/trace_log.h"
#include "tracelog/trace_log_test_helper.h"

namespace zelk::tracelog {
namespace {

TEST(ForeignReader, HoldingTheAppendersLockCostsOneBoundedWait) {
  platform::SetTimeZoneForTesting("UTC0");
  ResetTraceLogForTesting();
  testing::ScratchDir dir;
  const std::string log = dir.File("trace.log");
  testing::WriteFileBytes(log, "");
  ConfigureTraceLog(log, -1, "");
  HANDLE reader =
      CreateFileA(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  OVERLAPPED byte{};
  byte.OffsetHigh = 0x7FFFFFFF;  // the appenders' byte
  ASSERT_TRUE(
      LockFileEx(reader, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &byte));
  const auto start = std::chrono::steady_clock::now();
  for (int message = 0; message < 5; ++message) LogMessage('I', "held %d", message);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::seconds(4));  // one wait of 2 s, not one per line
  UnlockFileEx(reader, 0, 1, 0, &byte);
  CloseHandle(reader);
  LogMessage('I', "free");
  ResetTraceLogForTesting();
  const std::vector<std::string> texts = testing::ReadLogTexts(log);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0],
            "*-Trace log file[" + log + "] -- t[Busy until now: 5 lines could not be written]");
  EXPECT_EQ(texts[1], "I-free");
}

}  // namespace
}  // namespace zelk::tracelog
