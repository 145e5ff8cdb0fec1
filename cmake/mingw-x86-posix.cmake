# Cross build for Windows x86 with MinGW-w64 GCC, posix thread model.
set(MINGW_TRIPLET i686-w64-mingw32)
set(MINGW_PROCESSOR i686)
set(MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
