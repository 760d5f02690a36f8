// The documents administrators read agree with the code: the key table of
// docs/configuration.md with the service's own, and docs/trace-log.md holds
// every message text the service can write to its trace log.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "forwarding/pipeline.h"
#include "platform/platform_test_helper.h"
#include "test_support.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = ZELK_SOURCE_DIR;

std::vector<std::string> CellsOf(const std::string& row) {
  std::vector<std::string> cells;
  std::size_t start = 1;
  for (std::size_t bar; (bar = row.find('|', start)) != std::string::npos; start = bar + 1) {
    std::string cell = row.substr(start, bar - start);
    cell.erase(0, cell.find_first_not_of(' '));
    cell.erase(cell.find_last_not_of(' ') + 1);
    cells.push_back(cell);
  }
  return cells;
}

// The values a default cell names, in order: each `...` and each "(empty)".
std::vector<std::string> DefaultsOf(const std::string& cell) {
  std::vector<std::string> values;
  for (std::size_t at = 0; at < cell.size();) {
    const std::size_t tick = cell.find('`', at);
    const std::size_t empty = cell.find("(empty)", at);
    if (tick == std::string::npos && empty == std::string::npos) break;
    if (empty < tick) {
      values.emplace_back();
      at = empty + 7;
    } else {
      const std::size_t close = cell.find('`', tick + 1);
      values.push_back(cell.substr(tick + 1, close - tick - 1));
      at = close + 1;
    }
  }
  return values;
}

struct DocumentedKey {
  std::string first_default;
  std::string rest_default;
  std::size_t longest = 0;
};

// The rows of the key table: "| `Section` | `Key` | default | longest | ...".
std::map<std::string, DocumentedKey> DocumentedKeys() {
  std::map<std::string, DocumentedKey> keys;
  const std::string text = testing::ReadFileBytes((kSourceDir / "docs/configuration.md").string());
  std::istringstream lines(text);
  for (std::string row; std::getline(lines, row);) {
    if (row.rfind("| `", 0) != 0) continue;
    const std::vector<std::string> cells = CellsOf(row);
    if (cells.size() < 4 || cells[1].size() < 2 || cells[1].front() != '`') continue;
    const std::vector<std::string> defaults = DefaultsOf(cells[2]);
    if (defaults.empty()) continue;
    const std::string name =
        cells[0].substr(1, cells[0].size() - 2) + "/" + cells[1].substr(1, cells[1].size() - 2);
    keys[name] = {defaults.front(), defaults.back(), std::stoul(cells[3])};
  }
  return keys;
}

TEST(ConfigurationDocument, KeyTableAgreesWithTheService) {
  std::map<std::string, DocumentedKey> documented = DocumentedKeys();
  for (const config::KeyDescription& key : config::kKeyTable) {
    const std::string name =
        std::string(key.section) + "/" + std::string(key.key) + (key.numbered ? "<N>" : "");
    const auto row = documented.find(name);
    ASSERT_NE(row, documented.end()) << name << " is missing from docs/configuration.md";
    EXPECT_EQ(row->second.first_default, key.fallback_first) << name;
    EXPECT_EQ(row->second.rest_default, key.fallback_rest) << name;
    EXPECT_EQ(row->second.longest, key.read_length - 1) << name;
    documented.erase(row);
  }
  for (const auto& [name, row] : documented) {
    ADD_FAILURE() << name << " is documented but the service reads no such key";
  }
}

// The example configuration shows every key the service reads.
TEST(ExampleConfiguration, WritesEveryKey) {
  const config::Snapshot example = config::Snapshot::Parse(
      testing::ReadFileBytes((kSourceDir / "examples/zelkforward.ini").string()));
  const config::Snapshot::Outline outline = example.Describe();
  for (const config::KeyDescription& key : config::kKeyTable) {
    bool written = false;
    for (const config::Snapshot::SectionLines& section : outline.sections) {
      if (section.name != key.section) continue;
      for (const config::Snapshot::KeyLine& line : section.keys) {
        written = written || (key.numbered ? line.key.substr(0, key.key.size()) == key.key &&
                                                 line.key.size() > key.key.size()
                                           : line.key == key.key);
      }
    }
    EXPECT_TRUE(written) << key.section << "/" << key.key << " is not in the example";
  }
}

// Each string-literal piece of every `constexpr char k...Message[]` in the
// sources, as it stands between its quotes.
std::vector<std::string> MessagePiecesInTheCode() {
  const std::regex definition(R"re(constexpr char (k\w*Message)\[\]\s*=\s*([^;]*);)re");
  const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  std::vector<std::string> pieces;
  for (const auto& entry : fs::recursive_directory_iterator(kSourceDir / "src")) {
    if (entry.path().extension() != ".cpp" && entry.path().extension() != ".h") continue;
    const std::string text = testing::ReadFileBytes(entry.path().string());
    for (std::sregex_iterator it(text.begin(), text.end(), definition), end; it != end; ++it) {
      const std::string body = (*it)[2];
      for (std::sregex_iterator piece(body.begin(), body.end(), literal); piece != end; ++piece) {
        pieces.push_back((*piece)[1]);
      }
    }
  }
  return pieces;
}

TEST(TraceLogDocument, HoldsEveryMessageTheServiceWrites) {
  const std::string text = testing::ReadFileBytes((kSourceDir / "docs/trace-log.md").string());
  ASSERT_FALSE(text.empty());
  const std::vector<std::string> pieces = MessagePiecesInTheCode();
  EXPECT_GE(pieces.size(), 20u);  // the scan itself found the messages
  for (const std::string& piece : pieces) {
    EXPECT_NE(text.find(piece), std::string::npos)
        << "docs/trace-log.md lacks the message text: " << piece;
  }
}

// The CSV example of configuration.md writes the file it shows: its
// configuration, with the target moved to a scratch folder, given the
// transaction it names, gives the byte order mark, the header and the line.
TEST(ConfigurationDocument, TheCsvExampleWritesWhatItShows) {
  const std::string text = testing::ReadFileBytes((kSourceDir / "docs/configuration.md").string());
  const std::size_t example = text.find("### A CSV file for an importer");
  ASSERT_NE(example, std::string::npos);
  const std::size_t ini = text.find("```ini\n", example) + 7;
  const std::string settings = text.substr(ini, text.find("```", ini) - ini);
  const std::size_t shown = text.find("```\n", text.find("writes this line", example)) + 4;
  const std::string line = text.substr(shown, text.find("\n```", shown) - shown);
  testing::ScratchDir dir;
  const std::string target = dir.File("orders.csv");
  const std::string moved =
      std::regex_replace(settings, std::regex("Target1=[^\n]*"), "Target1=" + target);
  platform::SetTimeZoneForTesting("UTC0");
  forwarding::Transaction t;
  t.trans_no = "42";
  t.job_no = "A1234";
  t.date = "071010";
  t.time = "075037";
  t.text03 = "=cmd|' /C calc'!A0";
  t.text21 = "Box \"large\"; fragile";
  t.value09 = "-12.5";
  forwarding::ForwardTransaction2(t, config::Snapshot::Parse(moved));
  EXPECT_EQ(testing::ReadFileBytes(target),
            "\xEF\xBB\xBF"
            "Date;Time;Nr;Job;Operation;Remark;Amount\r\n" +
                line + "\r\n");
}

}  // namespace
}  // namespace zelk
