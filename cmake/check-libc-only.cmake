# Fails when BINARY needs a shared library other than the C library (a
# static binary needs none): run after linking the musl daemon.
# Usage: cmake -DBINARY=<file> -DREADELF=<readelf> -P check-libc-only.cmake
execute_process(COMMAND ${READELF} -d ${BINARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} -d ${BINARY} failed")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" library "${entry}")
  if(NOT library MATCHES "^libc\\.so")
    message(FATAL_ERROR "${BINARY} needs ${library}: a musl build may need the C library alone")
  endif()
endforeach()
