#include "test_support.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace zelk::testing {

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device seed;
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::string name = "zelk-" + std::to_string(seed()) + "-" + std::to_string(stamp) + "-" +
                     std::to_string(counter++);
  path_ = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::File(const std::string& name) const { return (path_ / name).string(); }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Utf16Bytes(std::u16string_view text, bool big_endian) {
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += big_endian ? high : low;
    bytes += big_endian ? low : high;
  }
  return bytes;
}

std::vector<LogLine> ReadLogLines(const std::string& path) {
  constexpr std::size_t kStampLength = 19;
  std::vector<LogLine> lines;
  const std::string bytes = ReadFileBytes(path);
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    start = end + 2;
    LogLine parsed;
    if (line.size() >= kStampLength + 3 && line[kStampLength] == '-' &&
        line[kStampLength + 2] == '-') {
      parsed.stamp = line.substr(0, kStampLength);
      parsed.category = line[kStampLength + 1];
      parsed.text = line.substr(kStampLength + 3);
    } else {
      parsed.text = line;
    }
    lines.push_back(parsed);
  }
  return lines;
}

std::vector<std::string> ReadLogTexts(const std::string& path) {
  std::vector<std::string> texts;
  for (const LogLine& line : ReadLogLines(path)) {
    texts.push_back(line.category == 0 ? line.text
                                       : std::string(1, line.category) + "-" + line.text);
  }
  return texts;
}

}  // namespace zelk::testing
