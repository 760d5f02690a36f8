// The platform door's portable part, compiled into every build: computation
// that needs no operating system, and the test switches both implementations
// obey.
#include "platform/portable.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"

namespace zelk::platform {

namespace portable {

// ---------------------------------------------------------------------------
// Text

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

}  // namespace

std::string Utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacementCharacter);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Calendar

namespace {

constexpr std::int64_t kSecondsPerDay = std::int64_t{24} * 60 * 60;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - (a % b != 0 && a < 0 ? 1 : 0);
}

// Days from 1970-01-01 to the first of `month` (1 to 12) of `year`, in the
// proleptic Gregorian calendar.
std::int64_t DaysToFirstOfMonth(std::int64_t year, std::int64_t month) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = FloorDiv(year, 400);
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

}  // namespace

std::int64_t SecondsAsIfUtc(const std::tm& parts) {
  const std::int64_t months = std::int64_t{parts.tm_year} * 12 + parts.tm_mon;
  const std::int64_t year = 1900 + FloorDiv(months, 12);
  const std::int64_t month = months - FloorDiv(months, 12) * 12 + 1;
  const std::int64_t days = DaysToFirstOfMonth(year, month) + parts.tm_mday - 1;
  return ((days * 24 + parts.tm_hour) * 60 + parts.tm_min) * 60 + parts.tm_sec;
}

std::tm CalendarOf(std::int64_t seconds, const std::tm& zone) {
  std::tm parts = zone;
  const std::int64_t days = FloorDiv(seconds, kSecondsPerDay);
  const std::int64_t second_of_day = seconds - days * kSecondsPerDay;
  parts.tm_hour = static_cast<int>(second_of_day / 3600);
  parts.tm_min = static_cast<int>(second_of_day / 60 % 60);
  parts.tm_sec = static_cast<int>(second_of_day % 60);
  parts.tm_wday = static_cast<int>(FloorDiv(days + 4, 7) * -7 + days + 4);  // 1970-01-01: Thursday
  // Civil date from days: March-based years, eras of 400 years.
  const std::int64_t shifted = days + 719468;
  const std::int64_t era = FloorDiv(shifted, 146097);
  const std::int64_t day_of_era = shifted - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_index = (5 * day_of_year + 2) / 153;  // 0 is March
  const std::int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  parts.tm_mday = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
  parts.tm_mon = static_cast<int>(month - 1);
  parts.tm_year = static_cast<int>(year - 1900);
  parts.tm_yday = static_cast<int>(days - DaysToFirstOfMonth(year, 1));
  return parts;
}

// ---------------------------------------------------------------------------
// Workers

void WorkerCount::Started() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++running_;
}

void WorkerCount::Finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--running_ == 0) none_left_.notify_all();
}

