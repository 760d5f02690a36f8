#include "forwarding/pipeline.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

#include "config/settings.h"
#include "extformat/field_record.h"
#include "forwarding/job_check.h"
#include "forwarding/spool.h"
#include "forwarding/target_guard.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "tracelog/busy_stretch.h"
#include "tracelog/trace_log.h"
#include "tracelog/trim.h"

namespace zelk::forwarding {

namespace {

constexpr char kNotEnabledMessage[] =
    "ForwardTransaction TransNo[%s] JobNo[%s] -- Internal t[Forward Transaction Not Enabled]";
constexpr char kZeroTransactionMessage[] =
    "ForwardTransaction TransNo:[%s] JobNo:[%s] -- Internal: t[Removing NULL Transaction]";
constexpr char kRecheckFailedMessage[] = "ForwardTransaction -- error while double checking jobno";
constexpr char kSuccessMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- SUCCESS";
constexpr char kOpenFailedMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- t[Could not open file]";
constexpr char kWriteFailedMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- t[Could not write file]";
constexpr char kBusyStretchMessage[] =
    "ForwardTransaction file[%s] -- t[Busy until now: %d lines could not be written]";
constexpr char kSectionErrorMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- %s";
constexpr char kSectionFailureMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- t[%s]";
constexpr char kSpooledMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- SPOOLED t[%s]";
constexpr char kAheadOfSpooledMessage[] =
    "ForwardTransaction section[%d] file[%s] transno[%s] jobno[%s] -- SUCCESS t[Ahead of %d "
    "spooled lines]";
// Why a line went to the spool, in the spooled line's t[...].
constexpr char kBehindSpooledLinesReason[] = "Target has spooled lines";
constexpr char kCouldNotOpenReason[] = "Could not open file";
constexpr char kCouldNotWriteReason[] = "Could not write file";

constexpr std::int32_t kSecondsPerMinute = 60;

// How long a writer waits for a target that another handle holds (another
// process, or a viewer), in growing steps, before it gives up on the line.
constexpr auto kBusyTargetPatience = std::chrono::milliseconds(2000);

// Any well-formed moment: SetDateTime sets the seven time parts from it.
constexpr char kAnyDate[] = "000101";
constexpr char kAnyTime[] = "000000";

// The first character of a text, NUL for the empty text.
char FirstOf(std::string_view text) { return text.empty() ? '\0' : text.front(); }

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
  for (char c : line) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  bytes += "\r\n";
  return bytes;
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
    if (config::IntegerSetting(config::Read(snapshot_, config::kEnable)) == 0) {
      tracelog::LogMessage('*', kNotEnabledMessage, trans_no_.c_str(), job_no_.c_str());
      return;
    }
    const int allow_zero =
        config::IntegerSetting(config::Read(snapshot_, config::kAllowZeroTransaction));
    if (value09_ == 0.0 && allow_zero == 0) {
      tracelog::LogMessage('*', kZeroTransactionMessage, trans_no_.c_str(), job_no_.c_str());
      return;
    }
    if (config::IntegerSetting(config::Read(snapshot_, config::kValidation)) != 0 &&
        CheckJobno(transaction_.job_no, snapshot_) == 0) {
      tracelog::LogMessageAsync('*', kRecheckFailedMessage);
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
    WriteSection(n, format, !filter.blank(), max_lines, target);
    if (max_lines != 0 && !target.empty()) {
      // Inside the target's turn, so the trim never fails against a writer of
      // this process.
      TargetGuard turn(target);
      tracelog::TrimToLastLines(target, max_lines);
    }
    if (!filter.ReadsDropOnSuccess()) return true;
    return config::IntegerSetting(config::Read(snapshot_, config::kDropOnSuccess, n)) == 0;
  }

  // Renders and writes the section's line; `target` receives the rendered
  // target name (empty when the section failed before it).
  void WriteSection(int n, const std::string& format, bool prefix_filtered, std::int32_t max_lines,
                    std::string& target) {
    try {
      extformat::FieldRecord record;
      FillFieldRecord(record, transaction_, prefix_filtered);
      RenderTarget(record, transaction_, config::Read(snapshot_, config::kTarget, n),
                   RotationPeriod(snapshot_, n), target);
      std::string line;
      RenderLine(record, transaction_, format, line);
      Append(n, target, line, max_lines);
    } catch (const extformat::ExtFormatError& error) {
      tracelog::LogMessage('*', kSectionErrorMessage, n, target.c_str(), trans_no_.c_str(),
                           job_no_.c_str(), error.what());
    } catch (const std::exception& error) {
      tracelog::LogMessage('*', kSectionFailureMessage, n, target.c_str(), trans_no_.c_str(),
                           job_no_.c_str(), error.what());
    }
  }

  // What became of a section's line: its log line's format, why it was
  // spooled, and how many waiting lines it went ahead of.
  struct Outcome {
    const char* message = kSuccessMessage;
    const char* reason = nullptr;
    int ahead_of = 0;
  };

