// The platform door's contracts that hold alike on every platform.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"
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

// Appends `bytes` to `path` through the door, flushing the file (and its
// folder's entry) when asked.
void AppendThroughTheDoor(const std::string& path, const std::string& bytes, bool flush,
                          bool flush_folder = false) {
  OpenResult opened = OpenAppendShared(path);
  ASSERT_EQ(opened.status, OpenStatus::kOk) << path;
  ASSERT_TRUE(opened.file.Write(bytes.data(), bytes.size()).ok());
  EXPECT_TRUE(!flush || FlushToDisk(opened.file).ok());
  EXPECT_TRUE(!flush_folder || FlushFolderOf(path).ok());
}

// What a simulated power cut leaves: the bytes as of each file's last flush,
// and each name as of its folder's last flush, or as the call left it where
// the file system journals names itself. "-" is no file.
TEST(PowerCut, LeavesWhatWasOnTheDisk) {
  const bool names_kept = PowerCutKeepsUnflushedNames();
  struct Case {
    const char* name;
    std::function<void(const std::string& file, const std::string& spare)> steps;
    const char* file_after;
    const char* spare_after;
  };
  const Case cases[] = {
      {"a line flushed, then one not",
       [](const std::string& file, const std::string&) {
         AppendThroughTheDoor(file, "a\r\n", true, true);
         AppendThroughTheDoor(file, "b\r\n", false);
       },
       "before\r\na\r\n", "-"},
      {"a file made and flushed, its folder not",
       [](const std::string&, const std::string& spare) {
         AppendThroughTheDoor(spare, "s\r\n", true);
       },
       "before\r\n", names_kept ? "s\r\n" : "-"},
      {"a spare flushed and renamed over the file, the folder not flushed",
       [](const std::string& file, const std::string& spare) {
         AppendThroughTheDoor(spare, "s\r\n", true);
         ASSERT_TRUE(MoveFileOver(spare, file).ok());
       },
       names_kept ? "s\r\n" : "before\r\n", "-"},
  };
  for (const Case& c : cases) {
    testing::ScratchDir dir;
    const std::string file = dir.File("file.txt");
    const std::string spare = dir.File("spare.txt");
    testing::WriteFileBytes(file, "before\r\n");
    InjectPowerCut(1000);
    c.steps(file, spare);
    ClearFaults();
    ApplyPowerCut();
    for (const auto& [path, expected] : {std::pair{file, c.file_after}, {spare, c.spare_after}}) {
      const std::string now =
          std::filesystem::exists(path) ? testing::ReadFileBytes(path) : std::string("-");
      EXPECT_EQ(now, expected) << c.name << ": " << path;
    }
  }
}

}  // namespace
}  // namespace zelk::platform
