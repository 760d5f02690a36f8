#include "forwarding/spool_file.h"

#include <algorithm>
#include <charconv>

#include "platform/ascii.h"
#include "platform/fnv1a.h"

namespace zelk::forwarding::spool {

namespace {

constexpr std::string_view kHeaderStart = "zelkforward spool 1 ";
constexpr std::string_view kLineTag = "line ";
constexpr std::string_view kSentTag = "sent ";
using platform::Fnv1a32;
using platform::Fnv1a64;
using platform::kLineBreak;
constexpr std::size_t kCheckDigits = 8;
constexpr std::size_t kHashDigits = 16;
constexpr std::size_t kTagLength = 5;
// A line item's <head> bits.
constexpr unsigned kHeadByteOrderMark = 1;
constexpr unsigned kHeadFirstLine = 2;
constexpr unsigned kHeadAll = kHeadByteOrderMark | kHeadFirstLine;
static_assert(kLineTag.size() == kTagLength && kSentTag.size() == kTagLength);

// An item's header line with its line break is never longer: five numbers
// of at most 20 digits, the tag, the check and the separators.
constexpr std::size_t kLongestItemHeader = 128;
// The longest header a line item carries (Header<N> is read to 1023).
constexpr std::size_t kLongestLineHeader = 4096;
// The longest first line read: longer target names than this are no target.
constexpr std::size_t kLongestHeader = kHeaderStart.size() + 4096 + kLineBreak.size();
// How much of a file a reader takes in at a time.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// `value`'s lowest `digits` hexadecimal digits, lowercase, with leading zeros.
std::string Hex(std::uint64_t value, std::size_t digits) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text(digits, '0');
  for (std::size_t at = digits; at > 0; --at, value >>= 4) text[at - 1] = kDigits[value & 0xF];
  return text;
}

template <typename Number>
void AppendNumber(std::string& out, Number number) {
  char digits[24];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, error == std::errc() ? end : digits);
}

// Appends " #", the check over the fields (at out's end from `fields_start`
// on) and `body`, CR LF and the body.
void FinishItem(std::string& out, std::size_t fields_start, std::string_view body) {
  const std::string_view fields(out.data() + fields_start, out.size() - fields_start);
  const std::uint32_t check = Fnv1a32(body, Fnv1a32(fields));
  out.append(" #").append(Hex(check, kCheckDigits)).append(kLineBreak).append(body);
}

// Reads a decimal or (with base 16) hexadecimal number and the separator
// after it from the front of `text`.
template <typename Number>
bool TakeNumber(std::string_view& text, Number& number, char separator, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
  if (error != std::errc() || end == text.data() || end == text.data() + text.size() ||
      *end != separator) {
    return false;
  }
  text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
  return true;
}

// Reads a line item's fields after its tag: the short form (three numbers)
// or the long one with the head (five). `header_length` is 0 in the short.
bool ParseLineFields(std::string_view text, Item& item, std::size_t& line_length,
                     std::size_t& header_length) {
  header_length = 0;
  if (!TakeNumber(text, item.kept_at, ' ') || !TakeNumber(text, item.max_lines, ' ') ||
      !TakeNumber(text, line_length, ' ') || line_length > kLongestLine) {
    return false;
  }
  if (text.empty()) return true;
  unsigned head = 0;
  if (!TakeNumber(text, head, ' ') || !TakeNumber(text, header_length, ' ') || !text.empty() ||
      (head & ~kHeadAll) != 0 || header_length > kLongestLineHeader) {
    return false;
  }
  item.head.byte_order_mark = (head & kHeadByteOrderMark) != 0;
  item.head.first_line = (head & kHeadFirstLine) != 0;
  return true;
}

// Reads an item's fields (its header line without the check) into `item`
// and the length of its body (for a line, `header_length` bytes of its
// head's header come first); false when they are no item's.
bool ParseFields(std::string_view fields, Item& item, std::size_t& body_length,
                 std::size_t& header_length) {
  std::string with_end(fields);
  with_end += ' ';  // so the last field has its separator too
  std::string_view text = with_end;
  body_length = 0;
  header_length = 0;
  const std::string_view tag = text.substr(0, kTagLength);
  text.remove_prefix(std::min(text.size(), kTagLength));
  if (tag == kLineTag) {
    std::size_t line_length = 0;
    if (!ParseLineFields(text, item, line_length, header_length)) return false;
    body_length = header_length + line_length;
    return true;
  }
  std::uint32_t sum = 0;
  item.sent = true;
  return tag == kSentTag && TakeNumber(text, item.offset, ' ') &&
         TakeNumber(text, item.length, ' ') && TakeNumber(text, sum, ' ', 16) && text.empty() &&
         item.offset >= 0 && item.length >= 0;
}

