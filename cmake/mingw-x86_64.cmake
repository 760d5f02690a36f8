# Cross toolchain for the 64-bit Windows build: mingw-w64 x86-64 (Debian
# package g++-mingw-w64-x86-64-posix). Programs run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZELK_MINGW_TRIPLET x86_64-w64-mingw32)
set(ZELK_WINE_ARCH win64)
set(ZELK_PACKAGE_PLATFORM windows-x64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
