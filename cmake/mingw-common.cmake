# What both mingw-w64 cross toolchains share: the compilers of
# ZELK_MINGW_TRIPLET with POSIX threads (Debian's g++-mingw-w64-*-posix) and a
# search of its own root only for libraries and headers. Test programs run
# under Wine (see wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZELK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELK_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZELK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
