#include "forwarding/spool.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "config/settings.h"
#include "forwarding/target_guard.h"
#include "platform/platform.h"
#include "tracelog/trace_log.h"
#include "tracelog/trim.h"

namespace zelk::forwarding::spool {

namespace {

constexpr char kDeliveredMessage[] = "ForwardTransaction spool[%s] file[%s] -- DELIVERED lines[%d]";
constexpr char kDamagedMessage[] =
    "ForwardTransaction spool[%s] file[%s] -- t[Damaged spool items skipped] bytes[%s]";
constexpr char kForeignFileMessage[] = "ForwardTransaction spool[%s] -- t[Not a spool file]";
constexpr char kDeliveryFailedMessage[] =
    "ForwardTransaction spool[%s] file[%s] -- t[Could not write file] lines[%d]";

constexpr std::string_view kHeaderStart = "zelkforward spool 1 ";
constexpr std::string_view kLineTag = "line ";
constexpr std::string_view kSentTag = "sent ";
constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kSpoolExtension = ".spool";
constexpr std::size_t kCheckDigits = 8;

// The delivery worker's pauses: the first retry soon after a line was kept,
// then doubling while the targets stay away.
constexpr auto kFirstRetry = std::chrono::seconds(1);
constexpr auto kLongestRetry = std::chrono::seconds(60);
// How long a look at a spool file waits for its keeper or deliverer.
constexpr auto kHeldSpoolPatience = std::chrono::milliseconds(100);
constexpr auto kListingPatience = std::chrono::seconds(1);

// ---------------------------------------------------------------------------
// The file format.

std::uint32_t Fnv1a32(std::string_view bytes, std::uint32_t hash = 2166136261u) {
  for (unsigned char c : bytes) hash = (hash ^ c) * 16777619u;
  return hash;
}

std::uint64_t Fnv1a64(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// `value`'s lowest `digits` hexadecimal digits, lowercase, with leading zeros.
std::string Hex(std::uint64_t value, int digits) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int at = digits - 1; at >= 0; --at, value >>= 4) {
    text[static_cast<std::size_t>(at)] = kDigits[value & 0xF];
  }
  return text;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  return path + name;
}

// The spool file number `sequence` of `absolute_target` in `folder`. A target
// has several when lines came while its file was held (by a delivery, or a
// reader): they are delivered in the order of their numbers. The first is
// `<hash>.spool`, the later ones `<hash>.<sequence>.spool`.
std::string SpoolFileOf(const std::string& folder, const std::string& absolute_target,
                        std::uint64_t sequence) {
  std::string name = Hex(Fnv1a64(absolute_target), 16);
  if (sequence > 0) name += "." + std::to_string(sequence);
  return JoinPath(folder, name + std::string(kSpoolExtension));
}

// The sequence number in a spool file's name; nullopt for a name the service
// does not give.
std::optional<std::uint64_t> SequenceOf(std::string_view name) {
  constexpr std::size_t kHashDigits = 16;
  if (name.size() < kHashDigits + kSpoolExtension.size() ||
      name.substr(name.size() - kSpoolExtension.size()) != kSpoolExtension) {
    return std::nullopt;
  }
  for (char c : name.substr(0, kHashDigits)) {
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) return std::nullopt;
  }
  std::string_view rest =
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

// One item: its fields, " #", the check over fields and body, CR LF, the body.
// Appends to `out` the item of `fields` (already at out's end from
// `fields_start` on) and `body`.
void FinishItem(std::string& out, std::size_t fields_start, std::string_view body) {
  const std::string_view fields(out.data() + fields_start, out.size() - fields_start);
  const std::uint32_t check = Fnv1a32(body, Fnv1a32(fields));
  out.append(" #").append(Hex(check, kCheckDigits)).append(kLineBreak).append(body);
}

std::string Item(const std::string& fields, std::string_view body) {
  std::string item = fields;
  FinishItem(item, 0, body);
  return item;
}

template <typename Number>
void AppendNumber(std::string& out, Number number) {
  char digits[24];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, error == std::errc() ? end : digits);
}