// Splits an item's header line into its fields and its check.
bool SplitCheck(std::string_view line, std::string_view& fields, std::uint32_t& check) {
  const std::size_t hash = line.rfind(" #");
  if (hash == std::string_view::npos || line.size() - hash - 2 != kCheckDigits) return false;
  fields = line.substr(0, hash);
  const std::string_view text = line.substr(hash + 2);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), check, 16);
  return error == std::errc() && end == text.data() + text.size();
}

// Where in `text` the first tag of an item begins; npos when none does.
std::size_t FindTag(std::string_view text) {
  for (std::size_t at = 0; at + kTagLength <= text.size(); ++at) {
    const std::string_view here = text.substr(at, kTagLength);
    if ((text[at] == 'l' && here == kLineTag) || (text[at] == 's' && here == kSentTag)) return at;
  }
  return std::string_view::npos;
}

}  // namespace

std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  return path + name;
}

std::string SpoolFileOf(const std::string& folder, const std::string& identity,
                        std::uint64_t sequence) {
  std::string name = Hex(Fnv1a64(identity), kHashDigits);
  if (sequence > 0) {
    // Appended piece by piece: GCC 12 at -O3 takes "." + to_string(...) for
    // an overlapping copy (a false -Wrestrict) and the release build stops.
    name += '.';
    name += std::to_string(sequence);
  }
  return JoinPath(folder, name + std::string(kSpoolExtension));
}

std::optional<std::uint64_t> SequenceOf(std::string_view name) {
  if (name.size() < kHashDigits + kSpoolExtension.size() ||
      name.substr(name.size() - kSpoolExtension.size()) != kSpoolExtension) {
    return std::nullopt;
  }
  for (char c : name.substr(0, kHashDigits)) {
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) return std::nullopt;
  }
  const std::string_view rest =
      name.substr(kHashDigits, name.size() - kHashDigits - kSpoolExtension.size());
  if (rest.empty()) return 0;
  std::uint64_t sequence = 0;
  const auto [end, error] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), sequence);
  if (rest.front() != '.' || error != std::errc() || end != rest.data() + rest.size() ||
      sequence == 0) {
    return std::nullopt;
  }
  return sequence;
}

std::string Header(const std::string& absolute_target) {
  return std::string(kHeaderStart) + absolute_target + std::string(kLineBreak);
}

std::optional<HeaderLine> ReadHeader(platform::File& file) {
  std::string head(kLongestHeader, '\0');
  if (!file.Seek(0)) return std::nullopt;
  const std::int64_t count = file.Read(head.data(), head.size());
  if (count <= 0) return std::nullopt;
  head.resize(static_cast<std::size_t>(count));
  const std::size_t end = head.find(kLineBreak);
  if (head.compare(0, kHeaderStart.size(), kHeaderStart) != 0 || end == std::string::npos ||
      end == kHeaderStart.size()) {
    return std::nullopt;
  }
  return HeaderLine{head.substr(kHeaderStart.size(), end - kHeaderStart.size()),
                    static_cast<std::int64_t>(end + kLineBreak.size())};
}

bool HoldsATornHeaderOnly(platform::File& file) {
  const std::int64_t size = file.Size();
  if (size < 0 || size >= static_cast<std::int64_t>(kLongestHeader) || !file.Seek(0)) return false;
  std::string content(static_cast<std::size_t>(size), '\0');
  if (!platform::ReadExactly(file, content.data(), content.size())) return false;
  const std::size_t compared = std::min(content.size(), kHeaderStart.size());
  return content.find(kLineBreak) == std::string::npos &&
         content.compare(0, compared, kHeaderStart, 0, compared) == 0;
}

