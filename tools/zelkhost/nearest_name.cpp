#include "nearest_name.h"

#include <algorithm>

#include "platform/ascii.h"

namespace zelk::host {

std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = platform::AsciiLower(a[i - 1]) == platform::AsciiLower(b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::optional<std::string> NearestName(std::string_view name,
                                       const std::vector<std::string>& candidates,
                                       std::size_t most_edits) {
  std::optional<std::string> nearest;
  std::size_t best = most_edits + 1;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = EditDistance(name, candidate);
    if (distance < best && distance < candidate.size()) {
      best = distance;
      nearest = candidate;
    }
  }
  return nearest;
}

}  // namespace zelk::host