// Appends the item of one kept line to `out`.
void AppendLineItem(std::string& out, std::int64_t kept_at, std::int32_t max_lines,
                    std::string_view bytes) {
  out.reserve(out.size() + bytes.size() + 64);
  const std::size_t start = out.size();
  out.append(kLineTag);
  AppendNumber(out, kept_at);
  out += ' ';
  AppendNumber(out, max_lines);
  out += ' ';
  AppendNumber(out, bytes.size());
  FinishItem(out, start, bytes);
}

std::string SentItem(std::int64_t offset, std::string_view bytes) {
  return Item(std::string(kSentTag) + std::to_string(offset) + " " + std::to_string(bytes.size()) +
                  " " + Hex(Fnv1a32(bytes), kCheckDigits),
              {});
}

struct ParsedItem {
  bool sent = false;
  std::int64_t kept_at = 0;    // line
  std::int32_t max_lines = 0;  // line
  std::string_view bytes;      // line
  std::int64_t offset = 0;     // sent
  std::int64_t length = 0;     // sent
  std::uint32_t sum = 0;       // sent
  std::size_t end = 0;         // where the next item begins
};

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

// The whole item that begins at `at`, or nullopt when none does (torn or not
// an item).
std::optional<ParsedItem> ParseItem(std::string_view content, std::size_t at) {
  const std::size_t line_end = content.find(kLineBreak, at);
  if (line_end == std::string_view::npos) return std::nullopt;
  const std::string_view line = content.substr(at, line_end - at);
  const std::size_t hash = line.rfind(" #");
  if (hash == std::string_view::npos || line.size() - hash - 2 != kCheckDigits) return std::nullopt;
  const std::string_view fields = line.substr(0, hash);
  const std::string_view check_text = line.substr(hash + 2);
  std::uint32_t check = 0;
  const auto [check_end, check_error] =
      std::from_chars(check_text.data(), check_text.data() + check_text.size(), check, 16);
  if (check_error != std::errc() || check_end != check_text.data() + check_text.size()) {
    return std::nullopt;
  }
  ParsedItem item;
  std::string with_end(fields);
  with_end += ' ';  // so the last field has its separator too
  std::string_view text = with_end;
  std::size_t body_length = 0;
  if (text.substr(0, kLineTag.size()) == kLineTag) {
    text.remove_prefix(kLineTag.size());
    if (!TakeNumber(text, item.kept_at, ' ') || !TakeNumber(text, item.max_lines, ' ') ||
        !TakeNumber(text, body_length, ' ') || !text.empty()) {
      return std::nullopt;
    }
  } else if (text.substr(0, kSentTag.size()) == kSentTag) {
    item.sent = true;
    text.remove_prefix(kSentTag.size());
    if (!TakeNumber(text, item.offset, ' ') || !TakeNumber(text, item.length, ' ') ||
        !TakeNumber(text, item.sum, ' ', 16) || !text.empty() || item.offset < 0 ||
        item.length < 0) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  const std::size_t body_start = line_end + kLineBreak.size();
  if (content.size() - body_start < body_length) return std::nullopt;
  const std::string_view body = content.substr(body_start, body_length);
  if (Fnv1a32(body, Fnv1a32(fields)) != check) return std::nullopt;
  item.bytes = body;
  item.end = body_start + body_length;
  return item;
}

struct ParsedSpool {
  std::string target;  // empty when the file is not a spool file
  std::vector<ParsedItem> items;
  std::int64_t damaged_bytes = 0;
};

// Where the next whole item after a damaged stretch begins, searching from
// `from`; content.size() when none does.
std::size_t NextWholeItem(std::string_view content, std::size_t from) {
  for (std::size_t at = from; at < content.size(); ++at) {
    const std::size_t line = content.find(kLineTag, at);
    const std::size_t sent = content.find(kSentTag, at);
    at = std::min(line, sent);
    if (at == std::string_view::npos) break;
    if (ParseItem(content, at)) return at;
  }
  return content.size();
}

ParsedSpool Parse(std::string_view content) {
  ParsedSpool parsed;
  const std::size_t header_end = content.find(kLineBreak);
  if (content.substr(0, kHeaderStart.size()) != kHeaderStart ||
      header_end == std::string_view::npos || header_end == kHeaderStart.size()) {
    return parsed;
  }
  parsed.target =
      std::string(content.substr(kHeaderStart.size(), header_end - kHeaderStart.size()));
  for (std::size_t at = header_end + kLineBreak.size(); at < content.size();) {
    if (std::optional<ParsedItem> item = ParseItem(content, at)) {
      parsed.items.push_back(*item);
      at = item->end;
      continue;
    }
    const std::size_t next = NextWholeItem(content, at + 1);
    parsed.damaged_bytes += static_cast<std::int64_t>(next - at);
    at = next;
  }
  return parsed;
}

// ---------------------------------------------------------------------------
// Files.

// Fills `bytes` from the file's position on; false when the file ends first or
// a read fails.
bool ReadExactly(platform::File& file, std::string& bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const std::int64_t count = file.Read(bytes.data() + filled, bytes.size() - filled);
    if (count <= 0) return false;
    filled += static_cast<std::size_t>(count);
  }
  return true;
}

