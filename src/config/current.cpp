#include "config/current.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace zelk::config {

namespace {

using Nanoseconds = std::int64_t;

// A file modified this shortly before a read began (or at any time after)
// may change again within the same tick of the file system's clock without
// its stamp showing it, so its snapshot is not trusted: FAT stamps in steps
// of 2 s, and the clock that stamps the others may lag the real one by a few
// milliseconds.
constexpr Nanoseconds kRacyWindow = 2'000'000'000;
// How long a call waits for a file that cannot be read whole, once per
// stretch: an editor saves in place within milliseconds, and Windows refuses
// opens for a moment while a file is replaced.
constexpr auto kUnreadablePatience = std::chrono::milliseconds(1000);
constexpr auto kFirstPause = std::chrono::milliseconds(1);
constexpr auto kLongestPause = std::chrono::milliseconds(50);

Nanoseconds WallClockNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Every setting at its default; shared by every call that needs it.
const std::shared_ptr<const Snapshot>& Defaults() {
  static const std::shared_ptr<const Snapshot>* const defaults =
      new std::shared_ptr<const Snapshot>(std::make_shared<const Snapshot>());
  return *defaults;
}

// One look at the file and the time it was taken.
struct Look {
  platform::FileStamp stamp;
  Nanoseconds taken = 0;  // no later than the look
};

Look LookAt(const std::string& path) {
  Look look;
  look.taken = WallClockNow();
  look.stamp = platform::StampOf(path);
  return look;
}

// True when a change of the file after `look` might not show in its stamp.
bool Racy(const Look& look) {
  return look.stamp.status == platform::OpenStatus::kOk &&
         look.stamp.changed_ns > look.taken - kRacyWindow;
}

struct Reading {
  ReadTrouble trouble = ReadTrouble::kNone;
  platform::Status cause{};                  // of kNotOpened, when the system told one
  bool missing = false;                      // no file at the path
  std::shared_ptr<const Snapshot> snapshot;  // set when the read was whole
  Look look;  // of the file read, taken after its open and before the read
};

ReadTrouble TroubleOfOpen(platform::OpenStatus status) {
  switch (status) {
    case platform::OpenStatus::kOk:
      return ReadTrouble::kNone;
    case platform::OpenStatus::kBusy:
      return ReadTrouble::kHeld;
    case platform::OpenStatus::kNotFound:  // gone since the look: a save
      return ReadTrouble::kBeingSaved;
    case platform::OpenStatus::kFailed:
      break;
  }
  return ReadTrouble::kNotOpened;
}

// The bytes of the open `file` whose look (taken after its open) is `before`,
// when they are whole. Not whole (kBeingSaved) when fewer or more bytes come
// than its size, when a look after the read differs from the one before, or
// when the file is empty where one with content was known and it was emptied
// only a moment ago (the first step of a save in place).
Reading ReadOpened(platform::File& file, const Look& before, bool had_content) {
  Reading reading;
  reading.look = before;
  std::optional<std::string> bytes = Snapshot::ReadBytes(file);
  if (before.stamp.status != platform::OpenStatus::kOk || !bytes) {
    reading.trouble = ReadTrouble::kNotOpened;
    reading.cause = file.LastError();
    return reading;
  }
  const auto size = static_cast<std::uint64_t>(before.stamp.size);
  const bool cut_at_limit = bytes->size() > kLargestConfigurationFile;
  const bool size_held = cut_at_limit ? size >= bytes->size() : size == bytes->size();
  if (!size_held || !(platform::StampOf(file) == before.stamp) ||
      (bytes->empty() && had_content && Racy(before))) {
    reading.trouble = ReadTrouble::kBeingSaved;
    return reading;
  }
  reading.snapshot = std::make_shared<const Snapshot>(Snapshot::OfBytes(std::move(*bytes)));
  return reading;
}

// Reads the file at `path`, which `look` found, once.
Reading ReadOnce(const std::string& path, const Look& look, bool had_content) {
  Reading reading;
  reading.look = look;
  if (look.stamp.status != platform::OpenStatus::kOk) {
    reading.missing = look.stamp.status == platform::OpenStatus::kNotFound;
    reading.trouble = reading.missing ? ReadTrouble::kBeingSaved : TroubleOfOpen(look.stamp.status);
    return reading;
  }
  platform::OpenResult opened = platform::OpenUnlockedRead(path);
  reading.trouble = TroubleOfOpen(opened.status);
  if (reading.trouble != ReadTrouble::kNone) {
    reading.cause = std::move(opened.error);
    return reading;
  }
  Look before;
  before.taken = WallClockNow();
  before.stamp = platform::StampOf(opened.file);
  return ReadOpened(opened.file, before, had_content);
}

// What is kept of the file at `path`: the last whole read, and the stretch.
struct Kept {
  std::string path;
  std::shared_ptr<const Snapshot> snapshot;  // null: no read was whole yet
  Look look;                                 // the look at the file that read
  bool in_stretch = false;                   // calls since the last whole read could not read it
};

// Validation and spool workers read the configuration too: the door's
// lifetime rule for state they touch.
struct KeptState {
  std::mutex mutex;
  Kept kept;  // under `mutex`
};
KeptState& State() { return platform::NeverDestroyed<KeptState>(); }

bool Trusted(const Kept& kept, const platform::FileStamp& stamp) {
  return kept.snapshot != nullptr && !Racy(kept.look) && stamp == kept.look.stamp;
}

// Reads the file until a read is whole or `patience` has passed, pausing
// between tries in steps growing from 1 ms to 50 ms; `look` is the first
// try's. A file still missing when the wait runs out reads as the defaults.
Reading ReadWithPatience(const std::string& path, Look look, bool had_file, bool had_content,
                         std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  auto pause = kFirstPause;
  for (;;) {
    Reading reading = ReadOnce(path, look, had_content);
    const bool late = std::chrono::steady_clock::now() >= deadline;
    if (reading.missing && (!had_file || late)) {
      reading.trouble = ReadTrouble::kNone;
      reading.snapshot = Defaults();
    }
    if (reading.snapshot != nullptr || late) return reading;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kLongestPause);
    look = LookAt(path);
  }
}

}  // namespace

