# 64-bit ARM (mediatek filogic, rockchip, ...); static, against musl with Zig.
# Tests run under qemu-aarch64 from qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOLVIN_TARGET_TRIPLE aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
