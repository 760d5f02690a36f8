// What zelkhost check says about the files the host will meet: the library
// it loads, the configuration beside it, the job lists it reads and the
// folders it writes to, each checked as this process meets them.
#ifndef ZELK_TOOLS_ZELKHOST_FILE_CHECKS_H_
#define ZELK_TOOLS_ZELKHOST_FILE_CHECKS_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace zelk::host {

// What the first bytes of a file say it is.
struct BinaryFile {
  enum class Kind { kNone, kElf, kPe } kind = Kind::kNone;
  int bits = 0;          // 32 or 64
  bool library = false;  // ELF shared object, PE DLL
};

// Reads the header of the file at `path` (kNone for anything else, or a file
// that cannot be read).
BinaryFile InspectBinary(const std::string& path);

// The problem with `path` as this zelkhost's library (which stands for a host
// of the same platform and width), before loading it: not there, a folder,
// unreadable, no shared library or DLL, the other platform's, the other width,
// a program rather than a library. Nothing when it may be loaded.
std::optional<std::string> LibraryFileProblem(const std::string& path);

// The problem a configuration file at `path` has before it is read: a folder,
// unreadable. Nothing when it is missing (the service then uses every default)
// or readable.
std::optional<std::string> ConfigurationFileProblem(const std::string& path);

// The problem the service would meet reading the job list at `path`.
std::optional<std::string> JobListProblem(const std::string& path);

// The problem the service would meet appending to `file` (a target or the
// trace log): a name too long, a folder missing or not writable, a file that
// is a folder, a FIFO or not writable. `what` names it in the text ("the trace log ...").
std::optional<std::string> AppendProblem(const std::string& file, const std::string& what);

// The folder relative file names are taken from, with what that means.
std::string WorkingFolderNote();

// Said once when permissions were checked with more rights than a host may
// have; empty otherwise.
std::string PermissionsNote();

// The platform's answers (file_access_posix.cpp, file_access_windows.cpp).
bool CanCreateIn(const std::string& folder);
// True when the system refuses `path` for its length: a part longer than a
// name may be, or the whole path longer than an open takes.
bool NameTooLong(const std::string& path);
bool RunsWithAllRights();
BinaryFile::Kind NativeBinaryKind();

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_FILE_CHECKS_H_
