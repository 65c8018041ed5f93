# 32-bit Windows (win32): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR X86)
set(ZENDRIK_MINGW_TRIPLET i686-w64-mingw32)
# MinGW's default target has no SSE2, which every x86 Windows machine of the
# last fifteen years has: without it the vector lanes are scalar code.
set(ZENDRIK_MINGW_TARGET_FLAGS "-msse2")
set(ZENDRIK_MINGW_TARGET_LINK_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
