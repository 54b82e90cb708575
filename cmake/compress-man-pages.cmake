# Run by CPack on its staging tree before packing: man pages are shipped
# compressed, as Debian's man-db expects (-n keeps the name and time out of
# the header, so the package is the same from build to build).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.[0-9]")
list(FILTER pages INCLUDE REGEX "/share/man/man[0-9]/[^/]+$")
foreach(page ${pages})
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page}: ${status}")
  endif()
endforeach()
