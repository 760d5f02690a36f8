#include "service/entry_points.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "config/config.h"
#include "config/settings.h"
#include "forwarding/pipeline.h"
#include "forwarding/spool.h"
#include "forwarding/validation_queue.h"
#include "platform/platform.h"
#include "tracelog/status.h"
#include "tracelog/trace_log.h"
#include "tracelog/version.h"

namespace {

constexpr std::int32_t kApiVersion = 102;
constexpr char kServiceNameFormat[] = "Quillet Zelk v[%s]";
constexpr char kFailureMessage[] = "%s -- t[Unexpected failure: %s]";

// How long StopService gives running workers before the host may unload us.
constexpr auto kWorkerGraceBeforeUnload = std::chrono::seconds(5);

// The service-name text: one buffer for the module's lifetime, never
// reallocated, so a host thread reading it while another calls GetServiceName
// never reads freed memory. Its content is the same on every call; it is
// written only when it changes, under the mutex.
constexpr std::size_t kServiceNameCapacity = 256;
char g_service_name[kServiceNameCapacity] = "";
std::mutex g_service_name_mutex;

// Reports what escaped an entry point. Logging itself never throws.
void ReportFailure(const char* entry_point, const char* what) {
  zelk::tracelog::LogMessage(zelk::tracelog::kError, kFailureMessage, entry_point, what);
}

// Runs `body` so that nothing it throws crosses into the host.
template <typename Result, typename Body>
Result Firewall(const char* entry_point, Result on_failure, Body body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    ReportFailure(entry_point, error.what());
  } catch (...) {
    ReportFailure(entry_point, "unknown exception");
  }
  return on_failure;
}

template <typename Body>
void Firewall(const char* entry_point, Body body) noexcept {
  Firewall(entry_point, 0, [&body] {
    body();
    return 0;
  });
}

std::string_view TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

// "Quillet Zelk v[1.05rc12]", as GetServiceName answers and the status file shows.
void FormatServiceName(char (&name)[kServiceNameCapacity]) {
  const std::string version = zelk::tracelog::GetModuleVersionText();
  std::snprintf(name, sizeof name, kServiceNameFormat, version.c_str());
}

}  // namespace

extern "C" {

std::int32_t ExecuteService(void) {
  return Firewall("ExecuteService", 1, [] {
    zelk::forwarding::SetCallback(nullptr);
    const std::shared_ptr<const zelk::config::Snapshot> current =
        zelk::tracelog::LoadConfiguration(zelk::config::ConfigFilePath());
    const zelk::config::Snapshot& settings = *current;
    zelk::tracelog::OpenTraceLog(settings);
    char name[kServiceNameCapacity];
    FormatServiceName(name);
    zelk::tracelog::status::Configure(zelk::config::Read(settings, zelk::config::kLogStatusFolder),
                                      name);
    zelk::tracelog::WriteLoadedBanner();
    zelk::forwarding::spool::DeliverAtStart();
    return 1;
  });
}

void ForwardTransaction(const char* trans_no, const char* job_no, const char* date,
                        const char* time, const char* text03, const char* text04,
                        const char* number05, const char* number06, const char* text21,
                        const char* value09, const char* value08) {
  // The ninth text fills both free-text ordinals, "21" and "23".
  ForwardTransaction2(trans_no, job_no, date, time, text03, text04, number05, number06, text21,
                      text21, value09, value08);
}

void ForwardTransaction2(const char* trans_no, const char* job_no, const char* date,
                         const char* time, const char* text03, const char* text04,
                         const char* number05, const char* number06, const char* text21,
                         const char* text23, const char* value09, const char* value08) {
  Firewall("ForwardTransaction", [&] {
    zelk::forwarding::Transaction transaction{
        TextOrEmpty(trans_no), TextOrEmpty(job_no), TextOrEmpty(date),     TextOrEmpty(time),
        TextOrEmpty(text03),   TextOrEmpty(text04), TextOrEmpty(number05), TextOrEmpty(number06),
        TextOrEmpty(text21),   TextOrEmpty(text23), TextOrEmpty(value09),  TextOrEmpty(value08)};
    zelk::forwarding::ForwardTransaction2(transaction);
  });
}

std::int32_t GetAPIVersion(void) { return kApiVersion; }

const char* GetServiceName(void) {
  return Firewall("GetServiceName", static_cast<const char*>(g_service_name), [] {
    char name[kServiceNameCapacity];
    FormatServiceName(name);
    std::lock_guard<std::mutex> lock(g_service_name_mutex);
    if (std::strcmp(name, g_service_name) != 0) std::memcpy(g_service_name, name, sizeof name);
    return static_cast<const char*>(g_service_name);
  });
}

std::int32_t IsJobnoValid(const char* jobno) {
  return Firewall("IsJobnoValid", 0, [jobno] { return zelk::forwarding::IsJobnoValid(jobno); });
}

std::int32_t Properties(void) {
  return Firewall("Properties", 0, [] {
    zelk::platform::OpenInTextEditor(zelk::config::ConfigFilePath());
    return 0;
  });
}

zelk::forwarding::ValidationCallback SetCallback(zelk::forwarding::ValidationCallback callback) {
  return Firewall("SetCallback", callback,
                  [callback] { return zelk::forwarding::SetCallback(callback); });
}

void StopService(void) {
  Firewall("StopService", [] {
    zelk::tracelog::WriteUnloadedBanner();
    // The spool's delivery worker is asked to end after the delivery in
    // progress, and is waited for within the same grace as the other workers.
    const auto deadline = std::chrono::steady_clock::now() + kWorkerGraceBeforeUnload;
    zelk::forwarding::spool::StopDelivery(kWorkerGraceBeforeUnload);
    // A worker still running after the grace goes on with state that is
    // never destroyed; there is no one left to tell.
    static_cast<void>(zelk::platform::AwaitWorkersBeforeUnload(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(deadline - std::chrono::steady_clock::now(),
                     std::chrono::steady_clock::duration::zero()))));
    // After the wait for the workers, so that what they did within it is in
    // the file. The wait is bounded: what a worker still running after it
    // does reaches the file only with a later write, if one comes.
    zelk::tracelog::status::MarkStopped();
  });
}

}  // extern "C"
