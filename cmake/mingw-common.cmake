# Shared part of the MinGW-w64 cross toolchains (Debian's g++-mingw-w64-* packages).
# Included by mingw-i686.cmake and mingw-x86_64.cmake after they set MOSSLIB_MINGW_TRIPLE.
#
# The -posix compilers are used on purpose: their libstdc++ has the complete thread
# library (std::mutex, std::thread, std::call_once), and thread_local storage goes
# through libgcc's emulated TLS on top of winpthreads, which the DLL links statically.
# Emulated TLS allocates each thread's block on first use, so it works in a DLL that the
# host loads with LoadLibrary long after its threads were started.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

set(CMAKE_C_COMPILER   ${MOSSLIB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MOSSLIB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${MOSSLIB_MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${MOSSLIB_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "archiver")
set(CMAKE_RANLIB       ${MOSSLIB_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "ranlib")

set(CMAKE_FIND_ROOT_PATH /usr/${MOSSLIB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
