#include "forwarding/section_filter.h"

#include "platform/ascii.h"

namespace zelk::forwarding {

namespace {

// The first character of a text, NUL for the empty text.
char FirstOf(std::string_view text) { return text.empty() ? '\0' : text.front(); }

}  // namespace

std::string_view WithoutFilterPrefix(std::string_view job_no) {
  return job_no.empty() ? job_no : job_no.substr(1);
}

SectionFilter::SectionFilter(std::string_view value)
    : prefix_(platform::AsciiUpper(FirstOf(value))) {}

bool SectionFilter::Admits(std::string_view job_no) const {
  return blank() || prefix_ == platform::AsciiUpper(FirstOf(job_no));
}

std::string_view SectionFilter::Held(std::string_view job_no) const {
  return blank() ? job_no : WithoutFilterPrefix(job_no);
}

}  // namespace zelk::forwarding
