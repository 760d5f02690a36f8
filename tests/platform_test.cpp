// The platform door's contracts that hold alike on every platform.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
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

// Every open keeps the system's cause of its failure: a file in a missing
// folder is ENOENT (2) on POSIX, ERROR_PATH_NOT_FOUND (3) on Windows, told in
// the system's words on one line with the code after them, and naming the
// path.
TEST(Opens, KeepTheSystemsCause) {
  testing::ScratchDir dir;
  const std::string path = dir.File("missing") + "/a.txt";
  for (const Opener& opener : kOpeners) {
    const OpenResult opened = opener.open(path);
    EXPECT_EQ(opened.status, OpenStatus::kNotFound) << opener.name;
    EXPECT_NE(opened.error.code(), 0) << opener.name;
    EXPECT_EQ(opened.error.path(), path) << opener.name;
    const std::string cause = opened.error.cause();
    EXPECT_TRUE(
        std::regex_match(cause, std::regex("[^\\r\\n]*[^.\\r\\n ] \\((errno 2|error 3)\\)")))
        << opener.name << ": " << cause;
  }
  EXPECT_TRUE(OpenExclusive(dir.File("a.txt"), CreateMode::kCreateIfMissing).error.ok());
  EXPECT_EQ(Status().cause(), "");
  EXPECT_EQ(Status::Refused("open", path, "Not here").cause(), "Not here");
}

// RemoveFile removes a plain file, never a folder, and names its reason when
// it cannot.
TEST(RemoveFile, RemovesFilesOnlyAndSaysWhyNot) {
  testing::ScratchDir dir;
  const std::string file = dir.File("old.csv");
  testing::WriteFileBytes(file, "x\r\n");
  const Status removed = RemoveFile(file);
  EXPECT_TRUE(removed.ok()) << removed.ToString();
  EXPECT_FALSE(std::filesystem::exists(file));
  for (const std::string& path : {file, dir.path().string()}) {
    const Status refused = RemoveFile(path);
    EXPECT_FALSE(refused.ok()) << path;
    EXPECT_FALSE(refused.message().empty()) << path;
    EXPECT_EQ(refused.path(), path);
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
}

}  // namespace
}  // namespace zelk::platform
