# 64-bit Windows (win_amd64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZENDRIK_MINGW_TRIPLET x86_64-w64-mingw32)
# CPython's Windows pyconfig.h knows 64-bit builds by MSVC's macros alone.
set(ZENDRIK_MINGW_TARGET_FLAGS "-DMS_WIN64")
# The UCRT's x64 setjmp is the compiler's intrinsic one.
set(ZENDRIK_MINGW_TARGET_LINK_FLAGS "-Wl,--defsym,_setjmp=__intrinsic_setjmp")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
