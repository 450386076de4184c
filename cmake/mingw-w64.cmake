# Cross build for Windows with mingw-w64, included by the toolchain file of each processor after
# it sets mingw_prefix (x86_64-w64-mingw32, i686-w64-mingw32). The compilers are Debian's win32
# thread-model ones (g++-mingw-w64-*-win32): their C++ library has no std::mutex or std::thread,
# so nothing in the DLLs can come to need a thread library of its own.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${mingw_prefix}-gcc-win32)
set(CMAKE_CXX_COMPILER ${mingw_prefix}-g++-win32)
set(CMAKE_RC_COMPILER ${mingw_prefix}-windres)
set(CMAKE_DLLTOOL ${mingw_prefix}-dlltool)
set(CMAKE_OBJDUMP ${mingw_prefix}-objdump)
set(CMAKE_NM ${mingw_prefix}-nm)

# Headers and libraries only from the mingw-w64 tree; programs (wine64, the tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
