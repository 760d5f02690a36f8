// The host's validation callback and the workers that answer through it: with
// a callback set, a job-number check is queued and answered later from a
// validation worker, never on the host's thread.
#ifndef ZELK_FORWARDING_VALIDATION_QUEUE_H_
#define ZELK_FORWARDING_VALIDATION_QUEUE_H_

#include <cstdint>

namespace zelk::forwarding {

// The host's validation callback: (1 valid / 0 not valid, the job number as the
// host passed it). The text belongs to the service and is gone after the call.
using ValidationCallback = void (*)(std::int32_t result, const char* jobno);

// Stores `callback` in the callback slot (null empties it) and returns it.
ValidationCallback SetCallback(ValidationCallback callback);

// What the host's IsJobnoValid does: without a callback, the check's result;
// with one, 0 at once and the result later through the callback, from one of
// a few validation workers (never on the calling thread; a check no worker
// can take is dropped with a log line). A null job
// number is not valid (the callback gets it as the empty text); no list is
// read for it.
std::int32_t IsJobnoValid(const char* jobno);

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_VALIDATION_QUEUE_H_
