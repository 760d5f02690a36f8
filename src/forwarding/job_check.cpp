#include "forwarding/job_check.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "platform/platform.h"
#include "tracelog/trace_log.h"

namespace zelk::forwarding {

namespace {

constexpr char kFormatErrorMessage[] = "IsJobnoValid section[%d] jobno[%s] -- t[Format Error]";
// This message ends in a line feed of its own; the trace log then ends the
// line with it instead of adding a second line break.
constexpr char kOpenFailedMessage[] =
    "IsJobnoValid section[%d] file[%s] jobno[%s] -- t[File could not be opened]\n";
constexpr char kValidMessage[] = "IsJobnoValid section[%d] file[%s] jobno[%s] -- IS VALID line[%d]";
constexpr char kNotValidMessage[] = "IsJobnoValid jobno[%s] -- NOT VALID";

constexpr std::size_t kLayoutLength = 10;
constexpr char kNoSplit = '0';
constexpr char kEndOfFile = '\x1A';  // Ctrl-Z ends a list file
constexpr std::size_t kReadChunk = 64 * 1024;

// The one slot for the host's callback. Written by SetCallback and
// ExecuteService, read by validation workers, all without a lock.
std::atomic<ValidationCallback> g_callback_slot{nullptr};

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string AsciiUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = AsciiUpper(c);
  return upper;
}

// The upper-cased field equals `key` exactly, byte for byte.
bool FieldMatches(std::string_view field, std::string_view key) {
  if (field.size() != key.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (AsciiUpper(field[i]) != key[i]) return false;
  }
  return true;
}

// Reads a job list line by line as single-byte text: LF and CR LF end a line,
// a lone CR stays in it, Ctrl-Z ends the file, a last line without line end
// counts, and lines of any length are read whole.
class ListReader {
 public:
  explicit ListReader(platform::File& file) : file_(file) {}

  // The next line without its line end; false at the end of the list. A read
  // error ends the list like its end would.
  bool NextLine(std::string_view* line) {
    for (;;) {
      std::size_t available = end_ - position_;
      const char* start = buffer_.data() + position_;
      // memchr wants a real pointer even for no bytes; an empty buffer has none.
      const void* feed = available > 0 ? std::memchr(start, '\n', available) : nullptr;
      if (feed != nullptr) {
        std::size_t length = static_cast<const char*>(feed) - start;
        position_ += length + 1;
        *line = WithoutCarriageReturn(std::string_view(start, length));
        return true;
      }
      if (finished_) {
        if (available == 0) return false;
        position_ = end_;
        *line = std::string_view(start, available);
        return true;
      }
      Refill();
    }
  }

 private:
  static std::string_view WithoutCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

  // Keeps the unread rest of the buffer and appends the next chunk of the file,
  // cut at a Ctrl-Z.
  void Refill() {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(position_));
    end_ -= position_;
    position_ = 0;
    buffer_.resize(end_ + kReadChunk);
    std::int64_t count = file_.Read(buffer_.data() + end_, kReadChunk);
    if (count <= 0) {
      finished_ = true;
      buffer_.resize(end_);
      return;
    }
    const char* chunk = buffer_.data() + end_;
    if (const void* stop = std::memchr(chunk, kEndOfFile, static_cast<std::size_t>(count))) {
      count = static_cast<const char*>(stop) - chunk;
      finished_ = true;
    }
    end_ += static_cast<std::size_t>(count);
    buffer_.resize(end_);
  }

  platform::File& file_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  bool finished_ = false;
};

enum class SourceOutcome { kPassedOver, kValid };

