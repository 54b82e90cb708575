# 32-bit little-endian MIPS (Debian's mipsel).
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(PLUGSUP_TARGET_TRIPLET mipsel-linux-gnu)
set(PLUGSUP_QEMU_ARCH mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
