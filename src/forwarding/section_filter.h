// A section's Filter value: which job numbers a section (an output section or
// a job-list source) is for, and the job number as that section holds it.
#ifndef ZELK_FORWARDING_SECTION_FILTER_H_
#define ZELK_FORWARDING_SECTION_FILTER_H_

#include <string_view>

namespace zelk::forwarding {

// `job_no` without the character a non-blank filter stands for: its first,
// if it has one.
std::string_view WithoutFilterPrefix(std::string_view job_no);

// A section's Filter value, of which only the first character counts.
class SectionFilter {
 public:
  explicit SectionFilter(std::string_view value);

  // Empty or a space: every job number is admitted, and "07" holds it whole.
  bool blank() const { return prefix_ == '\0' || prefix_ == ' '; }
  // The character an admitted job number begins with, upper-cased (ASCII).
  char prefix() const { return prefix_; }
  // Whether a job number is admitted: by a blank filter every one, by another
  // those that begin with its character, letters in either case.
  bool Admits(std::string_view job_no) const;
  // Whether the section's DropOnSuccess is read: the value is not empty (a
  // single space counts).
  bool ReadsDropOnSuccess() const { return prefix_ != '\0'; }
  // The job number as the section holds it (its "07" field, its lists'
  // entries): whole under a blank filter, else without its first character,
  // which the filter already stands for.
  std::string_view Held(std::string_view job_no) const;

 private:
  char prefix_;
};

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_SECTION_FILTER_H_
