// The POSIX platform door: its text conversion (UTF-16 to UTF-8), its
// conversion of local times, which must give what mktime gives, and its opens
// of files that are not regular files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"

namespace zelk::platform {
namespace {

TEST(NarrowFromUtf16, GivesUtf8) {
  struct Case {
    std::u16string_view text;
    const char* expected;
  };
  const Case cases[] = {
      {u"", ""},
      {u"list.txt", "list.txt"},
      {u"caf\u00e9", "caf\xC3\xA9"},
      {u"\u20ac", "\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},                      // a surrogate pair
      {std::u16string_view(u"a\xD800z", 3), "a\xEF\xBF\xBDz"},  // unpaired high surrogate
      {std::u16string_view(u"\xDC00", 1), "\xEF\xBF\xBD"},      // unpaired low surrogate
      {std::u16string_view(u"\xD800\xD800\xDC00", 3), "\xEF\xBF\xBD\xF0\x90\x80\x80"},
  };
  for (const Case& c : cases) EXPECT_EQ(NarrowFromUtf16(c.text), c.expected) << c.expected;
}

// Zones with daylight saving time on either side of the equator, one with a
// half-hour change, one whole-hour zone, given as POSIX rules so that no zone
// database is needed. Times come both spread over two centuries and walking
// in small steps across changes of offset, where conversions of nearby times
// are remembered.
TEST(LocalTime, ConvertsLikeMktimeAndLocaltime) {
  const char* zones[] = {"CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                         "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", "XXX-2", "UTC0"};
  std::mt19937 random(20261209);
  auto in = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  for (const char* zone : zones) {
    SetTimeZoneForTesting(zone);
    int mismatches = 0;
    std::tm walk{};
    walk.tm_year = 126;
    walk.tm_mon = 2;
    walk.tm_mday = 20;
    for (int i = 0; i < 40000; ++i) {
      std::tm parts{};
      if (i % 2 == 0) {
        parts.tm_year = in(60, 200);
        parts.tm_mon = in(-2, 14);
        parts.tm_mday = in(-1, 33);
        parts.tm_hour = in(-1, 25);
        parts.tm_min = i % 4 == 0 ? in(0, 59) : 30;
        parts.tm_sec = in(-1, 61);
      } else {
        walk.tm_hour += in(0, 3);  // about two weeks a thousand steps
        walk.tm_min = in(0, 59);
        parts = walk;
      }
      parts.tm_isdst = -1;
      std::tm copy = parts;
      errno = 0;
      const time_t expected = mktime(&copy);
      const std::optional<std::int64_t> actual = InstantOfLocal(parts);
      ASSERT_TRUE(actual.has_value());
      if (*actual != expected && ++mismatches <= 5) {
        ADD_FAILURE() << zone << ": " << parts.tm_year + 1900 << "-" << parts.tm_mon + 1 << "-"
                      << parts.tm_mday << " " << parts.tm_hour << ":" << parts.tm_min << ":"
                      << parts.tm_sec << " mktime " << expected << ", InstantOfLocal " << *actual;
      }
      // Back to local time, from the instant and from instants near it.
      for (const time_t instant : {expected, expected + in(-200000, 200000)}) {
        std::tm reference{};
        localtime_r(&instant, &reference);
        const std::optional<std::tm> local = LocalTimeOf(instant);
        ASSERT_TRUE(local.has_value());
        const bool same =
            local->tm_year == reference.tm_year && local->tm_mon == reference.tm_mon &&
            local->tm_mday == reference.tm_mday && local->tm_hour == reference.tm_hour &&
            local->tm_min == reference.tm_min && local->tm_sec == reference.tm_sec &&
            local->tm_wday == reference.tm_wday && local->tm_yday == reference.tm_yday &&
            local->tm_isdst == reference.tm_isdst && local->tm_gmtoff == reference.tm_gmtoff;
        if (!same && ++mismatches <= 5) {
          ADD_FAILURE() << zone << ": LocalTimeOf(" << instant << ") differs from localtime_r";
        }
      }
    }
    EXPECT_EQ(mismatches, 0) << zone;
  }
  SetTimeZoneForTesting("UTC0");
}

// Every open of the door on a FIFO without a reader, a device that never
// ends and a folder returns at once; the reading opens refuse them all, the
// writing opens refuse what they cannot write to but keep /dev/null working.
TEST(Opens, NeverWaitAndReadRegularFilesOnly) {
  testing::ScratchDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir.path().string();
  using Open = std::function<OpenResult(const std::string&)>;
  const Open shared_read = [](const std::string& path) { return OpenSharedRead(path); };
  const Open unlocked_read = [](const std::string& path) { return OpenUnlockedRead(path); };
  const Open append = [](const std::string& path) { return OpenAppendShared(path); };
  const Open exclusive = [](const std::string& path) {
    return OpenExclusive(path, CreateMode::kCreateIfMissing);
  };
  struct Case {
    const char* what;
    const Open& open;
    std::string path;
    OpenStatus expected;
  };
  const Case cases[] = {
      {"shared read of a FIFO", shared_read, fifo, OpenStatus::kFailed},
      {"unlocked read of a FIFO", unlocked_read, fifo, OpenStatus::kFailed},
      {"append to a FIFO without reader", append, fifo, OpenStatus::kFailed},
      {"exclusive open of a FIFO", exclusive, fifo, OpenStatus::kFailed},
      {"shared read of /dev/zero", shared_read, "/dev/zero", OpenStatus::kFailed},
      {"unlocked read of /dev/zero", unlocked_read, "/dev/zero", OpenStatus::kFailed},
      {"shared read of a folder", shared_read, folder, OpenStatus::kFailed},
      {"unlocked read of a folder", unlocked_read, folder, OpenStatus::kFailed},
      {"append to /dev/null", append, "/dev/null", OpenStatus::kOk},
      {"exclusive open of /dev/null", exclusive, "/dev/null", OpenStatus::kOk},
  };
  for (const Case& c : cases) {
    std::future<OpenStatus> status =
        std::async(std::launch::async, [&c] { return c.open(c.path).status; });
    if (status.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // The open waits for the FIFO's other end: give it one, so the test ends.
      const int other_end = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
      ADD_FAILURE() << c.what << " waits";
      status.wait();
      ::close(other_end);
      continue;
    }
    EXPECT_EQ(status.get(), c.expected) << c.what;
  }
}

// A cause as the trace log prints it: the system's words and errno.
TEST(Opens, TellTheCauseInTheSystemsWords) {
  testing::ScratchDir dir;
  const std::string missing = dir.File("missing.txt");
  EXPECT_EQ(OpenSharedRead(missing).error.cause(), "No such file or directory (errno 2)");
  EXPECT_EQ(OpenSharedRead(missing).error.ToString(),
            "open " + missing + ": No such file or directory (errno 2)");
  EXPECT_EQ(ListFolder(missing).error.cause(), "No such file or directory (errno 2)");
}

// What a program that may only read a file can do to its writers: a flock of
// any kind no longer stalls them, an exclusive lock of the door's kind cannot
// be had for reading, and a shared one keeps out the exclusive opener (a
// target's writer, a trim) but not the appenders of the trace log, nor the
// door's readers.
TEST(Opens, AReaderCannotLockOutTheAppenders) {
  testing::ScratchDir dir;
  const std::string path = dir.File("log.txt");
  testing::WriteFileBytes(path, "line\r\n");
  const int reader = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);

  ASSERT_EQ(flock(reader, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenAppendShared(path).status, OpenStatus::kOk);
  EXPECT_EQ(OpenExclusive(path, CreateMode::kOpenExisting).status, OpenStatus::kOk);
  flock(reader, LOCK_UN);

  struct flock lock {};
  lock.l_whence = SEEK_SET;
  lock.l_type = F_WRLCK;
  EXPECT_NE(fcntl(reader, F_OFD_SETLK, &lock), 0);  // needs write access
  lock.l_type = F_RDLCK;
  ASSERT_EQ(fcntl(reader, F_OFD_SETLK, &lock), 0);
  EXPECT_EQ(OpenAppendShared(path).status, OpenStatus::kOk);
  // Its lock covers the bytes the door's readers and appenders look at; it is
  // not taken for one of them.
  EXPECT_EQ(OpenSharedRead(path).status, OpenStatus::kOk);
  EXPECT_EQ(OpenUnlockedRead(path).status, OpenStatus::kOk);
  EXPECT_EQ(OpenExclusive(path, CreateMode::kOpenExisting).status, OpenStatus::kBusy);
  ::close(reader);
  EXPECT_EQ(OpenExclusive(path, CreateMode::kOpenExisting).status, OpenStatus::kOk);
}

}  // namespace
}  // namespace zelk::platform
