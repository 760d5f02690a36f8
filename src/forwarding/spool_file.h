// The spool file's format, for the spool's keepers and deliverers and for
// zelkhost's listing (through spool.h):
//
//   zelkforward spool 1 <absolute target name> CR LF
//   line <seconds since 1970> <MaxLines> <length> #<check> CR LF <the line's bytes>
//   line <seconds> <MaxLines> <length> <head> <header length> #<check> CR LF
//        <the header's bytes><the line's bytes>
//   sent <target offset> <length> <sum> #<check> CR LF
//
// A "line" item holds one line exactly as it goes to the target (CR LF line
// ends included). A line whose section begins an empty target with a head
// (Bom<N>, Header<N>) carries it in the longer form: <head> is 1 for the
// byte order mark plus 2 when the section's trim keeps the first line, and
// the rendered header (without its line end) comes before the line's bytes.
// A line without a head is written in the short form, as before heads
// existed, and files of either form are delivered. A "sent" item says that
// the `length` bytes of the lines before it that were not yet settled (with
// the head a target holding no lines got first) are being appended to the
// target at that offset: written before the append, under the target's and
// the spool file's exclusive locks, it lets a delivery that was cut short be
// told from one that completed. Each item's check (FNV-1a over its fields and bytes)
// tells a whole item from a torn one.
//
// A target has spool files `<FNV-1a 64 of its name>.spool`, then
// `<hash>.1.spool`, `<hash>.2.spool`, ... for lines that came while the
// earlier one was held; they are delivered in the order of their numbers.
#ifndef ZELK_FORWARDING_SPOOL_FILE_H_
#define ZELK_FORWARDING_SPOOL_FILE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace zelk::forwarding::spool {

inline constexpr std::string_view kSpoolExtension = ".spool";

// The longest line a spool file holds: delivery holds one item in memory at
// a time, and never more than this, whatever a file claims.
inline constexpr std::size_t kLongestLine = std::size_t{64} << 20;

std::string JoinPath(const std::string& folder, const std::string& name);

// The spool file number `sequence` of the target whose identity is
// `identity` (its absolute name, as the file system tells names apart).
std::string SpoolFileOf(const std::string& folder, const std::string& identity,
                        std::uint64_t sequence);

// The sequence number in a spool file's name; nullopt for a name the service
// does not give.
std::optional<std::uint64_t> SequenceOf(std::string_view name);

// A spool file's first line for `absolute_target`.
std::string Header(const std::string& absolute_target);

// The target named in the first line of `file` (read from its start, at most
// a few kilobytes), and where the items begin; nullopt when it has none.
struct HeaderLine {
  std::string target;
  std::int64_t items_start = 0;
};
std::optional<HeaderLine> ReadHeader(platform::File& file);

// True when `file` holds no more than the beginning of a first line: a
// keeper died while it wrote it, so it holds no line.
bool HoldsATornHeaderOnly(platform::File& file);

// What a kept line's section puts first into a target that holds no lines,
// and what its trim keeps at the start.
struct LineHead {
  bool byte_order_mark = false;  // Bom<N>
  bool first_line = false;       // Header<N> set: a trim keeps the first line
  std::string_view header;       // rendered, without its line end

  bool empty() const { return !byte_order_mark && !first_line && header.empty(); }
};

// Appends the item of one kept line to `out`.
void AppendLineItem(std::string& out, std::int64_t kept_at, std::int32_t max_lines,
                    std::string_view bytes, const LineHead& head = LineHead());

// The item announcing that `length` bytes with FNV-1a 32 `sum` go to the
// target at `offset`.
std::string SentItem(std::int64_t offset, std::int64_t length, std::uint32_t sum);

struct Item {
  bool sent = false;
  std::int64_t kept_at = 0;    // line
  std::int32_t max_lines = 0;  // line
  std::string_view bytes;      // line; valid until the reader's next call
  LineHead head;               // line; its header valid as long as `bytes`
  std::int64_t offset = 0;     // sent
  std::int64_t length = 0;     // sent
  std::int64_t start = 0;      // where the item begins in the file
  std::int64_t end = 0;        // where the next one begins
};

// Reads the items of a spool file one after another, from `from` up to
// `end`, holding a piece of bounded size in memory (one item, when an item is
// longer). A damaged stretch (bytes that are no whole item) is skipped up to
// the next whole item, in time linear in its length. The reader positions
// the file before every read, so other readers and writers may use it
// between calls.
class ItemReader {
 public:
  ItemReader(platform::File& file, std::int64_t from, std::int64_t end);

  // The next whole item; nullopt at `end`, or when a read failed (failed()).
  std::optional<Item> Next();

  std::int64_t damaged_bytes() const { return damaged_bytes_; }
  bool failed() const { return failed_; }

 private:
  // Makes the buffer hold `wanted` bytes from `at_` on, or all up to `end_`;
  // false when fewer are there.
  bool Fill(std::size_t wanted);
  std::optional<Item> ParseAt();
  // Moves past a damaged stretch beginning at `at_`, to the next place an
  // item's tag stands, or to the end.
  void SkipDamaged();
  std::int64_t Position() const { return buffer_start_ + static_cast<std::int64_t>(at_); }

  platform::File& file_;
  std::int64_t end_;
  std::string buffer_;  // the file's bytes from buffer_start_ on
  std::int64_t buffer_start_ = 0;
  std::size_t at_ = 0;  // where in buffer_ the next item is looked for
  std::int64_t damaged_bytes_ = 0;
  bool failed_ = false;
};

}  // namespace zelk::forwarding::spool

#endif  // ZELK_FORWARDING_SPOOL_FILE_H_
