// Serialises the writers of one target file inside this process, so that host
// threads forwarding to the same file take turns instead of failing on each
// other's exclusive open.
#ifndef ZELK_FORWARDING_TARGET_GUARD_H_
#define ZELK_FORWARDING_TARGET_GUARD_H_

#include <memory>
#include <string>

namespace zelk::forwarding {

struct TargetTurn;

// Holds the turn for one target name from construction to destruction. Only
// names being written at this moment have state: the last guard of a name
// removes it, so no table grows with the file names a rotation produces.
class TargetGuard {
 public:
  explicit TargetGuard(const std::string& target);
  ~TargetGuard();
  TargetGuard(const TargetGuard&) = delete;
  TargetGuard& operator=(const TargetGuard&) = delete;

 private:
  std::string target_;
  TargetTurn* turn_;
};

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_TARGET_GUARD_H_
