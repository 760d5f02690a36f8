#include "forwarding/pipeline.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

#include "config/settings.h"
#include "extformat/field_record.h"
#include "forwarding/cut_back.h"
#include "forwarding/job_check.h"
#include "forwarding/keep_files.h"
#include "forwarding/messages.h"
#include "forwarding/spool.h"
#include "forwarding/target_guard.h"
#include "forwarding/target_head.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "tracelog/busy_stretch.h"
#include "tracelog/causes.h"
#include "tracelog/status.h"
#include "tracelog/trace_log.h"
#include "tracelog/trim.h"

namespace zelk::forwarding {

namespace {

// The pipeline's own texts, kept where zelkhost's summary reads them too.
using namespace messages;

// Why a line went to the spool, in the spooled line's t[...].
constexpr char kBehindSpooledLinesReason[] = "Target has spooled lines";
constexpr char kCouldNotOpenReason[] = "Could not open file";
constexpr char kCouldNotWriteReason[] = "Could not write file";
// What the system said when a line could not be written, for the status file.
constexpr char kHeldCause[] = "the file is held by another program";
constexpr char kFolderMissingCause[] = "the folder does not exist";
constexpr char kWriteRefusedCause[] = "the system refused the write (a full disk?)";

constexpr std::int32_t kSecondsPerMinute = 60;

using tracelog::status::LineOutcome;

// How long a writer waits for a target that another handle holds (another
// process, or a viewer), in growing steps, before it gives up on the line.
constexpr auto kBusyTargetPatience = std::chrono::milliseconds(2000);

// Any well-formed moment: SetDateTime sets the seven time parts from it.
constexpr char kAnyDate[] = "000101";
constexpr char kAnyTime[] = "000000";

// "12.5" -> "12,50": two decimals, the decimal point as a comma.
std::string CommaDecimal(double value) {
  char buffer[400];
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
  std::string text = error == std::errc() ? std::string(buffer, end) : std::string();
  for (char& c : text) {
    if (c == '.') c = ',';
  }
  return text;
}

// The line as it goes to disk: every line feed as CR LF, and one more at the end.
std::string LineForDisk(std::string_view line) {
  std::string bytes;
  bytes.reserve(line.size() + 8);
  platform::AppendWithCrLf(bytes, line);
  bytes += platform::kLineBreak;
  return bytes;
}

// What a section asks of its target besides the line: the head a target
// holding no lines begins with, the line limit, what a trim keeps first, and
// whether the line and the cut are to be on the disk before they count.
struct TargetShape {
  const TargetHead& head;
  std::int32_t max_lines;
  tracelog::TrimHead trim_head;
  tracelog::Durability durability;
};

// Sync<N>: the section's lines and cuts go to the disk before they count.
tracelog::Durability DurabilityOf(const config::Snapshot& snapshot, int n) {
  return config::IntegerSetting(config::Read(snapshot, config::kSync, n)) != 0
             ? tracelog::Durability::kDurable
             : tracelog::Durability::kCached;
}

// With kDurable: the line written to the held `file` is on the disk, and
// when the file is new (`began`), its name in the folder too.
platform::Status LineSettled(platform::File& file, const std::string& target, bool began,
                             tracelog::Durability durability) {
  if (durability == tracelog::Durability::kCached) return {};
  platform::Status flushed = platform::FlushToDisk(file);
  if (flushed.ok() && began) flushed = platform::FlushFolderOf(target);
  return flushed;
}

// Everything one call knows about the transaction it forwards.
class Call {
 public:
  Call(const Transaction& transaction, const config::Snapshot& snapshot)
      : transaction_(transaction),
        snapshot_(snapshot),
        trans_no_(tracelog::VisibleText(transaction.trans_no)),
        job_no_(tracelog::VisibleText(transaction.job_no)),
        value09_(ParseReal(transaction.value09)) {}

