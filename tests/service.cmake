zelk_add_test(service_test zelk_service service_test.cpp)

# The built plug-in, loaded as a host loads it.
zelk_add_test(plugin_test zelk_platform plugin_test.cpp
  ${PROJECT_SOURCE_DIR}/tools/zelkhost/service_library_common.cpp
  ${PROJECT_SOURCE_DIR}/tools/zelkhost/service_library_${ZELK_PLATFORM}.cpp)
target_include_directories(plugin_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/zelkhost)
add_dependencies(plugin_test zelkforward)

# zelkhost check, on good and broken configurations.
zelk_add_test(zelkhost_check_test zelk_forwarding zelkhost_check_test.cpp
  ${PROJECT_SOURCE_DIR}/tools/zelkhost/check.cpp)
target_include_directories(zelkhost_check_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/zelkhost)

# What the plug-in exports and imports.
add_test(NAME plugin_exports
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.sh ${ZELK_PLATFORM} $<TARGET_FILE:zelkforward>)
