# Static x86-64 build against musl with Zig; it runs on the build machine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOLVIN_TARGET_TRIPLE x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
