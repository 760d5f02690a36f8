// The entry points linked straight into a test program, for what a loaded
// library cannot show: the editor request of Properties.
#include "service/entry_points.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/config_test_helper.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"

namespace {

TEST(Properties, OpensTheConfigurationFileUnquotedAndReturnsZero) {
  zelk::testing::ScratchDir dir;
  const std::string path = dir.File("with spaces in it.ini");
  std::vector<std::string> requests;
  zelk::platform::SetEditorObserverForTesting(
      [&requests](const std::string& program, const std::string& argument) {
        requests.push_back(program + "|" + argument);
      });
  zelk::config::SetConfigFilePathForTesting(path);
  EXPECT_EQ(Properties(), 0);
  zelk::config::SetConfigFilePathForTesting("");
  EXPECT_EQ(Properties(), 0);
  zelk::platform::SetEditorObserverForTesting(nullptr);
  ASSERT_EQ(requests.size(), 2u);
  const std::string program = requests[0].substr(0, requests[0].find('|'));
  EXPECT_TRUE(program == "notepad" || program == "xdg-open") << program;
  EXPECT_EQ(requests[0], program + "|" + path);
  EXPECT_EQ(requests[1], program + "|" + zelk::config::ConfigFilePath());
}

// What an earlier run left in the spool is delivered when the service starts,
// by the worker, so the start itself waits for no delivery.
TEST(ExecuteService, DeliversWhatWaitsInTheSpool) {
  zelk::testing::ScratchDir dir;
  const std::string root = dir.path().generic_string() + "/";
  std::filesystem::create_directory(root + "spool");
  const std::string ini = root + "zelkforward.ini";
  zelk::testing::WriteFileBytes(ini, "[ForwardTransaction]\r\nFormat1=%@01\r\nTarget1=" + root +
                                         "away/out.txt\r\nSpoolFolder=" + root + "spool\r\n");
  zelk::config::SetConfigFilePathForTesting(ini);
  ForwardTransaction2("7", "A1", "071010", "075037", "", "", "", "", "", "", "1", "0");
  StopService();  // the worker leaves it for the next start
  EXPECT_FALSE(std::filesystem::is_empty(root + "spool"));
  std::filesystem::create_directory(root + "away");
  EXPECT_EQ(ExecuteService(), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::is_empty(root + "spool") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(zelk::testing::ReadFileBytes(root + "away/out.txt"), "7\r\n");
  EXPECT_TRUE(std::filesystem::is_empty(root + "spool"));
  StopService();
  zelk::config::SetConfigFilePathForTesting("");
}

TEST(GetAPIVersion, IsAlways102) {
  EXPECT_EQ(GetAPIVersion(), 102);
  EXPECT_EQ(SetCallback(nullptr), nullptr);
}

}  // namespace
