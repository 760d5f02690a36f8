// The floors of the pipeline's and the door's benchmarks, made of bare system
// calls, so that they stay the same work whatever the platform door adds for
// its defences: each is the least any implementation of the service must pay
// for one transaction's files, or for the one call measured. POSIX only, like
// the benchmarks.
#ifndef ZELK_BENCH_BARE_FLOOR_H_
#define ZELK_BENCH_BARE_FLOOR_H_

#include <string>
#include <string_view>

namespace zelk::bench {

// The configuration: open, one read, close.
void ReadWholeFileBare(const std::string& path, std::string& buffer);

// A line to a target: open, exclusive lock, seek to the end, write, close.
void AppendToTargetBare(const std::string& path, std::string_view line);

// A line to the trace log: open for appending, shared lock, write, close.
void AppendToLogBare(const std::string& path, std::string_view line);

// A held target's cut, with the kept lines known in memory: open, exclusive
// lock, write them at the start, truncate after them, close.
void RewriteHeldBare(const std::string& path, std::string_view kept);

// A file opened for reading and writing (made if missing) and held with the
// exclusive lock, as a target is: the descriptor.
int OpenHeldBare(const std::string& path);

// `line` written at the start of the file `fd`, in one positioned write.
void WriteAtStartBare(int fd, std::string_view line);

void CloseBare(int fd);

}  // namespace zelk::bench

#endif  // ZELK_BENCH_BARE_FLOOR_H_
