# 32-bit ARM, ARMv7 with hardware floating point (Debian's armhf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PLUGSUP_TARGET_TRIPLET arm-linux-gnueabihf)
set(PLUGSUP_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
