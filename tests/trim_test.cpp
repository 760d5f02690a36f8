// Cutting a text file to its last N lines: the line model, the limits, files
// that cannot be had, and large files compared with a whole-file model.
#include "tracelog/trim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace zelk::tracelog {
namespace {

using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::WriteFileBytes;

// The whole-file reading: split at line feeds, drop a CR before each, keep the
// last N lines with CR LF when there are more than N (N compared unsigned).
std::string ModelTrim(const std::string& bytes, std::int32_t n) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t lf = bytes.find('\n', start);
    if (lf == std::string::npos) {
      lines.push_back(bytes.substr(start));
      break;
    }
    std::string line = bytes.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = lf + 1;
  }
  const auto keep = static_cast<std::uint32_t>(n);
  if (lines.size() <= keep) return bytes;
  std::string out;
  for (std::size_t i = lines.size() - keep; i < lines.size(); ++i) out += lines[i] + "\r\n";
  return out;
}

std::string TrimmedBytes(const std::string& bytes, std::int32_t n) {
  ScratchDir dir;
  const std::string path = dir.File("file.txt");
  WriteFileBytes(path, bytes);
  TrimToLastLines(path, n);
  return ReadFileBytes(path);
}

TEST(TrimToLastLines, LineModel) {
  struct Case {
    const char* name;
    std::string input;
    std::int32_t n;
    std::string expected;
  };
  const Case cases[] = {
      {"3 lines, N 3", "a\r\nb\r\nc\r\n", 3, "a\r\nb\r\nc\r\n"},
      {"3 lines without final break, N 3", "a\r\nb\nc", 3, "a\r\nb\nc"},
      {"5 lines, N 2", "1\r\n2\r\n3\r\n4\r\n5\r\n", 2, "4\r\n5\r\n"},
      {"bare line feeds", "a\nb\nc", 2, "b\r\nc\r\n"},
      {"last line without break, N 1", "a\r\nb\r\nlast", 1, "last\r\n"},
      {"empty lines kept", "x\r\n\r\n\r\ny\r\n\n", 4, "\r\n\r\ny\r\n\r\n"},
      {"a single line feed is one empty line", "\n", 1, "\n"},
      {"CR elsewhere is text", "a\rb\r\nc\r\r\nd\r", 2, "c\r\r\nd\r\r\n"},
      {"CR inside a line", "x\na\rb\n", 1, "a\rb\r\n"},
      {"CR before the cut stays with its line", "a\r\nb\r\r\nc\n", 1, "c\r\n"},
      {"N 0 empties", "a\r\nb\r\n", 0, ""},
      {"N 0 on a line without break", "a", 0, ""},
      {"N 0 on an empty file", "", 0, ""},
      {"N -1 never cuts", "1\n2\n3\n4\n", -1, "1\n2\n3\n4\n"},
      {"N below zero never cuts", "1\n2\n3\n", INT32_MIN, "1\n2\n3\n"},
      // The rewritten kept part is longer than what is cut away.
      {"kept part grows past the cut", "x\na\nb\nc\n", 3, "a\r\nb\r\nc\r\n"},
      {"kept part grows past the file", "\nb\nc\nd", 3, "b\r\nc\r\nd\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrimmedBytes(c.input, c.n), c.expected) << c.name;
    EXPECT_EQ(ModelTrim(c.input, c.n), c.expected) << "model: " << c.name;
  }
}

// A target's byte order mark and header line stay first and are not counted.
TEST(TrimToLastLines, KeepsTheHead) {
  struct Case {
    const char* name;
    bool byte_order_mark;
    bool first_line;
    std::string input;
    std::int32_t n;
    std::string expected;
  };
  const std::string bom = "\xEF\xBB\xBF";
  const Case cases[] = {
      {"mark kept", true, false, bom + "1\r\n2\r\n3\r\n", 1, bom + "3\r\n"},
      {"no mark to keep", true, false, "1\r\n2\r\n", 1, "2\r\n"},
      {"header kept", false, true, "H\r\n1\r\n2\r\n3\r\n", 2, "H\r\n2\r\n3\r\n"},
      {"header not counted", false, true, "H\r\n1\r\n2\r\n", 2, "H\r\n1\r\n2\r\n"},
      {"mark and header", true, true, bom + "H\r\n1\r\n2\nlast", 1, bom + "H\r\nlast\r\n"},
      {"N 0 keeps the head", true, true, bom + "H\r\n1\r\n", 0, bom + "H\r\n"},
      {"only a header", false, true, "H", 0, "H"},
      {"kept part grows", false, true, "H\r\nx\na\nb\n", 2, "H\r\na\r\nb\r\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string path = dir.File("file.txt");
    WriteFileBytes(path, c.input);
    TrimHead head;
    head.byte_order_mark = c.byte_order_mark;
    head.first_line = c.first_line;
    TrimToLastLines(path, c.n, head);
    EXPECT_EQ(ReadFileBytes(path), c.expected) << c.name;
  }
}

TEST(TrimToLastLines, MissingFileStaysMissing) {
  ScratchDir dir;
  const std::string path = dir.File("absent.txt");
  TrimToLastLines(path, 1);
  TrimToLastLines(path, 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  TrimToLastLines("", 0);
}

TEST(TrimToLastLines, FileHeldElsewhereIsLeftAlone) {
  ScratchDir dir;
  const std::string path = dir.File("held.txt");
  const std::string bytes = "1\r\n2\r\n3\r\n";
  WriteFileBytes(path, bytes);
  {
    platform::OpenResult holder =
        platform::OpenExclusive(path, platform::CreateMode::kOpenExisting);
    ASSERT_EQ(holder.status, platform::OpenStatus::kOk);
    TrimToLastLines(path, 1);
  }
  {
    platform::OpenResult reader = platform::OpenSharedRead(path);
    ASSERT_EQ(reader.status, platform::OpenStatus::kOk);
    TrimToLastLines(path, 1);
  }
  EXPECT_EQ(ReadFileBytes(path), bytes);
  TrimToLastLines(path, 1);
  EXPECT_EQ(ReadFileBytes(path), "3\r\n");
}

// Files built so that line ends, CR LF pairs and long lines fall on and across
// the boundaries of the backward reading, trimmed at counts that put the cut
// near those boundaries.
TEST(TrimToLastLines, ChunkBoundariesMatchTheWholeFileModel) {
  constexpr std::size_t kChunk = kTrimReadChunk;
  struct Layout {
    const char* name;
    std::string bytes;
  };
  std::vector<Layout> layouts;
  // A line feed exactly on the first boundary seen from the end.
  layouts.push_back(
      {"LF on boundary", std::string(kChunk, 'a') + "\n" + std::string(kChunk - 1, 'b') + "\n"});
  // A CR LF pair split by the boundary.
  layouts.push_back({"CR LF split", "x\r\n" + std::string(kChunk - 3, 'a') + "\r\n" +
                                        std::string(kChunk - 1, 'b') + "\r\nz"});
  // One line longer than two chunks between short ones.
  layouts.push_back({"long line", "s1\ns2\n" + std::string(2 * kChunk + 17, 'L') + "\r\ns3\ns4"});
  // A file of exactly one chunk, and one byte more.
  layouts.push_back({"one chunk", std::string(kChunk - 1, 'q') + "\n"});
  layouts.push_back({"one chunk plus one", "\n" + std::string(kChunk - 1, 'q') + "\n"});
  // Random lines of random ends, a few chunks long.
  std::mt19937 random(20071010);
  for (int file = 0; file < 4; ++file) {
    std::string bytes;
    while (bytes.size() < 3 * kChunk + 1000) {
      const std::size_t length = random() % 4 == 0 ? random() % 3000 : random() % 90;
      bytes.append(length, static_cast<char>('A' + random() % 26));
      if (random() % 7 == 0) bytes += '\r';
      bytes += random() % 3 == 0 ? "\n" : "\r\n";
    }
    if (file % 2 == 1) bytes += "tail without break";
    layouts.push_back({"random", bytes});
  }
  for (const Layout& layout : layouts) {
    const std::string all = ModelTrim(layout.bytes, -1);
    std::int32_t lines = 0;
    for (char c : layout.bytes) lines += c == '\n';
    lines += layout.bytes.back() != '\n';
    const std::vector<std::int32_t> limits = {0,         1,         2,         3,     7,
                                              lines / 2, lines - 2, lines - 1, lines, lines + 1};
    for (std::int32_t n : limits) {
      EXPECT_EQ(TrimmedBytes(layout.bytes, n), ModelTrim(layout.bytes, n))
          << layout.name << " N=" << n << " of " << lines;
    }
    EXPECT_EQ(all, layout.bytes);
  }
}

}  // namespace
}  // namespace zelk::tracelog
