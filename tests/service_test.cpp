// The entry points linked straight into a test program, for what a loaded
// library cannot show: the editor request of Properties.
#include "service/entry_points.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "platform/platform.h"
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

TEST(GetAPIVersion, IsAlways102) {
  EXPECT_EQ(GetAPIVersion(), 102);
  EXPECT_EQ(SetCallback(nullptr), nullptr);
}

}  // namespace
