// The "did you mean" of zelkhost: the name a mistyped one most likely stands
// for, among the names that are known (commands, options, sections, keys).
#ifndef ZELK_TOOLS_ZELKHOST_NEAREST_NAME_H_
#define ZELK_TOOLS_ZELKHOST_NEAREST_NAME_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::host {

// Edits (insertions, deletions, replacements) from `a` to `b`, letter case
// aside.
std::size_t EditDistance(std::string_view a, std::string_view b);

// The candidate nearest to `name` in edits, when it is at most `most_edits`
// away and closer than its own length (so that no short name is taken for
// any other); the first of equals wins.
std::optional<std::string> NearestName(std::string_view name,
                                       const std::vector<std::string>& candidates,
                                       std::size_t most_edits);

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_NEAREST_NAME_H_
