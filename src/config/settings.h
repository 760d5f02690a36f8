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

inline constexpr NumberedSetting kSource{kValidJobSection, "Source", "", "", 256};
inline constexpr NumberedSetting kSourceFilter{kValidJobSection, "Filter", "", "", 32};
inline constexpr NumberedSetting kSourceLayout{kValidJobSection, "Format", "", "", 128};

inline constexpr Setting kLogFileName{kLogSection, "FileName", "", 256};
inline constexpr Setting kLogMaxLines{kLogSection, "MaxLines", "50", 32};
inline constexpr Setting kLogFlags{kLogSection, "Flags", "", 32};

}  // namespace zelk::config

#endif  // ZELK_CONFIG_SETTINGS_H_
