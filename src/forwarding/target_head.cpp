#include "forwarding/target_head.h"

#include <array>

#include "config/settings.h"
#include "platform/ascii.h"

namespace zelk::forwarding {

std::optional<bool> HoldsNoLines(platform::File& file, std::int64_t size) {
  if (size == 0) return true;
  if (size != static_cast<std::int64_t>(kUtf8ByteOrderMark.size())) return false;
  std::array<char, kUtf8ByteOrderMark.size()> start{};
  if (!file.Seek(0) || file.Read(start.data(), start.size()) != size) return std::nullopt;
  return std::string_view(start.data(), start.size()) == kUtf8ByteOrderMark;
}

bool PutHeadFirst(platform::File& target, std::int64_t size, const TargetHead& head,
                  std::string& bytes) {
  if (head.empty()) return true;
  const std::optional<bool> no_lines = HoldsNoLines(target, size);
  if (!no_lines || !target.Seek(size)) return false;
  if (!*no_lines) return true;
  std::string first;
  if (head.byte_order_mark && size == 0) first = kUtf8ByteOrderMark;
  if (!head.header.empty()) first.append(head.header).append(platform::kLineBreak);
  bytes.insert(0, first);
  return true;
}

tracelog::TrimHead TrimHeadOf(const config::Snapshot& snapshot, int n) {
  tracelog::TrimHead head;
  head.byte_order_mark = config::IntegerSetting(config::Read(snapshot, config::kBom, n)) != 0;
  head.first_line = !config::Read(snapshot, config::kHeader, n).empty();
  return head;
}

}  // namespace zelk::forwarding