std::optional<std::string> ReadWhole(platform::File& file) {
  const std::int64_t size = file.Size();
  if (size < 0 || !file.Seek(0)) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!ReadExactly(file, bytes)) return std::nullopt;
  return bytes;
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// ---------------------------------------------------------------------------
// Delivery of one spool file.

struct Pending {
  std::string bytes;
  std::int32_t max_lines = 0;
};

std::string Joined(const std::vector<Pending>& lines) {
  std::string bytes;
  for (const Pending& line : lines) bytes += line.bytes;
  return bytes;
}

// Settles the lines a "sent" item announced against what the target holds
// from the announced offset on: those found there, whole and in order, were
// delivered; a torn piece of the next one is cut off when nothing came after
// it. What is not settled stays in `lines`, to be appended again. Lines are
// looked for only where they were announced, never elsewhere in the target,
// where an earlier line with the same bytes would pass for them.
// False when the target could not be read.
bool Settle(std::vector<Pending>& lines, const ParsedItem& sent, platform::File& target) {
  const std::int64_t size = target.Size();
  if (size < 0) return false;
  if (sent.offset > size) return true;
  std::size_t announced = 0;
  for (const Pending& line : lines) announced += line.bytes.size();
  // Only the announced stretch is read, however long the target is.
  const auto window = static_cast<std::size_t>(
      std::min<std::int64_t>(size - sent.offset, static_cast<std::int64_t>(announced)));
  std::string from(window, '\0');
  if (!target.Seek(sent.offset) || !ReadExactly(target, from)) return false;
  std::size_t matched = 0;
  std::size_t settled = 0;
  while (settled < lines.size() &&
         std::string_view(from).substr(matched, lines[settled].bytes.size()) ==
             lines[settled].bytes) {
    matched += lines[settled].bytes.size();
    ++settled;
  }
  if (settled < lines.size()) {
    const std::string_view rest = std::string_view(from).substr(matched);
    const std::string& torn = lines[settled].bytes;
    const bool at_end = sent.offset + static_cast<std::int64_t>(from.size()) == size;
    if (at_end && !rest.empty() && rest.size() < torn.size() &&
        torn.compare(0, rest.size(), rest) == 0) {
      target.Truncate(sent.offset + static_cast<std::int64_t>(matched));
    }
  }
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(settled));
  return true;
}

// kWriteFailed: the target was opened, but appending the lines failed (a
// full disk); the lines still wait.
// kGaveUp: the caller's time ran out before the append; the lines still wait.
enum class Delivered { kAll, kTargetAway, kSpoolBusy, kWriteFailed, kGaveUp, kFailed };

