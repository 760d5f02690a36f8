// Which targets the configured sections could have rendered, so that a
// delivery of spooled lines writes only to those: a spool file is trusted
// for its lines, never for where they go. A file planted in the spool folder
// by anyone who may write it could otherwise name any path.
//
// The rule, from each section's Target<N> value (read as it stands, the
// ExtFormat fields not rendered):
// - a target without a field ("%") is the one name it gives, made absolute;
// - a target with fields lies in the folder its fixed text names up to the
//   last path separator before the first field (the current folder when
//   there is none), at the depth the separators after it give (field values
//   never hold one), with no "." or ".." among the names below that folder
//   and no control character in them (field values never hold one either).
// A target that holds lines of a section since removed is refused too, until
// the section is back: conservative, as no section could render it now.
#ifndef ZELK_FORWARDING_SPOOL_TARGETS_H_
#define ZELK_FORWARDING_SPOOL_TARGETS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "config/config.h"

namespace zelk::forwarding::spool {

class ConfiguredTargets {
 public:
  // Admits nothing: no configuration known.
  ConfiguredTargets() = default;

  // The targets the [ForwardTransaction] sections of `snapshot` may render.
  static ConfiguredTargets Of(const config::Snapshot& snapshot);

  // True when a section could have rendered `absolute_target` (an absolute
  // name, as a spool file's first line holds it).
  bool Admits(const std::string& absolute_target) const;

 private:
  struct Folder {
    std::string identity;   // of the absolute folder, ending in a separator
    std::size_t depth = 0;  // separators in a name below it
  };

  std::vector<std::string> names_;  // identities of the targets without fields
  std::vector<Folder> folders_;
};

}  // namespace zelk::forwarding::spool

#endif  // ZELK_FORWARDING_SPOOL_TARGETS_H_
