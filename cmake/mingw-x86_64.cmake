# Cross build of a 64-bit Windows program with Debian's MinGW-w64: it stands
# in for the 32-bit one under Wine where 32-bit Wine cannot be installed.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
