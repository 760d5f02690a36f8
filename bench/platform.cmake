# The platform door: single calls beside the same system calls made bare.
zelk_add_bench(platform_bench zelk_platform platform_bench.cpp bare_floor_posix.cpp)
