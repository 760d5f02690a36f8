zelk_add_bench(config_bench zelk_config config_bench.cpp)
