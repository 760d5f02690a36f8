zelk_add_test(job_check_test zelk_forwarding job_check_test.cpp)
# The test replaces the global operator new and delete to measure allocations;
# GCC, inlining the pair at -O1 under a sanitizer, takes them for a mismatch.
target_compile_options(job_check_test PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-mismatched-new-delete>)
zelk_add_test(pipeline_test zelk_forwarding pipeline_test.cpp)
# Compared with the C runtime's strtod, which only glibc's is the model of.
if(NOT WIN32)
  zelk_add_test(parse_real_glibc_test zelk_forwarding parse_real_glibc_test.cpp)
endif()
zelk_add_test(spool_test zelk_forwarding spool_test.cpp)
# Writes the file system cuts short, of targets, the spool and the trace log:
# the file-size limit (RLIMIT_FSIZE).
if(NOT WIN32)
  zelk_add_test(full_disk_posix_test zelk_forwarding full_disk_posix_test.cpp)
endif()
if(NOT WIN32)
  zelk_add_test(sync_posix_test zelk_forwarding sync_posix_test.cpp)
endif()
# Killing the process at random moments: fork and SIGKILL.
if(NOT WIN32)
  zelk_add_test(spool_crash_posix_test zelk_forwarding spool_crash_posix_test.cpp)
endif()
# A program that may only read the service's files, holding read locks in them.
if(NOT WIN32)
  zelk_add_test(foreign_reader_posix_test zelk_forwarding foreign_reader_posix_test.cpp)
endif()
# The status file's counts against the trace log, and its replacement.
zelk_add_test(status_test zelk_forwarding status_test.cpp)
target_link_libraries(status_test PRIVATE zelk_json)
