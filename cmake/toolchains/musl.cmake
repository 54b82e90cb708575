# Shared by the musl toolchain files beside it: Debian's GCC for
# PLUGSUP_GCC_TRIPLET (the native compiler or a cross compiler) with musl's
# headers, start files and C library from musl-dev (PLUGSUP_MUSL_TRIPLET)
# in place of glibc's.
#
# The C++ code uses only header-only parts of GCC's C++ library, so the C++
# headers stay and libstdc++ goes: C++ programs are linked by the C driver
# through the driver rules file of musl-dev, which fails on any call into
# libstdc++ and never adds libgcc_s.
set(PLUGSUP_MUSL ON)
set(musl_lib /usr/lib/${PLUGSUP_MUSL_TRIPLET})
set(musl_driver_rules ${musl_lib}/musl-gcc.specs)
if(NOT EXISTS ${musl_driver_rules})
  message(FATAL_ERROR "${musl_driver_rules} missing: install musl-dev for this target (scripts/setup-cross.sh)")
endif()

# GCC's own headers (stddef.h, ...) and its C++ headers, in the compiler's order.
execute_process(COMMAND ${PLUGSUP_GCC_TRIPLET}-g++ -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${PLUGSUP_GCC_TRIPLET}-g++ -xc++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search_text)
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" cxx_includes "${search_text}")
set(cxx_isystem "")
foreach(dir IN LISTS cxx_includes)
  string(STRIP "${dir}" dir)
  list(APPEND cxx_isystem -isystem ${dir})
endforeach()
set(c_isystem -isystem /usr/include/${PLUGSUP_MUSL_TRIPLET} -isystem ${gcc_include})

# The C++ library's OS definitions for Linux test the glibc version with
# __GLIBC_PREREQ, which musl does not define: musl-glibc-compat.h answers
# "no" to every version.
set(CMAKE_C_COMPILER ${PLUGSUP_GCC_TRIPLET}-gcc -nostdinc ${c_isystem})
set(CMAKE_CXX_COMPILER ${PLUGSUP_GCC_TRIPLET}-g++ -nostdinc ${cxx_isystem} ${c_isystem}
    -include ${CMAKE_CURRENT_LIST_DIR}/musl-glibc-compat.h)
# Archives through GCC's wrappers: the static cJSON holds LTO objects.
find_program(CMAKE_AR ${PLUGSUP_GCC_TRIPLET}-gcc-ar REQUIRED)
find_program(CMAKE_RANLIB ${PLUGSUP_GCC_TRIPLET}-gcc-ranlib REQUIRED)
string(JOIN " " musl_link_driver ${PLUGSUP_GCC_TRIPLET}-gcc -specs ${musl_driver_rules})
set(CMAKE_C_LINK_EXECUTABLE
    "${musl_link_driver} <FLAGS> <CMAKE_C_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(CMAKE_CXX_LINK_EXECUTABLE
    "${musl_link_driver} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(CMAKE_C_CREATE_SHARED_LIBRARY
    "${musl_link_driver} <CMAKE_SHARED_LIBRARY_C_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_LIBRARY_CREATE_C_FLAGS> <SONAME_FLAG><TARGET_SONAME> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>")

# Libraries come from musl and the static cJSON of
# scripts/build-static-cjson.sh <PLUGSUP_MUSL_NAME>, never from the build
# machine's glibc. A caller's own PKG_CONFIG_LIBDIR wins.
if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  get_filename_component(source_root ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
  set(ENV{PKG_CONFIG_LIBDIR} ${source_root}/build/cjson-static/${PLUGSUP_MUSL_NAME}/lib/pkgconfig)
endif()

# Cross targets run under qemu-user, which finds musl's loader
# (/lib/ld-musl-<arch>.so.1) under "-L /".
if(PLUGSUP_QEMU_ARCH)
  find_program(PLUGSUP_QEMU qemu-${PLUGSUP_QEMU_ARCH})
  if(PLUGSUP_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PLUGSUP_QEMU} -L /)
  endif()
endif()
