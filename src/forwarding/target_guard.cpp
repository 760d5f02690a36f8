#include "forwarding/target_guard.h"

#include <map>
#include <mutex>

#include "forwarding/target_guard_test_helper.h"
#include "platform/platform.h"

namespace zelk::forwarding {

struct TargetTurn {
  std::mutex writer;  // held by the guard whose turn it is
  int users = 0;      // guards holding or waiting for `writer`; under TurnTable::mutex
};

namespace {

// The names being written right now, each with its turn. Entries live only
// while a guard uses them. Spool workers take turns too, so the table follows
// the door's lifetime rule for state that workers touch: never destroyed.
struct TurnTable {
  std::mutex mutex;
  std::map<std::string, TargetTurn*> turns;  // under `mutex`
};

TurnTable& Table() { return platform::NeverDestroyed<TurnTable>(); }

}  // namespace

TargetGuard::TargetGuard(const std::string& target) : target_(target) {
  {
    std::lock_guard<std::mutex> lock(Table().mutex);
    TargetTurn*& turn = Table().turns[target_];
    if (turn == nullptr) turn = new TargetTurn();
    ++turn->users;
    turn_ = turn;
  }
  turn_->writer.lock();
}

TargetGuard::~TargetGuard() {
  turn_->writer.unlock();
  std::lock_guard<std::mutex> lock(Table().mutex);
  if (--turn_->users == 0) {
    Table().turns.erase(target_);
    delete turn_;
  }
}

std::size_t ActiveTargetsForTesting() {
  std::lock_guard<std::mutex> lock(Table().mutex);
  return Table().turns.size();
}

}  // namespace zelk::forwarding
