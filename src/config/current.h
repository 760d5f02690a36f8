// The configuration as every call of the service reads it: the snapshot of
// the file's last whole read, kept while one look at the file finds it as it
// was, read again when not. A file caught while an editor saves it is never
// taken for the configuration.
#ifndef ZELK_CONFIG_CURRENT_H_
#define ZELK_CONFIG_CURRENT_H_

#include <memory>
#include <string>
#include <string_view>

#include "config/config.h"
#include "platform/error.h"

namespace zelk::config {

// Why the configuration file could not be read whole just now.
enum class ReadTrouble {
  kNone,
  kHeld,        // another program holds it so that it cannot be opened
  kNotOpened,   // it could not be opened or read (no access, not a file, ...)
  kBeingSaved,  // it was empty, shorter or changed while it was read
};

// The trouble in words, for the trace log.
std::string_view ReadTroubleText(ReadTrouble trouble);

struct CurrentSnapshot {
  std::shared_ptr<const Snapshot> snapshot;  // never null
  // Not kNone: the file could not be read whole by this call, even after
  // waiting for it; `snapshot` is then the last one read whole.
  ReadTrouble trouble = ReadTrouble::kNone;
  // The system's cause, when a system call failed (kNotOpened).
  platform::Status cause{};
  // The first such call since the file was last read whole (or since the
  // first call): a stretch in which it cannot be read begins, to be told.
  bool stretch_begins = false;
  // No read of the file was ever whole: `snapshot` has every default.
  bool never_read_whole = false;
};

// The configuration file at `path` as this call is to read it. While the file
// is unchanged since the last whole read, costs one look at it (its size,
// modification time and identity); a file modified within kRacyWindow of
// that read is read again all the same, as a change in the same tick of the
// file system's clock would not show. A missing file reads as the defaults.
// A file that cannot be opened, or is read while being saved, is read again
// for up to a second, once per stretch: within a stretch each call tries
// once without waiting. Thread-safe; the latest path asked for is kept.
CurrentSnapshot CurrentConfiguration(const std::string& path);

}  // namespace zelk::config

#endif  // ZELK_CONFIG_CURRENT_H_
