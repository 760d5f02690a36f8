// The key table: every setting the service reads, with its section, default and
// read length (the longest value kept is one character less).
#ifndef ZELK_CONFIG_SETTINGS_H_
#define ZELK_CONFIG_SETTINGS_H_

#include "config/config.h"

namespace zelk::config {

inline constexpr std::string_view kForwardSection = "ForwardTransaction";
inline constexpr std::string_view kValidJobSection = "ValidJob";
inline constexpr std::string_view kLogSection = "Log";

// The line format of output section 1 when its Format1 key is absent.
inline constexpr std::string_view kDefaultLineFormat =
    "%5.5@01,%@13/%@12/%@10,%-10@07,%8@03,%2@06,%2@05,%15@21, , %6.3@09,00";

inline constexpr Setting kEnable{kForwardSection, "Enable", "1", 256};
inline constexpr Setting kAllowZeroTransaction{kForwardSection, "AllowZeroTransaction", "0", 256};
inline constexpr Setting kValidation{kForwardSection, "Validation", "0", 256};
inline constexpr NumberedSetting kOutputFormat{kForwardSection, "Format", kDefaultLineFormat, "",
                                               1024};
inline constexpr NumberedSetting kOutputFilter{kForwardSection, "Filter", "", "", 32};
inline constexpr NumberedSetting kTarget{kForwardSection, "Target", "", "", 256};
inline constexpr NumberedSetting kFileRotationTime{kForwardSection, "FileRotationTime", "", "",
                                                   256};
inline constexpr NumberedSetting kOutputMaxLines{kForwardSection, "MaxLines", "0", "0", 32};
inline constexpr NumberedSetting kDropOnSuccess{kForwardSection, "DropOnSuccess", "0", "0", 32};
// For a program that reads the target as CSV: the first character is the
// delimiter, and a field value holding it or a double quote is quoted; empty:
// values are written as they render.
inline constexpr NumberedSetting kCsvDelimiter{kForwardSection, "CsvDelimiter", "", "", 31};
// Integer; not 0: a text value that a spreadsheet would run as a formula gets
// a "'" before it.
inline constexpr NumberedSetting kCsvGuard{kForwardSection, "CsvGuard", "0", "0", 32};
// An ExtFormat text: the line that goes first into a target holding no lines.
inline constexpr NumberedSetting kHeader{kForwardSection, "Header", "", "", 1023};
// Integer; not 0: a target holding no lines begins with a UTF-8 byte order
// mark.
inline constexpr NumberedSetting kBom{kForwardSection, "Bom", "0", "0", 32};
// Integer; not 0: each line appended to the section's target, and each cut
// of it, is on the disk (a new file's name in its folder too) before the
// line is logged as written.
inline constexpr NumberedSetting kSync{kForwardSection, "Sync", "0", "0", 32};
// Integer; N > 0: when the section begins a new target file, only its newest N
// files (by the period their names show) are kept.
inline constexpr NumberedSetting kKeepFiles{kForwardSection, "KeepFiles", "0", "0", 32};
// Where lines wait whose target cannot be written; empty: no spool, such a
// line is lost.
inline constexpr Setting kSpoolFolder{kForwardSection, "SpoolFolder", "", 256};

inline constexpr NumberedSetting kSource{kValidJobSection, "Source", "", "", 256};
inline constexpr NumberedSetting kSourceFilter{kValidJobSection, "Filter", "", "", 32};
inline constexpr NumberedSetting kSourceLayout{kValidJobSection, "Format", "", "", 128};

inline constexpr Setting kLogFileName{kLogSection, "FileName", "", 256};
inline constexpr Setting kLogMaxLines{kLogSection, "MaxLines", "50", 32};
inline constexpr Setting kLogFlags{kLogSection, "Flags", "", 32};
// Where each host process keeps its status file; empty: no status file.
inline constexpr Setting kLogStatusFolder{kLogSection, "StatusFolder", "", 256};
// Integer; not 0: a line that reports a failed operating-system call ends
// with the system's cause, " cause[...]".
inline constexpr Setting kLogCauses{kLogSection, "Causes", "0", 32};

// The key table as one list, for what describes or checks a configuration
// (zelkhost check, the documentation's test) rather than reads it.
struct KeyDescription {
  std::string_view section;
  std::string_view key;  // for a numbered key, the part before N
  bool numbered = false;
  std::string_view fallback_first;  // the default (for N = 1)
  std::string_view fallback_rest;   // the default for N of 2 or more
  std::size_t read_length = 0;
  bool integer = false;  // read by the integer rule
};

constexpr KeyDescription Describe(const Setting& setting, bool integer) {
  return {setting.section,  setting.key,         false,  setting.fallback,
          setting.fallback, setting.read_length, integer};
}
constexpr KeyDescription Describe(const NumberedSetting& setting, bool integer) {
  return {setting.section,       setting.key_prefix,  true,   setting.fallback_first,
          setting.fallback_rest, setting.read_length, integer};
}

// In the order the service reads them.
inline constexpr KeyDescription kKeyTable[] = {
    Describe(kEnable, true),
    Describe(kAllowZeroTransaction, true),
    Describe(kValidation, true),
    Describe(kOutputFormat, false),
    Describe(kOutputFilter, false),
    Describe(kTarget, false),
    Describe(kFileRotationTime, true),
    Describe(kOutputMaxLines, true),
    Describe(kCsvDelimiter, false),
    Describe(kCsvGuard, true),
    Describe(kHeader, false),
    Describe(kBom, true),
    Describe(kSync, true),
    Describe(kKeepFiles, true),
    Describe(kDropOnSuccess, true),
    Describe(kSpoolFolder, false),
    Describe(kSource, false),
    Describe(kSourceFilter, false),
    Describe(kSourceLayout, false),
    Describe(kLogFileName, false),
    Describe(kLogMaxLines, true),
    Describe(kLogFlags, false),
    Describe(kLogStatusFolder, false),
    Describe(kLogCauses, true),
};

}  // namespace zelk::config

#endif  // ZELK_CONFIG_SETTINGS_H_
