# 32-bit little-endian MIPS, with musl.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(PLUGSUP_GCC_TRIPLET mipsel-linux-gnu)
set(PLUGSUP_MUSL_TRIPLET mipsel-linux-musl)
set(PLUGSUP_MUSL_NAME mipsel-musl)
set(PLUGSUP_QEMU_ARCH mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
