# Shared by the toolchain files beside it: Debian's cross compiler for
# PLUGSUP_TARGET_TRIPLET, with the target's libraries installed as multiarch
# packages (libcjson-dev:<arch>, libgtest-dev:<arch>) under /usr.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${PLUGSUP_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PLUGSUP_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PLUGSUP_TARGET_TRIPLET})

# pkg-config reads the target's .pc files, not the build machine's. A caller's
# own PKG_CONFIG_LIBDIR (a static cJSON, for one) wins.
if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${PLUGSUP_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
endif()

# Tests run under qemu-user. "-L /" takes the target's loader and libraries
# from their multiarch places; a prefix of /usr/<triplet> would mix loader and
# C library versions, which crashes threaded programs.
find_program(PLUGSUP_QEMU qemu-${PLUGSUP_QEMU_ARCH})
if(PLUGSUP_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PLUGSUP_QEMU} -L /)
endif()