  void Run() {
    tracelog::status::CountReceived();
    if (config::IntegerSetting(config::Read(snapshot_, config::kEnable)) == 0) {
      tracelog::LogMessage(tracelog::kError, kNotEnabledMessage, trans_no_.c_str(),
                           job_no_.c_str());
      tracelog::status::CountDropped(tracelog::status::Drop::kNotEnabled);
      return;
    }
    const int allow_zero =
        config::IntegerSetting(config::Read(snapshot_, config::kAllowZeroTransaction));
    if (value09_ == 0.0 && allow_zero == 0) {
      tracelog::LogMessage(tracelog::kError, kZeroTransactionMessage, trans_no_.c_str(),
                           job_no_.c_str());
      tracelog::status::CountDropped(tracelog::status::Drop::kZeroTransaction);
      return;
    }
    if (config::IntegerSetting(config::Read(snapshot_, config::kValidation)) != 0 &&
        CheckJobno(transaction_.job_no, snapshot_) == 0) {
      tracelog::LogMessageAsync(tracelog::kError, kRecheckFailedMessage);
      tracelog::status::CountDropped(tracelog::status::Drop::kNotValid);
      return;
    }
    for (int n = 1;; ++n) {
      const std::string format = config::Read(snapshot_, config::kOutputFormat, n);
      if (format.empty()) return;
      if (!RunSection(n, format)) return;
    }
  }

 private:
  // One output section; false when the walk ends after it.
  bool RunSection(int n, const std::string& format) {
    const SectionFilter filter(config::Read(snapshot_, config::kOutputFilter, n));
    if (!filter.Admits(transaction_.job_no)) return true;

    std::string target;
    const std::int32_t max_lines =
        config::IntegerSetting(config::Read(snapshot_, config::kOutputMaxLines, n));
    trimmed_in_append_ = false;
    WriteSection(n, format, !filter.blank(), max_lines, target);
    if (max_lines != 0 && !target.empty() && !trimmed_in_append_) {
      // Inside the target's turn, so the trim never fails against a writer of
      // this process.
      TargetGuard turn(target);
      tracelog::TrimToLastLines(target, max_lines, TrimHeadOf(snapshot_, n),
                                DurabilityOf(snapshot_, n));
    }
    return !EndsWalk(snapshot_, n);
  }

  // Renders and writes the section's line; `target` receives the rendered
  // target name (empty when the section failed before it).
  void WriteSection(int n, const std::string& format, bool prefix_filtered, std::int32_t max_lines,
                    std::string& target) {
    target_format_ = config::Read(snapshot_, config::kTarget, n);
    try {
      extformat::FieldRecord record;
      FillFieldRecord(record, transaction_, prefix_filtered);
      RenderTarget(record, transaction_, target_format_, RotationPeriod(snapshot_, n), target);
      std::string line;
      RenderLine(record, transaction_, format, line, CsvRuleOf(snapshot_, n));
      TargetHead head;
      RenderHeader(record, config::Read(snapshot_, config::kHeader, n), head.header);
      head.byte_order_mark = config::IntegerSetting(config::Read(snapshot_, config::kBom, n)) != 0;
      if (Append(n, target, line,
                 {head, max_lines, TrimHeadOf(snapshot_, n), DurabilityOf(snapshot_, n)})) {
        KeepNewestFiles(n, record, target_format_, target);
      }
    } catch (const extformat::ExtFormatError& error) {
      Report({n, target_format_, target, LineOutcome::kFormatError, error.what(), ""},
             kSectionErrorMessage);
    } catch (const std::exception& error) {
      Report({n, target_format_, target, LineOutcome::kNotWritten, error.what(), ""},
             kSectionFailureMessage);
    }
  }

  // Logs what became of a section's line and counts it for the status file:
  // the one place for both, so that the counts and the log never disagree.
  // `message` takes the section, file, TransNo and JobNo, and may take the
  // event's reason last.
  // `cause`, when failed, is the system's, which the line ends with when
  // causes are shown.
  void Report(const tracelog::status::LineEvent& event, const char* message,
              const platform::Status& cause = {}) {
    const std::string file(event.file);
    const std::string reason(event.reason);
    tracelog::LogFailure(
        cause, event.outcome == LineOutcome::kWritten ? tracelog::kInformation : tracelog::kError,
        message, event.section, file.c_str(), trans_no_.c_str(), job_no_.c_str(), reason.c_str());
    tracelog::status::CountLine(event);
  }

  // KeepFiles N, once the append began a new target: the section's files of
  // earlier periods beyond the newest N go. The record gets back the
  // target's rounded moment, which its name shows.
  void KeepNewestFiles(int n, extformat::FieldRecord& record, std::string_view target_format,
                       const std::string& target) {
    const std::int32_t keep =
        config::IntegerSetting(config::Read(snapshot_, config::kKeepFiles, n));
    if (keep <= 0) return;
    record.SetDateTime(transaction_.date, transaction_.time, RotationPeriod(snapshot_, n));
    RemoveEarlierPeriods(n, target, record.RenderNamePieces(target_format), keep);
  }