std::string_view ReadTroubleText(ReadTrouble trouble) {
  switch (trouble) {
    case ReadTrouble::kHeld:
      return "held by another program";
    case ReadTrouble::kNotOpened:
      return "could not be opened";
    case ReadTrouble::kBeingSaved:
      return "being saved: empty, shorter or changed while read";
    case ReadTrouble::kNone:
      break;
  }
  return "";
}

CurrentSnapshot CurrentConfiguration(const std::string& path) {
  Look look = LookAt(path);
  bool had_file = false;
  bool had_content = false;
  bool in_stretch = false;
  {
    KeptState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.kept.path != path) state.kept = Kept{path, nullptr, Look(), false};
    if (Trusted(state.kept, look.stamp)) return CurrentSnapshot{state.kept.snapshot};
    had_file =
        state.kept.snapshot != nullptr && state.kept.look.stamp.status == platform::OpenStatus::kOk;
    had_content = had_file && state.kept.look.stamp.size > 0;
    in_stretch = state.kept.in_stretch;
  }
  Reading reading =
      ReadWithPatience(path, look, had_file, had_content,
                       in_stretch ? std::chrono::milliseconds(0) : kUnreadablePatience);
  KeptState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.kept.path != path) state.kept = Kept{path, nullptr, Look(), false};
  if (reading.snapshot != nullptr) {
    // A slower call's older read never replaces a newer one.
    if (state.kept.snapshot == nullptr || reading.look.taken >= state.kept.look.taken) {
      state.kept.snapshot = reading.snapshot;
      state.kept.look = reading.look;
    }
    state.kept.in_stretch = false;
    return CurrentSnapshot{reading.snapshot};
  }
  CurrentSnapshot current;
  current.trouble = reading.trouble;
  current.cause = std::move(reading.cause);
  current.stretch_begins = !state.kept.in_stretch;
  current.never_read_whole = state.kept.snapshot == nullptr;
  current.snapshot = current.never_read_whole ? Defaults() : state.kept.snapshot;
  state.kept.in_stretch = true;
  return current;
}

}  // namespace zelk::config