struct DeliveryResult {
  Delivered outcome = Delivered::kFailed;
  int lines = 0;    // delivered, or (kWriteFailed) that failed
  int waiting = 0;  // found waiting in the file, when it could be read
};

// Appends what `spool_path` holds to its target, unless `give_up` says so
// before the append. Held exclusively meanwhile, so no line is kept in it:
// keepers go to the next spool file.
DeliveryResult DeliverFile(const std::string& spool_path, const std::string& target,
                           const std::function<bool()>& give_up) {
  DeliveryResult result;
  platform::OpenResult spool =
      platform::OpenExclusiveRemovable(spool_path, platform::CreateMode::kOpenExisting);
  if (spool.status == platform::OpenStatus::kNotFound) {
    result.outcome = Delivered::kAll;
    return result;
  }
  if (spool.status == platform::OpenStatus::kBusy) result.outcome = Delivered::kSpoolBusy;
  if (spool.status != platform::OpenStatus::kOk) return result;
  const std::optional<std::string> content = ReadWhole(spool.file);
  if (!content) return result;
  const ParsedSpool parsed = Parse(*content);
  if (parsed.target != target) return result;
  if (parsed.damaged_bytes > 0) {
    tracelog::LogMessage('*', kDamagedMessage, spool_path.c_str(), target.c_str(),
                         std::to_string(parsed.damaged_bytes).c_str());
  }

  platform::OpenResult opened =
      platform::OpenExclusive(target, platform::CreateMode::kCreateIfMissing);
  if (opened.status != platform::OpenStatus::kOk) {
    result.outcome = Delivered::kTargetAway;
    return result;
  }
  platform::File& file = opened.file;
  std::vector<Pending> lines;
  for (const ParsedItem& item : parsed.items) {
    if (!item.sent) {
      lines.push_back({std::string(item.bytes), item.max_lines});
    } else if (!Settle(lines, item, file)) {
      return result;
    }
  }
  if (lines.empty()) {
    platform::RemoveHeldFile(spool.file, spool_path);
    result.outcome = Delivered::kAll;
    return result;
  }
  result.waiting = static_cast<int>(lines.size());
  if (give_up()) {
    result.outcome = Delivered::kGaveUp;
    return result;
  }

  // Announce, append, then remove the spool file; each step on the disk
  // before the next, so a cut at any point leaves the spool telling what
  // happened.
  const std::string bytes = Joined(lines);
  const std::int64_t offset = file.Size();
  if (offset < 0 || !spool.file.SeekToEnd()) return result;
  const std::string sent = SentItem(offset, bytes);
  if (!spool.file.Write(sent.data(), sent.size()) || !platform::FlushToDisk(spool.file)) {
    return result;
  }
  if (!file.Seek(offset) || !file.Write(bytes.data(), bytes.size()) ||
      !platform::FlushToDisk(file)) {
    file.Truncate(offset);
    result.outcome = Delivered::kWriteFailed;
    result.lines = static_cast<int>(lines.size());
    return result;
  }
  platform::RemoveHeldFile(spool.file, spool_path);
  file.Close();
  if (lines.back().max_lines != 0) tracelog::TrimToLastLines(target, lines.back().max_lines);
  result.outcome = Delivered::kAll;
  result.lines = static_cast<int>(lines.size());
  tracelog::LogMessage('.', kDeliveredMessage, spool_path.c_str(), target.c_str(), result.lines);
  return result;
}

// ---------------------------------------------------------------------------
// What this process knows waits, and the worker that delivers it.

// What this process knows of one target's waiting lines: the spool files
// from `oldest` to `newest` may hold them, and new lines go to `newest` (or a
// later one, while it is held).
struct Waiting {
  std::uint64_t oldest = 0;
  std::uint64_t newest = 0;
  int lines = 0;  // kept by this process, or counted by a delivery that failed
};

enum class Kept { kKept, kBusy, kFailed };