  // What became of an append of a section's line.
  enum class AppendResult {
    kWritten,
    kWrittenAheadOfSpooled,  // written, but before lines of the target still in the spool
    kSpooled,
    kOpenFailed,
    kWriteFailed,
    // Every byte written, but the close failed: the line is in the target as
    // far as this process can tell, but the system did not confirm it (a
    // network file system reports a lost write there). Reported as not
    // written, with the cause, and never kept in the spool too, whose
    // delivery would put it in the target a second time.
    kCloseFailed,
  };

  // What became of a section's line: the append's result, why it was
  // spooled, how many waiting lines it went ahead of, what the system said
  // when it was not written, and whether it began a new target.
  struct Outcome {
    AppendResult result = AppendResult::kWritten;
    const char* reason = nullptr;
    int ahead_of = 0;
    const char* cause = "";
    bool began_target = false;
    platform::Status error{};  // the system's cause of a line not written
  };

  // Appends the line to the target in the target's turn, then logs the outcome.
  // With a spool folder set, a line that cannot be appended, and every line
  // for a target that has lines in the spool, goes to the spool instead.
  // True when the line began a new target (it was absent or empty).
  bool Append(int n, const std::string& target, const std::string& line, const TargetShape& shape) {
    const std::string spool_folder = config::Read(snapshot_, config::kSpoolFolder);
    Outcome outcome;
    {
      TargetGuard turn(target);
      outcome = spool_folder.empty() || target.empty()
                    ? AppendToTarget(target, line, shape, kBusyTargetPatience)
                    : AppendWithSpool(spool_folder, target, line, shape);
    }
    ReportOutcome(n, target, outcome);
    return outcome.result == AppendResult::kWritten && outcome.began_target;
  }

  void ReportOutcome(int n, const std::string& target, const Outcome& outcome) {
    if (outcome.result == AppendResult::kSpooled) {
      Report({n, target_format_, target, LineOutcome::kSpooled, outcome.reason, outcome.cause},
             kSpooledMessage, outcome.error);
    } else if (outcome.result == AppendResult::kWrittenAheadOfSpooled) {
      // Written, but out of order: an error line, so that it is seen.
      tracelog::LogMessage(tracelog::kError, kAheadOfSpooledMessage, n, target.c_str(),
                           trans_no_.c_str(), job_no_.c_str(), outcome.ahead_of);
      tracelog::status::CountLine({n, target_format_, target, LineOutcome::kWritten, "", ""});
    } else if (outcome.result == AppendResult::kWritten) {
      Report({n, target_format_, target, LineOutcome::kWritten, "", ""}, kSuccessMessage);
    } else {
      const bool open_failed = outcome.result == AppendResult::kOpenFailed;
      Report({n, target_format_, target, LineOutcome::kNotWritten,
              open_failed ? kCouldNotOpenReason : kCouldNotWriteReason, outcome.cause},
             open_failed ? kOpenFailedMessage : kWriteFailedMessage, outcome.error);
    }
  }

  // The line goes behind the target's waiting lines, or to the target, or to
  // the spool when the target fails, all within one wait for the target. When
  // the spool cannot keep a line that should go behind waiting ones, those
  // are delivered first if they can be within the wait; if not, the line goes
  // ahead of them rather than be lost.
  Outcome AppendWithSpool(const std::string& folder, const std::string& target,
                          const std::string& line, const TargetShape& shape) {
    const auto deadline = std::chrono::steady_clock::now() + kBusyTargetPatience;
    if (spool::HasWaitingLines(folder, target)) {
      spool::KnowTargets(snapshot_);
      if (spool::Keep(folder, target, shape.max_lines, LineForDisk(line), SpooledHead(shape))) {
        return {AppendResult::kSpooled, kBehindSpooledLinesReason};
      }
      if (!spool::DeliverTarget(folder, target, deadline)) {
        const int waiting = spool::WaitingLines(target);
        Outcome appended = AppendToTarget(target, line, shape, PatienceUntil(deadline));
        if (appended.result == AppendResult::kWritten) {
          appended.result = AppendResult::kWrittenAheadOfSpooled;
          appended.ahead_of = waiting;
        }
        return appended;
      }
    }
    bool busy = false;
    Outcome appended = AppendToTarget(target, line, shape, PatienceUntil(deadline), &busy);
    // A line whose close alone failed is in the target already.
    if (appended.result == AppendResult::kWritten ||
        appended.result == AppendResult::kCloseFailed) {
      return appended;
    }
    spool::KnowTargets(snapshot_);
    if (!spool::Keep(folder, target, shape.max_lines, LineForDisk(line), SpooledHead(shape))) {
      return appended;
    }
    // Kept: not among the lines a busy stretch lost.
    if (busy) tracelog::ForgiveFailure(target);
    return {
        AppendResult::kSpooled,
        appended.result == AppendResult::kOpenFailed ? kCouldNotOpenReason : kCouldNotWriteReason,
        0,
        appended.cause,
        false,
        std::move(appended.error)};
  }

