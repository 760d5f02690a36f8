// The module version text and the operating-system description.
#include "tracelog/version.h"

#include <cstdint>

#include "tracelog/format.h"

namespace zelk::tracelog {
namespace {

// The module path is read into this many characters for the version lookup; a
// longer path is cut and then names no file, so its version text is empty.
constexpr std::size_t kVersionPathBuffer = 128;

constexpr char kNoMemoryText[] = "Error";
constexpr char kReleaseFormat[] = "%d.%d%d";
constexpr char kCandidateFormat[] = "%d.%d%drc%d";

constexpr std::uint32_t kPlatformWindows9x = 1;
constexpr std::uint32_t kPlatformNt = 2;

constexpr char kUnknownName[] = "UNKNOWN";
constexpr char kNtDescription[] = "NT Platform os[%s] ver[%d.%.2d.%d] sp[%s]";
constexpr char k9xDescription[] = "WIN9x Platform os[%s] ver[%d.%.2d.%d] sp[%s]";
constexpr char kUnknownDescription[] = "OS Unknown";

struct NtRow {
  std::uint32_t major;
  std::uint32_t minor;
  const char* name;
};
constexpr NtRow kNtNames[] = {{5, 1, "WINXP"}, {5, 0, "WIN2000"}, {4, 0, "WINNT4"}};

// In the 9x family the build number packs major (top byte), minor (next byte)
// and build (low 16 bits); the rows are ranges of the whole word, unsigned.
struct Win9xRow {
  std::uint32_t from;  // inclusive
  std::uint32_t to;    // exclusive
  const char* name;
};
constexpr Win9xRow k9xNames[] = {
    {0x04000000, 0x040A0000, "WIN95"},
    {0x040A0000, 0x040A07D0, "WIN98FE"},
    {0x040A07D0, 0x045A0000, "WIN98SE"},
    {0x045A0000, 0x050A0000, "WINME"},
};

}  // namespace

std::string VersionTextOf(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
  if (d != 0) return FormatText(kCandidateFormat, a, b, c, d);
  return FormatText(kReleaseFormat, a, b, c);
}

std::string GetModuleVersionText(const std::optional<std::string>& path) {
  std::string file;
  if (path) {
    file = *path;
  } else {
    if (platform::ModulePathExceeds(kVersionPathBuffer)) return {};
    file = platform::ModulePath(kVersionPathBuffer);
  }
  const platform::FileVersion version = platform::QueryFileVersion(file);
  switch (version.status) {
    case platform::FileVersion::Status::kOk: {
      const auto& [a, b, c, d] = version.parts;
      return VersionTextOf(a, b, c, d);
    }
    case platform::FileVersion::Status::kNoMemory:
      return kNoMemoryText;
    case platform::FileVersion::Status::kMissing:
      break;
  }
  return {};
}

std::string GetOperatingSystemName(const platform::OsVersionRecord& record) {
  if (record.platform_id == kPlatformNt) {
    for (const NtRow& row : kNtNames) {
      if (record.major == row.major && record.minor == row.minor) return row.name;
    }
  } else if (record.platform_id == kPlatformWindows9x) {
    for (const Win9xRow& row : k9xNames) {
      if (record.build >= row.from && record.build < row.to) return row.name;
    }
  }
  return kUnknownName;
}

std::string DescribeOperatingSystem(const platform::OsVersionRecord& record) {
  const std::string name = GetOperatingSystemName(record);
  const char* service_pack = record.service_pack.c_str();
  // The numbers print as the platform's own signed %d would print them.
  if (record.platform_id == kPlatformNt) {
    return FormatText(kNtDescription, name.c_str(), static_cast<int>(record.major),
                      static_cast<int>(record.minor), static_cast<int>(record.build), service_pack);
  }
  if (record.platform_id == kPlatformWindows9x) {
    return FormatText(k9xDescription, name.c_str(), static_cast<int>(record.build >> 24),
                      static_cast<int>((record.build >> 16) & 0xFF),
                      static_cast<int>(record.build & 0xFFFF), service_pack);
  }
  return kUnknownDescription;
}

std::string DescribeOperatingSystem() {
  return DescribeOperatingSystem(platform::QueryOsVersion());
}

}  // namespace zelk::tracelog
