// A switch for tests and benchmarks that run many cases in one process.
// trace_log.cpp implements it; no other code of the service includes this
// header.
#ifndef ZELK_TRACELOG_TRACE_LOG_TEST_HELPER_H_
#define ZELK_TRACELOG_TRACE_LOG_TEST_HELPER_H_

namespace zelk::tracelog {

// Puts the trace log back into its state at load (no file name, limit 50,
// empty category sets, counter 0).
void ResetTraceLogForTesting();

}  // namespace zelk::tracelog

#endif  // ZELK_TRACELOG_TRACE_LOG_TEST_HELPER_H_
