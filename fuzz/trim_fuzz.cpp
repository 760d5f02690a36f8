// TrimToLastLines against a whole-file model: split the bytes into lines (LF
// ends a line, a CR just before it belongs to the break, a last line without LF
// counts), and either nothing changes or exactly the last N lines remain, each
// ending in CR LF.
//
// Input: a header line, then the file's bytes. The header is N in decimal
// (wrapped to 32 bits, so "-1" and "4294967295" are the same), optionally
// followed by "*P" to put P filler bytes (lines of 99 "x") before the bytes,
// which moves line ends onto the boundaries of the backward reads, and by "!"
// to trim a missing file instead.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz_support.h"
#include "tracelog/trim.h"

namespace {

using zelk::fuzz::ExpectEqual;
using zelk::fuzz::Fail;

constexpr std::size_t kLargestFiller = 4 * zelk::tracelog::kTrimReadChunk;

// One file per process, removed when the run ends, so parallel runs and other
// programs' files are never touched.
class ScratchFile {
 public:
  ScratchFile() {
    std::random_device random;
    const std::string name =
        "zelk_trim_fuzz_" + std::to_string(random()) + std::to_string(random());
    path_ = (std::filesystem::temp_directory_path() / name).string();
  }
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const ScratchFile& Scratch() {
  static const ScratchFile file;
  return file;
}

void WriteWhole(const std::string& path, std::string_view bytes) {
  // A fresh file rather than a truncated one: ext4 flushes a file to disk when
  // it is closed after being truncated to nothing, which would make each run
  // wait for the disk.
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) Fail("the scratch file can be written", path, "a write error");
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("the trimmed file still exists", path, "no such file");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ExpectedAfterTrim(std::string_view whole, std::int32_t max_lines) {
  std::vector<std::string_view> lines;
  std::string_view bytes = whole;
  while (!bytes.empty()) {
    const std::size_t feed = bytes.find('\n');
    if (feed == bytes.npos) {
      lines.push_back(bytes);
      break;
    }
    std::string_view line = bytes.substr(0, feed);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    bytes.remove_prefix(feed + 1);
  }
  const auto keep = static_cast<std::uint32_t>(max_lines);
  if (lines.size() <= keep) return std::string(whole);
  std::string kept;
  for (std::size_t i = lines.size() - keep; i < lines.size(); ++i) {
    kept.append(lines[i]).append("\r\n");
  }
  return kept;
}

struct Header {
  std::int32_t max_lines = 0;
  std::size_t filler = 0;
  bool missing = false;
};

Header ReadHeader(std::string_view text) {
  Header header;
  std::int64_t n = 0;
  const char* end = text.data() + text.size();
  const char* at = std::from_chars(text.data(), end, n).ptr;
  header.max_lines = static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
  if (at != end && *at == '*') {
    at = std::from_chars(at + 1, end, header.filler).ptr;
    if (header.filler > kLargestFiller) header.filler = kLargestFiller;
  }
  header.missing =
      std::string_view(at, static_cast<std::size_t>(end - at)).find('!') != std::string_view::npos;
  return header;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zelk::fuzz::Split split =
      zelk::fuzz::SplitAtLineFeed(std::string_view(reinterpret_cast<const char*>(data), size));
  const Header header = ReadHeader(split.head);
  const std::string& path = Scratch().path();

  if (header.missing) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    zelk::tracelog::TrimToLastLines(path, header.max_lines);
    if (std::filesystem::exists(path)) Fail("a missing file is never created", "", path);
    return 0;
  }

  std::string bytes(header.filler, 'x');
  for (std::size_t i = 99; i < bytes.size(); i += 100) bytes[i] = '\n';
  bytes.append(split.rest);
  WriteWhole(path, bytes);
  zelk::tracelog::TrimToLastLines(path, header.max_lines);
  const std::string after = ReadWhole(path);

  ExpectEqual("the file holds what the model keeps", ExpectedAfterTrim(bytes, header.max_lines),
              after);
  return 0;
}
