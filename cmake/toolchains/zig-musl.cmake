# Shared part of the musl toolchains: Zig 0.11 (musl 1.2.4, libc++) through
# the wrappers beside this file. The including file sets TOLVIN_TARGET_TRIPLE,
# CMAKE_SYSTEM_PROCESSOR, TOLVIN_ZIG_CPU and, for the tests, the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(TOLVIN_LIBC musl)
set(_zig ${CMAKE_CURRENT_LIST_DIR}/zig)
set(CMAKE_C_COMPILER ${_zig}/zig-cc)
set(CMAKE_CXX_COMPILER ${_zig}/zig-c++)
set(CMAKE_AR ${_zig}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_zig}/zig-ranlib CACHE FILEPATH "")
set(_target "-target ${TOLVIN_TARGET_TRIPLE}")
if(TOLVIN_ZIG_CPU)
  string(APPEND _target " -mcpu=${TOLVIN_ZIG_CPU}")
endif()
set(CMAKE_C_FLAGS_INIT "${_target}")
set(CMAKE_CXX_FLAGS_INIT "${_target}")
# Static executables, as a router takes them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