// Consults source `n` for `jobno` (upper-cased as `upper`).
SourceOutcome CheckSource(const config::Snapshot& snapshot, int n, const std::string& source,
                          const std::string& jobno, const std::string& upper) {
  const std::string filter = AsciiUpper(config::Read(snapshot, config::kSourceFilter, n));
  const bool filtered = !filter.empty() && filter.front() != ' ';
  const std::optional<FieldLayout> layout =
      ParseFieldLayout(config::Read(snapshot, config::kSourceLayout, n));
  if (!layout) {
    tracelog::LogMessage('*', kFormatErrorMessage, n, jobno.c_str());
    return SourceOutcome::kPassedOver;
  }
  if (filtered && (upper.empty() || filter.front() != upper.front())) {
    return SourceOutcome::kPassedOver;
  }
  platform::OpenResult list = platform::OpenSharedRead(source);
  if (list.status != platform::OpenStatus::kOk) {
    tracelog::LogMessage('*', kOpenFailedMessage, n, source.c_str(), jobno.c_str());
    return SourceOutcome::kPassedOver;
  }
  const std::string_view key = filtered ? std::string_view(upper).substr(1) : upper;
  ListReader reader(list.file);
  std::string_view line;
  for (int line_number = 1; reader.NextLine(&line); ++line_number) {
    if (FieldMatches(ExtractJobField(line, *layout), key)) {
      list.file.Close();
      tracelog::LogMessage('.', kValidMessage, n, source.c_str(), jobno.c_str(), line_number);
      return SourceOutcome::kValid;
    }
  }
  return SourceOutcome::kPassedOver;
}

// A validation worker's work: check, then hand the result to whichever
// callback is registered once the check is done.
void RunAsyncCheck(const std::string& jobno) {
  if (g_callback_slot.load() == nullptr) return;
  const int result = CheckJobno(jobno);
  if (ValidationCallback callback = g_callback_slot.load()) callback(result, jobno.c_str());
}

}  // namespace

std::optional<FieldLayout> ParseFieldLayout(std::string_view text) {
  if (text.size() != kLayoutLength) return std::nullopt;
  // Each group reads as atoi reads it. A negative start counts as 0; a
  // negative length makes the field empty (so does "-0": a length of 0 keeps
  // nothing); a negative skip count has no meaning and skips nothing.
  FieldLayout layout;
  layout.skip_count = std::max(0, config::IntegerSetting(text.substr(0, 3)));
  layout.separator = text[3];
  layout.start = std::max(0, config::IntegerSetting(text.substr(4, 3)));
  layout.length = std::max(-1, config::IntegerSetting(text.substr(7, 3)));
  return layout;
}

std::string_view ExtractJobField(std::string_view line, const FieldLayout& layout) {
  if (layout.separator != kNoSplit) {
    for (int round = 0; round < layout.skip_count; ++round) {
      std::size_t found = line.find(layout.separator);
      if (found == std::string_view::npos) break;  // the later rounds find none either
      line.remove_prefix(found + 1);
    }
    std::size_t end = line.find(layout.separator);
    if (end != std::string_view::npos) line = line.substr(0, end);
  }
  if (layout.length < 0) return {};
  const std::size_t start = static_cast<std::size_t>(layout.start);
  if (start >= line.size()) return {};
  return line.substr(start, static_cast<std::size_t>(layout.length));
}

int CheckJobno(std::string_view jobno_view, const config::Snapshot& snapshot) {
  const std::string jobno(jobno_view);
  const std::string upper = AsciiUpper(jobno);
  for (int n = 1;; ++n) {
    const std::string source = config::Read(snapshot, config::kSource, n);
    if (source.empty()) break;
    if (CheckSource(snapshot, n, source, jobno, upper) == SourceOutcome::kValid) return 1;
  }
  tracelog::LogMessage('*', kNotValidMessage, jobno.c_str());
  return 0;
}

int CheckJobno(std::string_view jobno) {
  return CheckJobno(jobno, config::Snapshot::Load(config::ConfigFilePath()));
}

ValidationCallback SetCallback(ValidationCallback callback) {
  g_callback_slot.store(callback);
  return callback;
}

std::int32_t IsJobnoValid(const char* jobno) {
  std::string copy = jobno != nullptr ? jobno : "";
  if (g_callback_slot.load() == nullptr) return CheckJobno(copy);
  std::function<void()> task = [copy] { RunAsyncCheck(copy); };
  if (!platform::StartDetachedThread(std::move(task), platform::ThreadPriority::kNormal)) {
    // No worker: the host still gets its one callback, before we return.
    task();
  }
  return 0;
}

}  // namespace zelk::forwarding
