// The configuration file: its path rule, the reading rules, the integer rule and
// the key table's defaults.
#include "config/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "config/current.h"
#include "config/settings.h"
#include "platform/platform.h"
#include "test_support.h"

namespace zelk::config {
namespace {

using testing::Utf16Bytes;

TEST(ConfigFilePath, CutsAfterTheLastDotOfTheWholePath) {
  struct Case {
    const char* module;
    const char* expected;
  };
  const Case cases[] = {
      {"C:\\Svc\\plugin.dll", "C:\\Svc\\plugin.ini"},
      {"C:\\Svc\\plugin.main.dll", "C:\\Svc\\plugin.main.ini"},
      {"C:\\Svc.old\\plugin", "C:\\Svc.ini"},
      {"C:\\Svc\\plugin", "C:\\Svc\\plugin"},
      {"/opt/zelk/zelkforward.so", "/opt/zelk/zelkforward.ini"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigFilePathFor(c.module), c.expected) << c.module;
}

TEST(ConfigFilePath, BelongsToThisModule) {
  const std::string module = platform::ModulePath();
  ASSERT_FALSE(module.empty());
  EXPECT_EQ(ConfigFilePath(), ConfigFilePathFor(module));
}

TEST(Snapshot, ReadingRules) {
  const Snapshot snapshot = Snapshot::Parse(
      "\xEF\xBB\xBF"
      "Early=ignored\r\n"
      "; a comment\r\n"
      "[ValidJob]\r\n"
      "Source1=  list.txt  \r\n"
      "Empty=\r\n"
      "Quoted=\" spaced \"\r\n"
      "Single=' x '\r\n"
      "Unmatched=\"x'\r\n"
      "Bare\r\n"
      "Twice=first\r\n"
      "twice=second\r\n"
      "\r\n"
      "[validjob]\n"
      "Later=not seen\n"
      "[ Log ]\n"
      "FileName = trace.log\n");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"ValidJob", "Source1", "list.txt"},
      {"VALIDJOB", "SOURCE1", "list.txt"},
      {"ValidJob", "Empty", ""},
      {"ValidJob", "Quoted", " spaced "},
      {"ValidJob", "Single", " x "},
      {"ValidJob", "Unmatched", "\"x'"},
      {"ValidJob", "Bare", "default"},
      {"ValidJob", "Twice", "first"},
      {"ValidJob", "Later", "default"},
      {"ValidJob", "Missing", "default"},
      {"Log", "FileName", "trace.log"},
      {"Missing", "Source1", "default"},
      {"", "Early", "default"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(snapshot.Read(c.section, c.key, "default", 256), c.expected)
        << c.section << "/" << c.key;
  }
}

TEST(Snapshot, EveryLineEndMixtureInEveryEncoding) {
  const std::u16string lines[] = {
      u"; caf\u00e9",           u"[ValidJob]", u"Source1=list.txt", u"Empty=",
      u"Text=caf\u00e9 \u00fc", u"[Log]",      u"Flags=+a",         u"FileName=log.txt"};
  const struct {
    const char* name;
    std::u16string_view ends[3];  // taken in turn, line by line
  } mixtures[] = {
      {"CR LF", {u"\r\n", u"\r\n", u"\r\n"}},
      {"LF", {u"\n", u"\n", u"\n"}},
      {"CR", {u"\r", u"\r", u"\r"}},
      {"LF CR", {u"\n\r", u"\n\r", u"\n\r"}},
      {"CR LF, LF, CR", {u"\r\n", u"\n", u"\r"}},
      {"runs", {u"\r\r\n\n", u"\r", u"\n\n"}},
  };
  // The non-ASCII value as this platform's single-byte text (UTF-8 on Linux,
  // the ANSI code page on Windows), which a file of any encoding must give.
  const std::string text_value = platform::NarrowFromUtf16(u"caf\u00e9 \u00fc");
  ASSERT_FALSE(text_value.empty());
  for (const auto& mixture : mixtures) {
    std::u16string text;
    for (std::size_t i = 0; i < std::size(lines); ++i) {
      text += lines[i] + std::u16string(mixture.ends[i % 3]);
    }
    const std::string narrow = platform::NarrowFromUtf16(text);
    const struct {
      std::string bytes;
      Encoding encoding;
    } files[] = {
        {narrow, Encoding::kAnsi},
        {"\xEF\xBB\xBF" + narrow, Encoding::kUtf8WithByteOrderMark},
        {Utf16Bytes(text, false), Encoding::kUtf16Le},
        {Utf16Bytes(text, true), Encoding::kUtf16Be},
    };
    for (const auto& file : files) {
      const std::string name =
          std::string(EncodingName(file.encoding)) + ", line ends " + mixture.name;
      const Snapshot snapshot = Snapshot::Parse(file.bytes);
      EXPECT_EQ(snapshot.encoding(), file.encoding) << name;
      EXPECT_EQ(snapshot.Read("ValidJob", "Source1", "-", 256), "list.txt") << name;
      EXPECT_EQ(snapshot.Read("ValidJob", "Empty", "-", 256), "") << name;
      EXPECT_EQ(snapshot.Read("ValidJob", "Text", "-", 256), text_value) << name;
      EXPECT_EQ(snapshot.Read("Log", "Flags", "-", 32), "+a") << name;
      EXPECT_EQ(snapshot.Read("Log", "FileName", "-", 256), "log.txt") << name;
    }
  }
  // A lone CR ends a line wherever it stands.
  EXPECT_EQ(Snapshot::Parse("[s]\rk=v\r").Read("s", "k", "-", 256), "v");
  const Snapshot mixed = Snapshot::Parse("[s]\na=1\nb=2\rc=3");
  EXPECT_EQ(mixed.Read("s", "b", "-", 256), "2");
  EXPECT_EQ(mixed.Read("s", "c", "-", 256), "3");
  // UTF-16 without a byte order mark is not guessed at: its bytes are read as
  // they are, so no key is found.
  EXPECT_EQ(
      Snapshot::Parse(Utf16Bytes(u"[s]\r\nk=v\r\n", false).substr(2)).Read("s", "k", "-", 256),
      "-");
}

// The answer of Read found by walking the file's outline line by line, as the
// reading rules say: the first section of the name, its first line of the
// key, the default for a line without "=".
std::string ReadByWalking(const Snapshot::Outline& outline, std::string_view section,
                          std::string_view key) {
  auto equal = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::tolower(static_cast<unsigned char>(x)) ==
                    std::tolower(static_cast<unsigned char>(y));
           });
  };
  for (const Snapshot::SectionLines& lines : outline.sections) {
    if (!equal(lines.name, section)) continue;
    for (const Snapshot::KeyLine& line : lines.keys) {
      if (equal(line.key, key)) return line.has_value ? std::string(line.value) : "default";
    }
    return "default";
  }
  return "default";
}

