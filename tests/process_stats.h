// What a long run may leak: the process's resident memory, its open file
// descriptors (handles on Windows) and its threads. One implementation per platform.
#ifndef ZELK_TESTS_PROCESS_STATS_H_
#define ZELK_TESTS_PROCESS_STATS_H_

#include <cstddef>

namespace zelk::testing {

// Bytes of this process's memory resident in RAM (working set on Windows).
std::size_t ResidentBytes();

// Open file descriptors of this process (all kernel handles on Windows).
std::size_t OpenHandles();

// Threads of this process.
std::size_t ThreadCount();

}  // namespace zelk::testing

#endif  // ZELK_TESTS_PROCESS_STATS_H_