void AppendLineItem(std::string& out, std::int64_t kept_at, std::int32_t max_lines,
                    std::string_view bytes, const LineHead& head) {
  const std::string_view header = head.header.substr(0, kLongestLineHeader);
  out.reserve(out.size() + header.size() + bytes.size() + kLongestItemHeader);
  const std::size_t start = out.size();
  out.append(kLineTag);
  AppendNumber(out, kept_at);
  out += ' ';
  AppendNumber(out, max_lines);
  out += ' ';
  AppendNumber(out, bytes.size());
  if (head.empty()) {
    FinishItem(out, start, bytes);
    return;
  }
  out += ' ';
  AppendNumber(out, (head.byte_order_mark ? kHeadByteOrderMark : 0u) |
                        (head.first_line ? kHeadFirstLine : 0u));
  out += ' ';
  AppendNumber(out, header.size());
  std::string body(header);
  body.append(bytes);
  FinishItem(out, start, body);
}

std::string SentItem(std::int64_t offset, std::int64_t length, std::uint32_t sum) {
  std::string item(kSentTag);
  AppendNumber(item, offset);
  item += ' ';
  AppendNumber(item, length);
  item.append(" ").append(Hex(sum, kCheckDigits));
  FinishItem(item, 0, {});
  return item;
}

ItemReader::ItemReader(platform::File& file, std::int64_t from, std::int64_t end)
    : file_(file), end_(end), buffer_start_(from) {}

std::optional<Item> ItemReader::Next() {
  while (!failed_ && Position() < end_) {
    if (std::optional<Item> item = ParseAt()) {
      at_ += static_cast<std::size_t>(item->end - item->start);
      return item;
    }
    if (failed_) break;
    SkipDamaged();
  }
  return std::nullopt;
}

bool ItemReader::Fill(std::size_t wanted) {
  if (buffer_.size() - at_ >= wanted) return true;
  buffer_.erase(0, at_);
  buffer_start_ += static_cast<std::int64_t>(at_);
  at_ = 0;
  const std::int64_t loaded_end = buffer_start_ + static_cast<std::int64_t>(buffer_.size());
  if (loaded_end >= end_) return false;
  const std::size_t more = static_cast<std::size_t>(std::min<std::int64_t>(
      end_ - loaded_end,
      static_cast<std::int64_t>(std::max(wanted - buffer_.size(), kPieceBytes))));
  const std::size_t old_size = buffer_.size();
  buffer_.resize(old_size + more);
  if (!file_.Seek(loaded_end) || !platform::ReadExactly(file_, buffer_.data() + old_size, more)) {
    failed_ = true;
    buffer_.resize(old_size);
    return false;
  }
  return buffer_.size() >= wanted;
}

std::optional<Item> ItemReader::ParseAt() {
  Fill(kLongestItemHeader);
  const std::string_view head(buffer_.data() + at_,
                              std::min(buffer_.size() - at_, kLongestItemHeader));
  const std::size_t line_end = head.find(kLineBreak);
  std::string_view fields;
  std::uint32_t check = 0;
  Item item;
  std::size_t body_length = 0;
  std::size_t header_length = 0;
  if (line_end == std::string_view::npos || !SplitCheck(head.substr(0, line_end), fields, check) ||
      !ParseFields(fields, item, body_length, header_length)) {
    return std::nullopt;
  }
  const std::size_t fields_length = fields.size();
  const std::size_t length = line_end + kLineBreak.size() + body_length;
  if (!Fill(length)) return std::nullopt;  // may move the buffer: views are taken anew
  fields = std::string_view(buffer_.data() + at_, fields_length);
  const std::string_view body(buffer_.data() + at_ + line_end + kLineBreak.size(), body_length);
  if (Fnv1a32(body, Fnv1a32(fields)) != check) return std::nullopt;
  item.head.header = body.substr(0, header_length);
  item.bytes = body.substr(header_length);
  item.start = Position();
  item.end = item.start + static_cast<std::int64_t>(length);
  return item;
}

void ItemReader::SkipDamaged() {
  const std::int64_t from = Position();
  ++at_;
  while (!failed_ && Position() < end_) {
    if (!Fill(kTagLength)) {
      at_ = buffer_.size();  // fewer bytes left than a tag: all damaged
      break;
    }
    const std::size_t tag = FindTag(std::string_view(buffer_).substr(at_));
    if (tag != std::string_view::npos) {
      at_ += tag;
      break;
    }
    at_ = buffer_.size() - (kTagLength - 1);  // a tag may begin in the last bytes
  }
  damaged_bytes_ += Position() - from;
}

}  // namespace zelk::forwarding::spool
