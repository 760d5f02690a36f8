zelk_add_test(service_test zelk_service service_test.cpp)

# The built plug-in, loaded as a host loads it.
zelk_add_test(plugin_test zelkhost_library plugin_test.cpp)
add_dependencies(plugin_test zelkforward)

# zelkhost check, on good and broken configurations.
zelk_add_test(zelkhost_check_test zelkhost_commands zelkhost_check_test.cpp)
target_compile_definitions(zelkhost_check_test PRIVATE ZELK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

# What the plug-in exports and imports, and its version resource: read from
# the file, so these run where its programs cannot (label "static").
if(WIN32)
  set(zelk_binary_tools ${CMAKE_OBJDUMP} ${CMAKE_OBJCOPY} ${PROJECT_VERSION} ${ZELK_VERSION_TEXT})
else()
  set(zelk_binary_tools)
endif()
add_test(NAME plugin_exports
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.sh ${ZELK_PLATFORM} $<TARGET_FILE:zelkforward>
          ${zelk_binary_tools})
set_tests_properties(plugin_exports PROPERTIES LABELS static)
zelk_add_test(hardening_test zelk_service hardening_test.cpp)

# Two host processes sharing one target and one trace log.
if(WIN32)
  set(zelk_program_runner ${CMAKE_CROSSCOMPILING_EMULATOR})
else()
  set(zelk_program_runner "")
endif()
add_test(NAME two_processes
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/two_processes.sh $<TARGET_FILE:zelkhost>
          $<TARGET_FILE:zelkforward> ${zelk_program_runner})
set_tests_properties(two_processes PROPERTIES TIMEOUT 300)
# Two host processes sharing one spool folder for one away target.
add_test(NAME two_processes_spool
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/two_processes_spool.sh $<TARGET_FILE:zelkhost>
          $<TARGET_FILE:zelkforward> ${zelk_program_runner})
set_tests_properties(two_processes_spool PROPERTIES TIMEOUT 300)

# zelkhost run's summary and exit status, and its answers to a wrong command line.
add_test(NAME zelkhost_run
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/zelkhost_run.sh $<TARGET_FILE:zelkhost>
          $<TARGET_FILE:zelkforward> ${zelk_program_runner})
set_tests_properties(zelkhost_run PROPERTIES TIMEOUT 300)

# A long run of the built plug-in: every line once and whole, no memory or
# descriptors left behind; many checks asked for at once take a few workers. Fewer transactions under Wine, where each system
# call costs many times more; not under the sanitizers (label "soak"), whose
# own bookkeeping grows the memory it measures.
zelk_add_test(soak_test zelkhost_library soak_test.cpp process_stats_${ZELK_PLATFORM}.cpp)
if(WIN32)
  target_compile_definitions(soak_test PRIVATE ZELK_SOAK_TRANSACTIONS=20000
    ZELK_SOAK_VALIDATIONS=10000)
  target_link_libraries(soak_test PRIVATE psapi)
else()
  target_compile_definitions(soak_test PRIVATE ZELK_SOAK_TRANSACTIONS=200000
    ZELK_SOAK_VALIDATIONS=100000)
endif()
add_dependencies(soak_test zelkforward)
set_tests_properties(soak_test PROPERTIES LABELS soak)

# zelkhost spool, and check's report of the spool folder.
zelk_add_test(zelkhost_spool_test zelkhost_commands zelkhost_spool_test.cpp)

# zelkhost status: its exit status for each state.
zelk_add_test(zelkhost_status_test zelkhost_commands zelkhost_status_test.cpp)

# Every failure point and power-cut point of a few scenarios, one at a time,
# the service loaded again after each (label "faults"). The spool's and the
# configuration's scenarios run as a test of their own beside the others:
# both halves spend most of their time in the service's own bounded waits,
# not on a processor, and both start first (COST) so that the rest of the
# suite runs beside them.
add_executable(fault_points_test fault_points_test.cpp)
target_link_libraries(fault_points_test PRIVATE zelk_service zelktestsupport ${ZELK_GTEST})
set(ZELK_SPOOL_AND_CONFIGURATION "*ASpool*:*TheConfiguration*")
add_test(NAME fault_points_test
         COMMAND fault_points_test --gtest_filter=-${ZELK_SPOOL_AND_CONFIGURATION})
add_test(NAME fault_points_spool_config_test
         COMMAND fault_points_test --gtest_filter=${ZELK_SPOOL_AND_CONFIGURATION})
set_tests_properties(fault_points_test fault_points_spool_config_test
                     PROPERTIES LABELS faults COST 1000 TIMEOUT 600)
