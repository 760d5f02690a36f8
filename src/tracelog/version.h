// The module version text and the operating-system description.
#ifndef ZELK_TRACELOG_VERSION_H_
#define ZELK_TRACELOG_VERSION_H_

#include <optional>
#include <string>

#include "platform/platform.h"

namespace zelk::tracelog {

// The four-part file version of the file at `path` (this module's own file when
// none is given) as text: "1.05rc12" for 1.0.5.12, "1.05" for 1.0.5.0; empty
// when the version cannot be read, "Error" when there is no memory for it.
std::string GetModuleVersionText(const std::optional<std::string>& path = std::nullopt);

// The version text of four version parts by the rule above.
std::string VersionTextOf(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d);

// "WINXP", "WIN2000", "WINNT4", "WIN95", "WIN98FE", "WIN98SE", "WINME" or
// "UNKNOWN" for a version record.
std::string GetOperatingSystemName(const platform::OsVersionRecord& record);

// The description of a version record: "NT Platform os[..] ver[..] sp[..]",
// "WIN9x Platform ..." or "OS Unknown".
std::string DescribeOperatingSystem(const platform::OsVersionRecord& record);

// The description of the running system.
std::string DescribeOperatingSystem();

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_VERSION_H_
