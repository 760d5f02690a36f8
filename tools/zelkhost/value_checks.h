// What zelkhost check says about values and files that read otherwise than
// they look: numbers followed by more text, comments after a value, values
// cut to their longest length, and configuration files too large or in an
// encoding the service cannot tell.
#ifndef ZELK_TOOLS_ZELKHOST_VALUE_CHECKS_H_
#define ZELK_TOOLS_ZELKHOST_VALUE_CHECKS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/settings.h"

namespace zelk::host {

// One thing check reports: a problem (a transaction or check would fail) or a
// warning (the value reads otherwise than it looks), with where it stands.
struct Finding {
  bool problem = false;
  std::string text;
  std::size_t line = 0;  // 0: about the file as a whole, or about `subject`
  std::size_t column = 0;
  // The file or folder the finding is about when it is not a line of the
  // configuration file (the library); empty: the configuration file.
  std::string subject;
};

// Where the value of `key` in `section` stands as the service reads it: on
// the key's line (at the value), else on the section's heading, else nowhere
// (line 0).
struct Place {
  std::size_t line = 0;
  std::size_t column = 0;
};
Place PlaceOf(const config::Snapshot::Outline& outline, std::string_view section,
              std::string_view key);

// A finding on the value of `key` in `section`.
Finding FindingAt(const config::Snapshot::Outline& outline, std::string_view section,
                  std::string_view key, bool problem, std::string text);

// The configuration file is read whole on every transaction and check; above
// this size that reading becomes a cost worth naming.
inline constexpr std::size_t kLargeConfigurationBytes = std::size_t{64} * 1024;

// The warning for the key line `line` of `key` (named `name`, N included) in
// `section`, as the service reads it from `snapshot`, at the line and column
// it is about; nothing when the value reads as it looks.
std::optional<Finding> ValueWarning(const config::Snapshot& snapshot, std::string_view section,
                                    const std::string& name, const config::KeyDescription& key,
                                    const config::Snapshot::KeyLine& line);

// What the bytes of a configuration file say about it as a whole: its size,
// and NUL bytes without a UTF-16 byte order mark.
std::vector<Finding> FileContentFindings(std::string_view bytes, config::Encoding encoding);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_VALUE_CHECKS_H_
