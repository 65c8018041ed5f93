# Cross-building for Windows with Debian's MinGW-w64 compilers, included by the
# toolchain file of each target after it sets ZENDRIK_MINGW_TRIPLET and
# ZENDRIK_MINGW_TARGET_FLAGS / ZENDRIK_MINGW_TARGET_LINK_FLAGS.
#
# The module must use the C runtime that CPython uses, the UCRT, not MinGW's
# default msvcrt.dll: with two runtimes the module's stderr and environment
# are not the interpreter's. GCC's specs name the runtime library, so a copy
# of them with the UCRT in its place goes beside the build. The C++ runtime,
# libgcc and winpthread are linked in, so that the module needs no DLL that a
# Windows machine lacks.
set(CMAKE_SYSTEM_NAME Windows)
# The POSIX-threads compilers: the others have no std::mutex.
set(CMAKE_CXX_COMPILER ${ZENDRIK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZENDRIK_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZENDRIK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(ZENDRIK_UCRT_SPECS ${CMAKE_BINARY_DIR}/ucrt.specs)
if(NOT EXISTS ${ZENDRIK_UCRT_SPECS})
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs OUTPUT_VARIABLE specs
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REPLACE "-lmsvcrt" "-lucrt" specs "${specs}")
    file(WRITE ${ZENDRIK_UCRT_SPECS} "${specs}")
endif()

set(CMAKE_CXX_FLAGS_INIT "-D__MSVCRT_VERSION__=0xE00 -D_UCRT ${ZENDRIK_MINGW_TARGET_FLAGS}")
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT
        "-specs=${ZENDRIK_UCRT_SPECS} -static ${ZENDRIK_MINGW_TARGET_LINK_FLAGS}")
endforeach()
# The module ships without the symbol table, which is half its size and which
# nothing on Windows reads.
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -s")
