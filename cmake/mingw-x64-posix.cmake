# Cross build for Windows x64 with MinGW-w64 GCC, posix thread model.
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(MINGW_PROCESSOR x86_64)
set(MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
