// A probe for tests of TargetGuard. target_guard.cpp implements it; no other
// code of the service includes this header.
#ifndef ZELK_FORWARDING_TARGET_GUARD_TEST_HELPER_H_
#define ZELK_FORWARDING_TARGET_GUARD_TEST_HELPER_H_

#include <cstddef>

namespace zelk::forwarding {

// The number of target names that currently have state.
std::size_t ActiveTargetsForTesting();

}  // namespace zelk::forwarding

#endif  // ZELK_FORWARDING_TARGET_GUARD_TEST_HELPER_H_
