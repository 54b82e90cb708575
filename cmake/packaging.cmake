# What `cmake --install` puts where, and the packages CPack builds from it
# (a .deb and a .tar.gz). Included once from the top-level CMakeLists.txt,
# after the plugsup target.
include(GNUInstallDirs)

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
foreach(section 1 3 5 7 8)
  file(GLOB pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.${section})
  if(pages)
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()

# Packages.
set(CPACK_PACKAGE_NAME plugsup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The plugsup authors")
set(CPACK_PACKAGE_CONTACT "The plugsup authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "supervisor for the plugin programs of an embedded router")
set(CPACK_PACKAGE_DESCRIPTION
    "plugsup keeps up to four plugin programs of a router running: it restarts them\nas their exit codes ask, checks their alive files and installs the upgrade\npackages they hand over.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(NOT CPACK_GENERATOR)
  set(CPACK_GENERATOR DEB TGZ)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME plugsup-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress-man-pages.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The plugsup authors")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# killall (psmisc) ends programs by name; tar and gzip unpack upgrade packages.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libcjson1, psmisc, tar, gzip")
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
