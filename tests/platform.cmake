# The platform door, where its behaviour differs by platform.
if(NOT WIN32)
  zelk_add_test(platform_posix_test zelk_platform platform_posix_test.cpp)
endif()
