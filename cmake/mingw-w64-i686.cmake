# Cross build for 32-bit x86 Windows (Debian's g++-mingw-w64-i686-win32): 4-byte pointers and
# size_t as on the handheld, and WINAPI as __stdcall with its decorated symbols.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_prefix i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
