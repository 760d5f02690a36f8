// The nine entry points a host calls, with C linkage and the C calling
// convention. Every one is a firewall: nothing thrown inside reaches the host.
#ifndef ZELK_SERVICE_ENTRY_POINTS_H_
#define ZELK_SERVICE_ENTRY_POINTS_H_

#include <cstdint>

#include "forwarding/validation_queue.h"

// Set by the build: what makes a function visible to the host's loader.
#ifndef ZELK_EXPORT
#define ZELK_EXPORT
#endif

extern "C" {

ZELK_EXPORT std::int32_t ExecuteService(void);
ZELK_EXPORT void ForwardTransaction(const char* trans_no, const char* job_no, const char* date,
                                    const char* time, const char* text03, const char* text04,
                                    const char* number05, const char* number06, const char* text21,
                                    const char* value09, const char* value08);
ZELK_EXPORT void ForwardTransaction2(const char* trans_no, const char* job_no, const char* date,
                                     const char* time, const char* text03, const char* text04,
                                     const char* number05, const char* number06, const char* text21,
                                     const char* text23, const char* value09, const char* value08);
ZELK_EXPORT std::int32_t GetAPIVersion(void);
ZELK_EXPORT const char* GetServiceName(void);
ZELK_EXPORT std::int32_t IsJobnoValid(const char* jobno);
ZELK_EXPORT std::int32_t Properties(void);
ZELK_EXPORT zelk::forwarding::ValidationCallback SetCallback(
    zelk::forwarding::ValidationCallback callback);
ZELK_EXPORT void StopService(void);

}  // extern "C"

#endif  // ZELK_SERVICE_ENTRY_POINTS_H_
