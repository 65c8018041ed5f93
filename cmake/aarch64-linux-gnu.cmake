# Cross-builds for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu), ZENDRIK_TRIPLET aarch64-linux-gnu; the target
# interpreter's headers are given as Python_INCLUDE_DIR. Programs are
# static, so that they run under the emulator as they are.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZENDRIK_TRIPLET)
set(CMAKE_CXX_COMPILER ${ZENDRIK_TRIPLET}-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
