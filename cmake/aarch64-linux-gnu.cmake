# Cross-builds for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu); the target interpreter's headers are given as
# Python_INCLUDE_DIR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
