# 32-bit ARM with hardware floating point (ipq40xx, mvebu, ...); static, against musl with Zig.
# Tests run under qemu-arm from qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TOLVIN_TARGET_TRIPLE arm-linux-musleabihf)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
