# The tracelog room: trimming beside tail, one log message beside one append.
zelk_add_bench(trim_bench zelk_tracelog trim_bench.cpp)
zelk_add_bench(trace_log_bench zelk_tracelog trace_log_bench.cpp)