class Spool {
 public:
  bool HasWaiting(const std::string& folder, const std::string& target) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      LearnLocked(folder);
      if (waiting_.empty()) return false;
    }
    const std::string absolute = platform::AbsolutePath(target);
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.contains(absolute);
  }

  int WaitingLines(const std::string& target) {
    const std::string absolute = platform::AbsolutePath(target);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = waiting_.find(absolute);
    return found == waiting_.end() ? 0 : found->second.lines;
  }

  // Keeps the line in the target's newest spool file; when another holds it
  // (a delivery, a reader), in the next one, so a keeper never waits for
  // more than a keeper's write.
  bool Keep(const std::string& folder, const std::string& target, std::int32_t max_lines,
            std::string_view bytes) {
    const std::string absolute = platform::AbsolutePath(target);
    if (absolute.empty() || folder.empty()) return false;
    std::uint64_t sequence = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      LearnLocked(folder);
      const auto found = waiting_.find(absolute);
      if (found != waiting_.end()) sequence = found->second.newest;
    }
    for (int tried = 0; tried < kSpoolFilesTried; ++tried, ++sequence) {
      const Kept kept = KeepIn(SpoolFileOf(folder, absolute, sequence), absolute, max_lines, bytes,
                               tried == 0 ? kKeeperPatience : std::chrono::milliseconds(0));
      if (kept == Kept::kBusy) continue;
      if (kept == Kept::kFailed) return false;
      std::lock_guard<std::mutex> lock(mutex_);
      Waiting& waiting =
          waiting_.try_emplace(absolute, Waiting{sequence, sequence, 0}).first->second;
      waiting.newest = std::max(waiting.newest, sequence);
      ++waiting.lines;
      StartWorkerLocked();
      return true;
    }
    return false;
  }

  DeliveryCount DeliverAll(const std::string& folder) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      learnt_ = false;  // look at the folder again: an earlier run may have left lines
      LearnLocked(folder);
    }
    const DeliveryCount count = DeliverWaiting([] { return false; });
    std::lock_guard<std::mutex> lock(mutex_);
    StartWorkerLocked();
    return count;
  }

  // Learns what waits in `folder` and has the worker deliver it at once, so
  // the caller (the host's start) waits for no delivery.
  void DeliverSoon(const std::string& folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    learnt_ = false;
    LearnLocked(folder);
    deliver_soon_ = true;
    wake_.notify_all();
    StartWorkerLocked();
  }

  // Tries to deliver what waits for `target` until `deadline`; true when
  // nothing waits for it any more.
  bool DeliverTarget(const std::string& folder, const std::string& target,
                     std::chrono::steady_clock::time_point deadline) {
    const std::string absolute = platform::AbsolutePath(target);
    DeliverTarget(folder, absolute,
                  [deadline] { return std::chrono::steady_clock::now() >= deadline; });
    std::lock_guard<std::mutex> lock(mutex_);
    return !waiting_.contains(absolute);
  }

  void Resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }

  bool Stop(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    return wake_.wait_for(lock, timeout, [this] { return !worker_running_; });
  }

 private:
  // How many spool files of one target a keeper tries, and how long it waits
  // for the first (another process's keeper holds it for one write).
  static constexpr int kSpoolFilesTried = 4;
  static constexpr auto kKeeperPatience = std::chrono::milliseconds(50);

  // Appends the line's item to the spool file at `path`; kBusy when another
  // holder keeps it out for longer than `patience`.
  static Kept KeepIn(const std::string& path, const std::string& absolute, std::int32_t max_lines,
                     std::string_view bytes, std::chrono::milliseconds patience) {
    platform::OpenResult opened = platform::OpenWhenFree(
        [&path] {
          return platform::OpenExclusiveRemovable(path, platform::CreateMode::kCreateIfMissing);
        },
        patience);
    if (opened.status == platform::OpenStatus::kBusy) return Kept::kBusy;
    if (opened.status != platform::OpenStatus::kOk) return Kept::kFailed;
    std::int64_t size = platform::SeekToEndOffset(opened.file);
    if (size < 0) return Kept::kFailed;
    const std::string header = Header(absolute);
    // Shorter than its first line: a keeper died while it wrote the file's
    // first item, so it holds no line; begin it anew.
    if (size > 0 && size < static_cast<std::int64_t>(header.size())) {
      if (!opened.file.Truncate(0) || !opened.file.Seek(0)) return Kept::kFailed;
      size = 0;
    }
    std::string item = size == 0 ? header : std::string();
    AppendLineItem(item, NowSeconds(), max_lines, bytes);
    bool written = opened.file.Write(item.data(), item.size());
    if (!written) {
      // Nothing torn stays behind; a new file goes again.
      if (size == 0) {
        platform::RemoveHeldFile(opened.file, path);
      } else {
        opened.file.Truncate(size);
      }
    }
    written = opened.file.Close() && written;
    return written ? Kept::kKept : Kept::kFailed;
  }

  // Learns the targets that wait in `folder` when it is not the folder last
  // learnt: one listing and a read of each spool file's first line.
  void LearnLocked(const std::string& folder) {
    if (learnt_ && folder == folder_) return;
    folder_ = folder;
    learnt_ = true;
    waiting_.clear();
    const std::optional<std::vector<std::string>> names = platform::ListFolder(folder);
    if (!names) return;
    for (const std::string& name : *names) {
      if (!EndsWith(name, kSpoolExtension)) continue;
      const std::string path = JoinPath(folder, name);
      const std::optional<std::uint64_t> sequence = SequenceOf(name);
      const std::string target = sequence ? TargetOf(path) : std::string();
      if (target.empty()) {
        if (!RemoveIfTorn(path)) tracelog::LogMessage('*', kForeignFileMessage, path.c_str());
      } else if (SpoolFileOf(folder, target, *sequence) == path) {
        const auto [entry, inserted] =
            waiting_.try_emplace(target, Waiting{*sequence, *sequence, 0});
        entry->second.oldest = std::min(entry->second.oldest, *sequence);
        entry->second.newest = std::max(entry->second.newest, *sequence);
      }
    }
  }

  // Removes the spool file at `path` when a keeper died before its first line
  // was whole: then it holds no line. True when it was removed, or is being
  // written just now.
  static bool RemoveIfTorn(const std::string& path) {
    platform::OpenResult opened =
        platform::OpenExclusiveRemovable(path, platform::CreateMode::kOpenExisting);
    if (opened.status == platform::OpenStatus::kBusy) return true;
    if (opened.status != platform::OpenStatus::kOk)
      return opened.status == platform::OpenStatus::kNotFound;
    const std::optional<std::string> content = ReadWhole(opened.file);
    if (!content || content->find(kLineBreak) != std::string::npos ||
        content->compare(0, std::min(content->size(), kHeaderStart.size()), kHeaderStart, 0,
                         std::min(content->size(), kHeaderStart.size())) != 0) {
      return false;
    }
    return platform::RemoveHeldFile(opened.file, path);
  }

  // The target named in the first line of the spool file at `path`; empty
  // when it has none. A keeper or a deliverer holds a file only for a
  // moment; one held longer is left to its holder (which knows it waits).
  static std::string TargetOf(const std::string& path) {
    platform::OpenResult opened = platform::OpenWhenFree(
        [&path] { return platform::OpenSharedRead(path); }, kHeldSpoolPatience);
    if (opened.status != platform::OpenStatus::kOk) return {};
    std::string head(kHeaderStart.size() + 4096, '\0');
    const std::int64_t count = opened.file.Read(head.data(), head.size());
    if (count <= 0) return {};
    head.resize(static_cast<std::size_t>(count));
    const std::size_t end = head.find(kLineBreak);
    if (head.compare(0, kHeaderStart.size(), kHeaderStart) != 0 || end == std::string::npos) {
      return {};
    }
    return head.substr(kHeaderStart.size(), end - kHeaderStart.size());
  }

  using GiveUp = std::function<bool()>;

  // One try for every target this process knows to wait, until `give_up`.
  DeliveryCount DeliverWaiting(const GiveUp& give_up) {
    std::vector<std::string> targets;
    std::string folder;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& [target, waiting] : waiting_) targets.push_back(target);
      folder = folder_;
    }
    DeliveryCount count;
    for (const std::string& target : targets) {
      const DeliveryResult result =
          give_up() ? DeliveryResult{} : DeliverTarget(folder, target, give_up);
      if (result.outcome == Delivered::kAll) {
        count.lines_delivered += result.lines;
        count.targets_delivered += result.lines > 0 ? 1 : 0;
      } else {
        ++count.targets_waiting;
      }
    }
    return count;
  }

  // Delivers the spool files of `target`, oldest first, until one fails or
  // `give_up` says so. A delivery never keeps a keeper waiting: lines kept
  // meanwhile go to a later file, which this walk takes next.
  DeliveryResult DeliverTarget(const std::string& folder, const std::string& target,
                               const GiveUp& give_up) {
    DeliveryResult total;
    total.outcome = Delivered::kAll;
    std::uint64_t sequence = 0;
    while (NextToDeliver(folder, target, sequence)) {
      const std::string spool_file = SpoolFileOf(folder, target, sequence);
      const DeliveryResult result = DeliverFile(spool_file, target, give_up);
      ReportWriteFailure(spool_file, target, result);
      if (result.outcome != Delivered::kAll) {
        NoteWaitingLines(target, result.waiting);
        total.outcome = result.outcome;
        return total;
      }
      total.lines += result.lines;
      MarkDelivered(folder, target, sequence, result.lines);
    }
    return total;
  }

  // The oldest spool file of `target` not known to be delivered; false when
  // nothing waits for it (any more, or in this folder).
  bool NextToDeliver(const std::string& folder, const std::string& target,
                     std::uint64_t& sequence) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = waiting_.find(target);
    if (folder != folder_ || found == waiting_.end()) return false;
    sequence = found->second.oldest;
    return true;
  }

  // Spool file `sequence` of `target` is delivered: the target waits no more
  // when it was the newest.
  void MarkDelivered(const std::string& folder, const std::string& target, std::uint64_t sequence,
                     int lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = waiting_.find(target);
    if (folder != folder_ || found == waiting_.end()) return;
    if (found->second.newest <= sequence) {
      waiting_.erase(found);
      return;
    }
    found->second.oldest = sequence + 1;
    found->second.lines = std::max(0, found->second.lines - lines);
  }

  void NoteWaitingLines(const std::string& target, int lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = waiting_.find(target);
    if (found != waiting_.end()) found->second.lines = std::max(found->second.lines, lines);
  }

  // Says once that the lines for `target` could not be appended, until they
  // are: a worker retrying every minute would otherwise fill the log.
  void ReportWriteFailure(const std::string& spool_file, const std::string& target,
                          const DeliveryResult& result) {
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (result.outcome == Delivered::kWriteFailed) {
        first = write_failing_.insert(target).second;
      } else if (result.outcome == Delivered::kAll) {
        write_failing_.erase(target);
      }
    }
    if (first) {
      tracelog::LogMessage('*', kDeliveryFailedMessage, spool_file.c_str(), target.c_str(),
                           result.lines);
    }
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }

  void StartWorkerLocked() {
    if (worker_running_ || stopping_ || waiting_.empty()) return;
    std::function<void()> task = [this] { WorkerLoop(); };
    worker_running_ = platform::StartDetachedThread(task, platform::ThreadPriority::kLowest);
    // A module unloaded without StopService ends a sleeping worker first.
    // Made after the worker registry (which the first start makes), this
    // object is torn down before it.
    static UnloadStop unload_stop(*this);
  }

  void WorkerLoop() {
    auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRetry);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (wake_.wait_for(lock, pause, [this] { return stopping_ || deliver_soon_; }) && stopping_) {
        break;
      }
      deliver_soon_ = false;
      lock.unlock();
      DeliveryCount count;
      try {
        count = DeliverWaiting([this] { return Stopping(); });
      } catch (const std::exception&) {
        // No memory for a spool's content: tried again after the next pause.
      }
      lock.lock();
      if (waiting_.empty() || stopping_) break;
      pause = count.targets_delivered > 0
                  ? std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRetry)
                  : std::min<std::chrono::milliseconds>(pause * 2, kLongestRetry);
    }
    worker_running_ = false;
    wake_.notify_all();
  }

  struct UnloadStop {
    explicit UnloadStop(Spool& spool) : spool_(spool) {}
    ~UnloadStop() {
      std::lock_guard<std::mutex> lock(spool_.mutex_);
      spool_.stopping_ = true;
      spool_.wake_.notify_all();
    }
    Spool& spool_;
  };

  std::mutex mutex_;
  std::condition_variable wake_;
  std::string folder_;
  bool learnt_ = false;
  std::map<std::string, Waiting> waiting_;  // by absolute target name
  // Targets whose last delivery could not append its lines, already logged.
  std::set<std::string> write_failing_;
  bool worker_running_ = false;
  bool stopping_ = false;
  bool deliver_soon_ = false;  // the worker's next try comes at once
};

