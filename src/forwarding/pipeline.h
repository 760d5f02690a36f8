// The forwarding pipeline: one transaction of the host, walked through the
// numbered output sections of the configuration, rendered and appended to the
// sections' target files.
#ifndef ZELK_FORWARDING_PIPELINE_H_
#define ZELK_FORWARDING_PIPELINE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "extformat/field_record.h"
#include "forwarding/section_filter.h"

namespace zelk::forwarding {

// The twelve texts of one transaction, in the host's order. Views only: the
// pipeline keeps nothing of them past the call.
struct Transaction {
  std::string_view trans_no;
  std::string_view job_no;
  std::string_view date;  // YYMMDD
  std::string_view time;  // HHMMSS
  std::string_view text03;
  std::string_view text04;
  std::string_view number05;
  std::string_view number06;
  std::string_view text21;
  std::string_view text23;
  std::string_view value09;  // the transaction's value; zero makes a zero transaction
  std::string_view value08;
};

// Forwards `transaction` with the settings of `snapshot`. Every outcome goes to
// the trace log; a failure inside an output section is logged and the walk goes
// on with the next section.
void ForwardTransaction2(const Transaction& transaction, const config::Snapshot& snapshot);

// Fills a fresh record with the transaction's fields "01" to "k9", in the
// order a section fills them; "07" without the job number's first character
// when `without_prefix` (the section's filter is not blank). The time parts
// are left to SetDateTime.
void FillFieldRecord(extformat::FieldRecord& record, const Transaction& transaction,
                     bool without_prefix);

// Whether section N, once its filter has admitted a job number, ends the walk:
// its DropOnSuccess is read (the filter is not empty) and not 0.
bool EndsWalk(const config::Snapshot& snapshot, int n);
// The output sections a transaction with `job_no` reaches, in the order of
// the walk: those whose filter admits it, up to the first that ends the walk.
std::vector<int> SectionsReached(const config::Snapshot& snapshot, std::string_view job_no);
// Section N's rotation period in seconds: FileRotationTime N in minutes times
// 60 in 32 bits, taken as unsigned (a negative setting becomes a period longer
// than the whole epoch).
std::uint32_t RotationPeriod(const config::Snapshot& snapshot, int n);

// The two renders of a section, in this order on the same record. First the
// target name, with the time parts at the moment rounded down to
// `rotation_period` and field values kept inside their path components; then
// the line, with the time parts at the exact moment and field values kept on
// the line. Each throws ExtFormatError and leaves its output untouched then.
void RenderTarget(extformat::FieldRecord& record, const Transaction& transaction,
                  std::string_view target_format, std::uint32_t rotation_period,
                  std::string& target);
void RenderLine(extformat::FieldRecord& record, const Transaction& transaction,
                std::string_view line_format, std::string& line,
                extformat::CsvRule csv = extformat::CsvRule());

// A section's header line, rendered on the record the line was rendered on,
// with field values kept on the line and neither quoted nor guarded. An empty
// format leaves `header` as it is. Throws ExtFormatError.
void RenderHeader(const extformat::FieldRecord& record, std::string_view header_format,
                  std::string& header);

// Section N's CSV rule: CsvDelimiter N's first character, and CsvGuard N.
extformat::CsvRule CsvRuleOf(const config::Snapshot& snapshot, int n);

// A record with every field a section's formats can name (with an empty
// transaction's values), to check formats against without a transaction.
extformat::FieldRecord EmptySectionRecord();

// Forwards `transaction` with the configuration file as it is now.
void ForwardTransaction2(const Transaction& transaction);

// A real as strtod reads it in the C locale, whatever locale the host set:
// leading white space, an optional sign, decimal (or hexadecimal) digits with
// "." as decimal point and an optional exponent, "inf" and "nan"; parsing
// stops at the first character that cannot continue the number; no number
// gives 0.0, a number too large for a double gives an infinity.
double ParseReal(std::string_view text);

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_PIPELINE_H_
