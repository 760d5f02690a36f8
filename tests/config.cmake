zelk_add_test(config_test zelk_config config_test.cpp)
if(WIN32)
  zelk_add_test(config_profile_windows_test zelk_config config_profile_windows_test.cpp)
endif()
