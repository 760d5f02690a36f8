// The module version text and the operating-system name and description.
#include "tracelog/version.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace zelk::tracelog {
namespace {

constexpr std::uint32_t kNt = 2;
constexpr std::uint32_t k9x = 1;

platform::OsVersionRecord Record(std::uint32_t platform_id, std::uint32_t major,
                                 std::uint32_t minor, std::uint32_t build,
                                 const char* service_pack = "") {
  platform::OsVersionRecord record;
  record.platform_id = platform_id;
  record.major = major;
  record.minor = minor;
  record.build = build;
  record.service_pack = service_pack;
  return record;
}

TEST(VersionTextOf, JoinsMinorAndPatchAndAddsTheCandidate) {
  struct Case {
    std::uint16_t a, b, c, d;
    const char* expected;
  };
  const Case cases[] = {
      {1, 0, 5, 12, "1.05rc12"}, {1, 0, 5, 0, "1.05"},
      {2, 1, 10, 0, "2.110"},    {1, 2, 0, 3, "1.20rc3"},
      {1, 1, 10, 0, "1.110"},    {1, 11, 0, 0, "1.110"},
      {0, 0, 0, 0, "0.00"},      {65535, 65535, 65535, 65535, "65535.6553565535rc65535"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VersionTextOf(c.a, c.b, c.c, c.d), c.expected) << c.expected;
  }
}

TEST(GetModuleVersionText, ThisModuleIs1_05rc12) {
  EXPECT_EQ(GetModuleVersionText(), "1.05rc12");
  EXPECT_EQ(GetModuleVersionText(platform::ModulePath()), "1.05rc12");
}

TEST(GetModuleVersionText, FileWithoutVersionGivesEmptyText) {
  testing::ScratchDir dir;
  const std::string plain = dir.File("plain.txt");
  testing::WriteFileBytes(plain, "no version here\r\n");
  EXPECT_EQ(GetModuleVersionText(plain), "");
  EXPECT_EQ(GetModuleVersionText(dir.File("missing.dll")), "");
  EXPECT_EQ(GetModuleVersionText(std::string()), "");
}

TEST(GetOperatingSystemName, EveryRowAndItsBoundaries) {
  struct Case {
    platform::OsVersionRecord record;
    const char* expected;
  };
  const Case cases[] = {
      {Record(kNt, 5, 1, 2600), "WINXP"},
      {Record(kNt, 5, 0, 2195), "WIN2000"},
      {Record(kNt, 4, 0, 1381), "WINNT4"},
      {Record(kNt, 3, 51, 1057), "UNKNOWN"},
      {Record(kNt, 5, 2, 3790), "UNKNOWN"},
      {Record(kNt, 6, 0, 6000), "UNKNOWN"},
      {Record(kNt, 6, 1, 7601), "UNKNOWN"},
      {Record(kNt, 4, 10, 0), "UNKNOWN"},  // NT rows look at major and minor only
      {Record(k9x, 0, 0, 0x03FFFFFF), "UNKNOWN"},
      {Record(k9x, 0, 0, 0x04000000), "WIN95"},
      {Record(k9x, 0, 0, 0x040003B6), "WIN95"},
      {Record(k9x, 0, 0, 0x0409FFFF), "WIN95"},
      {Record(k9x, 0, 0, 0x040A0000), "WIN98FE"},
      {Record(k9x, 0, 0, 0x040A07CF), "WIN98FE"},
      {Record(k9x, 0, 0, 0x040A07D0), "WIN98SE"},
      {Record(k9x, 0, 0, 0x040A08AE), "WIN98SE"},
      {Record(k9x, 0, 0, 0x0459FFFF), "WIN98SE"},
      {Record(k9x, 0, 0, 0x045A0000), "WINME"},
      {Record(k9x, 0, 0, 0x0509FFFF), "WINME"},
      {Record(k9x, 0, 0, 0x050A0000), "UNKNOWN"},
      {Record(k9x, 0, 0, 0xFFFFFFFF), "UNKNOWN"},  // the build word is unsigned
      {Record(k9x, 5, 1, 0), "UNKNOWN"},           // 9x rows look at the build word only
      {Record(0, 5, 1, 2600), "UNKNOWN"},
      {Record(3, 0, 0, 0x04000000), "UNKNOWN"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetOperatingSystemName(c.record), c.expected)
        << c.record.platform_id << " " << c.record.major << "." << c.record.minor << " " << std::hex
        << c.record.build;
  }
}

TEST(DescribeOperatingSystem, Formats) {
  struct Case {
    platform::OsVersionRecord record;
    const char* expected;
  };
  const Case cases[] = {
      {Record(kNt, 5, 1, 2600, "Service Pack 2"),
       "NT Platform os[WINXP] ver[5.01.2600] sp[Service Pack 2]"},
      {Record(kNt, 5, 0, 2195), "NT Platform os[WIN2000] ver[5.00.2195] sp[]"},
      {Record(kNt, 5, 2, 3790, "Service Pack 1"),
       "NT Platform os[UNKNOWN] ver[5.02.3790] sp[Service Pack 1]"},
      {Record(kNt, 6, 1, 7601, "Service Pack 1"),
       "NT Platform os[UNKNOWN] ver[6.01.7601] sp[Service Pack 1]"},
      {Record(kNt, 10, 123, 19045), "NT Platform os[UNKNOWN] ver[10.123.19045] sp[]"},
      {Record(k9x, 4, 10, 0x040A08AE, " A "), "WIN9x Platform os[WIN98SE] ver[4.10.2222] sp[ A ]"},
      {Record(k9x, 4, 0, 0x040003B6), "WIN9x Platform os[WIN95] ver[4.00.950] sp[]"},
      {Record(k9x, 4, 90, 0x045A0BB8), "WIN9x Platform os[WINME] ver[4.90.3000] sp[]"},
      {Record(0, 0, 0, 0), "OS Unknown"},
      {Record(3, 5, 1, 2600, "x"), "OS Unknown"},
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeOperatingSystem(c.record), c.expected);
}

TEST(DescribeOperatingSystem, RunningSystemIsDescribedByItsRecord) {
  const platform::OsVersionRecord running = platform::QueryOsVersion();
  EXPECT_EQ(DescribeOperatingSystem(), DescribeOperatingSystem(running));
  if (running.platform_id == 0) {
    EXPECT_EQ(DescribeOperatingSystem(), "OS Unknown");
  }
}

}  // namespace
}  // namespace zelk::tracelog
