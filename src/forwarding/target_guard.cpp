#include "forwarding/target_guard.h"

#include <map>
#include <mutex>

#include "forwarding/target_guard_test_helper.h"

namespace zelk::forwarding {

struct TargetTurn {
  std::mutex writer;  // held by the guard whose turn it is
  int users = 0;      // guards holding or waiting for `writer`; guarded by g_table_mutex
};

namespace {

// The names being written right now, each with its turn. Entries live only
// while a guard uses them.
std::mutex g_table_mutex;
std::map<std::string, TargetTurn*>& Table() {
  static std::map<std::string, TargetTurn*> table;
  return table;
}

}  // namespace

TargetGuard::TargetGuard(const std::string& target) : target_(target) {
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    TargetTurn*& turn = Table()[target_];
    if (turn == nullptr) turn = new TargetTurn();
    ++turn->users;
    turn_ = turn;
  }
  turn_->writer.lock();
}

TargetGuard::~TargetGuard() {
  turn_->writer.unlock();
  std::lock_guard<std::mutex> lock(g_table_mutex);
  if (--turn_->users == 0) {
    Table().erase(target_);
    delete turn_;
  }
}

std::size_t ActiveTargetsForTesting() {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  return Table().size();
}

}  // namespace zelk::forwarding
