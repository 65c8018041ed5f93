# The compiler settings of every target the project builds (the module, the
# core test, the binding test, the core bench), for the two families of
# compiler command lines: GCC's (GCC, Clang, Apple clang) and MSVC's (cl and
# clang-cl). Any other compiler builds with its own defaults.
#
# ZENDRIK_PORTABLE: build with the plain fallbacks of every construct that
# only GCC and Clang accept, refusing any language extension the compiler can
# point out. ZENDRIK_INSTRUMENT: "asan", "tsan", "faults" (allocations fail
# on demand) or "coverage" (which has the fault hooks too, so that the
# failure paths count).
get_filename_component(ZENDRIK_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
option(ZENDRIK_PORTABLE "Use the plain fallbacks of every compiler-specific construct" OFF)
set(ZENDRIK_INSTRUMENT "" CACHE STRING "Instrumented build: asan, tsan, faults, coverage or empty")
if(MSVC)
    set(ZENDRIK_COMPILER_FAMILY MSVC)
elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set(ZENDRIK_COMPILER_FAMILY GNU)
endif()
if(ZENDRIK_INSTRUMENT AND NOT ZENDRIK_COMPILER_FAMILY STREQUAL "GNU")
    message(FATAL_ERROR "ZENDRIK_INSTRUMENT=${ZENDRIK_INSTRUMENT} needs GCC or Clang")
endif()

function(zendrik_flags target)
    target_include_directories(${target} PRIVATE ${ZENDRIK_ROOT}/src)
    if(ZENDRIK_COMPILER_FAMILY STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -Wall -Wextra -O3)
    elseif(ZENDRIK_COMPILER_FAMILY STREQUAL "MSVC")
        # /O2 is MSVC's -O3, refused beside the debug configuration's run-time
        # checks. Sources are read as UTF-8 whatever the system's code page;
        # __cplusplus tells the standard in force (MSVC keeps 199711L without
        # /Zc:__cplusplus); /EHsc is the standard C++ exception model (an entry
        # point called from C never lets an exception through).
        target_compile_options(${target} PRIVATE /W4 $<$<NOT:$<CONFIG:Debug>>:/O2> /utf-8 /Zc:__cplusplus /EHsc)
        # The CRT counts std::getenv as unsafe; the report reads it once, keeps nothing.
        target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS)
    endif()
    if(ZENDRIK_PORTABLE)
        target_compile_definitions(${target} PRIVATE ZENDRIK_PORTABLE)
        if(ZENDRIK_COMPILER_FAMILY STREQUAL "GNU")
            target_compile_options(${target} PRIVATE -pedantic-errors)
        elseif(ZENDRIK_COMPILER_FAMILY STREQUAL "MSVC")
            # Already the default of /std:c++20, said here for an older default.
            target_compile_options(${target} PRIVATE /permissive-)
        endif()
    endif()
    if(ZENDRIK_INSTRUMENT STREQUAL "asan")
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all
            -fno-omit-frame-pointer -O1 -g)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    elseif(ZENDRIK_INSTRUMENT STREQUAL "tsan")
        target_compile_options(${target} PRIVATE -fsanitize=thread -g)
        target_link_options(${target} PRIVATE -fsanitize=thread)
    elseif(ZENDRIK_INSTRUMENT STREQUAL "coverage")
        target_compile_options(${target} PRIVATE --coverage -O0)
        target_link_options(${target} PRIVATE --coverage)
    endif()
endfunction()
