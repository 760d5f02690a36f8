// KeepFiles<N>: a section whose target changes with every period (a file per
// hour or day) keeps its newest N files and removes the older ones, which it
// finds by their names.
#ifndef ZELK_FORWARDING_KEEP_FILES_H_
#define ZELK_FORWARDING_KEEP_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "extformat/field_record.h"

namespace zelk::forwarding {

// Where the time parts of a target name, rendered in pieces, stand.
struct TimePartsOfName {
  bool in_file_name = false;
  bool in_folder = false;
};
TimePartsOfName WhereTimePartsStand(const std::vector<extformat::NamePiece>& pieces);

// After section `n`'s append began the new target `target`, rendered as
// `pieces` with the time parts of its period: of the files in the target's
// folder whose names the target format renders with only the time parts
// different, keeps the newest `keep` (the new one among them) and removes
// the rest of earlier periods. Periods are read from the names, never from
// file times; time parts in folder names are not looked at. Each removal is
// logged, and so is each file that cannot be removed (with its cause: it is
// left) and a folder that cannot be listed.
void RemoveEarlierPeriods(int n, const std::string& target,
                          const std::vector<extformat::NamePiece>& pieces, std::int32_t keep);

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_KEEP_FILES_H_