bool WorkerCount::WaitUntilNone(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return none_left_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

// ---------------------------------------------------------------------------
// Test switches

namespace {

std::mutex g_editor_mutex;
std::function<void(const std::string&, const std::string&)> g_editor_observer;

struct FaultPlan {
  std::vector<Fault> faults;
  std::array<int, kDoorCallKinds> counts{};
  int total = 0;      // every kind together
  int cut_after = 0;  // a power cut after this many calls (0: none)
};

std::mutex g_fault_mutex;
FaultPlan g_fault_plan;  // guarded by g_fault_mutex

}  // namespace

Injected NextCall(int call, const char* path) {
  std::lock_guard<std::mutex> lock(g_fault_mutex);
  const int count = ++g_fault_plan.counts[static_cast<std::size_t>(call)];
  // Past a power cut the machine has stopped: nothing reaches the disk.
  if (++g_fault_plan.total > g_fault_plan.cut_after && g_fault_plan.cut_after > 0) {
    return {SystemErrorCode(SystemError::kIo), 0};
  }
  for (const Fault& fault : g_fault_plan.faults) {
    if (static_cast<int>(fault.call) != call) continue;
    if (!fault.path.empty() && (path == nullptr || fault.path != path)) continue;
    if (count == fault.nth || (fault.and_after && count > fault.nth)) {
      if (fault.short_write > 0) return {0, fault.short_write};
      return {SystemErrorCode(fault.error), 0};
    }
  }
  return {};
}

void SeamLeftOut() {
  std::fputs(
      "zelkforward: this build has no fault seam (ZELK_FAULT_SEAM=OFF); the test switches "
      "that route the platform's calls (InjectFaults, SetEditorObserverForTesting, ...) "
      "need it\n",
      stderr);
  std::abort();
}

void HandToEditorObserver(const std::string& program, const std::string& argument) {
  std::lock_guard<std::mutex> lock(g_editor_mutex);
  if (g_editor_observer) g_editor_observer(program, argument);
}

// Fills `size` bytes from `into` with `read(at, count, done)`, which reads up
// to `count` bytes to `at` and answers how many, 0 at the end, -1 on error;
// `done` bytes are in already.
template <typename ReadSome>
bool FillWith(ReadSome read, void* into, std::size_t size) {
  char* const buffer = static_cast<char*>(into);
  for (std::size_t done = 0; done < size;) {
    const std::int64_t count = read(buffer + done, size - done, done);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace portable

bool ReadExactly(File& file, void* buffer, std::size_t size) {
  return portable::FillWith(
      [&file](char* at, std::size_t count, std::size_t) { return file.Read(at, count); }, buffer,
      size);
}

bool ReadExactlyAt(File& file, std::int64_t offset, void* buffer, std::size_t size) {
  return portable::FillWith(
      [&file, offset](char* at, std::size_t count, std::size_t done) {
        return file.ReadAt(offset + static_cast<std::int64_t>(done), at, count);
      },
      buffer, size);
}

// ---------------------------------------------------------------------------
// Status

std::string Status::message() const {
  if (ok()) return {};
  if (reason_ != nullptr) return reason_;
  std::string words = portable::SystemWords(code_);
  return words.empty() ? "Unknown error" : words;
}

std::string Status::cause() const {
  if (ok()) return {};
  if (reason_ != nullptr) return reason_;
  return message() + " (" + portable::kCodeName + " " + std::to_string(code_) + ")";
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  std::string text = operation();
  if (!path_.empty()) text += " " + path_;
  return text + ": " + cause();
}

Status File::Failed(const char* operation, int code) {
  last_operation_ = operation;
  last_code_ = code;
  return Status::FromSystem(operation, {}, code);
}

std::int64_t File::FailedCount(const char* operation, int code) {
  last_operation_ = operation;
  last_code_ = code;
  return -1;
}

Status File::LastError() const {
  if (last_operation_ == nullptr) return {};
  return Status::FromSystem(last_operation_, {}, last_code_);
}

// As GetModuleFileNameA writes the path into `buffer_size` characters: a path
// that does not fit with its NUL is cut to buffer_size - 1 characters.
std::string ModulePath(std::size_t buffer_size) {
  if (buffer_size == 0) return {};
  const std::string& path = portable::WholeModulePath();
  return path.substr(0, std::min(path.size(), buffer_size - 1));
}

bool ModulePathExceeds(std::size_t buffer_size) {
  return portable::WholeModulePath().size() + 1 > buffer_size;
}

void SetRemovalFailureForTesting(const std::string& path) {
  if (path.empty()) {
    ClearFaults();
  } else {
    InjectFaults({{DoorCall::kRemove, 1, true, SystemError::kNoAccess, 0, path}});
  }
}

namespace {

void Plan(std::vector<Fault> faults, int cut_after) {
  {
    std::lock_guard<std::mutex> lock(portable::g_fault_mutex);
    portable::g_fault_plan = {std::move(faults), {}, 0, cut_after};
  }
  portable::StartRecord(cut_after > 0);
  portable::RouteThroughStandIns(true);
}

}  // namespace

void InjectFaults(std::vector<Fault> faults) { Plan(std::move(faults), 0); }

void InjectPowerCut(int after) { Plan({}, after); }

void ClearFaults() {
  portable::RouteThroughStandIns(false);
  std::lock_guard<std::mutex> lock(portable::g_fault_mutex);
  portable::g_fault_plan.faults.clear();
}

int DoorCallCount(DoorCall call) {
  std::lock_guard<std::mutex> lock(portable::g_fault_mutex);
  return portable::g_fault_plan.counts[static_cast<std::size_t>(call)];
}

int DoorCallTotal() {
  std::lock_guard<std::mutex> lock(portable::g_fault_mutex);
  return portable::g_fault_plan.total;
}

// Through the door's seam, so that production asks nothing of a switch.
void SetThreadStartFailureForTesting(bool fail) {
  if (fail) {
    InjectFaults({{DoorCall::kThreadStart, 1, true, SystemError::kIo}});
  } else {
    ClearFaults();
  }
}

void SetEditorObserverForTesting(
    std::function<void(const std::string& program, const std::string& argument)> observer) {
  const bool observed = static_cast<bool>(observer);
  {
    std::lock_guard<std::mutex> lock(portable::g_editor_mutex);
    portable::g_editor_observer = std::move(observer);
  }
  // Through the door's seam, so that production asks no switch.
  portable::RouteEditorToObserver(observed);
}

}  // namespace zelk::platform
