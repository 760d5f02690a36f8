# The platform door: its contracts on every platform, and where its behaviour
# differs by platform.
zelk_add_test(platform_test zelk_platform platform_test.cpp)
if(NOT WIN32)
  zelk_add_test(platform_posix_test zelk_platform platform_posix_test.cpp)
endif()
