# Cross-builds for Windows with Debian's MinGW-w64 compilers, for the target
# ZENDRIK_TRIPLET names (x86_64-w64-mingw32 for win_amd64, i686-w64-mingw32
# for win32):
#   cmake --toolchain cmake/mingw-w64.cmake -DZENDRIK_TRIPLET=i686-w64-mingw32 ...
#
# The module must use the C runtime that CPython uses, the UCRT, not MinGW's
# default msvcrt.dll: with two runtimes the module's stderr and environment
# are not the interpreter's. GCC's specs name the runtime library, so a copy
# of them with the UCRT in its place goes beside the build. The C++ runtime,
# libgcc and winpthread are linked in, so that the module needs no DLL that a
# Windows machine lacks.
set(CMAKE_SYSTEM_NAME Windows)
# Checks compile in projects of their own, which see only the listed variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZENDRIK_TRIPLET)
if(ZENDRIK_TRIPLET STREQUAL "x86_64-w64-mingw32")
    set(CMAKE_SYSTEM_PROCESSOR AMD64)
    # CPython's Windows pyconfig.h knows 64-bit builds by MSVC's macros alone.
    set(target_flags "-DMS_WIN64")
    # The UCRT's x64 setjmp is the compiler's intrinsic one.
    set(target_link_flags "-Wl,--defsym,_setjmp=__intrinsic_setjmp")
elseif(ZENDRIK_TRIPLET STREQUAL "i686-w64-mingw32")
    set(CMAKE_SYSTEM_PROCESSOR X86)
    # MinGW's default target has no SSE2, which every x86 Windows machine of
    # the last fifteen years has: without it the vector lanes are scalar code.
    set(target_flags "-msse2")
    set(target_link_flags "")
else()
    message(FATAL_ERROR "ZENDRIK_TRIPLET: x86_64-w64-mingw32 or i686-w64-mingw32, not '${ZENDRIK_TRIPLET}'")
endif()
# The POSIX-threads compilers: the others have no std::mutex.
set(CMAKE_CXX_COMPILER ${ZENDRIK_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZENDRIK_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZENDRIK_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(ucrt_specs ${CMAKE_BINARY_DIR}/ucrt.specs)
if(NOT EXISTS ${ucrt_specs})
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs OUTPUT_VARIABLE specs COMMAND_ERROR_IS_FATAL ANY)
    string(REPLACE "-lmsvcrt" "-lucrt" specs "${specs}")
    file(WRITE ${ucrt_specs} "${specs}")
endif()

set(CMAKE_CXX_FLAGS_INIT "-D__MSVCRT_VERSION__=0xE00 -D_UCRT ${target_flags}")
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-specs=${ucrt_specs} -static ${target_link_flags}")
endforeach()
# The module ships without the symbol table, which is half its size and which
# nothing on Windows reads.
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -s")
