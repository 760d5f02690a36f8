// Switches for tests, fuzzers, benchmarks and tools that drive the platform
// door. Each platform file implements them beside the state they switch; no
// other code of the service includes this header.
#ifndef ZELK_PLATFORM_PLATFORM_TEST_HELPER_H_
#define ZELK_PLATFORM_PLATFORM_TEST_HELPER_H_

#include <functional>
#include <string>

namespace zelk::platform {

// Makes every following StartDetachedThread fail (true) or work (false), so
// tests can exercise the callers' fallbacks.
void SetThreadStartFailureForTesting(bool fail);

// Sets the process's local time zone to the POSIX TZ string `tz` (for example
// "UTC0" or "XXX-2") and applies it.
void SetTimeZoneForTesting(const char* tz);

// While an observer is set, OpenInTextEditor hands it the request instead of
// starting anything. An empty function removes the observer.
void SetEditorObserverForTesting(
    std::function<void(const std::string& program, const std::string& argument)> observer);

// Makes every following RemoveFile of `path` fail with a cause naming the
// test, as a file the system will not let go of would; an empty path ends it.
void SetRemovalFailureForTesting(const std::string& path);

}  // namespace zelk::platform

#endif  // ZELK_PLATFORM_PLATFORM_TEST_HELPER_H_
