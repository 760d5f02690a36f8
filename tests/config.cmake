zelk_add_test(config_test zelk_config config_test.cpp)