  // The section's head as a spooled line carries it to its delivery.
  static spool::LineHead SpooledHead(const TargetShape& shape) {
    return {shape.head.byte_order_mark, shape.trim_head.first_line, shape.head.header};
  }

  static std::chrono::milliseconds PatienceUntil(std::chrono::steady_clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()));
  }

  // Appends the line to the target. After a failed write the target is put
  // back to its length before, so no piece of the line stays in it to run
  // into the next line written (the line goes to the spool, or is lost and
  // logged as such). A target that holds no lines gets the head first. With a
  // line limit, a written line is followed by the section's trim in the same
  // hold of the file. `busy`, when given, is set when the target stayed held
  // by another handle.
  Outcome AppendToTarget(const std::string& target, const std::string& line,
                         const TargetShape& shape, std::chrono::milliseconds patience,
                         bool* busy = nullptr) {
    // A target another handle holds is tried again for a while, once per
    // busy stretch; any other failure is final at once.
    tracelog::LineOpen open = tracelog::OpenForLine(
        target,
        [&target] {
          return platform::OpenExclusive(target, platform::CreateMode::kCreateIfMissing);
        },
        patience);
    if (open.lines_failed_in_stretch > 0) {
      tracelog::LogMessage(tracelog::kError, kBusyStretchMessage, target.c_str(),
                           open.lines_failed_in_stretch);
    }
    platform::OpenResult& opened = open.opened;
    Outcome outcome;
    if (busy != nullptr) *busy = opened.status == platform::OpenStatus::kBusy;
    if (opened.status != platform::OpenStatus::kOk) {
      outcome.cause = opened.status == platform::OpenStatus::kBusy       ? kHeldCause
                      : opened.status == platform::OpenStatus::kNotFound ? kFolderMissingCause
                                                                         : "";
      outcome.result = AppendResult::kOpenFailed;
      outcome.error = std::move(opened.error);
      return outcome;
    }
    std::string bytes = LineForDisk(line);
    // The open told the end, which no one else can move while it is held.
    const std::int64_t size_before = opened.size;
    outcome.began_target = size_before == 0;
    platform::Status failure = WriteLine(opened.file, size_before, target, shape, bytes);
    if (!failure.ok()) {
      CutBack(opened.file, size_before, target);
    } else if (shape.max_lines != 0) {
      // The file is held already: no second open for the trim, and no
      // writer of another process between the line and the cut.
      const auto size = size_before + static_cast<std::int64_t>(bytes.size());
      tracelog::TrimHeldToLastLines(opened.file, size, shape.max_lines, shape.trim_head,
                                    shape.durability);
      trimmed_in_append_ = true;
    }
    const bool written = failure.ok();
    if (platform::Status closed = opened.file.Close(); written) failure = std::move(closed);
    if (!failure.ok()) {
      outcome.cause = kWriteRefusedCause;
      outcome.result = written ? AppendResult::kCloseFailed : AppendResult::kWriteFailed;
      outcome.error = std::move(failure).About(target);
    }
    return outcome;
  }

  // Puts the line (`bytes`, the head first when the target holds no lines)
  // at `at` in the held `file`, on the disk before it counts when the section
  // asks for that.
  static platform::Status WriteLine(platform::File& file, std::int64_t at,
                                    const std::string& target, const TargetShape& shape,
                                    std::string& bytes) {
    platform::Status failure = PutHeadFirst(file, at, shape.head, bytes)
                                   ? file.WriteAt(at, bytes.data(), bytes.size())
                                   : HeadFailure(file);
    if (failure.ok()) failure = LineSettled(file, target, at == 0, shape.durability);
    return failure;
  }

  // Why the head could not be put before a line: the read or seek that
  // failed, as the file kept it.
  static platform::Status HeadFailure(const platform::File& file) {
    platform::Status failure = file.LastError();
    if (failure.ok()) return platform::Status::Refused("write", {}, kCouldNotWriteReason);
    return failure;
  }

