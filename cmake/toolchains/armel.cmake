# 32-bit ARM, ARMv5TE with software floating point (Debian's armel): no
# atomic instructions, so read-modify-write atomics go through libatomic.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PLUGSUP_TARGET_TRIPLET arm-linux-gnueabi)
set(PLUGSUP_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
