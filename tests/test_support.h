// Helpers shared by the tests: scratch folders and whole-file reads and writes.
#ifndef ZELK_TESTS_TEST_SUPPORT_H_
#define ZELK_TESTS_TEST_SUPPORT_H_

#include <filesystem>
#include <string>

namespace zelk::testing {

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

}  // namespace zelk::testing

#endif  // ZELK_TESTS_TEST_SUPPORT_H_
