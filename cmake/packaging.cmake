# What `cmake --install` puts where, and the packages CPack builds from it
# (the .debs plugsup and plugsup-dev, and one .tar.gz of everything). Included
# once from the top-level CMakeLists.txt, after the plugsup target.
#
# Two install components: `runtime` (the default: the daemon, every other
# program installed with install(TARGETS ... DESTINATION sbin), their manual
# pages, the examples) and `dev` (the plugin SDK: header, pkg-config file,
# section 3 pages). One more program needs only its install() line and its
# page in man/; its library dependencies are computed from the binary.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)

# Not CMAKE_INSTALL_DOCDIR: that one is named after the CMake project, and the
# package is named after the daemon.
set(PLUGSUP_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/plugsup)
set(PLUGSUP_EXAMPLES_DIR ${PLUGSUP_DOC_DIR}/examples)

# The sample programs that the demo runs and the examples ship, beside demo/config.
set(PLUGSUP_SAMPLE_PROGRAMS demo/probe demo/collector)

# Directories made by the install are 0755 whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS plugsup RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES LICENSE CHANGELOG.md DESTINATION ${PLUGSUP_DOC_DIR})
install(FILES demo/config demo/README.md DESTINATION ${PLUGSUP_EXAMPLES_DIR})
install(PROGRAMS ${PLUGSUP_SAMPLE_PROGRAMS} DESTINATION ${PLUGSUP_EXAMPLES_DIR})
install(PROGRAMS packaging/procd/plugsup DESTINATION ${PLUGSUP_EXAMPLES_DIR}/procd)
install(FILES packaging/inittab/plugsup.inittab DESTINATION ${PLUGSUP_EXAMPLES_DIR}/inittab)
install(FILES packaging/systemd/plugsup.service DESTINATION ${PLUGSUP_EXAMPLES_DIR}/systemd)

# Every page in man/ goes to the section its suffix names, so a new page needs
# no change here.
# Section 3 documents the SDK and goes with it.
foreach(section 1 3 5 7 8)
  file(GLOB pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.${section})
  set(component runtime)
  if(section EQUAL 3)
    set(component dev)
  endif()
  if(pages)
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  endif()
endforeach()

# Packages.
set(CPACK_PACKAGE_NAME plugsup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The plugsup authors")
set(PLUGSUP_MAINTAINER "The plugsup authors <dev@plugsup.invalid>"
    CACHE STRING "Maintainer of the packages: a name and an address")
set(CPACK_PACKAGE_CONTACT "${PLUGSUP_MAINTAINER}")
# Each .deb's description begins with its own summary line: CPack would put a
# CPACK_PACKAGE_DESCRIPTION_SUMMARY before every one.
set(CPACK_PACKAGE_DESCRIPTION
    "supervisor for the plugin programs of an embedded router\nplugsup keeps up to four plugin programs of a router running: it restarts them\nas their exit codes ask, checks their alive files and installs the upgrade\npackages they hand over.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(NOT CPACK_GENERATOR)
  set(CPACK_GENERATOR DEB TGZ)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME plugsup-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
# Compresses the man pages; gives each .deb its copyright and changelog.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-staging.cmake)
# Only CPACK_ variables reach the scripts CPack runs.
set(CPACK_PLUGSUP_SOURCE_DIR ${PROJECT_SOURCE_DIR})

# One .deb per component; the tarball keeps everything in one.
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PLUGSUP_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME plugsup)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION}\nWith plugsup-check, which tells what plugsup would do in a directory,\nand plugsup-status, which tells what a running plugsup does now.")
# The libraries the binaries need come from dpkg-shlibdeps (dpkg-dev); for a
# cross build it finds the target's in their multiarch directories and
# packages (libcjson1:armhf, ...), which setup-cross.sh installs. killall
# (psmisc, or busybox's) ends programs by name; tar and gzip are essential
# packages, which need no dependency.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "psmisc | busybox")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME plugsup-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "SDK for the plugin programs that plugsup supervises\nThe header <plugsup/plugin.h> (C99 or later, C++11 or later; nothing to\nlink) parses the command line a plugin receives, keeps its alive file fresh\nand hands over upgrade packages; with a pkg-config file and a manual page.")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS plugsup)
# CPack asks dpkg for the architecture, which is the build machine's: a cross
# build names its target's instead.
if(CMAKE_CROSSCOMPILING AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(plugsup_deb_arch_arm-linux-gnueabihf armhf)
  set(plugsup_deb_arch_arm-linux-gnueabi armel)
  set(plugsup_deb_arch_mipsel-linux-gnu mipsel)
  set(plugsup_deb_arch_mips-linux-gnu mips)
  set(plugsup_deb_arch_aarch64-linux-gnu arm64)
  set(plugsup_deb_arch_x86_64-linux-gnu amd64)
  if(plugsup_deb_arch_${CMAKE_CXX_LIBRARY_ARCHITECTURE})
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${plugsup_deb_arch_${CMAKE_CXX_LIBRARY_ARCHITECTURE}})
  endif()
endif()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME plugsup-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "/[.]git/" "/build[^/]*/" "/demo-run/")

include(CPack)
