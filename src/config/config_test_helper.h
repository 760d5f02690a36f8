// A switch for tests, benchmarks and tools that link the core into a program
// of their own. config.cpp implements it; no other code of the service
// includes this header.
#ifndef ZELK_CONFIG_CONFIG_TEST_HELPER_H_
#define ZELK_CONFIG_CONFIG_TEST_HELPER_H_

#include <string>

namespace zelk::config {

// Makes ConfigFilePath answer `path` (an empty path restores the rule), so
// that such a program can give the core a configuration file.
void SetConfigFilePathForTesting(const std::string& path);

}  // namespace zelk::config

#endif  // ZELK_CONFIG_CONFIG_TEST_HELPER_H_
