# 32-bit Windows (x86) with MinGW-w64: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(MOSSLIB_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
