#include "forwarding/spool_delivery.h"

#include <algorithm>
#include <optional>
#include <string>

#include "forwarding/cut_back.h"
#include "forwarding/spool_file.h"
#include "forwarding/target_head.h"
#include "platform/fnv1a.h"
#include "platform/platform.h"
#include "tracelog/status.h"
#include "tracelog/trace_log.h"
#include "tracelog/trim.h"

namespace zelk::forwarding::spool {

namespace {

constexpr char kDeliveredMessage[] = "ForwardTransaction spool[%s] file[%s] -- DELIVERED lines[%d]";
constexpr char kDamagedMessage[] =
    "ForwardTransaction spool[%s] file[%s] -- t[Damaged spool items skipped] bytes[%s]";

// Lines appended to the target per announced piece, at least: a piece ends
// with the line that reaches it.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// The lines of the spool file not settled yet: the line items from `start`
// on (-1: none), `lines` of them.
struct Unsettled {
  std::int64_t start = -1;
  int lines = 0;
};

// The head a line's section puts first into a target holding no lines.
TargetHead TargetHeadOf(const Item& line) {
  return {line.head.byte_order_mark, std::string(line.head.header)};
}

// What the target's trim after the delivery follows: the last line's.
struct LastLine {
  std::int32_t max_lines = 0;
  tracelog::TrimHead trim_head;
};

// One delivery's open files and what it learnt.
struct Delivery {
  platform::File& spool;
  platform::File& target;
  const std::string& target_name;
  std::int64_t spool_end = 0;  // the file's end when it was read: later bytes are its own
  Unsettled unsettled;
};

// What a delivery put into the target at `offset` for `line`, the first of
// its piece: the line, behind its section's head when the target held no
// lines there (the head goes in as the pipeline's append puts it). nullopt
// when the target could not be read.
std::optional<std::string> FirstOfPiece(platform::File& target, std::int64_t offset,
                                        const Item& line) {
  std::string bytes(line.bytes);
  if (!PutHeadFirst(target, offset, TargetHeadOf(line), bytes)) return std::nullopt;
  return bytes;
}

// Settles the unsettled lines against what the target holds from the
// offset the "sent" item at `sent_start` announced, as far as it announced:
// those found there, whole and in order, were delivered; a torn piece of the
// next one is cut off when it is the target's end. Lines are looked for only
// where they were announced, never elsewhere in the target, where an earlier
// line with the same bytes would pass for them. False when a file could not
// be read.
bool Settle(Delivery& d, const Item& sent, std::int64_t sent_start) {
  const std::int64_t size = d.target.Size();
  if (size < 0) return false;
  if (d.unsettled.start < 0 || sent.offset > size) return true;
  const std::int64_t window_end = sent.offset + std::min(size - sent.offset, sent.length);
  ItemReader lines(d.spool, d.unsettled.start, sent_start);
  std::int64_t at = sent.offset;
  std::string found;
  while (std::optional<Item> line = lines.Next()) {
    if (line->sent) continue;
    std::optional<std::string> first;
    if (at == sent.offset && !(first = FirstOfPiece(d.target, at, *line))) return false;
    const std::string_view expected = first ? std::string_view(*first) : line->bytes;
    const auto take = static_cast<std::size_t>(
        std::min<std::int64_t>(window_end - at, static_cast<std::int64_t>(expected.size())));
    found.resize(take);
    if (!d.target.Seek(at) || !platform::ReadExactly(d.target, found.data(), take)) return false;
    if (expected.substr(0, take) != found) break;
    if (take < expected.size()) {
      if (take > 0 && at + static_cast<std::int64_t>(take) == size) {
        CutBack(d.target, at, d.target_name);
      }
      break;
    }
    at += static_cast<std::int64_t>(take);
    d.unsettled.start = line->end;
    --d.unsettled.lines;
  }
  if (d.unsettled.lines == 0) d.unsettled.start = -1;
  return !lines.failed();
}

// Reads the spool file's items after its first line, settling each "sent"
// item as it comes; the unsettled lines are left in `d`. False when a file
// could not be read.
bool ReadAndSettle(Delivery& d, std::int64_t items_start, DeliveryResult& result) {
  ItemReader items(d.spool, items_start, d.spool_end);
  while (std::optional<Item> item = items.Next()) {
    if (!item->sent) {
      if (d.unsettled.start < 0) d.unsettled.start = item->start;
      ++d.unsettled.lines;
    } else if (!Settle(d, *item, item->start)) {
      return false;
    }
  }
  result.damaged_bytes = items.damaged_bytes();
  result.waiting = d.unsettled.lines;
  return !items.failed();
}

// Announces `piece` in the spool file, on the disk before the append, then
// appends it to the target and flushes it (and, when it holds no lines, its
// name in its folder), behind `head` when the target holds no lines. A
// failed append is cut back.
// The system's cause of what failed is left in `cause`.
Delivered AppendPiece(Delivery& d, std::string& piece, const TargetHead& head,
                      platform::Status& cause) {
  const std::int64_t offset = d.target.Size();
  if (offset < 0) cause = d.target.LastError();
  if (offset >= 0) cause = d.spool.SeekToEnd();
  if (!cause.ok()) return Delivered::kFailed;  // see AppendUnsettled
  if (!PutHeadFirst(d.target, offset, head, piece)) {
    cause = d.target.LastError();
    return Delivered::kWriteFailed;
  }
  const std::string sent =
      SentItem(offset, static_cast<std::int64_t>(piece.size()), platform::Fnv1a32(piece));
  cause = d.spool.Write(sent.data(), sent.size());
  if (cause.ok()) cause = platform::FlushToDisk(d.spool);
  if (!cause.ok()) return Delivered::kFailed;
  cause = d.target.Seek(offset);
  if (cause.ok()) cause = d.target.Write(piece.data(), piece.size());
  if (cause.ok()) cause = platform::FlushToDisk(d.target);
  // A target this delivery began may be a name its folder has not yet put
  // on the disk: a power cut would take the file, lines and all, once the
  // spool let them go.
  if (cause.ok() && offset == 0) cause = platform::FlushFolderOf(d.target_name);
  if (!cause.ok()) {
    CutBack(d.target, offset, d.target_name);
    return Delivered::kWriteFailed;
  }
  return Delivered::kAll;
}

// Appends the unsettled lines in pieces, each announced before it goes; a
// piece into a target holding no lines begins with its first line's head.
// The MaxLines and trim of the last line appended are left in `last`.
void AppendUnsettled(Delivery& d, const std::function<bool()>& give_up, DeliveryResult& result,
                     LastLine& last) {
  ItemReader items(d.spool, d.unsettled.start, d.spool_end);
  std::string piece;
  TargetHead piece_head;
  int piece_lines = 0;
  for (;;) {
    const std::optional<Item> item = items.Next();
    if (item && item->sent) continue;
    if (item) {
      if (piece.empty()) piece_head = TargetHeadOf(*item);
      piece.append(item->bytes);
      ++piece_lines;
      last = {item->max_lines, {item->head.byte_order_mark, item->head.first_line}};
    }
    if (piece.size() >= kPieceBytes || (!item && !piece.empty())) {
      result.outcome =
          give_up() ? Delivered::kGaveUp : AppendPiece(d, piece, piece_head, result.cause);
      if (result.outcome != Delivered::kAll) break;
      result.lines += piece_lines;
      piece.clear();
      piece_lines = 0;
    }
    if (!item) {
      result.outcome = items.failed() ? Delivered::kFailed : Delivered::kAll;
      if (items.failed()) result.failure = kSpoolUnreadReason;
      return;
    }
  }
  // What failed: those lines, and all after them, still wait.
  if (result.outcome == Delivered::kWriteFailed) result.lines = d.unsettled.lines - result.lines;
  if (result.outcome == Delivered::kFailed) result.failure = kSpoolUnwrittenReason;
}

void ReportDamaged(const std::string& spool_path, const std::string& target,
                   const DeliveryResult& result) {
  if (result.damaged_bytes == 0) return;
  tracelog::LogMessage(tracelog::kError, kDamagedMessage, tracelog::VisibleText(spool_path).c_str(),
                       tracelog::VisibleText(target).c_str(),
                       std::to_string(result.damaged_bytes).c_str());
}

// What a spool file that could not be opened tells: gone (delivered by
// another), in use just now, or a failure with the system's cause.
void NotOpened(platform::OpenResult& spool, DeliveryResult& result) {
  if (spool.status == platform::OpenStatus::kNotFound) result.outcome = Delivered::kAll;
  if (spool.status == platform::OpenStatus::kBusy) result.outcome = Delivered::kSpoolBusy;
  if (spool.status == platform::OpenStatus::kFailed) {
    result.failure = kSpoolUnopenedReason;
    result.cause = std::move(spool.error);
  }
}

}  // namespace

DeliveryResult DeliverFile(const std::string& spool_path, const std::string& identity,
                           const ConfiguredTargets& configured,
                           const std::function<bool()>& give_up) {
  DeliveryResult result;
  platform::OpenResult spool =
      platform::OpenExclusiveRemovable(spool_path, platform::CreateMode::kOpenExisting);
  if (spool.status != platform::OpenStatus::kOk) {
    NotOpened(spool, result);
    return result;
  }
  const std::optional<HeaderLine> header = ReadHeader(spool.file);
  const std::int64_t spool_end = spool.file.Size();
  result.failure = !header || spool_end < 0                                 ? kSpoolUnreadReason
                   : platform::FileNameIdentity(header->target) != identity ? kOtherTargetReason
                   : !configured.Admits(header->target) ? kUnconfiguredTargetReason
                                                        : nullptr;
  if (result.failure != nullptr) return result;
  const std::string& target = header->target;
  platform::OpenResult opened =
      platform::OpenExclusive(target, platform::CreateMode::kCreateIfMissing);
  if (opened.status != platform::OpenStatus::kOk) {
    result.outcome = Delivered::kTargetAway;
    return result;
  }
  Delivery d{spool.file, opened.file, target, spool_end, {}};
  if (!ReadAndSettle(d, header->items_start, result)) {
    result.failure = kSpoolUnreadReason;
    return result;
  }
  ReportDamaged(spool_path, target, result);
  LastLine last;
  if (d.unsettled.lines > 0) AppendUnsettled(d, give_up, result, last);
  if (d.unsettled.lines == 0) result.outcome = Delivered::kAll;
  if (result.outcome != Delivered::kAll) return result;
  // Delivered even when the removal fails: the next delivery finds the
  // lines in the target by their "sent" items.
  if (platform::Status removed = platform::RemoveHeldFile(spool.file, spool_path); !removed) {
    result.failure = kSpoolNotRemovedReason;
    result.cause = std::move(removed);
  }
  // Every piece was flushed to the disk as it went: the close loses nothing.
  opened.file.Close().IgnoreError();
  if (last.max_lines != 0) tracelog::TrimToLastLines(target, last.max_lines, last.trim_head);
  if (result.lines > 0) {
    tracelog::LogMessage(tracelog::kInformation, kDeliveredMessage,
                         tracelog::VisibleText(spool_path).c_str(),
                         tracelog::VisibleText(target).c_str(), result.lines);
    tracelog::status::CountDelivered(target, result.lines);
  }
  return result;
}

}  // namespace zelk::forwarding::spool
