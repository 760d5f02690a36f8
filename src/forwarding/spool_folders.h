// The record of the spool folders the service has used, so that lines left
// waiting in a folder that SpoolFolder no longer names are still delivered,
// by this process and by the next ones, and new lines for their targets wait
// behind them.
//
// The record lies beside the configuration file and bears its name with the
// extension "spoolfolders" (zelkforward.spoolfolders): a text file of one
// absolute folder per line, CR LF, in the order the folders were first used.
// The service adds a folder when it first learns it, and drops folders that
// no longer exist when it adds one. The folder beside the configuration is
// chosen because only it outlives a change of SpoolFolder made while the
// host is stopped.
#ifndef ZELK_FORWARDING_SPOOL_FOLDERS_H_
#define ZELK_FORWARDING_SPOOL_FOLDERS_H_

#include <optional>
#include <string>
#include <vector>

namespace zelk::forwarding::spool {

// The record file for the configuration file at `config_path`.
std::string FolderRecordOf(const std::string& config_path);

// Adds `folder` to the record at `record` unless it holds it already, and
// answers the other folders it holds that still exist, oldest first, made
// absolute. nullopt when the record could not be read or written (its
// folder not writable, or another process holding it for longer than a
// moment); the caller then knows only the folders of its own process.
std::optional<std::vector<std::string>> RecordFolder(const std::string& record,
                                                     const std::string& folder);

// The folders in the record at `record` other than `folder` that still
// exist, oldest first, without changing it; for zelkhost's listing.
std::vector<std::string> FoldersUsedBefore(const std::string& record, const std::string& folder);

}  // namespace zelk::forwarding::spool

#endif  // ZELK_FORWARDING_SPOOL_FOLDERS_H_
