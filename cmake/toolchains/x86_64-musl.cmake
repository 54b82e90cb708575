# x86-64 with musl (native: for the end-to-end tests and the benchmarks).
set(PLUGSUP_GCC_TRIPLET x86_64-linux-gnu)
set(PLUGSUP_MUSL_TRIPLET x86_64-linux-musl)
set(PLUGSUP_MUSL_NAME x86_64-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
