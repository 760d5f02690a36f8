#include <windows.h>

// After windows.h, whose types it uses.
#include <psapi.h>

#include "process_stats.h"

namespace zelk::testing {

std::size_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize;
}

std::size_t OpenHandles() {
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return 0;
  return count;
}

}  // namespace zelk::testing
