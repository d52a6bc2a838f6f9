# Big-endian 32-bit MIPS, soft-float, as most OpenWrt MIPS boards (ath79, ramips); static, against musl with Zig.
# Tests run under qemu-mips from qemu-user.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(TOLVIN_TARGET_TRIPLE mips-linux-musl)
set(TOLVIN_ZIG_CPU mips32r2+soft_float)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips)
