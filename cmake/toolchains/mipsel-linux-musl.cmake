# Little-endian 32-bit MIPS, soft-float (ramips mt7621, ...); static, against musl with Zig.
# Tests run under qemu-mipsel from qemu-user.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(TOLVIN_TARGET_TRIPLE mipsel-linux-musl)
set(TOLVIN_ZIG_CPU mips32r2+soft_float)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
