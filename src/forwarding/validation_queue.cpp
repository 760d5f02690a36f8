#include "forwarding/validation_queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "forwarding/job_check.h"
#include "platform/platform.h"
#include "tracelog/status.h"
#include "tracelog/trace_log.h"

namespace zelk::forwarding {

namespace {

constexpr char kNotCheckedMessage[] = "IsJobnoValid jobno[%s] -- t[Not checked: %s]";
constexpr char kQueueFullReason[] = "too many checks waiting";
constexpr char kNoWorkerReason[] = "no validation worker could be started";
constexpr char kNoMemoryReason[] = "no memory for the check";

// Validation workers at most, and checks waiting for them at most: a host
// asking faster than the lists can be read gets refusals, not a process
// full of threads or a queue that eats its memory.
constexpr int kValidationWorkers = 4;
constexpr std::size_t kLongestQueue = 10000;
// How long a worker that finds no check waits for the next before it ends:
// a host that asks steadily keeps its few workers instead of ending one and
// starting another for every lull.
constexpr auto kIdleWorkerLinger = std::chrono::milliseconds(100);

// The one slot for the host's callback. Written by SetCallback and
// ExecuteService, read by validation workers, all without a lock.
std::atomic<ValidationCallback> g_callback_slot{nullptr};

// The answer to one of the host's checks, for the status file (the pipeline's
// re-checks are not the host's and do not count).
int CountAnswer(int result) {
  tracelog::status::CountJobCheck(result == 1 ? tracelog::status::JobCheck::kValid
                                              : tracelog::status::JobCheck::kNotValid);
  return result;
}

// One check asked for with a callback set.
struct AsyncCheck {
  std::string jobno;
  bool missing = false;  // the host passed a null job number
};

// A validation worker's work for one check: check, then hand the result to
// whichever callback is registered once the check is done.
void RunAsyncCheck(const AsyncCheck& check) {
  if (g_callback_slot.load() == nullptr) {
    tracelog::status::CountJobCheck(tracelog::status::JobCheck::kNotChecked);
    return;
  }
  const int result = check.missing ? ReportNotValid(check.jobno) : CheckJobno(check.jobno);
  CountAnswer(result);
  if (ValidationCallback callback = g_callback_slot.load()) callback(result, check.jobno.c_str());
}

void Drop(const AsyncCheck& check, const char* reason) {
  tracelog::LogMessage(tracelog::kError, kNotCheckedMessage,
                       tracelog::VisibleText(check.jobno).c_str(), reason);
  tracelog::status::CountJobCheck(tracelog::status::JobCheck::kNotChecked);
}

// The checks waiting for a validation worker, and the workers taking them.
// A few workers at most, each taking checks until none is waiting, then
// ending: a burst of checks costs a queue entry each, never a thread each.
class ValidationQueue {
 public:
  // Queues `check` and makes sure a worker will take it. Never runs a check
  // on the calling thread, never waits for one.
  void Submit(AsyncCheck&& check) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (waiting_.size() >= kLongestQueue) {
      lock.unlock();
      Drop(check, kQueueFullReason);
      return;
    }
    waiting_.push_back(std::move(check));
    if (idle_ > 0) {
      lock.unlock();
      wake_.notify_one();
      return;
    }
    if (workers_ >= kValidationWorkers) return;  // a running worker takes it
    ++workers_;
    lock.unlock();
    std::function<void()> work = [this] { Work(); };
    if (platform::StartDetachedThread(work, platform::ThreadPriority::kNormal)) return;
    // No new worker. One still running takes the check later; with none, no
    // worker can take any waiting check now, and they are dropped.
    std::deque<AsyncCheck> stranded;
    lock.lock();
    if (--workers_ == 0) stranded.swap(waiting_);
    lock.unlock();
    for (const AsyncCheck& each : stranded) Drop(each, kNoWorkerReason);
  }

 private:
  void Work() {
    for (;;) {
      AsyncCheck check;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!AwaitCheckLocked(lock)) {
          --workers_;
          return;
        }
        check = std::move(waiting_.front());
        waiting_.pop_front();
      }
      // A worker that left here early would stay counted for ever.
      try {
        RunAsyncCheck(check);
      } catch (...) {
        Drop(check, kNoMemoryReason);
      }
    }
  }

  // True when a check waits, after lingering a while for one; false when
  // the worker should end.
  bool AwaitCheckLocked(std::unique_lock<std::mutex>& lock) {
    if (!waiting_.empty()) return true;
    ++idle_;
    const bool woken =
        wake_.wait_for(lock, kIdleWorkerLinger, [this] { return !waiting_.empty(); });
    --idle_;
    return woken;
  }

  std::mutex mutex_;
  std::condition_variable wake_;    // a check was queued for an idle worker
  std::deque<AsyncCheck> waiting_;  // under mutex_
  int workers_ = 0;                 // running or starting; under mutex_
  int idle_ = 0;                    // workers waiting for a check; under mutex_
};

// Its workers use it to the end: the door's lifetime rule for such state.
ValidationQueue& Queue() { return platform::NeverDestroyed<ValidationQueue>(); }

}  // namespace

ValidationCallback SetCallback(ValidationCallback callback) {
  g_callback_slot.store(callback);
  return callback;
}

std::int32_t IsJobnoValid(const char* jobno) {
  // A null job number is no job number at all: a list with an empty line must
  // not make it valid.
  const bool missing = jobno == nullptr;
  std::string copy = missing ? "" : jobno;
  if (g_callback_slot.load() == nullptr) {
    return CountAnswer(missing ? ReportNotValid(copy) : CheckJobno(copy));
  }
  Queue().Submit(AsyncCheck{std::move(copy), missing});
  return 0;
}

}  // namespace zelk::forwarding
