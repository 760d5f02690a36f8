// What a section puts first into a target that holds no lines yet: a UTF-8
// byte order mark (Bom<N>), then its header line (Header<N>), so that a
// program importing the file finds both on every new or rotated file. The
// pipeline's append puts it there through PutHeadFirst, the one place that
// decides it; a delivery of spooled lines to a target holding none needs the
// same call.
#ifndef ZELK_FORWARDING_TARGET_HEAD_H_
#define ZELK_FORWARDING_TARGET_HEAD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"
#include "platform/platform.h"
#include "tracelog/trim.h"

namespace zelk::forwarding {

inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

struct TargetHead {
  bool byte_order_mark = false;
  std::string header;  // rendered, without its line end; empty: no header

  bool empty() const { return !byte_order_mark && header.empty(); }
};

// Whether the open `file`, `size` bytes long, holds no lines: it is empty or
// holds only a byte order mark. nullopt when it could not be read. Moves the
// file's position.
std::optional<bool> HoldsNoLines(platform::File& file, std::int64_t size);

// When the open `target`, `size` bytes long, holds no lines, puts `head` in
// front of `bytes` (the lines about to be appended at `size`): the byte order
// mark unless the target has it already, then the header with CR LF. Leaves
// the position at `size`. False when the target could not be read; `bytes` is
// then unchanged. Called before the bytes are appended (and, in a delivery of
// spooled lines, before they are announced), so the head is part of them.
[[nodiscard]] bool PutHeadFirst(platform::File& target, std::int64_t size, const TargetHead& head,
                                std::string& bytes);

// What a trim of section N's target keeps at its start beyond the last
// MaxLines<N> lines: the byte order mark with Bom<N>, the first line with
// Header<N>.
tracelog::TrimHead TrimHeadOf(const config::Snapshot& snapshot, int n);

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_TARGET_HEAD_H_