  // Appends the line to the target in the target's turn, then logs the outcome.
  // With a spool folder set, a line that cannot be appended, and every line
  // for a target that has lines in the spool, goes to the spool instead.
  void Append(int n, const std::string& target, const std::string& line, std::int32_t max_lines) {
    const std::string spool_folder = config::Read(snapshot_, config::kSpoolFolder);
    Outcome outcome;
    {
      TargetGuard turn(target);
      outcome = spool_folder.empty() || target.empty()
                    ? Outcome{AppendToTarget(target, line, kBusyTargetPatience)}
                    : AppendWithSpool(spool_folder, target, line, max_lines);
    }
    if (outcome.message == kSpooledMessage) {
      tracelog::LogMessage('*', kSpooledMessage, n, target.c_str(), trans_no_.c_str(),
                           job_no_.c_str(), outcome.reason);
    } else if (outcome.message == kAheadOfSpooledMessage) {
      tracelog::LogMessage('*', kAheadOfSpooledMessage, n, target.c_str(), trans_no_.c_str(),
                           job_no_.c_str(), outcome.ahead_of);
    } else {
      tracelog::LogMessage(outcome.message == kSuccessMessage ? '.' : '*', outcome.message, n,
                           target.c_str(), trans_no_.c_str(), job_no_.c_str());
    }
  }

  // The line goes behind the target's waiting lines, or to the target, or to
  // the spool when the target fails, all within one wait for the target. When
  // the spool cannot keep a line that should go behind waiting ones, those
  // are delivered first if they can be within the wait; if not, the line goes
  // ahead of them rather than be lost.
  static Outcome AppendWithSpool(const std::string& folder, const std::string& target,
                                 const std::string& line, std::int32_t max_lines) {
    const auto deadline = std::chrono::steady_clock::now() + kBusyTargetPatience;
    if (spool::HasWaitingLines(folder, target)) {
      if (spool::Keep(folder, target, max_lines, LineForDisk(line))) {
        return {kSpooledMessage, kBehindSpooledLinesReason};
      }
      if (!spool::DeliverTarget(folder, target, deadline)) {
        const int waiting = spool::WaitingLines(target);
        const char* appended = AppendToTarget(target, line, PatienceUntil(deadline));
        return appended == kSuccessMessage ? Outcome{kAheadOfSpooledMessage, nullptr, waiting}
                                           : Outcome{appended};
      }
    }
    bool busy = false;
    const char* appended = AppendToTarget(target, line, PatienceUntil(deadline), &busy);
    if (appended == kSuccessMessage) return {};
    if (!spool::Keep(folder, target, max_lines, LineForDisk(line))) return {appended};
    // Kept: not among the lines a busy stretch lost.
    if (busy) tracelog::ForgiveFailure(target);
    return {kSpooledMessage,
            appended == kOpenFailedMessage ? kCouldNotOpenReason : kCouldNotWriteReason};
  }

  static std::chrono::milliseconds PatienceUntil(std::chrono::steady_clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()));
  }

  // Appends the line to the target; the outcome's message. After a failed
  // write the target is put back to its length before, so no piece of the
  // line stays in it to run into the next line written (the line goes to the
  // spool, or is lost and logged as such).
  // `busy`, when given, is set when the target stayed held by another handle.
  static const char* AppendToTarget(const std::string& target, const std::string& line,
                                    std::chrono::milliseconds patience, bool* busy = nullptr) {
    // A target another handle holds is tried again for a while, once per
    // busy stretch; any other failure is final at once.
    tracelog::LineOpen open = tracelog::OpenForLine(
        target,
        [&target] {
          return platform::OpenExclusive(target, platform::CreateMode::kCreateIfMissing);
        },
        patience);
    if (open.lines_failed_in_stretch > 0) {
      tracelog::LogMessage('*', kBusyStretchMessage, target.c_str(), open.lines_failed_in_stretch);
    }
    platform::OpenResult& opened = open.opened;
    if (busy != nullptr) *busy = opened.status == platform::OpenStatus::kBusy;
    if (opened.status != platform::OpenStatus::kOk) return kOpenFailedMessage;
    const std::string bytes = LineForDisk(line);
    // One seek to the end, which also tells where the line starts.
    const std::int64_t size_before = platform::SeekToEndOffset(opened.file);
    bool written = size_before >= 0 && opened.file.Write(bytes.data(), bytes.size());
    if (!written && size_before >= 0) opened.file.Truncate(size_before);
    written = opened.file.Close() && written;
    return written ? kSuccessMessage : kWriteFailedMessage;
  }

  const Transaction& transaction_;
  const config::Snapshot& snapshot_;
  // NUL-terminated copies for the log lines, control characters escaped.
  const std::string trans_no_;
  const std::string job_no_;
  const double value09_;
};

}  // namespace

void FillFieldRecord(extformat::FieldRecord& record, const Transaction& t, bool without_prefix) {
  const double value09 = ParseReal(t.value09);
  record.SetInteger("01", config::IntegerSetting(t.trans_no));
  record.SetText("03", t.text03);
  record.SetText("04", t.text04);
  record.SetInteger("05", config::IntegerSetting(t.number05));
  record.SetInteger("06", config::IntegerSetting(t.number06));
  record.SetText("07", without_prefix && !t.job_no.empty() ? t.job_no.substr(1) : t.job_no);
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

SectionFilter::SectionFilter(std::string_view value)
    : prefix_(platform::AsciiUpper(FirstOf(value))) {}

bool SectionFilter::Admits(std::string_view job_no) const {
  return blank() || prefix_ == platform::AsciiUpper(FirstOf(job_no));
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
                std::string_view line_format, std::string& line) {
  record.SetDateTime(transaction.date, transaction.time, 0);
  record.ExtFormat(line, line_format, extformat::ValueFilter::kLineSafe);
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
  ForwardTransaction2(transaction, tracelog::LoadConfiguration(config::ConfigFilePath()));
}

}  // namespace zelk::forwarding