// Made when the module is loaded, before any worker, so it outlives them.
Spool g_spool;

}  // namespace

bool HasWaitingLines(const std::string& folder, const std::string& target) {
  return g_spool.HasWaiting(folder, target);
}

bool Keep(const std::string& folder, const std::string& target, std::int32_t max_lines,
          std::string_view bytes) {
  return g_spool.Keep(folder, target, max_lines, bytes);
}

int WaitingLines(const std::string& target) { return g_spool.WaitingLines(target); }

bool DeliverTarget(const std::string& folder, const std::string& target,
                   std::chrono::steady_clock::time_point deadline) {
  return g_spool.DeliverTarget(folder, target, deadline);
}

DeliveryCount DeliverAll(const std::string& folder) { return g_spool.DeliverAll(folder); }

void ResumeDelivery() { g_spool.Resume(); }

bool StopDelivery(std::chrono::milliseconds timeout) { return g_spool.Stop(timeout); }

void DeliverAtStart() {
  ResumeDelivery();
  const std::string folder =
      config::Read(config::Snapshot::Load(config::ConfigFilePath()), config::kSpoolFolder);
  if (!folder.empty()) g_spool.DeliverSoon(folder);
}

std::optional<std::vector<WaitingTarget>> ListWaiting(const std::string& folder) {
  const std::optional<std::vector<std::string>> names = platform::ListFolder(folder);
  if (!names) return std::nullopt;
  std::vector<WaitingTarget> waiting;
  for (const std::string& name : *names) {
    if (!EndsWith(name, kSpoolExtension)) continue;
    WaitingTarget entry;
    entry.spool_file = JoinPath(folder, name);
    platform::OpenResult opened = platform::OpenWhenFree(
        [&entry] { return platform::OpenUnlockedRead(entry.spool_file); }, kListingPatience);
    if (opened.status == platform::OpenStatus::kBusy) {
      entry.in_use = true;
      waiting.push_back(std::move(entry));
      continue;
    }
    if (opened.status != platform::OpenStatus::kOk) continue;
    const std::optional<std::string> content = ReadWhole(opened.file);
    if (!content) continue;
    const ParsedSpool parsed = Parse(*content);
    entry.target = parsed.target;
    entry.damaged_bytes = parsed.damaged_bytes;
    int unsettled = 0;
    for (const ParsedItem& item : parsed.items) {
      if (item.sent) continue;  // a delivery cut short: its lines still count as waiting
      ++unsettled;
      if (entry.oldest == 0 || item.kept_at < entry.oldest) entry.oldest = item.kept_at;
      entry.newest = std::max(entry.newest, item.kept_at);
    }
    entry.lines = unsettled;
    waiting.push_back(std::move(entry));
  }
  std::sort(waiting.begin(), waiting.end(),
            [](const WaitingTarget& a, const WaitingTarget& b) { return a.target < b.target; });
  return waiting;
}

}  // namespace zelk::forwarding::spool
