# The tracelog room: tail trimming, the trace log, the version texts.
zelk_add_test(trim_test zelk_tracelog trim_test.cpp)
# The programs that read their own version carry the version resource on Windows.
set(zelk_tracelog_version_sources)
if(WIN32)
  set(zelk_tracelog_version_sources ${ZELK_VERSION_RC})
endif()
zelk_add_test(trace_log_test zelk_tracelog trace_log_test.cpp ${zelk_tracelog_version_sources})
zelk_add_test(version_test zelk_tracelog version_test.cpp ${zelk_tracelog_version_sources})
if(NOT WIN32)
  zelk_add_test(trim_crash_posix_test zelk_tracelog trim_crash_posix_test.cpp)
endif()
# A program that may only read the trace log, holding its appenders' lock.
if(WIN32)
  zelk_add_test(foreign_reader_windows_test zelk_tracelog foreign_reader_windows_test.cpp)
endif()
