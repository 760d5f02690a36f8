// The cause of a failed call of the platform door: what the operating system
// said (its code and its words), what was being done, and to which path. Every
// door operation that can fail hands one back, so that a failure reaches the
// trace log with the system's reason rather than as a bare "could not".
#ifndef ZELK_PLATFORM_ERROR_H_
#define ZELK_PLATFORM_ERROR_H_

#include <string>
#include <utility>

namespace zelk::platform {

// Success, or one failure. Cheap to make and to pass while it is a success
// (no text is formed until someone asks for it), so the door can return one
// from every write on the hot path. A caller must look at it or say, with
// IgnoreError, that it truly does not care.
class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;

  // The system refused `operation` on `path` with `code`: errno on POSIX,
  // GetLastError on Windows.
  static Status FromSystem(const char* operation, std::string path, int code) {
    return Status(operation, std::move(path), code, nullptr);
  }

  // The door itself refused `operation` on `path` (a FIFO where a file was
  // asked for, a lock another handle holds): `reason` is a fixed text.
  static Status Refused(const char* operation, std::string path, const char* reason) {
    return Status(operation, std::move(path), 0, reason);
  }

  bool ok() const { return operation_ == nullptr; }
  // True on success, so that a caller that only branches reads as it did
  // when the door answered a bool.
  explicit operator bool() const { return ok(); }

  // The system's code; 0 for success and for a refusal of the door's own.
  int code() const { return code_; }
  // What was being done ("open", "write", ...); empty on success.
  const char* operation() const { return operation_ != nullptr ? operation_ : ""; }
  const std::string& path() const { return path_; }

  // The system's words for the failure, without a line break or a closing
  // full stop ("No such file or directory"); the door's reason for its own
  // refusals; empty on success.
  std::string message() const;

  // The cause as the trace log prints it: the words and the code, "No such
  // file or directory (errno 2)" on POSIX, "The system cannot find the path
  // specified (error 3)" on Windows; a refusal of the door's own is its
  // reason alone. Empty on success.
  std::string cause() const;

  // "open out/a.txt: No such file or directory (errno 2)", for tests and
  // tools; "OK" on success.
  std::string ToString() const;

  // Says that the caller has weighed this result and has nothing to do with
  // it (a close on a path that already failed, a destructor).
  void IgnoreError() const {}

  // The same failure, told of `path` (for operations on an open file, which
  // does not know its name).
  Status About(std::string path) && {
    path_ = std::move(path);
    return std::move(*this);
  }

 private:
  Status(const char* operation, std::string path, int code, const char* reason)
      : operation_(operation), reason_(reason), code_(code), path_(std::move(path)) {}

  const char* operation_ = nullptr;  // null: success
  const char* reason_ = nullptr;     // the door's own reason, when no code
  int code_ = 0;
  std::string path_;
};

}  // namespace zelk::platform

#endif  // ZELK_PLATFORM_ERROR_H_
