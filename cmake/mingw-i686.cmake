# Cross toolchain for the 32-bit Windows build: mingw-w64 i686 (Debian package
# g++-mingw-w64-i686-posix). Programs run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZELK_MINGW_TRIPLET i686-w64-mingw32)
set(ZELK_WINE_ARCH win32)
set(ZELK_PACKAGE_PLATFORM windows-x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
