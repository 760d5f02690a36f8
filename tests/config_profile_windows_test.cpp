// Our configuration reader beside Windows' own profile reader, on the kinds of
// file administrators write. Built for Windows only (it calls
// GetPrivateProfileStringA), so it runs under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "test_support.h"

namespace zelk::config {
namespace {

using testing::Utf16Bytes;

std::string ProfileRead(const std::string& path, const char* section, const char* key,
                        const char* fallback, DWORD read_length) {
  std::vector<char> buffer(read_length + 1, '\0');
  GetPrivateProfileStringA(section, key, fallback, buffer.data(), read_length, path.c_str());
  return buffer.data();
}

struct ProfileCase {
  const char* name;
  const char* text;
  const char* section;
  const char* key;
  DWORD read_length;
};

const ProfileCase kCases[] = {
    {"plain", "[ValidJob]\r\nSource1=list.txt\r\n", "ValidJob", "Source1", 256},
    {"any case", "[validjob]\r\nSOURCE1=list.txt\r\n", "ValidJob", "Source1", 256},
    {"missing key", "[ValidJob]\r\nSource2=x\r\n", "ValidJob", "Source1", 256},
    {"missing section", "[Log]\r\nSource1=x\r\n", "ValidJob", "Source1", 256},
    {"empty value", "[ValidJob]\r\nSource1=\r\n", "ValidJob", "Source1", 256},
    {"blanks", "[ValidJob]\r\n  Source1  =   list.txt   \r\n", "ValidJob", "Source1", 256},
    {"double quotes", "[ValidJob]\r\nSource1=\" a b \"\r\n", "ValidJob", "Source1", 256},
    {"single quotes", "[ValidJob]\r\nSource1=' a b '\r\n", "ValidJob", "Source1", 256},
    {"one quote", "[ValidJob]\r\nSource1=\"abc\r\n", "ValidJob", "Source1", 256},
    {"cut", "[ValidJob]\r\nFilter1=0123456789ABCDEF\r\n", "ValidJob", "Filter1", 8},
    {"LF only", "[ValidJob]\nSource1=list.txt\nFormat1=0000000010\n", "ValidJob", "Format1", 128},
    {"comment", "[ValidJob]\r\n;Source1=old\r\nSource1=new\r\n", "ValidJob", "Source1", 256},
    {"blank lines", "\r\n\r\n[ValidJob]\r\n\r\nSource1=x\r\n\r\n", "ValidJob", "Source1", 256},
    {"first key wins", "[ValidJob]\r\nSource1=one\r\nSource1=two\r\n", "ValidJob", "Source1", 256},
    {"byte order mark", "\xEF\xBB\xBF[ValidJob]\r\nSource1=x\r\n", "ValidJob", "Source1", 256},
    {"blanks in header", "[ ValidJob ]\r\nSource1=x\r\n", "ValidJob", "Source1", 256},
    {"equals in value", "[Log]\r\nFileName=a=b\r\n", "Log", "FileName", 256},
    {"last line open", "[Log]\r\nFlags=+x-Y", "Log", "Flags", 32},
    {"no equals", "[Log]\r\nFlags\r\n", "Log", "Flags", 32},
    {"tab around value", "[Log]\r\nFlags=\t+a\t\r\n", "Log", "Flags", 32},
    {"quoted and cut", "[Log]\r\nFlags=\"abcdefghij\"\r\n", "Log", "Flags", 5},
    {"lone CR", "[Log]\rFlags=+a\rFileName=x\r", "Log", "Flags", 32},
    {"CR after LF", "[Log]\n\rFlags=+a\n\rFileName=x", "Log", "FileName", 32},
    {"CR inside", "[Log]\na=1\nFlags=2\rFileName=3", "Log", "Flags", 32},
    {"CR runs", "[Log]\r\r\n\nFlags=+a\r\r\rFileName=x", "Log", "FileName", 32},
};

struct UnicodeCase {
  const char* name;
  std::u16string_view text;
  const char* section;
  const char* key;
};

// Files saved as "Unicode" (UTF-16 with a byte order mark), with values
// beyond ASCII: in the code page, one outside it, and a surrogate pair.
const UnicodeCase kUnicodeCases[] = {
    {"plain", u"[ValidJob]\r\nSource1=list.txt\r\n", "ValidJob", "Source1"},
    {"in the code page", u"[Log]\r\nFileName=caf\u00e9 \u00fc\u20ac.log\r\n", "Log", "FileName"},
    {"outside the code page", u"[Log]\r\nFileName=\u0142\u4e2d.log\r\n", "Log", "FileName"},
    {"surrogate pair", u"[Log]\r\nFileName=\U0001F600.log\r\n", "Log", "FileName"},
    {"quoted, LF", u"[Log]\nFlags=\" \u00e9 \"\n", "Log", "Flags"},
    {"lone CR", u"[Log]\rFlags=\u00e9\rFileName=x\r", "Log", "Flags"},
    {"first key wins", u"[log]\r\nflags=one\r\nFlags=two\r\n", "Log", "Flags"},
};

TEST(ProfileReaderSideBySide, ReadsLikeGetPrivateProfileString) {
  testing::ScratchDir dir;
  const std::string path = dir.File("side.ini");
  for (const ProfileCase& c : kCases) {
    testing::WriteFileBytes(path, c.text);
    const std::string ours = Snapshot::Load(path).Read(c.section, c.key, "fallback", c.read_length);
    EXPECT_EQ(ours, ProfileRead(path, c.section, c.key, "fallback", c.read_length)) << c.name;
  }
}

TEST(ProfileReaderSideBySide, ReadsUnicodeFilesLikeGetPrivateProfileString) {
  testing::ScratchDir dir;
  const std::string path = dir.File("unicode.ini");
  for (const UnicodeCase& c : kUnicodeCases) {
    for (bool big_endian : {false, true}) {
      testing::WriteFileBytes(path, Utf16Bytes(c.text, big_endian));
      const std::string ours = Snapshot::Load(path).Read(c.section, c.key, "fallback", 256);
      const std::string theirs = ProfileRead(path, c.section, c.key, "fallback", 256);
      EXPECT_EQ(ours, theirs) << c.name << (big_endian ? ", UTF-16 BE" : ", UTF-16 LE");
      EXPECT_NE(theirs, "fallback") << c.name;
    }
  }
}

}  // namespace
}  // namespace zelk::config