  const Transaction& transaction_;
  const config::Snapshot& snapshot_;
  // NUL-terminated copies for the log lines, control characters escaped.
  const std::string trans_no_;
  const std::string job_no_;
  const double value09_;
  // The Target value of the section being written.
  std::string target_format_;
  // The section's line was written and its target trimmed in the same hold.
  bool trimmed_in_append_ = false;
};

}  // namespace

void FillFieldRecord(extformat::FieldRecord& record, const Transaction& t, bool without_prefix) {
  const double value09 = ParseReal(t.value09);
  record.SetInteger("01", config::IntegerSetting(t.trans_no));
  record.SetText("03", t.text03);
  record.SetText("04", t.text04);
  record.SetInteger("05", config::IntegerSetting(t.number05));
  record.SetInteger("06", config::IntegerSetting(t.number06));
  record.SetText("07", without_prefix ? WithoutFilterPrefix(t.job_no) : t.job_no);
  record.SetText("21", t.text21);
  record.SetText("23", t.text23);
  record.SetLineBreak("99");
  record.SetReal("08", ParseReal(t.value08));
  record.SetReal("09", value09);
  record.SetReal("D9", value09 * 10.0);
  record.SetReal("C9", value09 * 100.0);
  record.SetReal("K9", value09 * 1000.0);
  record.SetText("k9", CommaDecimal(value09));
}

bool EndsWalk(const config::Snapshot& snapshot, int n) {
  if (!SectionFilter(config::Read(snapshot, config::kOutputFilter, n)).ReadsDropOnSuccess()) {
    return false;
  }
  return config::IntegerSetting(config::Read(snapshot, config::kDropOnSuccess, n)) != 0;
}

std::vector<int> SectionsReached(const config::Snapshot& snapshot, std::string_view job_no) {
  std::vector<int> reached;
  for (int n = 1; !config::Read(snapshot, config::kOutputFormat, n).empty(); ++n) {
    if (!SectionFilter(config::Read(snapshot, config::kOutputFilter, n)).Admits(job_no)) continue;
    reached.push_back(n);
    if (EndsWalk(snapshot, n)) break;
  }
  return reached;
}

std::uint32_t RotationPeriod(const config::Snapshot& snapshot, int n) {
  const std::int32_t minutes =
      config::IntegerSetting(config::Read(snapshot, config::kFileRotationTime, n));
  return static_cast<std::uint32_t>(minutes) * static_cast<std::uint32_t>(kSecondsPerMinute);
}

void RenderTarget(extformat::FieldRecord& record, const Transaction& transaction,
                  std::string_view target_format, std::uint32_t rotation_period,
                  std::string& target) {
  record.SetDateTime(transaction.date, transaction.time, rotation_period);
  record.ExtFormat(target, target_format, extformat::ValueFilter::kFileNameSafe);
}

void RenderLine(extformat::FieldRecord& record, const Transaction& transaction,
                std::string_view line_format, std::string& line, extformat::CsvRule csv) {
  record.SetDateTime(transaction.date, transaction.time, 0);
  record.ExtFormat(line, line_format, extformat::ValueFilter::kLineSafe, csv);
}

void RenderHeader(const extformat::FieldRecord& record, std::string_view header_format,
                  std::string& header) {
  if (header_format.empty()) return;
  record.ExtFormat(header, header_format, extformat::ValueFilter::kLineSafe);
}

extformat::CsvRule CsvRuleOf(const config::Snapshot& snapshot, int n) {
  extformat::CsvRule csv;
  const std::string delimiter = config::Read(snapshot, config::kCsvDelimiter, n);
  csv.delimiter = delimiter.empty() ? '\0' : delimiter.front();
  csv.guard = config::IntegerSetting(config::Read(snapshot, config::kCsvGuard, n)) != 0;
  return csv;
}

extformat::FieldRecord EmptySectionRecord() {
  extformat::FieldRecord record;
  FillFieldRecord(record, Transaction{}, false);
  record.SetDateTime(kAnyDate, kAnyTime, 0);
  return record;
}

void ForwardTransaction2(const Transaction& transaction, const config::Snapshot& snapshot) {
  Call(transaction, snapshot).Run();
}

void ForwardTransaction2(const Transaction& transaction) {
  ForwardTransaction2(transaction, *tracelog::LoadConfiguration(config::ConfigFilePath()));
}

}  // namespace zelk::forwarding
