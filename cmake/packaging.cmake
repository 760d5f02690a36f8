# The release packages: the library, zelkhost, the example configuration with
# what it needs to run where it is unpacked, and the documents, in one folder
# named after the package. `bash scripts/package.sh` makes all three into dist/.
#   zelkforward-<version>-windows-x86.zip     (preset windows)
#   zelkforward-<version>-windows-x64.zip     (preset windows64)
#   zelkforward-<version>-linux-x86_64.tar.gz (preset native)
if(NOT ZELK_PACKAGE_PLATFORM)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" ZELK_PACKAGE_PLATFORM)
endif()

# Packaging installs the two programs only; it does not build every test first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS zelkforward zelkhost RUNTIME DESTINATION . LIBRARY DESTINATION .)
install(FILES examples/zelkforward.ini examples/jobs.txt examples/transactions.tsv
        docs/INSTALL.txt DESTINATION .)
install(FILES README.md docs/configuration.md docs/trace-log.md docs/architecture.md
        DESTINATION docs)
# The example's targets go to out/, which must exist.
install(DIRECTORY DESTINATION out)

set(CPACK_PACKAGE_NAME zelkforward)
set(CPACK_PACKAGE_VENDOR zelkforward)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "zelkforward transaction forwarding service")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME zelkforward-${PROJECT_VERSION}-${ZELK_PACKAGE_PLATFORM})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/dist)
include(CPack)
