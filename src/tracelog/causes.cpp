#include "tracelog/causes.h"

#include <atomic>
#include <cstdarg>
#include <optional>

#include "tracelog/format.h"

namespace zelk::tracelog {

namespace {

// Read by every failure line, set once by ExecuteService: a flag no worker
// can outlive, being a plain atomic of static storage with a trivial
// destructor.
std::atomic<bool> g_show_causes{false};

}  // namespace

void ShowCauses(bool show) { g_show_causes.store(show, std::memory_order_relaxed); }

std::string CauseField(const platform::Status& cause) {
  if (cause.ok() || !g_show_causes.load(std::memory_order_relaxed)) return {};
  try {
    return " cause[" + VisibleText(cause.cause()) + "]";
  } catch (...) {
    return {};  // no memory: the line goes without its cause rather than not at all
  }
}

void LogFailure(const platform::Status& cause, char category, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::optional<std::string> text = TryFormatText(format, args);
  va_end(args);
  if (!text) {
    WriteTraceLine(category, format);
    return;
  }
  try {
    // A message that brings its own line feed ends the line with it, so the
    // cause goes before it rather than onto a line of its own.
    const bool own_line_end = !text->empty() && text->back() == '\n';
    text->insert(text->size() - (own_line_end ? 1 : 0), CauseField(cause));
  } catch (...) {
    // No memory for the cause: the line as it is.
  }
  WriteTraceLine(category, *text);
}

}  // namespace zelk::tracelog
