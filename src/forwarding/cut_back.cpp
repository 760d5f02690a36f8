#include "forwarding/cut_back.h"

#include "forwarding/messages.h"
#include "tracelog/trace_log.h"

namespace zelk::forwarding {

bool CutBack(platform::File& file, std::int64_t length, const std::string& target) {
  const platform::Status cut = file.Truncate(length);
  if (cut.ok()) return true;
  tracelog::LogMessage('*', messages::kCutBackFailedMessage, target.c_str(),
                       static_cast<long long>(length), tracelog::VisibleText(cut.cause()).c_str());
  return false;
}

}  // namespace zelk::forwarding
