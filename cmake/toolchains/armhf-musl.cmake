# 32-bit ARM, ARMv7 with hardware floating point, with musl.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PLUGSUP_GCC_TRIPLET arm-linux-gnueabihf)
set(PLUGSUP_MUSL_TRIPLET arm-linux-musleabihf)
set(PLUGSUP_MUSL_NAME armhf-musl)
set(PLUGSUP_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