// Large files of few names in mixed case, repeated sections and keys, and
// lines without "=": every lookup finds what a walk of the file finds.
TEST(Snapshot, LargeFilesAnswerAsTheirWalkDoes) {
  std::mt19937 random(20261209);
  auto name = [&random](const char* stem, int kinds) {
    std::string text = stem + std::to_string(random() % kinds);
    for (char& c : text) {
      if (random() % 2 == 0) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
  };
  for (int round = 0; round < 4; ++round) {
    std::string file;
    for (int s = 0; s < 300; ++s) {
      file += "[" + name("section", 60) + "]\r\n";
      for (int k = random() % 12; k > 0; --k) {
        file +=
            name("key", 40) + (random() % 8 == 0 ? "" : "=v" + std::to_string(random())) + "\r\n";
      }
    }
    const Snapshot snapshot = Snapshot::Parse(file);
    const Snapshot::Outline outline = snapshot.Describe();
    for (int lookup = 0; lookup < 3000; ++lookup) {
      const std::string section = name("section", 64);
      const std::string key = name("key", 44);
      ASSERT_EQ(snapshot.Read(section, key, "default", 256), ReadByWalking(outline, section, key))
          << section << "/" << key;
    }
  }
}

TEST(Snapshot, CutsValuesAndDefaultsToReadLengthMinusOne) {
  const std::string forty(40, 'F');
  const std::string three_hundred(300, 'S');
  const Snapshot snapshot =
      Snapshot::Parse("[ValidJob]\nFilter1=" + forty + "\nSource1=" + three_hundred + "\n");
  EXPECT_EQ(Read(snapshot, kSourceFilter, 1), forty.substr(0, 31));
  EXPECT_EQ(Read(snapshot, kSource, 1), three_hundred.substr(0, 255));
  EXPECT_EQ(Snapshot().Read("A", "B", "abcdef", 4), "abc");
}

TEST(Snapshot, EveryKeyHasItsDefaultWithoutAFile) {
  testing::ScratchDir dir;
  const Snapshot empty = Snapshot::Load(dir.File("missing.ini"));
  EXPECT_EQ(Read(empty, kEnable), "1");
  EXPECT_EQ(Read(empty, kAllowZeroTransaction), "0");
  EXPECT_EQ(Read(empty, kValidation), "0");
  EXPECT_EQ(Read(empty, kOutputFormat, 1), kDefaultLineFormat);
  EXPECT_EQ(Read(empty, kOutputFormat, 2), "");
  EXPECT_EQ(Read(empty, kOutputFilter, 1), "");
  EXPECT_EQ(Read(empty, kTarget, 1), "");
  EXPECT_EQ(Read(empty, kFileRotationTime, 1), "");
  EXPECT_EQ(Read(empty, kOutputMaxLines, 3), "0");
  EXPECT_EQ(Read(empty, kDropOnSuccess, 1), "0");
  EXPECT_EQ(Read(empty, kSource, 1), "");
  EXPECT_EQ(Read(empty, kSourceLayout, 1), "");
  EXPECT_EQ(Read(empty, kLogFileName), "");
  EXPECT_EQ(Read(empty, kLogMaxLines), "50");
  EXPECT_EQ(Read(empty, kLogFlags), "");
}

TEST(Snapshot, PresentButEmptyFormatEndsTheSections) {
  const Snapshot snapshot = Snapshot::Parse("[ForwardTransaction]\nFormat1=\n");
  EXPECT_EQ(Read(snapshot, kOutputFormat, 1), "");
}

TEST(Snapshot, LoadSeesTheFileAsItIsNow) {
  testing::ScratchDir dir;
  const std::string path = dir.File("zelk.ini");
  testing::WriteFileBytes(path, "[ForwardTransaction]\r\nEnable=0\r\n");
  EXPECT_EQ(Read(Snapshot::Load(path), kEnable), "0");
  testing::WriteFileBytes(path, "[ForwardTransaction]\r\nEnable=2\r\n");
  EXPECT_EQ(Read(Snapshot::Load(path), kEnable), "2");
}

// Each save is seen by the next call, byte for byte, though it keeps the size
// and falls in the same second as the one before; so is a save after the
// file has long been unchanged (and its snapshot trusted on one look).
TEST(CurrentConfiguration, SeesEverySaveAtOnceEvenOfTheSameSizeInTheSameSecond) {
  testing::ScratchDir dir;
  const std::string path = dir.File("zelk.ini");
  auto save = [&path](const std::string& value) {
    testing::WriteFileBytes(path, "[ForwardTransaction]\r\nTarget1=" + value + "\r\n");
  };
  for (int edit = 0; edit < 20; ++edit) {
    const std::string value = edit % 2 == 0 ? "A" : "B";
    save(value);
    EXPECT_EQ(Read(*CurrentConfiguration(path).snapshot, kTarget, 1), value) << edit;
  }
  std::filesystem::last_write_time(
      path, std::filesystem::last_write_time(path) - std::chrono::seconds(10));
  EXPECT_EQ(Read(*CurrentConfiguration(path).snapshot, kTarget, 1), "B");
  EXPECT_EQ(Read(*CurrentConfiguration(path).snapshot, kTarget, 1), "B");
  save("C");
  EXPECT_EQ(Read(*CurrentConfiguration(path).snapshot, kTarget, 1), "C");
}

// An editor that saves in place empties the file and then writes it: no call
// in between takes the empty file for the configuration.
TEST(CurrentConfiguration, ASaveInPlaceIsNeverTakenForTheConfiguration) {
  testing::ScratchDir dir;
  const std::string path = dir.File("zelk.ini");
  auto text = [](int edit) {
    return "; edit " + std::to_string(edit) + "\r\n[ForwardTransaction]\r\nTarget1=kept\r\n";
  };
  testing::WriteFileBytes(path, text(0));
  ASSERT_EQ(Read(*CurrentConfiguration(path).snapshot, kTarget, 1), "kept");
  std::atomic<bool> done{false};
  std::thread editor([&] {
    for (int edit = 1; !done.load(); ++edit) {
      std::ofstream file(path, std::ios::binary | std::ios::trunc);
      std::this_thread::sleep_for(std::chrono::microseconds(200));  // a slow save
      file << text(edit);
      file.close();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // 3000 calls, or as many as 2 s allow where system calls are dear (Wine).
  const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int on_defaults = 0;
  for (int call = 0; call < 3000 && std::chrono::steady_clock::now() < stop; ++call) {
    on_defaults += Read(*CurrentConfiguration(path).snapshot, kTarget, 1) != "kept";
  }
  done.store(true);
  editor.join();
  EXPECT_EQ(on_defaults, 0);
}

// A file of the limit is read; one byte more and nothing of it is.
TEST(Snapshot, AFileLargerThanTheLimitIsNotRead) {
  testing::ScratchDir dir;
  const std::string path = dir.File("zelk.ini");
  const std::string settings = "[ForwardTransaction]\r\nEnable=2\r\n;";
  for (const std::size_t size : {kLargestConfigurationFile, kLargestConfigurationFile + 1}) {
    testing::WriteFileBytes(path, settings + std::string(size - settings.size(), 'x'));
    const Snapshot snapshot = Snapshot::Load(path);
    const bool refused = size > kLargestConfigurationFile;
    EXPECT_EQ(snapshot.too_large(), refused) << size;
    EXPECT_EQ(Read(snapshot, kEnable), refused ? "1" : "2") << size;
  }
}

TEST(IntegerSetting, ReadsLikeAtoiAndSaturates) {
  struct Case {
    const char* text;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"1x", 1},
      {"x1", 0},
      {" 7", 7},
      {"-3", -3},
      {"+4", 4},
      {"", 0},
      {"off", 0},
      {"\t\n12", 12},
      {"- 5", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-99999999999999999999", -2147483647 - 1},
      {"99999999999999999999999", 2147483647},
  };
  for (const Case& c : cases) EXPECT_EQ(IntegerSetting(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace zelk::config
