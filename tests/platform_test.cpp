// The platform door's contracts that hold alike on every platform.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace zelk::platform {
namespace {

using Open = std::function<OpenResult(const std::string&)>;

struct Opener {
  const char* name;
  Open open;
};

const Opener kOpeners[] = {
    {"OpenExclusive",
     [](const std::string& path) { return OpenExclusive(path, CreateMode::kOpenExisting); }},
    {"OpenExclusiveRemovable",
     [](const std::string& path) {
       return OpenExclusiveRemovable(path, CreateMode::kOpenExisting);
     }},
    {"OpenSharedRead", [](const std::string& path) { return OpenSharedRead(path); }},
    {"OpenUnlockedRead", [](const std::string& path) { return OpenUnlockedRead(path); }},
    {"OpenAppendShared", [](const std::string& path) { return OpenAppendShared(path); }},
};

// Row: the open that holds the file; column: the open tried meanwhile, in the
// order of kOpeners. B: kBusy, at once; o: it opens.
const char* const kWhileHeld[] = {
    "BBBBB",  // OpenExclusive
    "BBBBB",  // OpenExclusiveRemovable
    "BBooB",  // OpenSharedRead
    "BBooo",  // OpenUnlockedRead
    "BBBoo",  // OpenAppendShared
};

TEST(Opens, WhichExcludeWhichWhileHeld) {
  testing::ScratchDir dir;
  const std::string path = dir.File("held.txt");
  testing::WriteFileBytes(path, "line\r\n");
  for (std::size_t row = 0; row < std::size(kOpeners); ++row) {
    for (std::size_t column = 0; column < std::size(kOpeners); ++column) {
      OpenResult holder = kOpeners[row].open(path);
      ASSERT_EQ(holder.status, OpenStatus::kOk) << kOpeners[row].name;
      const OpenStatus expected =
          kWhileHeld[row][column] == 'B' ? OpenStatus::kBusy : OpenStatus::kOk;
      EXPECT_EQ(kOpeners[column].open(path).status, expected)
          << kOpeners[column].name << " while " << kOpeners[row].name << " holds the file";
    }
  }
  // Every holder let go: each open has the file again.
  for (const Opener& opener : kOpeners) {
    EXPECT_EQ(opener.open(path).status, OpenStatus::kOk) << opener.name << " after all";
  }
  EXPECT_EQ(testing::ReadFileBytes(path), "line\r\n");
}

}  // namespace
}  // namespace zelk::platform
