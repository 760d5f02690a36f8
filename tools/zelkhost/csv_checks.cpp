#include "csv_checks.h"

#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <vector>

#include "config/settings.h"
#include "extformat/field_record.h"
#include "extformat/parsed_format.h"
#include "forwarding/keep_files.h"
#include "forwarding/target_head.h"

namespace zelk::host {
namespace {

constexpr char kQuote = '"';

std::string Key(std::string_view name, int n) { return std::string(name) + std::to_string(n); }

// Whether a field reference of `format` stands right after or right before a
// double quote of the format's own text, as in "%@03" or in what is left of
// "%@01";"%@03" once the configuration's quote rule took its outer quotes.
bool WrapsFieldsInQuotes(const std::string& format) {
  const extformat::ParsedFormat parsed(format);
  const std::vector<extformat::FormatPart>& parts = parsed.parts();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (!parts[i].has_reference) continue;
    const bool quote_before = !parts[i].literal.empty() && parts[i].literal.back() == kQuote;
    const bool quote_after = i + 1 < parts.size() && !parts[i + 1].literal.empty() &&
                             parts[i + 1].literal.front() == kQuote;
    if (quote_before || quote_after) return true;
  }
  return false;
}

// Whether the file at `path` holds bytes and does not begin with a byte
// order mark.
bool HoldsLinesWithoutMark(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error) ||
      std::filesystem::file_size(path, error) == 0) {
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  std::string start(forwarding::kUtf8ByteOrderMark.size(), '\0');
  file.read(start.data(), static_cast<std::streamsize>(start.size()));
  return start != forwarding::kUtf8ByteOrderMark;
}

void CheckKeepFiles(const config::Snapshot& snapshot, int n, const extformat::FieldRecord& rounded,
                    const SectionReport& report) {
  if (config::IntegerSetting(config::Read(snapshot, config::kKeepFiles, n)) <= 0) return;
  const forwarding::TimePartsOfName where = forwarding::WhereTimePartsStand(
      rounded.RenderNamePieces(config::Read(snapshot, config::kTarget, n)));
  if (!where.in_file_name) {
    report.warning(Key("KeepFiles", n) + " is set, but " + Key("Target", n) +
                   " has no date or time part in its file name: no file is ever removed");
  }
  if (where.in_folder) {
    report.warning(Key("KeepFiles", n) + ": " + Key("Target", n) +
                   " has date or time parts in a folder name; only the files in the folder of "
                   "the current period are looked at, and earlier periods' folders are kept");
  }
}

}  // namespace

void CheckImportKeys(const config::Snapshot& snapshot, int n, const forwarding::Transaction& sample,
                     bool prefix_filtered, SectionReport report) {
  const std::string format = config::Read(snapshot, config::kOutputFormat, n);
  if (!config::Read(snapshot, config::kCsvDelimiter, n).empty() && WrapsFieldsInQuotes(format)) {
    report.warning(Key("Format", n) + " puts quotes around fields itself, and " +
                   Key("CsvDelimiter", n) +
                   " quotes the values that need it: such a value comes out quoted twice. Leave "
                   "the quotes out of the format");
  }
  extformat::FieldRecord record;
  forwarding::FillFieldRecord(record, sample, prefix_filtered);
  std::string target;
  std::string line;
  try {
    forwarding::RenderTarget(record, sample, config::Read(snapshot, config::kTarget, n),
                             forwarding::RotationPeriod(snapshot, n), target);
    CheckKeepFiles(snapshot, n, record, report);
    forwarding::RenderLine(record, sample, format, line);
  } catch (const extformat::ExtFormatError&) {
    return;  // a fault of Target<N> or Format<N>, reported where they are checked
  }
  const std::string header_format = config::Read(snapshot, config::kHeader, n);
  try {
    std::string header;
    forwarding::RenderHeader(record, header_format, header);
    if (!header_format.empty()) report.out << "    header: " << header << "\n";
  } catch (const extformat::ExtFormatError& error) {
    report.problem(Key("Header", n) + ": " + error.what());
  }
  if (config::IntegerSetting(config::Read(snapshot, config::kBom, n)) != 0 &&
      HoldsLinesWithoutMark(target)) {
    report.warning(Key("Bom", n) + " is set, but the target " + target +
                   " already holds lines without a byte order mark: it gets none (start it anew)");
  }
}

}  // namespace zelk::host
