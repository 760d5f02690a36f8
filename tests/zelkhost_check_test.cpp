// zelkhost check: a good configuration passes, a broken one is reported in the
// service's own words.
#include "check.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "test_support.h"

namespace zelk::host {
namespace {

TEST(ZelkhostCheck, AGoodConfigurationHasNoProblems) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  testing::WriteFileBytes(root + "jobs.txt", "A1234\r\n");
  const std::string ini = root + "zelkforward.ini";
  testing::WriteFileBytes(ini, "[ForwardTransaction]\r\nTarget1=" + root +
                                   "day%@10%@12%@13.txt\r\nFileRotationTime1=1440\r\n" +
                                   "Format2=%@01;%@07\r\nFilter2=B\r\nTarget2=" + root +
                                   "b.txt\r\n[ValidJob]\r\nSource1=" + root +
                                   "jobs.txt\r\nFormat1=0000000010\r\n[Log]\r\nFileName=" + root +
                                   "trace.log\r\n");
  std::ostringstream out;
  EXPECT_EQ(CheckConfiguration(ini, out), 0) << out.str();
  EXPECT_NE(out.str().find("jobno[B1234]"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("No problems found."), std::string::npos);
}

TEST(ZelkhostCheck, ABrokenConfigurationIsReported) {
  testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  const std::string ini = root + "zelkforward.ini";
  testing::WriteFileBytes(ini, "[ForwardTransaction]\r\nFormat1=%@01 %q\r\nTarget1=" + root +
                                   "missing/out.txt\r\nFormat2=x\r\nTarget2=%@_1\r\n" +
                                   "[ValidJob]\r\nSource1=" + root +
                                   "nolist.txt\r\nFormat1=000000001\r\n[Log]\r\nFileName=" + root +
                                   "nofolder/trace.log\r\n");
  std::ostringstream out;
  EXPECT_EQ(CheckConfiguration(ini, out), 6) << out.str();
  for (const char* expected : {
           "Format1: f[ExtFormat] t[Illegal Format String]",
           "missing/out.txt does not exist",
           "Target2: f[ExtFormat] t[At least one %@ expresion does not follow by two correct "
           "alfanumeric ordinals]",
           "nolist.txt is missing",
           "Format1 is not 10 characters long",
           "nofolder/trace.log does not exist",
       }) {
    EXPECT_NE(out.str().find(expected), std::string::npos) << expected << "\n" << out.str();
  }
}

}  // namespace
}  // namespace zelk::host
