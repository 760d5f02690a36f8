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

# The Linux binaries carry the C++ runtime and libgcc, as the DLLs do, so that
# the package needs nothing of the machine but glibc (INSTALL.txt names the
# version). Not in the sanitizer and fuzzer builds, whose runtimes expect the
# shared C++ library.
if(NOT WIN32 AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize" AND NOT ZELK_BUILD_FUZZERS)
  target_link_options(zelkforward PRIVATE -static-libstdc++ -static-libgcc)
  target_link_options(zelkhost PRIVATE -static-libstdc++ -static-libgcc)
endif()

# The package's texts are written with the Linux commands (./zelkhost, the
# .so); the Windows packages get theirs, so that every command in them can be
# pasted as it stands.
function(zelk_package_text source destination)
  file(READ ${PROJECT_SOURCE_DIR}/${source} text)
  if(WIN32)
    string(REPLACE "./zelkhost" ".\\zelkhost.exe" text "${text}")
    # In the tables the longer names take the blanks after them.
    string(REPLACE "zelkforward.so  " "zelkforward.dll " text "${text}")
    string(REPLACE "  zelkhost      " "  zelkhost.exe  " text "${text}")
    string(REPLACE "zelkforward.so" "zelkforward.dll" text "${text}")
    string(REPLACE "/opt/host/plugins/" "C:\\Host\\Plugins\\" text "${text}")
    string(REPLACE "/opt/host" "C:\\Host" text "${text}")
  endif()
  zelk_package_write("${text}" ${destination})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${source})
endfunction()

# Writes a text file of the package: on Windows with CR LF line ends, since
# the administrator opens the configuration, the job list, the transactions
# and the documents in an editor that may show a file of LF ends as one line.
function(zelk_package_write text destination)
  if(WIN32)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
  endif()
  file(WRITE ${PROJECT_BINARY_DIR}/package/${destination} "${text}")
endfunction()

# A text file of the tree as it is, with the line ends of the package.
function(zelk_package_copy source destination)
  file(READ ${PROJECT_SOURCE_DIR}/${source} text)
  zelk_package_write("${text}" ${destination})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${source})
endfunction()

zelk_package_text(docs/INSTALL.txt INSTALL.txt)
zelk_package_text(docs/package-README.txt README.txt)
foreach(example zelkforward.ini jobs.txt transactions.tsv)
  zelk_package_copy(examples/${example} ${example})
endforeach()
foreach(document configuration.md trace-log.md architecture.md)
  zelk_package_copy(docs/${document} docs/${document})
endforeach()

install(TARGETS zelkforward zelkhost RUNTIME DESTINATION . LIBRARY DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/package/zelkforward.ini ${PROJECT_BINARY_DIR}/package/jobs.txt
        ${PROJECT_BINARY_DIR}/package/transactions.tsv ${PROJECT_BINARY_DIR}/package/INSTALL.txt
        ${PROJECT_BINARY_DIR}/package/README.txt DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/package/docs/configuration.md
        ${PROJECT_BINARY_DIR}/package/docs/trace-log.md
        ${PROJECT_BINARY_DIR}/package/docs/architecture.md DESTINATION docs)
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
