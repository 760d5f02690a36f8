// Helpers shared by the tests: scratch folders and whole-file reads and writes.
#ifndef ZELK_TESTS_TEST_SUPPORT_H_
#define ZELK_TESTS_TEST_SUPPORT_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::testing {

// True in a build under AddressSanitizer or ThreadSanitizer (GCC tells it by
// a macro, clang by __has_feature). Such a build reserves address space of
// its own and runs each step many times slower, so the kill tests run fewer
// rounds there: the sanitizers look at the code paths, which a few rounds
// reach; the rounds at random moments are the plain build's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif
#else
inline constexpr bool kUnderSanitizer = false;
#endif

// A fresh, empty folder under the system's temporary folder, removed again by
// the destructor.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The full path of `name` inside the folder, as a narrow string.
  std::string File(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// The bytes of the file at `path`; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

// Replaces the file at `path` with exactly `bytes`.
void WriteFileBytes(const std::string& path, const std::string& bytes);

// The bytes of `text` in UTF-16 with its byte order mark (big-endian or
// little-endian), as an editor saves a "Unicode" file.
std::string Utf16Bytes(std::u16string_view text, bool big_endian);

// One line of a trace log, split into its parts.
struct LogLine {
  std::string stamp;  // "YYYY-mm-dd HH:MM:SS"
  char category = 0;
  std::string text;
};

// The lines of the trace log at `path` (each ended by CR LF). A line that does
// not have the trace log's shape is returned whole in `text`, stamp empty.
std::vector<LogLine> ReadLogLines(const std::string& path);

// Only the texts of ReadLogLines, "C-text" with the category in front.
std::vector<std::string> ReadLogTexts(const std::string& path);

}  // namespace zelk::testing

#endif  // ZELK_TESTS_TEST_SUPPORT_H_
